// Reading a glTF asset: the glb container or the JSON text, the document, and the bytes of every
// buffer, from data URIs, the glb's BIN chunk or files beside the input.
#ifndef WELDMESH_GLTF_READ_H
#define WELDMESH_GLTF_READ_H

#include "file_access.h"
#include "model.h"

#include <string>

namespace gltf {

// Reads the file at `path` into `asset`, and every buffer file that `access` lets it read.
// Throws ToolError.
void read_asset(Asset& asset, const std::string& path, const ReadAccess& access);

// Reads a .gltf or .glb held in memory (named `name` in errors); a buffer in a file is refused.
// `data` must outlive the asset.
void read_asset(Asset& asset, const uint8_t* data, size_t size, const std::string& name);

} // namespace gltf

#endif
