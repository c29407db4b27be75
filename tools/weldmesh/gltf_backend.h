// The glTF back-end: reads a .gltf or .glb as its JSON document and binary buffers, welds every
// triangle primitive on the bytes of all its attributes, and writes the asset back with nothing
// else changed.
#ifndef WELDMESH_GLTF_BACKEND_H
#define WELDMESH_GLTF_BACKEND_H

#include "mesh_weld.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One file being written; the back-end writes it front to back and never seeks.
class OutputFile {
  public:
    virtual ~OutputFile() = default;
    virtual bool write(const void* data, size_t size) = 0;
};

// Opens the output file that will end up at `finalPath` (the caller may stage it under another
// name). Returns null with `error` set when it cannot.
using OutputOpener =
    std::function<std::unique_ptr<OutputFile>(const std::string& finalPath, std::string& error)>;

// True for the paths the glTF back-end reads and writes (.gltf and .glb, any case).
bool is_gltf_path(const std::string& path);

class GltfAsset {
  public:
    GltfAsset();
    ~GltfAsset();
    GltfAsset(const GltfAsset&) = delete;
    GltfAsset& operator=(const GltfAsset&) = delete;

    // Reads the asset and the buffers it refers to, and checks every buffer view and accessor
    // against the data. The error names the file at fault: "path: reason".
    bool read(const std::string& path, std::string& error);

    // The input, its external buffers and its external images, as paths that open them.
    std::vector<std::string> files_read() const;
    // The files write() creates for `outputPath`: the output and its external buffers.
    std::vector<std::string> files_to_write(const std::string& outputPath) const;

    // Welds every triangle primitive on the attributes `selection` keeps, removes the others.
    bool weld(const AttributeSelection& selection, WeldReport& report, std::string& error);

    // Writes the asset as .glb or .gltf, by `outputPath`'s extension, through `open`.
    bool write(const std::string& outputPath, const OutputOpener& open, std::string& error) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

#endif
