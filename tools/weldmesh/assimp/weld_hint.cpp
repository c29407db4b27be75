#include "weld_hint.h"

#include "weldmesh.h"

#include <vector>

namespace {

// Distinct positions of a mesh; its vertices are welded already, so this is the count a weld
// on positions alone would leave.
unsigned distinct_positions(const aiMesh& mesh) {
    if (mesh.mNumVertices == 0)
        return 0;
    std::vector<float> positions(size_t(mesh.mNumVertices) * 3);
    for (unsigned v = 0; v < mesh.mNumVertices; ++v)
        for (unsigned c = 0; c < 3; ++c)
            positions[size_t(v) * 3 + c] = mesh.mVertices[v][c];
    std::vector<float> out(positions.size());
    std::vector<int> remap(mesh.mNumVertices);
    const int count =
        WeldMesh(remap.data(), out.data(), positions.data(), int(mesh.mNumVertices), 3);
    return count > 0 ? unsigned(count) : mesh.mNumVertices;
}

} // namespace

std::string positions_only_hint(const aiScene& scene, unsigned verticesBefore,
                                unsigned verticesAfter) {
    bool normals = false;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        normals = normals || scene.mMeshes[m]->HasNormals();
    if (!normals || verticesAfter == 0 || double(verticesAfter) < 0.9 * double(verticesBefore))
        return "";
    unsigned positions = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        positions += distinct_positions(*scene.mMeshes[m]);
    if (double(positions) > 0.5 * double(verticesAfter))
        return "";
    return "hint: the normals keep corners apart that share a position; welded on positions alone "
           "(-a position), " +
           std::to_string(verticesBefore) + " -> " + std::to_string(positions) + " vertices";
}
