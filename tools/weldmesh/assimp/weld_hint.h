// The one-line hint for meshes whose normals keep apart corners that share a position.
#ifndef WELDMESH_WELD_HINT_H
#define WELDMESH_WELD_HINT_H

#include <assimp/scene.h>

#include <string>

// After welding on normals: when that left nearly every vertex (over 90 %) but positions alone
// would leave at most half of them, as with the per-face normals of STL files, a line saying so
// with the option that does it. Otherwise an empty string.
std::string positions_only_hint(const aiScene& scene, unsigned verticesBefore,
                                unsigned verticesAfter);

#endif
