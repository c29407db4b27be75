// A whole file mapped read-only. Pages read once can be handed back to the kernel, which rereads
// them from the file if they are touched again, so a large input is never all in memory at once.
#ifndef WELDMESH_GLTF_MAPPED_FILE_H
#define WELDMESH_GLTF_MAPPED_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    ~MappedFile();

    // Maps the file open on `fd`, which it closes. Throws ToolError naming `path`.
    void map(int fd, const std::string& path);

    // Hands back the pages wholly inside [begin, begin + length), when they are this file's.
    void release(const uint8_t* begin, size_t length) const;

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

#endif
