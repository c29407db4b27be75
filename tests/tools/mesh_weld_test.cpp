#include "mesh_weld.h"

#include <assimp/mesh.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

namespace {

const float kNaN = std::nanf("");

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
        mesh.mNumFaces = unsigned(faces.size());
        mesh.mFaces = new aiFace[faces.size()];
        for (size_t f = 0; f < faces.size(); ++f) {
            mesh.mFaces[f].mNumIndices = unsigned(faces[f].size());
            mesh.mFaces[f].mIndices = new unsigned[faces[f].size()];
            std::copy(faces[f].begin(), faces[f].end(), mesh.mFaces[f].mIndices);
        }
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
    ASSERT_TRUE(weld_mesh(mesh, AttributeSelection{}, result, error)) << error;

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

TEST_F(QuadAndTriangle, RemovesTheAttributesNotSelected) {
    MeshWeldResult result;
    std::string error;
    ASSERT_TRUE(weld_mesh(mesh, AttributeSelection{false, true, true}, result, error)) << error;
    EXPECT_EQ(mesh.mNormals, nullptr);
    EXPECT_EQ(mesh.mTangents, nullptr);
    EXPECT_EQ(mesh.mBitangents, nullptr);
    EXPECT_EQ(result.dropped, "normals, tangents");
}

TEST_F(QuadAndTriangle, LeavesMeshesWithBonesAsTheyAre) {
    mesh.mNumBones = 1;
    mesh.mBones = new aiBone* [1] { new aiBone };
    MeshWeldResult result;
    std::string error;
    ASSERT_TRUE(weld_mesh(mesh, AttributeSelection{}, result, error)) << error;
    EXPECT_FALSE(result.skipReason.empty());
    EXPECT_EQ(mesh.mNumVertices, 7u);
    EXPECT_EQ(result.verticesAfter, 7u);
}

TEST_F(QuadAndTriangle, RejectsAFaceIndexPastTheVertices) {
    mesh.mFaces[1].mIndices[2] = 7;
    MeshWeldResult result;
    std::string error;
    EXPECT_FALSE(weld_mesh(mesh, AttributeSelection{}, result, error));
    EXPECT_NE(error.find("refers to vertex 7 of 7"), std::string::npos) << error;
    EXPECT_EQ(mesh.mNumVertices, 7u);
}

// The limit is checked before any vertex is read, so a mesh that only claims a huge vertex
// count shows it without gigabytes of data.
TEST(MeshWeldLimits, RejectsMoreFloatsThanAnIntCounts) {
    aiMesh mesh;
    aiVector3D one[2];
    mesh.mVertices = one;
    mesh.mNumVertices = unsigned(INT_MAX / 3) + 1;
    MeshWeldResult result;
    std::string error;
    EXPECT_FALSE(weld_mesh(mesh, AttributeSelection{}, result, error));
    EXPECT_NE(error.find("exceed the welder's limit"), std::string::npos) << error;
    EXPECT_EQ(mesh.mVertices, one);
    mesh.mVertices = nullptr;
}

} // namespace
