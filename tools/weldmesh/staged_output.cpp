#include "staged_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

Assimp::IOStream* StagedOutputSystem::Open(const char* path, const char* mode) {
    if (!std::strchr(mode, 'w') && !std::strchr(mode, 'a'))
        return DefaultIOSystem::Open(path, mode);
    for (const StagedFile& file : files_)
        if (file.finalPath == path)
            return DefaultIOSystem::Open(file.stagingPath.c_str(), mode);
    const std::string staging =
        std::string(path) + ".weldmesh-" + std::to_string(getpid()) + ".tmp";
    Assimp::IOStream* stream = DefaultIOSystem::Open(staging.c_str(), mode);
    if (stream)
        files_.push_back({path, staging});
    return stream;
}

bool StagedOutputSystem::commit(const std::string& protectedPath, std::string& error) {
    for (const StagedFile& file : files_) {
        if (same_file(file.finalPath, protectedPath)) {
            error = file.finalPath + ": would overwrite the input file";
            discard();
            return false;
        }
    }
    for (const StagedFile& file : files_) {
        if (std::rename(file.stagingPath.c_str(), file.finalPath.c_str()) != 0) {
            error = file.finalPath + ": cannot write: " + std::strerror(errno);
            discard();
            return false;
        }
    }
    files_.clear();
    return true;
}

void StagedOutputSystem::discard() {
    for (const StagedFile& file : files_)
        std::remove(file.stagingPath.c_str());
    files_.clear();
}
