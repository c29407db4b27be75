// Assimp file systems that record what a reader opens and stage what an exporter writes.
#ifndef WELDMESH_ASSIMP_IO_H
#define WELDMESH_ASSIMP_IO_H

#include "input_files.h"
#include "staged_output.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/scene.h>

// Records every file the importer opens, the input's side files (materials, buffers) included.
class RecordingIOSystem : public Assimp::DefaultIOSystem {
  public:
    explicit RecordingIOSystem(InputFiles& inputs) : inputs_(inputs) {}
    Assimp::IOStream* Open(const char* path, const char* mode = "rb") override;

  private:
    InputFiles& inputs_;
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
