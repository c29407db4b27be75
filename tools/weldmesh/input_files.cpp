#include "input_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

namespace {

std::filesystem::path resolved(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        return std::filesystem::path(path).lexically_normal();
    std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

} // namespace

bool same_destination(const std::string& a, const std::string& b) {
    if (exists(a) && exists(b))
        return same_file(a, b);
    return resolved(a) == resolved(b);
}

void InputFiles::add(const std::string& path) {
    if (!find(path))
        files_.push_back(path);
}

const std::string* InputFiles::find(const std::string& path) const {
    if (same_destination(path, mainFile_))
        return &mainFile_;
    const auto match = std::find_if(files_.begin(), files_.end(), [&](const std::string& file) {
        return same_destination(path, file);
    });
    return match == files_.end() ? nullptr : &*match;
}
