// Exact welding of the vertices of one Assimp mesh.
#ifndef WELDMESH_MESH_WELD_H
#define WELDMESH_MESH_WELD_H

#include "attribute_selection.h"
#include "merge_limits.h"
#include "weld_report.h"

#include <assimp/mesh.h>

#include <string>

// Replaces the vertices of `mesh` by its distinct vertices over the selected attributes and
// renumbers its faces, which keep their order and size. Every other per-vertex attribute is
// removed. With `merge` active, vertices within its limits merge too, each into a copy of one of
// them (every attribute here is a float). Returns false with `error` set, leaving the mesh
// untouched, when a face refers to a vertex the mesh lacks, the mesh is too large for the welder
// or memory runs out.
bool weld_mesh(aiMesh& mesh, const AttributeSelection& selection, const MergeLimits& merge,
               MeshWeldResult& result, std::string& error);

#endif
