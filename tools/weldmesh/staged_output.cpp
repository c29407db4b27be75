#include "staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// The final names, in the order of the staged files, each ended by a NUL.
const char kManifestName[] = "manifest";

// " NAME" when the file is also spelled `other`, for a message that names both spellings.
std::string also_named(const std::string& name, const std::string& other) {
    return name == other ? "" : " " + name;
}

} // namespace

StagedOutputs::~StagedOutputs() {
    for (File& file : files_)
        if (file.stream)
            std::fclose(file.stream);
}

std::string StagedOutputs::staged_path(size_t index) const {
    return directory_ + "/" + std::to_string(index);
}

void StagedOutputs::fail(const std::string& path, const std::string& reason) {
    if (error_.empty())
        error_ = path + ": " + reason;
}

std::FILE* StagedOutputs::open(const std::string& finalPath) {
    if (const std::string* input = inputs_.find(finalPath)) {
        if (*input == inputs_.main_file())
            fail(finalPath, "would overwrite the input file" + also_named(*input, finalPath));
        else
            fail(finalPath, "would overwrite " +
                                (*input == finalPath ? "a file" : *input + ", a file") +
                                " that the input " + inputs_.main_file() + " reads");
        return nullptr;
    }
    for (const File& file : files_) {
        if (same_destination(file.finalPath, finalPath)) {
            fail(finalPath,
                 "the export would write this file twice" + also_named(file.finalPath, finalPath));
            return nullptr;
        }
    }
    // The directory is private, so a name nobody else can plant; O_EXCL keeps it that way.
    const std::string path = staged_path(files_.size());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    std::FILE* stream = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (!stream) {
        fail(finalPath, std::string("cannot write: ") + std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    files_.push_back({finalPath, stream, 0});
    return stream;
}

void StagedOutputs::note_write_error(std::FILE* stream, int errnum) {
    for (File& file : files_)
        if (file.stream == stream && file.errnum == 0)
            file.errnum = errnum;
}

bool StagedOutputs::finish() {
    for (File& file : files_) {
        if (std::fflush(file.stream) != 0 && file.errnum == 0)
            file.errnum = errno;
        if (std::fclose(file.stream) != 0 && file.errnum == 0)
            file.errnum = errno;
        file.stream = nullptr;
        if (file.errnum != 0)
            fail(file.finalPath, std::string("cannot write: ") + std::strerror(file.errnum));
    }
    if (!error_.empty())
        return false;
    std::ofstream manifest(directory_ + "/" + kManifestName, std::ios::binary);
    for (const File& file : files_)
        manifest << file.finalPath << '\0';
    manifest.close();
    if (!manifest) {
        fail(directory_, std::string("cannot write: ") + std::strerror(errno));
        return false;
    }
    return true;
}

namespace {

struct Move {
    std::string staged;
    std::string finalPath;
    std::string backup; // where the file it replaces is kept until every move succeeded
    bool replaces = false;
    bool done = false;
};

// False when the export left no list of its files.
bool read_manifest(const std::string& directory, std::vector<Move>& moves) {
    std::ifstream manifest(directory + "/" + kManifestName, std::ios::binary);
    if (!manifest)
        return false;
    const std::string names{std::istreambuf_iterator<char>(manifest),
                            std::istreambuf_iterator<char>()};
    for (size_t start = 0, end; (end = names.find('\0', start)) != std::string::npos;
         start = end + 1) {
        const std::string index = std::to_string(moves.size());
        moves.push_back({directory + "/" + index, names.substr(start, end - start),
                         directory + "/backup-" + index});
    }
    return true;
}

// Keeps the file at `move.finalPath`, if any, as `move.backup`: a second name for it where the
// file system allows that, so that the final name never stands empty.
bool keep_replaced_file(Move& move) {
    struct stat info;
    if (lstat(move.finalPath.c_str(), &info) != 0)
        return errno == ENOENT;
    move.replaces = true;
    return link(move.finalPath.c_str(), move.backup.c_str()) == 0 ||
           std::rename(move.finalPath.c_str(), move.backup.c_str()) == 0;
}

void roll_back(std::vector<Move>& moves) {
    for (Move& move : moves) {
        if (move.done && !move.replaces)
            unlink(move.finalPath.c_str());
        else if (move.replaces)
            std::rename(move.backup.c_str(), move.finalPath.c_str());
    }
}

} // namespace

bool commit_staged_outputs(const std::string& directory, std::string& error) {
    std::vector<Move> moves;
    if (!read_manifest(directory, moves)) {
        error = directory + ": the export left no list of its files";
        return false;
    }
    // Every target is checked before anything moves.
    for (const Move& move : moves) {
        struct stat info;
        if (stat(move.finalPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            error = move.finalPath + ": cannot write: " + std::strerror(EISDIR);
            return false;
        }
    }
    for (Move& move : moves) {
        if (!keep_replaced_file(move) ||
            std::rename(move.staged.c_str(), move.finalPath.c_str()) != 0) {
            error = move.finalPath + ": cannot write: " + std::strerror(errno);
            roll_back(moves);
            return false;
        }
        move.done = true;
    }
    return true;
}
