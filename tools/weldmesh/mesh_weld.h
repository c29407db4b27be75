// Exact welding of the vertices of one Assimp mesh.
#ifndef WELDMESH_MESH_WELD_H
#define WELDMESH_MESH_WELD_H

#include <assimp/mesh.h>

#include <string>
#include <vector>

// Attributes welded on and kept besides positions, which are always both.
struct AttributeSelection {
    bool normals = true; // with the tangents and bitangents, which are built on them
    unsigned uvSets = AI_MAX_NUMBER_OF_TEXTURECOORDS; // texture coordinate sets, from the first
    unsigned colorSets = AI_MAX_NUMBER_OF_COLOR_SETS; // vertex colour sets, from the first
};

struct MeshWeldResult {
    unsigned faces = 0;
    unsigned verticesBefore = 0;
    unsigned verticesAfter = 0;
    double weldSeconds = 0.0;
    // Non-empty when the mesh was left as it was, and why.
    std::string skipReason;
    // The per-vertex attributes the mesh carries afterwards, and those it had that were removed,
    // for the verbose report.
    std::string kept;
    std::string dropped;
};

// The weld summary of a whole file: a line per mesh (or glTF primitive), then the total.
struct WeldReportLine {
    std::string label;
    MeshWeldResult result;
};

struct WeldReport {
    std::vector<WeldReportLine> lines;
    MeshWeldResult total;
    unsigned meshes = 0;
};

// Replaces the vertices of `mesh` by its distinct vertices over the selected attributes and
// renumbers its faces, which keep their order and size. Every other per-vertex attribute is
// removed. Returns false with `error` set, leaving the mesh untouched, when a face refers to a
// vertex the mesh lacks, the mesh is too large for the welder or memory runs out.
bool weld_mesh(aiMesh& mesh, const AttributeSelection& selection, MeshWeldResult& result,
               std::string& error);

#endif
