#include "batch.h"

#include "assimp/assimp_run.h"
#include "contained_run.h"
#include "file_access.h"
#include "file_names.h"
#include "gltf/backend.h"
#include "weld_file.h"

#include <assimp/Importer.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

// --- the plan -----------------------------------------------------------------------------

// What a folder walk takes: the files of glTF's extensions and of those Assimp's importers
// read, but for plain .xml, which names far more than models.
bool is_model_file(const fs::path& path) {
    static const std::vector<std::string> endings = [] {
        std::string list;
        Assimp::Importer().GetExtensionList(list);
        std::vector<std::string> found;
        for (size_t start = 0; start < list.size();) {
            const size_t end = std::min(list.find(';', start), list.size());
            const std::string pattern = list.substr(start, end - start);
            if (pattern.size() > 1 && pattern[0] == '*' && pattern != "*.xml")
                found.push_back(pattern.substr(1));
            start = end + 1;
        }
        return found;
    }();
    std::string name = path.filename().string();
    for (char& c : name)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return std::any_of(endings.begin(), endings.end(), [&](const std::string& ending) {
        return name.size() > ending.size() &&
               name.compare(name.size() - ending.size(), ending.size(), ending) == 0;
    });
}

fs::path output_name(fs::path relative, const std::string& extension) {
    if (!extension.empty())
        relative.replace_extension("." + extension);
    return relative;
}

// The model files below `folder`, in order; links are not followed, to folders or to files.
std::vector<fs::path> walk(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::recursive_directory_iterator
             entry(folder, fs::directory_options::skip_permission_denied, error),
         end;
         !error && entry != end; entry.increment(error))
        if (!entry->is_symlink() && entry->is_regular_file() && is_model_file(entry->path()))
            found.push_back(entry->path());
    std::sort(found.begin(), found.end());
    return found;
}

std::string key_of(const std::string& path) {
    return fs::absolute(path).lexically_normal().string();
}

// A glTF output's folder and stem, which name its .bin files: STEM.bin and STEM_N.bin.
std::pair<std::string, std::string> stem_of(const std::string& output) {
    return {key_of(fs::path(output).parent_path().string()), fs::path(output).stem().string()};
}

struct InputFolder {
    std::string path;
    bool walked; // every file below it is an input, not just one
};

// The output folder must keep clear of the inputs: inside a walked folder its outputs would be
// walked as inputs next time, around one they could replace files below it, and a file
// input's own folder is where the input and the files it reads are.
std::string folder_clash(const std::string& outputDir, const InputFolder& folder) {
    if (folder.walked && lies_within(outputDir, folder.path))
        return outputDir + ": inside the input folder " + folder.path +
               "; choose an output folder outside it";
    if (folder.walked && lies_within(folder.path, outputDir))
        return outputDir + ": holds the input folder " + folder.path +
               ", whose files its outputs could replace; choose another output folder";
    if (!folder.walked && lies_within(outputDir, folder.path) &&
        lies_within(folder.path, outputDir))
        return outputDir + ": is the folder of the input files there; choose another output folder";
    return "";
}

// --- the run ------------------------------------------------------------------------------

volatile sig_atomic_t stopSignal = 0;

void note_stop(int signal) {
    stopSignal = signal;
}

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// One file's totals, as its contained run hands them to the batch: a line of numbers, the
// merge's after the weld's where there was one.
std::string totals_line(const MeshWeldResult& total) {
    char line[256];
    int length = std::snprintf(line, sizeof line, "%u %u %u %.17g", total.faces,
                               total.verticesBefore, total.verticesAfter, total.weldSeconds);
    if (total.merge)
        length += std::snprintf(line + length, sizeof line - size_t(length),
                                " %" PRIu64 " %.17g %.17g %" PRIu64, total.merge->cornersMoved,
                                total.merge->farthestPosition, total.merge->largestOtherDifference,
                                total.merge->degenerateFaces);
    return std::string(line, size_t(length)) + "\n";
}

bool read_totals(const char* line, MeshWeldResult& total) {
    MergeSummary merge;
    const int read = std::sscanf(line, "%u %u %u %lf %" SCNu64 " %lf %lf %" SCNu64, &total.faces,
                                 &total.verticesBefore, &total.verticesAfter, &total.weldSeconds,
                                 &merge.cornersMoved, &merge.farthestPosition,
                                 &merge.largestOtherDifference, &merge.degenerateFaces);
    if (read == 8)
        total.merge = merge;
    return read == 4 || read == 8;
}

// "stem" for "stem_12", empty where the name does not end in an underscore and digits.
std::string without_number(const std::string& name) {
    const size_t underscore = name.rfind('_');
    if (underscore == std::string::npos || underscore + 1 == name.size() ||
        name.find_first_not_of("0123456789", underscore + 1) != std::string::npos)
        return {};
    return name.substr(0, underscore);
}

