// Validation: one pass over the whole document, against the buffers' bytes, before anything is
// welded. It refuses, in one line, whatever cannot be read safely, and fills the asset's views,
// accessors and primitives, which the later stages then read without checking again.
#ifndef WELDMESH_GLTF_VALIDATE_H
#define WELDMESH_GLTF_VALIDATE_H

#include "model.h"

namespace gltf {

// Throws ToolError for a reference out of range, a view past its buffer, an accessor past its
// view, sparse indices out of range or not increasing, an index past its primitive's vertex
// count, attributes of one primitive with different counts, or a value of the wrong type where
// the weld reads one. Adds a warning to the asset, and goes on, for what a glTF validator flags
// but reading survives (misaligned data, a byteStride out of glTF's range).
void validate(Asset& asset);

} // namespace gltf

#endif
