#include "contained_run.h"

#include "staged_output.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

namespace {

// Shared with the parent, which reads it after the child died.
volatile JobStage* sharedStage = nullptr;

bool allocationFailed = false;

// Readers catch the exceptions of their own allocations and report some other error, so the
// failure is noted where it happens.
void note_allocation_failure() {
    allocationFailed = true;
    throw std::bad_alloc();
}

struct Names {
    const std::string& input;
    const std::string& output;
};

const std::string& file_of(JobStage stage, const Names& names) {
    return stage == JobStage::writing ? names.output : names.input;
}

const char* doer_of(JobStage stage) {
    switch (stage) {
    case JobStage::reading:
        return "the reader";
    case JobStage::welding:
        return "the weld";
    case JobStage::writing:
        return "the writer";
    }
    return "the job";
}

void report(const std::string& file, const std::string& reason) {
    std::fprintf(stderr, "weldmesh: %s: %s\n", file.c_str(), reason.c_str());
}

std::string signal_name(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

bool is_crash(int signal) {
    for (int crash : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        if (signal == crash)
            return true;
    return false;
}

// The limit in force, which is the caller's own when that is lower than the one asked for.
std::string memory_limit_note(const JobLimits& limits) {
    rlimit memory;
    if (getrlimit(RLIMIT_AS, &memory) != 0 || memory.rlim_cur == RLIM_INFINITY)
        return "";
    const bool asked = limits.memoryBytes != 0 && memory.rlim_cur == limits.memoryBytes;
    return " (the limit is " + std::to_string(memory.rlim_cur >> 20) + " MiB" +
           (asked ? ", see --memory-limit)" : ")");
}

// Signals that end the parent: it stops the child and removes the staging directory first.
sigset_t waited_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, signal);
    return set;
}

[[noreturn]] void run_child(const Names& names, const JobLimits& limits, const sigset_t& oldMask,
                            pid_t parent, const std::string& staging, int errorLog,
                            const std::function<int(const std::string&)>& job) {
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    dup2(errorLog, STDERR_FILENO);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    rlimit memory;
    if (limits.memoryBytes != 0 && getrlimit(RLIMIT_AS, &memory) == 0 &&
        memory.rlim_cur > limits.memoryBytes) {
        memory.rlim_cur = memory.rlim_max = limits.memoryBytes;
        setrlimit(RLIMIT_AS, &memory);
    }
    // A file size limit then fails the write with EFBIG, which is reported like any other.
    signal(SIGXFSZ, SIG_IGN);
    std::set_new_handler(note_allocation_failure);
    int status = 1;
    try {
        status = job(staging);
    } catch (const std::bad_alloc&) {
        const JobStage stage = *sharedStage;
        report(file_of(stage, names),
               std::string(doer_of(stage)) + " ran out of memory" + memory_limit_note(limits));
    } catch (const std::exception& error) {
        const JobStage stage = *sharedStage;
        report(file_of(stage, names), std::string(doer_of(stage)) + " failed: " + error.what());
    }
    std::exit(status);
}

timespec remaining_until(const timespec& deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long nanoseconds =
        (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
    if (nanoseconds < 0)
        nanoseconds = 0;
    return {time_t(nanoseconds / 1000000000LL), long(nanoseconds % 1000000000LL)};
}

enum class WaitEnd { exited, timedOut, interrupted };

// Waits for the child to end, for the deadline (when `limited`) or for a signal that ends the
// parent, whose number goes to `endingSignal`.
WaitEnd wait_for_child(pid_t child, bool limited, const timespec& deadline, int& status,
                       int& endingSignal) {
    const sigset_t set = waited_signals();
    for (;;) {
        siginfo_t info;
        int signal;
        if (limited) {
            const timespec remaining = remaining_until(deadline);
            signal = sigtimedwait(&set, &info, &remaining);
        } else {
            signal = sigwaitinfo(&set, &info);
        }
        if (signal < 0 && errno == EAGAIN)
            return WaitEnd::timedOut;
        if (signal == SIGCHLD || signal < 0) {
            if (waitpid(child, &status, WNOHANG) == child)
                return WaitEnd::exited;
            continue;
        }
        endingSignal = signal;
        return WaitEnd::interrupted;
    }
}

void stop(pid_t child) {
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a library printed last before it brought the child down, such as a failed assertion.
std::string last_line(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos)
        return "";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

int conclude(const Names& names, const JobLimits& limits, WaitEnd end, int status,
             const std::string& staging, const std::string& childErrors) {
    const JobStage stage = *sharedStage;
    if (end == WaitEnd::timedOut) {
        report(file_of(stage, names), std::string(doer_of(stage)) +
                                          " took longer than the time limit (" +
                                          std::to_string(limits.seconds) + " s, see --time-limit)");
        return 1;
    }
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const std::string said = last_line(childErrors);
        report(file_of(stage, names),
               std::string(doer_of(stage)) + (is_crash(signal) ? " crashed (" : " was killed (") +
                   signal_name(signal) + (said.empty() ? "" : ": " + said) + ")");
        return 1;
    }
    std::fputs(childErrors.c_str(), stderr);
    if (WEXITSTATUS(status) != 0)
        return WEXITSTATUS(status);
    std::string error;
    if (!commit_staged_outputs(staging, error)) {
        std::fprintf(stderr, "weldmesh: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

std::string make_staging_directory(const std::string& output) {
    const std::filesystem::path folder = std::filesystem::path(output).parent_path();
    std::string pattern =
        (folder.empty() ? std::string(".") : folder.string()) + "/.weldmesh-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : "";
}

} // namespace

bool allocation_failed() {
    return allocationFailed;
}

void enter_stage(JobStage stage) {
    // What the job printed so far survives a crash in the next stage.
    std::fflush(stdout);
    if (sharedStage)
        *sharedStage = stage;
}

int run_contained(const std::string& input, const std::string& output, const JobLimits& limits,
                  const std::function<int(const std::string& stagingDirectory)>& job) {
    const Names names{input, output};
    // Blocked from before the staging directory exists, so that a signal cannot leave it behind.
    // An inherited SIG_IGN for SIGCHLD would reap the child unseen.
    signal(SIGCHLD, SIG_DFL);
    const sigset_t set = waited_signals();
    sigset_t oldMask;
    sigprocmask(SIG_BLOCK, &set, &oldMask);
    const std::string staging = make_staging_directory(output);
    if (staging.empty()) {
        report(output, std::string("cannot write: ") + std::strerror(errno));
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        return 1;
    }
    // The child's errors are held back, so that a crash still makes one line.
    const std::string errorLogPath = staging + "/stderr";
    const int errorLog =
        open(errorLogPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    void* page =
        mmap(nullptr, sizeof(JobStage), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (errorLog < 0 || page == MAP_FAILED) {
        report(output, std::string("cannot start: ") + std::strerror(errno));
        if (errorLog >= 0)
            close(errorLog);
        std::error_code ignored;
        std::filesystem::remove_all(staging, ignored);
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
        return 1;
    }
    sharedStage = static_cast<volatile JobStage*>(page);
    *sharedStage = JobStage::reading;

    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += limits.seconds;
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0)
        run_child(names, limits, oldMask, parent, staging, errorLog, job);
    close(errorLog);

    int result = 1, endingSignal = 0;
    if (child < 0) {
        report(output, std::string("cannot start: ") + std::strerror(errno));
    } else {
        int status = 0;
        const WaitEnd end =
            wait_for_child(child, limits.seconds != 0, deadline, status, endingSignal);
        if (end != WaitEnd::exited)
            stop(child);
        if (end != WaitEnd::interrupted)
            result = conclude(names, limits, end, status, staging, read_file(errorLogPath));
    }
    std::error_code ignored;
    std::filesystem::remove_all(staging, ignored);
    munmap(page, sizeof(JobStage));
    sharedStage = nullptr;
    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    if (endingSignal != 0) {
        // sigtimedwait took the signal: raise it again so that the tool ends as it asks.
        signal(endingSignal, SIG_DFL);
        raise(endingSignal);
    }
    return result;
}
