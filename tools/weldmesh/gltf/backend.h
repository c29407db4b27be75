// The glTF back-end: a .gltf or .glb read, validated, welded and written by its stages, with
// nothing in the asset changed but what welding must change.
#ifndef WELDMESH_GLTF_BACKEND_H
#define WELDMESH_GLTF_BACKEND_H

#include "attribute_selection.h"
#include "file_access.h"
#include "merge_limits.h"
#include "model.h"
#include "weld_report.h"
#include "write.h"

#include <string>
#include <vector>

namespace gltf {

// True for the paths the glTF back-end reads and writes (.gltf and .glb, any case).
bool is_gltf_path(const std::string& path);

class AssetWeld {
  public:
    // Reads and validates the asset and the buffers it refers to. Throws ToolError.
    void read(const std::string& path, const ReadAccess& access);
    void read(const uint8_t* data, size_t size, const std::string& name);

    // What validation flagged and reading survived, one line each.
    const std::vector<std::string>& warnings() const { return asset_.warnings; }

    // The vertices and corners the weld would read: what the weld's memory grows with.
    size_t weld_size() const;

    // The input, its buffer files and its external images, as paths that open them.
    std::vector<std::string> files_read() const;

    // Welds every primitive of triangles on the attributes `selection` keeps, merging vertices
    // within `merge`'s limits where it is active, and removes the other attributes. An asset
    // that requires an extension the tool does not know is left as it was. Throws ToolError or
    // std::bad_alloc.
    WeldReport weld(const AttributeSelection& selection, const MergeLimits& merge);

    // Lays out the buffers for `outputPath` and writes the asset through `open`.
    void write(const std::string& outputPath, const OutputOpener& open);

  private:
    Asset asset_;
    bool keepAll_ = false;
};

} // namespace gltf

#endif
