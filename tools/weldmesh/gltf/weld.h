// The weld of a glTF asset: every primitive of triangles (lists, strips and fans) welded on the
// bytes of all the attributes it keeps, and the document edited to match.
#ifndef WELDMESH_GLTF_WELD_H
#define WELDMESH_GLTF_WELD_H

#include "attribute_selection.h"
#include "merge_limits.h"
#include "model.h"
#include "weld_report.h"

namespace gltf {

// Welds the asset's primitives and rewrites their accessors: the welded data goes into new
// views (asset.newViews), an accessor nothing else refers to takes the welded data in its place,
// one still referred to elsewhere keeps its data and the welded data gets a new accessor, and
// the accessors the weld left unused go. With `keepAll` (the asset uses an extension the tool
// does not know) every existing accessor stays as it was and the welded data is appended. With
// `merge` active, vertices within its limits merge too, each into a copy of an input vertex.
// Throws ToolError, or std::bad_alloc.
WeldReport weld_asset(Asset& asset, const AttributeSelection& selection, const MergeLimits& merge,
                      bool keepAll);

} // namespace gltf

#endif
