// Writing the asset: the document as .gltf text or in a glb container, and the buffers the
// layout placed, each into its BIN chunk, data URI or .bin file.
#ifndef WELDMESH_GLTF_WRITE_H
#define WELDMESH_GLTF_WRITE_H

#include "layout.h"
#include "model.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace gltf {

// One file being written, front to back.
class OutputFile {
  public:
    virtual ~OutputFile() = default;
    // False, with errno set, when the write failed.
    virtual bool write(const void* data, size_t size) = 0;
};

// Opens the output file that will end up at `finalPath` (the caller may stage it under another
// name). Throws ToolError when it cannot.
using OutputOpener = std::function<std::unique_ptr<OutputFile>(const std::string& finalPath)>;

// The files write_asset creates: the output, then its .bin files.
std::vector<std::string> output_files(const std::vector<OutputBuffer>& buffers,
                                      const std::string& outputPath);

// Writes the asset to `outputPath` (.glb or .gltf by its extension) and its .bin files beside
// it, through `open`. External images are referred to from the output's folder. Throws
// ToolError.
void write_asset(Asset& asset, const std::vector<OutputBuffer>& buffers,
                 const std::string& outputPath, const OutputOpener& open);

bool is_glb_path(const std::string& path);

} // namespace gltf

#endif
