#include "mapped_file.h"

#include "tool_error.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

MappedFile::~MappedFile() {
    if (size_ > 0)
        munmap(const_cast<uint8_t*>(data_), size_);
}

void MappedFile::map(int fd, const std::string& path) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        throw ToolError(ErrorKind::unreadable, path,
                        std::string("cannot read: ") + std::strerror(error));
    }
    const size_t size = size_t(info.st_size);
    void* map = size == 0 ? nullptr : mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    const int error = errno;
    close(fd);
    if (map == MAP_FAILED)
        throw ToolError(error == ENOMEM ? ErrorKind::outOfMemory : ErrorKind::unreadable, path,
                        std::string("cannot read: ") + std::strerror(error));
    *this = MappedFile();
    data_ = static_cast<const uint8_t*>(map);
    size_ = size;
}

void MappedFile::release(const uint8_t* begin, size_t length) const {
    if (size_ == 0 || begin < data_ || length > size_ || begin - data_ > ptrdiff_t(size_ - length))
        return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = (uintptr_t(begin) + length) & ~(page - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}