class Batch {
  public:
    Batch(const Options& options, const std::vector<FileJob>& jobs)
        : options_(options), jobs_(jobs),
          progress_(isatty(STDERR_FILENO) && options.verbosity != Verbosity::quiet) {}

    int run() {
        for (int stop : kStopSignals)
            ::signal(stop, note_stop);
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        const size_t limit = options_.jobs ? options_.jobs : size_t(std::max(1L, cores));
        size_t next = 0;
        while (next < jobs_.size() || !workers_.empty()) {
            while (stopSignal == 0 && next < jobs_.size() && workers_.size() < limit)
                start(next++);
            if (stopSignal != 0 && next < jobs_.size())
                next = jobs_.size();
            pump();
            reap();
            if (Clock::now() - drawnAt_ > std::chrono::milliseconds(250))
                draw_progress();
        }
        erase_progress();
        if (stopSignal != 0) {
            ::signal(stopSignal, SIG_DFL);
            raise(stopSignal);
        }
        print_total();
        return failed_ > 0 ? 1 : 0;
    }

  private:
    struct Worker {
        pid_t pid;
        size_t job;
        int out, err, results; // -1 once closed
        std::string outText, errText;
    };

    void start(size_t index) {
        const FileJob& job = jobs_[index];
        std::error_code ignored;
        fs::create_directories(fs::path(job.output).parent_path(), ignored);
        int out[2], err[2], results[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
            pipe2(results, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "weldmesh: %s: cannot start: %s\n", job.input.c_str(),
                         std::strerror(errno));
            ++failed_;
            ++done_;
            return;
        }
        std::fflush(nullptr);
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            _exit(work(job, parent, results[1]));
        }
        for (int fd : {out[1], err[1], results[1]})
            close(fd);
        for (int fd : {out[0], err[0], results[0]})
            fcntl(fd, F_SETFL, O_NONBLOCK);
        workers_.push_back({pid, index, out[0], err[0], results[0], "", ""});
    }

    // The worker process: one contained run, which hands its totals back through `results`.
    int work(const FileJob& job, pid_t parent, int results) {
        for (int stop : kStopSignals)
            ::signal(stop, SIG_DFL);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            return 1;
        JobLimits limits = options_.limits;
        if (!options_.memoryLimitGiven)
            limits.memoryBytes = default_memory_limit(job.input);
        const int status =
            run_contained(job.input, job.output, limits, [&](const std::string& staging) {
                WeldReport report;
                const int weldStatus = weld_file(options_, job, staging, report);
                if (weldStatus == 0)
                    dprintf(results, "%s", totals_line(report.total).c_str());
                return weldStatus;
            });
        std::fflush(nullptr);
        return status;
    }

    // Reads what the workers printed, waiting up to a second: the progress line's pace.
    void pump() {
        std::vector<pollfd> fds;
        std::vector<std::pair<Worker*, bool>> owners; // the worker, and whether it is stderr
        for (Worker& worker : workers_)
            for (const bool errors : {false, true})
                if ((errors ? worker.err : worker.out) >= 0) {
                    fds.push_back({errors ? worker.err : worker.out, POLLIN, 0});
                    owners.emplace_back(&worker, errors);
                }
        if (poll(fds.data(), fds.size(), 1000) <= 0)
            return;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Worker& worker = *owners[i].first;
            int& fd = owners[i].second ? worker.err : worker.out;
            std::string& text = owners[i].second ? worker.errText : worker.outText;
            char chunk[65536];
            ssize_t got;
            while ((got = read(fd, chunk, sizeof chunk)) > 0)
                text.append(chunk, size_t(got));
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                close(fd);
                fd = -1;
            }
        }
    }

    // Finishes the workers whose output has ended.
    void reap() {
        for (auto worker = workers_.begin(); worker != workers_.end();) {
            if (worker->out >= 0 || worker->err >= 0) {
                ++worker;
                continue;
            }
            int status = 0;
            while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
            }
            finish(*worker, status);
            worker = workers_.erase(worker);
        }
    }

    void finish(Worker& worker, int status) {
        const FileJob& job = jobs_[worker.job];
        char line[256] = {};
        const ssize_t got = read(worker.results, line, sizeof line - 1);
        close(worker.results);
        MeshWeldResult totals;
        const bool welded =
            WIFEXITED(status) && WEXITSTATUS(status) == 0 && got > 0 && read_totals(line, totals);
        const bool skipped = WIFEXITED(status) && WEXITSTATUS(status) == kSkippedStatus;
        ++done_;
        erase_progress();
        std::fputs(worker.outText.c_str(), stdout);
        if (welded) {
            ++welded_;
            faces_ += totals.faces;
            before_ += totals.verticesBefore;
            after_ += totals.verticesAfter;
            seconds_ += totals.weldSeconds;
            if (totals.merge)
                merge_.add(*totals.merge);
            if (options_.verbosity != Verbosity::quiet)
                print_summary_line(job.input + " -> " + job.output, totals);
        } else if (skipped) {
            ++skipped_;
            if (options_.verbosity != Verbosity::quiet)
                std::printf("%s: skipped: no triangles or polygons to weld\n", job.input.c_str());
        } else {
            ++failed_;
            if (worker.errText.empty() && stopSignal == 0)
                std::fprintf(stderr, "weldmesh: %s: the run stopped without a word\n",
                             job.input.c_str());
        }
        std::fflush(stdout);
        std::fputs(worker.errText.c_str(), stderr);
        draw_progress();
    }

    void draw_progress() {
        if (!progress_ || stopSignal != 0)
            return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        std::string left;
        if (done_ > 0 && done_ < jobs_.size())
            left =
                ", about " +
                std::to_string(long(elapsed / double(done_) * double(jobs_.size() - done_) + 0.5)) +
                " s left";
        std::fprintf(stderr,
                     "\r\033[Kweldmesh: %zu of %zu files, %" PRIu64 " -> %" PRIu64
                     " vertices, %.0f s%s",
                     done_, jobs_.size(), before_, after_, elapsed, left.c_str());
        std::fflush(stderr);
        drawn_ = true;
        drawnAt_ = Clock::now();
    }

    void erase_progress() {
        if (!drawn_)
            return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }

    void print_total() const {
        if (options_.verbosity == Verbosity::quiet)
            return;
        std::printf("total (%zu %s, %u welded, %u skipped, %u failed): %" PRIu64 " faces, %" PRIu64
                    " -> %" PRIu64 " vertices, %.3f ms\n",
                    jobs_.size(), jobs_.size() == 1 ? "file" : "files", welded_, skipped_, failed_,
                    faces_, before_, after_, seconds_ * 1e3);
        if (options_.merge.active)
            print_merge_line(merge_);
    }

    using Clock = std::chrono::steady_clock;
    const Options& options_;
    const std::vector<FileJob>& jobs_;
    const bool progress_;
    bool drawn_ = false;
    const Clock::time_point start_ = Clock::now();
    Clock::time_point drawnAt_;
    std::vector<Worker> workers_;
    size_t done_ = 0;
    unsigned welded_ = 0, skipped_ = 0, failed_ = 0;
    uint64_t faces_ = 0, before_ = 0, after_ = 0;
    double seconds_ = 0;
    MergeSummary merge_;
};

} // namespace

