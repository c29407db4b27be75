#include "mesh_corners.h"
#include "mesh_weld.h"

#include <assimp/mesh.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

const float kNaN = std::nanf("");

void set_faces(aiMesh& mesh, const std::vector<std::vector<unsigned>>& faces) {
    mesh.mNumFaces = unsigned(faces.size());
    mesh.mFaces = new aiFace[faces.size()];
    for (size_t f = 0; f < faces.size(); ++f) {
        mesh.mFaces[f].mNumIndices = unsigned(faces[f].size());
        mesh.mFaces[f].mIndices = new unsigned[faces[f].size()];
        std::copy(faces[f].begin(), faces[f].end(), mesh.mFaces[f].mIndices);
    }
}

// A quad and a triangle over seven vertices: 0 and 3 differ only in the sign of a zero, 4 and 6
// are bit-identical, and 5 repeats 2 but holds a NaN, which equals nothing.
struct QuadAndTriangle : testing::Test {
    aiMesh mesh;
    std::vector<std::vector<unsigned>> faces = {{0, 1, 2, 3}, {4, 5, 6}};

    void SetUp() override {
        const std::vector<aiVector3D> positions = {
            {0, 0, 0}, {1, 0, 0}, {1, kNaN, 0}, {-0.0f, 0, 0}, {2, 2, 2}, {1, kNaN, 0}, {2, 2, 2}};
        mesh.mNumVertices = unsigned(positions.size());
        mesh.mVertices = new aiVector3D[positions.size()];
        mesh.mNormals = new aiVector3D[positions.size()];
        mesh.mTangents = new aiVector3D[positions.size()];
        mesh.mBitangents = new aiVector3D[positions.size()];
        for (size_t v = 0; v < positions.size(); ++v) {
            mesh.mVertices[v] = positions[v];
            mesh.mNormals[v] = aiVector3D(0, 0, 1);
        }
        set_faces(mesh, faces);
    }

    std::vector<aiVector3D> corner_positions() const {
        std::vector<aiVector3D> corners;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i)
                corners.push_back(mesh.mVertices[mesh.mFaces[f].mIndices[i]]);
        return corners;
    }
};

bool same_values(const aiVector3D& a, const aiVector3D& b) {
    for (unsigned c = 0; c < 3; ++c)
        if (!(a[c] == b[c] || (std::isnan(a[c]) && std::isnan(b[c]))))
            return false;
    return true;
}

TEST_F(QuadAndTriangle, MergesExactDuplicatesOnlyAndKeepsEveryCorner) {
    const std::vector<aiVector3D> before = corner_positions();
    MeshWeldResult result;
    std::string error;
    ASSERT_TRUE(weld_mesh(mesh, AttributeSelection{}, MergeLimits{}, result, error)) << error;

    EXPECT_EQ(result.faces, 2u);
    EXPECT_EQ(result.verticesBefore, 7u);
    EXPECT_EQ(result.verticesAfter, 5u);
    EXPECT_EQ(mesh.mNumVertices, 5u);
    ASSERT_EQ(mesh.mFaces[0].mNumIndices, 4u);
    ASSERT_EQ(mesh.mFaces[1].mNumIndices, 3u);
    const std::vector<aiVector3D> after = corner_positions();
    ASSERT_EQ(after.size(), before.size());
    for (size_t c = 0; c < before.size(); ++c)
        EXPECT_TRUE(same_values(after[c], before[c])) << "corner " << c;
    EXPECT_EQ(mesh.mFaces[0].mIndices[0], mesh.mFaces[0].mIndices[3]);
    EXPECT_NE(mesh.mFaces[0].mIndices[2], mesh.mFaces[1].mIndices[1]);
}

TEST_F(QuadAndTriangle, LeavesMeshesWithBonesAsTheyAre) {
    mesh.mNumBones = 1;
    mesh.mBones = new aiBone* [1] { new aiBone };
    MeshWeldResult result;
    std::string error;
    ASSERT_TRUE(weld_mesh(mesh, AttributeSelection{}, MergeLimits{}, result, error)) << error;
    EXPECT_FALSE(result.skipReason.empty());
    EXPECT_EQ(mesh.mNumVertices, 7u);
    EXPECT_EQ(result.verticesAfter, 7u);
}

TEST_F(QuadAndTriangle, RejectsAFaceIndexPastTheVertices) {
    mesh.mFaces[1].mIndices[2] = 7;
    MeshWeldResult result;
    std::string error;
    EXPECT_FALSE(weld_mesh(mesh, AttributeSelection{}, MergeLimits{}, result, error));
    EXPECT_NE(error.find("refers to vertex 7 of 7"), std::string::npos) << error;
    EXPECT_EQ(mesh.mNumVertices, 7u);
}

// One vertex of the fixture below, with a value for every attribute it carries.
struct Vertex {
    aiVector3D position, normal, tangent, bitangent, uv0, uv1;
    aiColor4D color0, color1;
};

Vertex with_position(Vertex vertex, const aiVector3D& position) {
    vertex.position = position;
    return vertex;
}

