#include "file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The path with "..", "." and every symbolic link resolved, as far as it exists.
fs::path resolved(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error)
        return fs::path(path).lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

bool is_within(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        // A trailing separator makes an empty last element.
        if (f->empty() && std::next(f) == folder.end())
            break;
        if (p == path.end() || *p != *f)
            return false;
    }
    return true;
}

} // namespace

int open_regular_file(const std::string& path) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(ErrorKind::unreadable, path,
                        std::string("cannot open: ") + std::strerror(errno));
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const std::string reason = S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file";
        close(fd);
        throw ToolError(ErrorKind::badInput, path, "cannot open: " + reason);
    }
    // Reads from a regular file never block; clear the flag for code that checks it.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool lies_within(const std::string& path, const std::string& folder) {
    return is_within(resolved(path), resolved(folder.empty() ? "." : folder));
}

ReadAccess::ReadAccess(std::string input, const std::string& folder, bool allowOutside)
    : input_(std::move(input)), folder_(resolved(folder.empty() ? "." : folder).string()),
      allowOutside_(allowOutside) {}

bool ReadAccess::allows(const std::string& path) const {
    return allowOutside_ || is_within(resolved(path), fs::path(folder_));
}

int ReadAccess::open(const std::string& path, const std::string& reference) const {
    if (!allows(path))
        throw outside(reference);
    return open_regular_file(path);
}

ToolError ReadAccess::outside(const std::string& reference) const {
    return ToolError(ErrorKind::badInput, input_,
                     reference +
                         " is outside the input's folder; --allow-outside-references reads it");
}
