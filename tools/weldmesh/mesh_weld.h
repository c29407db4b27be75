// Exact welding of the vertices of one Assimp mesh.
#ifndef WELDMESH_MESH_WELD_H
#define WELDMESH_MESH_WELD_H

#include <string>

struct aiMesh;

// Attributes welded on and kept besides positions, which are always both.
struct AttributeSelection {
    bool normals = true;
    bool uvs = true;    // first texture coordinate set
    bool colors = true; // first vertex colour set
};

struct MeshWeldResult {
    unsigned faces = 0;
    unsigned verticesBefore = 0;
    unsigned verticesAfter = 0;
    double weldSeconds = 0.0;
    // Non-empty when the mesh was left as it was, and why.
    std::string skipReason;
    // What the mesh had that the welded mesh no longer carries, for the verbose report.
    std::string dropped;
};

// Replaces the vertices of `mesh` by its distinct vertices over the selected attributes and
// renumbers its faces, which keep their order and size. Every other per-vertex attribute is
// removed. Returns false with `error` set, leaving the mesh untouched, when a face refers to a
// vertex the mesh lacks, the mesh is too large for the welder or memory runs out.
bool weld_mesh(aiMesh& mesh, const AttributeSelection& selection, MeshWeldResult& result,
               std::string& error);

#endif