const Vertex kBase = {{0, 0, 0},        {0, 0, 1},    {1, 0, 0},    {0, 1, 0},
                      {0.25f, 0.5f, 0}, {0, 0, 0.5f}, {1, 0, 0, 1}, {0, 1, 0, 0.5f}};
const Vertex kCorner1 = with_position(kBase, {1, 0, 0});

// Three triangles over eight vertices that carry tangents, two texture coordinate sets (the first
// of two components, the second of three) and two colour sets. Vertex 3 repeats vertex 0 but for
// the unused third component of the first set; vertices 4 to 7 each differ from vertex 1 in one
// attribute only: the tangent, the bitangent, the second set's third component, the second colour.
struct EveryAttribute : testing::Test {
    aiMesh mesh;

    void SetUp() override {
        Vertex repeat0 = kBase, tangent = kCorner1, bitangent = kCorner1, uv1 = kCorner1,
               color1 = kCorner1;
        repeat0.uv0.z = 7;
        tangent.tangent = aiVector3D(0, 0, -1);
        bitangent.bitangent = aiVector3D(0, -1, 0);
        uv1.uv1.z = 0.75f;
        color1.color1 = aiColor4D(0, 0, 1, 1);
        const std::vector<Vertex> vertices = {kBase,   kCorner1, with_position(kBase, {0, 1, 0}),
                                              repeat0, tangent,  bitangent,
                                              uv1,     color1};
        const std::vector<std::vector<unsigned>> faces = {{0, 1, 2}, {3, 4, 2}, {5, 6, 7}};

        const size_t count = vertices.size();
        mesh.mNumVertices = unsigned(count);
        mesh.mVertices = new aiVector3D[count];
        mesh.mNormals = new aiVector3D[count];
        mesh.mTangents = new aiVector3D[count];
        mesh.mBitangents = new aiVector3D[count];
        mesh.mTextureCoords[0] = new aiVector3D[count];
        mesh.mTextureCoords[1] = new aiVector3D[count];
        mesh.mNumUVComponents[0] = 2;
        mesh.mNumUVComponents[1] = 3;
        mesh.mColors[0] = new aiColor4D[count];
        mesh.mColors[1] = new aiColor4D[count];
        for (size_t v = 0; v < count; ++v) {
            mesh.mVertices[v] = vertices[v].position;
            mesh.mNormals[v] = vertices[v].normal;
            mesh.mTangents[v] = vertices[v].tangent;
            mesh.mBitangents[v] = vertices[v].bitangent;
            mesh.mTextureCoords[0][v] = vertices[v].uv0;
            mesh.mTextureCoords[1][v] = vertices[v].uv1;
            mesh.mColors[0][v] = vertices[v].color0;
            mesh.mColors[1][v] = vertices[v].color1;
        }
        set_faces(mesh, faces);
    }
};

struct SelectionCase {
    const char* name;
    AttributeSelection selection;
    unsigned verticesAfter;
    std::vector<std::string> removed;
};

class Selections : public EveryAttribute, public testing::WithParamInterface<SelectionCase> {};

TEST_P(Selections, KeepEverySelectedValueAtEveryCornerAndRemoveTheRest) {
    const SelectionCase& c = GetParam();
    std::map<std::string, std::vector<float>> expected = corner_values(mesh);
    std::string removed;
    for (const std::string& name : c.removed) {
        expected.erase(name);
        removed += (removed.empty() ? "" : ", ") + name;
    }
    MeshWeldResult result;
    std::string error;
    ASSERT_TRUE(weld_mesh(mesh, c.selection, MergeLimits{}, result, error)) << error;
    EXPECT_EQ(mesh.mNumVertices, c.verticesAfter);
    EXPECT_EQ(result.verticesAfter, c.verticesAfter);
    EXPECT_EQ(corner_values(mesh), expected);
    EXPECT_EQ(result.dropped, removed);
}

INSTANTIATE_TEST_SUITE_P(
    MeshWeld, Selections,
    testing::Values(SelectionCase{"Default", AttributeSelection{}, 7, {}},
                    SelectionCase{
                        "NormalUvColor", AttributeSelection{true, 1, 1}, 5, {"uv1", "color1"}},
                    SelectionCase{"PositionUv",
                                  AttributeSelection{false, 1, 0},
                                  3,
                                  {"normal", "tangent", "bitangent", "uv1", "color0", "color1"}}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return info.param.name; });

// The limit is checked before any vertex is read, so a mesh that only claims a huge vertex
// count shows it without gigabytes of data.
TEST(MeshWeldLimits, RejectsMoreFloatsThanAnIntCounts) {
    aiMesh mesh;
    aiVector3D one[2];
    mesh.mVertices = one;
    mesh.mNumVertices = unsigned(INT_MAX / 3) + 1;
    MeshWeldResult result;
    std::string error;
    EXPECT_FALSE(weld_mesh(mesh, AttributeSelection{}, MergeLimits{}, result, error));
    EXPECT_NE(error.find("exceed the welder's limit"), std::string::npos) << error;
    EXPECT_EQ(mesh.mVertices, one);
    mesh.mVertices = nullptr;
}

} // namespace
