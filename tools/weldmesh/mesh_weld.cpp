#include "mesh_weld.h"

#include "weldmesh.h"

#include <assimp/mesh.h>

#include <chrono>
#include <climits>
#include <vector>

static_assert(sizeof(ai_real) == sizeof(float), "the welder works on single-precision data");

namespace {

struct VertexLayout {
    bool normals = false;
    unsigned uvComponents = 0;
    bool colors = false;

    int floats() const { return 3 + (normals ? 3 : 0) + int(uvComponents) + (colors ? 4 : 0); }
};

VertexLayout layout_of(const aiMesh& mesh, const AttributeSelection& selection) {
    VertexLayout layout;
    layout.normals = selection.normals && mesh.HasNormals();
    layout.uvComponents = selection.uvs && mesh.HasTextureCoords(0) ? mesh.mNumUVComponents[0] : 0;
    layout.colors = selection.colors && mesh.HasVertexColors(0);
    return layout;
}

std::string dropped_attributes(const aiMesh& mesh, const VertexLayout& layout) {
    std::string dropped;
    auto add = [&dropped](const char* name) {
        dropped += dropped.empty() ? name : std::string(", ") + name;
    };
    if (mesh.HasNormals() && !layout.normals)
        add("normals");
    if (mesh.HasTangentsAndBitangents())
        add("tangents");
    if (mesh.HasTextureCoords(0) && layout.uvComponents == 0)
        add("uv");
    if (mesh.GetNumUVChannels() > 1)
        add("extra uv sets");
    if (mesh.HasVertexColors(0) && !layout.colors)
        add("color");
    if (mesh.GetNumColorChannels() > 1)
        add("extra color sets");
    return dropped;
}

std::vector<float> interleave(const aiMesh& mesh, const VertexLayout& layout) {
    std::vector<float> data;
    data.reserve(size_t(mesh.mNumVertices) * size_t(layout.floats()));
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
        const aiVector3D& p = mesh.mVertices[v];
        data.insert(data.end(), {p.x, p.y, p.z});
        if (layout.normals) {
            const aiVector3D& n = mesh.mNormals[v];
            data.insert(data.end(), {n.x, n.y, n.z});
        }
        for (unsigned c = 0; c < layout.uvComponents; ++c)
            data.push_back(mesh.mTextureCoords[0][v][c]);
        if (layout.colors) {
            const aiColor4D& k = mesh.mColors[0][v];
            data.insert(data.end(), {k.r, k.g, k.b, k.a});
        }
    }
    return data;
}

// Replaces the mesh's vertex arrays by `count` vertices read from `data`; attributes outside
// the layout are freed.
void deinterleave(aiMesh& mesh, const VertexLayout& layout, const float* data, unsigned count) {
    aiMesh empty;
    auto* positions = new aiVector3D[count];
    auto* normals = layout.normals ? new aiVector3D[count] : nullptr;
    auto* uvs = layout.uvComponents ? new aiVector3D[count] : nullptr;
    auto* colors = layout.colors ? new aiColor4D[count] : nullptr;
    for (unsigned v = 0; v < count; ++v) {
        positions[v] = aiVector3D(data[0], data[1], data[2]);
        data += 3;
        if (normals) {
            normals[v] = aiVector3D(data[0], data[1], data[2]);
            data += 3;
        }
        for (unsigned c = 0; c < layout.uvComponents; ++c)
            uvs[v][c] = *data++;
        if (colors) {
            colors[v] = aiColor4D(data[0], data[1], data[2], data[3]);
            data += 4;
        }
    }

    // Handing the old arrays to a scratch mesh lets its destructor free them.
    std::swap(empty.mVertices, mesh.mVertices);
    std::swap(empty.mNormals, mesh.mNormals);
    std::swap(empty.mTangents, mesh.mTangents);
    std::swap(empty.mBitangents, mesh.mBitangents);
    std::swap(empty.mTextureCoords, mesh.mTextureCoords);
    std::swap(empty.mColors, mesh.mColors);
    std::swap(empty.mNumUVComponents, mesh.mNumUVComponents);
    mesh.mNumUVComponents[0] = layout.uvComponents;

    mesh.mVertices = positions;
    mesh.mNormals = normals;
    mesh.mTextureCoords[0] = uvs;
    mesh.mColors[0] = colors;
    mesh.mNumVertices = count;
}

} // namespace

bool weld_mesh(aiMesh& mesh, const AttributeSelection& selection, MeshWeldResult& result,
               std::string& error) {
    result = MeshWeldResult{};
    result.faces = mesh.mNumFaces;
    result.verticesBefore = result.verticesAfter = mesh.mNumVertices;
    if (mesh.HasBones() || mesh.mNumAnimMeshes > 0) {
        result.skipReason = "bones or morph targets refer to its vertices";
        return true;
    }
    if (mesh.mNumVertices == 0)
        return true;

    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        for (unsigned i = 0; i < face.mNumIndices; ++i) {
            if (face.mIndices[i] >= mesh.mNumVertices) {
                error = "face " + std::to_string(f) + " refers to vertex " +
                        std::to_string(face.mIndices[i]) + " of " +
                        std::to_string(mesh.mNumVertices);
                return false;
            }
        }
    }

    const VertexLayout layout = layout_of(mesh, selection);
    const int floatsPerVertex = layout.floats();
    if (mesh.mNumVertices > unsigned(INT_MAX / floatsPerVertex)) {
        error = std::to_string(mesh.mNumVertices) + " vertices of " +
                std::to_string(floatsPerVertex) + " floats exceed the welder's limit of " +
                std::to_string(INT_MAX) + " floats per mesh";
        return false;
    }

    const int count = int(mesh.mNumVertices);
    const std::vector<float> in = interleave(mesh, layout);
    std::vector<float> out(in.size());
    std::vector<int> remap(static_cast<size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    const int unique = WeldMesh(remap.data(), out.data(), in.data(), count, floatsPerVertex);
    result.weldSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (unique == 0) {
        error = "out of memory while welding " + std::to_string(count) + " vertices";
        return false;
    }

    result.dropped = dropped_attributes(mesh, layout);
    deinterleave(mesh, layout, out.data(), unsigned(unique));
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        aiFace& face = mesh.mFaces[f];
        for (unsigned i = 0; i < face.mNumIndices; ++i)
            face.mIndices[i] = unsigned(remap[face.mIndices[i]]);
    }
    result.verticesAfter = unsigned(unique);
    return true;
}
