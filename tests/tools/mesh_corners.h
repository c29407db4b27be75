// The attribute values of a mesh at its face corners, for comparing a mesh before and after.
#ifndef WELDMESH_TESTS_MESH_CORNERS_H
#define WELDMESH_TESTS_MESH_CORNERS_H

#include <assimp/mesh.h>

#include <map>
#include <string>
#include <vector>

// Every per-vertex array the mesh has, by name, with its values at each face corner in order.
inline std::map<std::string, std::vector<float>> corner_values(const aiMesh& mesh) {
    std::map<std::string, std::vector<float>> arrays;
    auto add = [&](const std::string& name, const auto* array, unsigned components) {
        if (!array)
            return;
        std::vector<float>& values = arrays[name];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i)
                for (unsigned c = 0; c < components; ++c)
                    values.push_back(array[mesh.mFaces[f].mIndices[i]][c]);
    };
    add("position", mesh.mVertices, 3);
    add("normal", mesh.mNormals, 3);
    add("tangent", mesh.mTangents, 3);
    add("bitangent", mesh.mBitangents, 3);
    for (unsigned set = 0; set < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++set)
        add("uv" + std::to_string(set), mesh.mTextureCoords[set], mesh.mNumUVComponents[set]);
    for (unsigned set = 0; set < AI_MAX_NUMBER_OF_COLOR_SETS; ++set)
        add("color" + std::to_string(set), mesh.mColors[set], 4);
    return arrays;
}

#endif
