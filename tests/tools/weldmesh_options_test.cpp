// weldmesh's --triangulate, its binary PLY default and the hint for per-face normals.
#include "tool_scratch.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using WeldmeshOptions = ModelScratch;

std::string model(const char* relative) {
    return std::string(MODELS_DIR) + "/" + relative;
}

// A square and a concave pentagon, which a fan from its first corner would not cover right.
const char kPolygons[] = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                         "v 2 0 0\nv 3 0 0\nv 3 2 0\nv 2.5 0.5 0\nv 2 2 0\n"
                         "vn 0 0 1\n"
                         "f 1//1 2//1 3//1 4//1\nf 5//1 6//1 7//1 8//1 9//1\n";
const double kPolygonAreas[] = {1.0, 1.25};

double triangle_area(const aiVector3D& a, const aiVector3D& b, const aiVector3D& c) {
    return std::fabs((b.x - a.x) * (c.y - a.y) - (c.x - a.x) * (b.y - a.y)) / 2;
}

TEST_F(WeldmeshOptions, TriangulateSplitsPolygonsKeepingTheirCorners) {
    write_file(dir / "polygons.obj", kPolygons);
    RunResult result = weld(dir / "polygons.obj", dir / "out.stl");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("--triangulate"), std::string::npos) << result.err;

    for (const char* output : {"out.stl", "out.ply", "out.glb"}) {
        SCOPED_TRACE(output);
        result = weld(dir / "polygons.obj", dir / output, "--triangulate");
        ASSERT_EQ(result.status, 0) << result.err;
        Assimp::Importer importer;
        const aiScene* scene = importer.ReadFile((dir / output).string(), 0);
        ASSERT_NE(scene, nullptr) << importer.GetErrorString();
        // Each triangle lies in one polygon (x < 1.5 or not) and the triangles of a polygon
        // cover exactly its area: no corner moved, none was made up.
        std::map<int, double> area;
        unsigned triangles = 0;
        for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
            const aiMesh& mesh = *scene->mMeshes[m];
            for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
                const aiFace& face = mesh.mFaces[f];
                ASSERT_EQ(face.mNumIndices, 3u);
                const aiVector3D& a = mesh.mVertices[face.mIndices[0]];
                const int polygon = a.x < 1.5f ? 0 : 1;
                for (unsigned i = 0; i < 3; ++i)
                    EXPECT_EQ(mesh.mVertices[face.mIndices[i]].x < 1.5f ? 0 : 1, polygon);
                area[polygon] += triangle_area(a, mesh.mVertices[face.mIndices[1]],
                                               mesh.mVertices[face.mIndices[2]]);
                ++triangles;
            }
        }
        EXPECT_EQ(triangles, 2u + 3u);
        EXPECT_DOUBLE_EQ(area[0], kPolygonAreas[0]);
        EXPECT_DOUBLE_EQ(area[1], kPolygonAreas[1]);
    }
}

TEST_F(WeldmeshOptions, PlyIsBinaryByDefaultAndAsciiOnRequest) {
    const std::string input = model("STL/Spider_binary.stl");
    ASSERT_EQ(weld(input, dir / "binary.ply", "-q").status, 0);
    ASSERT_EQ(weld(input, dir / "ascii.ply", "-q -f ply").status, 0);
    EXPECT_EQ(read_file(dir / "binary.ply").rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u);
    EXPECT_EQ(read_file(dir / "ascii.ply").rfind("ply\nformat ascii 1.0\n", 0), 0u);
}

TEST_F(WeldmeshOptions, HintNamesTheOptionWhenNormalsKeepCornersApart) {
    const std::string hint = "hint: the normals keep corners apart that share a position; "
                             "welded on positions alone (-a position), 4104 -> 722 vertices\n";
    const std::string spider = model("STL/Spider_binary.stl");
    RunResult result = weld(spider, dir / "out.ply");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("4104 -> 3956 vertices"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - hint.size()), hint);

    for (const std::string& arguments : {"-a position '" + spider + "'", "-q '" + spider + "'",
                                         "'" + model("OBJ/spider.obj") + "'"}) {
        result = run(arguments + " '" + (dir / "out.ply").string() + "'");
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out.find("hint:"), std::string::npos) << arguments << "\n" << result.out;
    }
}

} // namespace
