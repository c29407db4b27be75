#include "mesh_weld.h"

#include "merge_measure.h"
#include "mergeclose.h"
#include "weldmesh.h"

#include <assimp/mesh.h>

#include <chrono>
#include <climits>
#include <string>
#include <utility>
#include <vector>

static_assert(sizeof(ai_real) == sizeof(float), "the welder works on single-precision data");

namespace {

// One per-vertex array of a mesh, held through the mesh's own pointer to it so that welding
// can replace it: exactly one of `vectors` and `colors` is set.
struct Stream {
    Stream(std::string name, aiVector3D*& array, unsigned components, bool selected)
        : name(std::move(name)), vectors(&array), components(components), present(array != nullptr),
          kept(selected && present) {}
    Stream(std::string name, aiColor4D*& array, bool selected)
        : name(std::move(name)), colors(&array), components(4), present(array != nullptr),
          kept(selected && present) {}

    float value(unsigned vertex, unsigned component) const {
        return vectors ? (*vectors)[vertex][component] : (*colors)[vertex][component];
    }

    std::string name;
    aiVector3D** vectors = nullptr;
    aiColor4D** colors = nullptr;
    unsigned components; // floats per vertex welded on and kept
    bool present;
    bool kept;
};

// A reader that leaves the count unset gets all three components welded and kept.
unsigned uv_components(unsigned count) {
    return count >= 1 && count <= 3 ? count : 3;
}

std::vector<Stream> streams_of(aiMesh& mesh, const AttributeSelection& selection) {
    std::vector<Stream> streams;
    streams.emplace_back("position", mesh.mVertices, 3, true);
    streams.emplace_back("normal", mesh.mNormals, 3, selection.normals);
    streams.emplace_back("tangent", mesh.mTangents, 3, selection.normals);
    streams.emplace_back("bitangent", mesh.mBitangents, 3, selection.normals);
    for (unsigned set = 0; set < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++set)
        streams.emplace_back("uv" + std::to_string(set), mesh.mTextureCoords[set],
                             uv_components(mesh.mNumUVComponents[set]), set < selection.uvSets);
    for (unsigned set = 0; set < AI_MAX_NUMBER_OF_COLOR_SETS; ++set)
        streams.emplace_back("color" + std::to_string(set), mesh.mColors[set],
                             set < selection.colorSets);
    return streams;
}

template <typename Chosen> std::string names_of(const std::vector<Stream>& streams, Chosen chosen) {
    std::string names;
    for (const Stream& stream : streams)
        if (chosen(stream))
            names += (names.empty() ? "" : ", ") + stream.name;
    return names;
}

int floats_per_vertex(const std::vector<Stream>& streams) {
    int floats = 0;
    for (const Stream& stream : streams)
        floats += stream.kept ? int(stream.components) : 0;
    return floats;
}

std::vector<float> interleave(const std::vector<Stream>& streams, unsigned count) {
    std::vector<float> data;
    data.reserve(size_t(count) * size_t(floats_per_vertex(streams)));
    for (unsigned v = 0; v < count; ++v)
        for (const Stream& stream : streams)
            for (unsigned c = 0; stream.kept && c < stream.components; ++c)
                data.push_back(stream.value(v, c));
    return data;
}

// Frees `array` and replaces it by `count` elements of the stream read from `data`, or by
// nothing when the stream is not kept.
template <typename Element>
void rebuild(Element*& array, const Stream& stream, const float* data, unsigned count, int stride) {
    Element* rebuilt = stream.kept ? new Element[count] : nullptr;
    for (unsigned v = 0; rebuilt && v < count; ++v)
        for (unsigned c = 0; c < stream.components; ++c)
            rebuilt[v][c] = data[size_t(v) * size_t(stride) + c];
    delete[] array;
    array = rebuilt;
}

void deinterleave(aiMesh& mesh, const std::vector<Stream>& streams, const float* data,
                  unsigned count) {
    const int stride = floats_per_vertex(streams);
    for (const Stream& stream : streams) {
        if (stream.vectors)
            rebuild(*stream.vectors, stream, data, count, stride);
        else
            rebuild(*stream.colors, stream, data, count, stride);
        data += stream.kept ? stream.components : 0;
    }
    for (unsigned set = 0; set < AI_MAX_NUMBER_OF_TEXTURECOORDS; ++set)
        if (!mesh.mTextureCoords[set])
            mesh.mNumUVComponents[set] = 0;
    mesh.mNumVertices = count;
}

const int kPositionFloats = 3; // the first stream's

// Welds, or merges within the limits, `count` vertices of `floats` each; 0 when memory runs out.
int weld_vertices(std::vector<int>& remap, std::vector<float>& out, const std::vector<float>& in,
                  int count, int floats, const MergeLimits& merge) {
    if (!merge.active)
        return WeldMesh(remap.data(), out.data(), in.data(), count, floats);
    const std::vector<float> tolerances(size_t(floats - kPositionFloats), merge.tolerance);
    return MergeCloseVertices(remap.data(), out.data(), in.data(), count, floats, kPositionFloats,
                              merge.distance, tolerances.data(), int(tolerances.size()));
}

MergeSummary measure_merge(const aiMesh& mesh, const std::vector<float>& in,
                           const std::vector<float>& out, const std::vector<int>& remap,
                           int floats) {
    MergeMeasure measure(in.data(), out.data(), remap.data(), remap.size(), size_t(floats),
                         kPositionFloats);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        const aiFace& face = mesh.mFaces[f];
        for (unsigned i = 0; i < face.mNumIndices; ++i)
            measure.add_corner(face.mIndices[i]);
        measure.add_face(face.mIndices, face.mNumIndices);
    }
    return measure.summary();
}

} // namespace

