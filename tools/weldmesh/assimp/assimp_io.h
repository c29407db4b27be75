// Assimp file systems that record what a reader opens and stage what an exporter writes.
#ifndef WELDMESH_ASSIMP_IO_H
#define WELDMESH_ASSIMP_IO_H

#include "file_access.h"
#include "input_files.h"
#include "staged_output.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/scene.h>

#include <string>

// Records every file the importer opens, the input's side files (materials, buffers) included,
// and opens only those `access` allows: regular files, inside the input's folder unless the
// user allowed more.
class RecordingIOSystem : public Assimp::DefaultIOSystem {
  public:
    RecordingIOSystem(InputFiles& inputs, const ReadAccess& access)
        : inputs_(inputs), access_(access) {}
    Assimp::IOStream* Open(const char* path, const char* mode = "rb") override;

    // The first file refused, as "FILE: reason", or an empty string: a reader that cannot open a
    // file reports it in its own words, which would hide why.
    const std::string& refusal() const { return refusal_; }

  private:
    InputFiles& inputs_;
    const ReadAccess& access_;
    std::string refusal_;
};

// Records the image files the scene's materials refer to; a reader does not open them.
void add_texture_files(const aiScene& scene, InputFiles& inputs);

// Sends every file an exporter opens for writing to `outputs`.
class StagingIOSystem : public Assimp::DefaultIOSystem {
  public:
    explicit StagingIOSystem(StagedOutputs& outputs) : outputs_(outputs) {}
    Assimp::IOStream* Open(const char* path, const char* mode = "rb") override;

  private:
    StagedOutputs& outputs_;
};

#endif