std::vector<FileJob> plan_batch(const Options& options, std::string& error) {
    const std::string sample = "model." + options.outputExtension;
    if (!options.outputExtension.empty() && !gltf::is_gltf_path(sample) &&
        export_format(options.formatId, sample, error).empty())
        return {};
    std::vector<FileJob> jobs;
    std::vector<InputFolder> folders;
    const fs::path dir = options.outputDir;
    for (const std::string& input : options.inputs) {
        std::error_code ignored;
        if (fs::is_directory(input, ignored)) {
            folders.push_back({input, true});
            for (const fs::path& file : walk(input))
                jobs.push_back(
                    {file.string(),
                     (dir / output_name(file.lexically_relative(input), options.outputExtension))
                         .string(),
                     input, true});
        } else {
            const std::string folder = fs::path(input).parent_path().string();
            folders.push_back({folder.empty() ? "." : folder, false});
            jobs.push_back(
                {input,
                 (dir / output_name(fs::path(input).filename(), options.outputExtension)).string(),
                 folder, false});
        }
    }
    for (const InputFolder& folder : folders) {
        error = folder_clash(options.outputDir, folder);
        if (!error.empty())
            return {};
    }
    std::map<std::string, size_t> byOutput;
    std::map<std::pair<std::string, std::string>, size_t> gltfStems;
    for (size_t j = 0; j < jobs.size(); ++j) {
        const auto [other, added] = byOutput.emplace(key_of(jobs[j].output), j);
        if (!added) {
            error = jobs[j].output + ": both " + jobs[other->second].input + " and " +
                    jobs[j].input + " would be written here";
            return {};
        }
        if (gltf::is_gltf_path(jobs[j].output))
            gltfStems.emplace(stem_of(jobs[j].output), j);
    }
    // One glTF output's numbered .bin file can be another's own.
    for (const auto& [stem, j] : gltfStems) {
        const std::string unnumbered = without_number(stem.second);
        if (unnumbered.empty())
            continue;
        const auto other = gltfStems.find({stem.first, unnumbered});
        if (other != gltfStems.end()) {
            error = (fs::path(jobs[j].output).parent_path() / (stem.second + ".bin")).string() +
                    ": both " + jobs[other->second].input + " and " + jobs[j].input +
                    " would write it";
            return {};
        }
    }
    return jobs;
}

int run_batch(const Options& options, const std::vector<FileJob>& jobs) {
    return Batch(options, jobs).run();
}