bool weld_mesh(aiMesh& mesh, const AttributeSelection& selection, const MergeLimits& merge,
               MeshWeldResult& result, std::string& error) {
    result = MeshWeldResult{};
    result.faces = mesh.mNumFaces;
    result.verticesBefore = result.verticesAfter = mesh.mNumVertices;
    const std::vector<Stream> streams = streams_of(mesh, selection);
    if (mesh.HasBones() || mesh.mNumAnimMeshes > 0) {
        result.kept = names_of(streams, [](const Stream& stream) { return stream.present; });
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

    const int floatsPerVertex = floats_per_vertex(streams);
    if (mesh.mNumVertices > unsigned(INT_MAX / floatsPerVertex)) {
        error = std::to_string(mesh.mNumVertices) + " vertices of " +
                std::to_string(floatsPerVertex) + " floats exceed the welder's limit of " +
                std::to_string(INT_MAX) + " floats per mesh";
        return false;
    }

    const int count = int(mesh.mNumVertices);
    const std::vector<float> in = interleave(streams, mesh.mNumVertices);
    std::vector<float> out(in.size());
    std::vector<int> remap(static_cast<size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    const int unique = weld_vertices(remap, out, in, count, floatsPerVertex, merge);
    result.weldSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (unique == 0) {
        error = "out of memory while welding " + std::to_string(count) + " vertices";
        return false;
    }

    if (merge.active)
        result.merge = measure_merge(mesh, in, out, remap, floatsPerVertex);
    result.kept = names_of(streams, [](const Stream& stream) { return stream.kept; });
    result.dropped =
        names_of(streams, [](const Stream& stream) { return stream.present && !stream.kept; });
    deinterleave(mesh, streams, out.data(), unsigned(unique));
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        aiFace& face = mesh.mFaces[f];
        for (unsigned i = 0; i < face.mNumIndices; ++i)
            face.mIndices[i] = unsigned(remap[face.mIndices[i]]);
    }
    result.verticesAfter = unsigned(unique);
    return true;
}
