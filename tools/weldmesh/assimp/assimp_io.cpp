#include "assimp_io.h"

#include <assimp/DefaultIOStream.h>
#include <assimp/IOStream.hpp>
#include <assimp/material.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

bool writes(const char* mode) {
    return std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+');
}

// A staged file; StagedOutputs closes it, so that a failed close is reported too.
class StagedStream : public Assimp::IOStream {
  public:
    StagedStream(std::FILE* file, StagedOutputs& outputs) : file_(file), outputs_(outputs) {}

    size_t Read(void*, size_t, size_t) override { return 0; }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        const size_t written = std::fwrite(buffer, size, count, file_);
        if (written != count)
            outputs_.note_write_error(file_, errno);
        return written;
    }
    aiReturn Seek(size_t offset, aiOrigin origin) override {
        const int whence = origin == aiOrigin_SET   ? SEEK_SET
                           : origin == aiOrigin_CUR ? SEEK_CUR
                                                    : SEEK_END;
        return std::fseek(file_, long(offset), whence) == 0 ? aiReturn_SUCCESS : aiReturn_FAILURE;
    }
    size_t Tell() const override { return size_t(std::ftell(file_)); }
    size_t FileSize() const override {
        std::fflush(file_);
        struct stat info;
        return fstat(fileno(file_), &info) == 0 ? size_t(info.st_size) : 0;
    }
    void Flush() override {
        if (std::fflush(file_) != 0)
            outputs_.note_write_error(file_, errno);
    }

  private:
    std::FILE* file_;
    StagedOutputs& outputs_;
};

// Assimp's own stream over a file this tool opened.
class ReadStream : public Assimp::DefaultIOStream {
  public:
    ReadStream(std::FILE* file, const std::string& path) : DefaultIOStream(file, path) {}
};

} // namespace

Assimp::IOStream* RecordingIOSystem::Open(const char* path, const char* mode) {
    if (writes(mode))
        return nullptr;
    int fd = -1;
    try {
        fd = access_.open(path, "'" + std::string(path) + "'");
    } catch (const ToolError& error) {
        // Readers look for files that may not be there; only a refusal is worth reporting.
        if (error.kind() == ErrorKind::badInput && refusal_.empty())
            refusal_ = error.what();
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (!file) {
        close(fd);
        return nullptr;
    }
    inputs_.add(path);
    return new ReadStream(file, path);
}

void add_texture_files(const aiScene& scene, InputFiles& inputs) {
    const std::filesystem::path folder = std::filesystem::path(inputs.main_file()).parent_path();
    for (unsigned m = 0; m < scene.mNumMaterials; ++m) {
        const aiMaterial& material = *scene.mMaterials[m];
        for (int type = aiTextureType_NONE; type <= AI_TEXTURE_TYPE_MAX; ++type) {
            for (unsigned t = 0; t < material.GetTextureCount(aiTextureType(type)); ++t) {
                aiString name;
                if (material.GetTexture(aiTextureType(type), t, &name) != AI_SUCCESS)
                    continue;
                // "*N" names a texture embedded in the model.
                if (name.length == 0 || name.data[0] == '*')
                    continue;
                inputs.add((folder / name.C_Str()).string());
            }
        }
    }
}

Assimp::IOStream* StagingIOSystem::Open(const char* path, const char* mode) {
    if (!writes(mode))
        return DefaultIOSystem::Open(path, mode);
    std::FILE* file = outputs_.open(path);
    return file ? new StagedStream(file, outputs_) : nullptr;
}
