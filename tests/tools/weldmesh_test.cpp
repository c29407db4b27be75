#include "mesh_corners.h"
#include "mesh_weld.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Gives each test a scratch directory, so that whatever the tool leaves behind can be listed.
class ScratchDir : public testing::Test {
  protected:
    fs::path dir;

    void SetUp() override {
        if (!fs::is_directory(MODELS_DIR))
            GTEST_SKIP() << MODELS_DIR << " is missing (Debian package assimp-testmodels)";
        std::string pattern = (fs::temp_directory_path() / "weldmesh-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty())
            fs::remove_all(dir);
    }

    RunResult run(const std::string& arguments) const {
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        const std::string command = std::string(WELDMESH_EXE) + " " + arguments + " >" +
                                    out.string() + " 2>" + err.string();
        const int status = std::system(command.c_str());
        RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out),
                         read_file(err)};
        fs::remove(out);
        fs::remove(err);
        return result;
    }

    std::string in_dir(std::string text) const {
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, dir.string());
        return text;
    }

    // Every file in the scratch directory and its contents.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> contents;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file())
                contents[entry.path().filename().string()] = read_file(entry.path());
        return contents;
    }
};

std::string model(const char* relative) {
    return std::string(MODELS_DIR) + "/" + relative;
}

struct Carried {
    bool normals, uvs, colors;
};

// The attribute values of one face corner, in a fixed order; absent attributes add nothing.
std::vector<float> corner_values(const aiMesh& mesh, unsigned v, const Carried& carried) {
    const aiVector3D& p = mesh.mVertices[v];
    std::vector<float> values = {p.x, p.y, p.z};
    if (carried.normals && mesh.HasNormals())
        values.insert(values.end(), {mesh.mNormals[v].x, mesh.mNormals[v].y, mesh.mNormals[v].z});
    if (carried.uvs && mesh.HasTextureCoords(0))
        values.insert(values.end(), {mesh.mTextureCoords[0][v].x, mesh.mTextureCoords[0][v].y});
    if (carried.colors && mesh.HasVertexColors(0)) {
        const aiColor4D& c = mesh.mColors[0][v];
        values.insert(values.end(), {c.r, c.g, c.b, c.a});
    }
    return values;
}

std::vector<std::vector<float>> corners(const aiScene& scene, const Carried& carried) {
    std::vector<std::vector<float>> all;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f)
            for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i)
                all.push_back(corner_values(mesh, mesh.mFaces[f].mIndices[i], carried));
    }
    return all;
}

std::vector<unsigned> face_sizes(const aiScene& scene) {
    std::vector<unsigned> sizes;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        for (unsigned f = 0; f < scene.mMeshes[m]->mNumFaces; ++f)
            sizes.push_back(scene.mMeshes[m]->mFaces[f].mNumIndices);
    return sizes;
}

// Distinct corners of one mesh, with +0 and -0 counted as one value (the test files hold no NaN).
size_t distinct_corners(const aiMesh& mesh, const Carried& carried) {
    std::set<std::vector<float>> distinct;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
        for (unsigned i = 0; i < mesh.mFaces[f].mNumIndices; ++i) {
            std::vector<float> values = corner_values(mesh, mesh.mFaces[f].mIndices[i], carried);
            for (float& value : values)
                value += 0.0f;
            distinct.insert(values);
        }
    }
    return distinct.size();
}

struct RoundTrip {
    const char* input;
    const char* output;
    const char* options;
    Carried carried; // what the output format stores exactly, given the options
    bool indexed;    // whether the format stores shared vertices, so that welding shows
};

void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << c.input << " -> " << c.output;
}

class RoundTrips : public ScratchDir, public testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTrips, KeepEveryFaceCornerAndLeaveOneVertexPerDistinctCorner) {
    const RoundTrip& c = GetParam();
    const std::string output = (dir / c.output).string();
    const RunResult result = run(std::string(c.options) + " " + model(c.input) + " " + output);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("total"), std::string::npos) << result.out;

    Assimp::Importer inputReader, outputReader;
    const aiScene* in = inputReader.ReadFile(model(c.input), 0);
    const aiScene* out = outputReader.ReadFile(output, 0);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr) << outputReader.GetErrorString();
    EXPECT_EQ(face_sizes(*out), face_sizes(*in));
    // The OBJ exporter adds normals to meshes without them; only the input's attributes count.
    const Carried compared = {c.carried.normals && in->mMeshes[0]->HasNormals(),
                              c.carried.uvs && in->mMeshes[0]->HasTextureCoords(0),
                              c.carried.colors && in->mMeshes[0]->HasVertexColors(0)};
    EXPECT_EQ(corners(*out, compared), corners(*in, compared));
    if (!c.indexed)
        return;
    for (unsigned m = 0; m < out->mNumMeshes; ++m)
        EXPECT_EQ(out->mMeshes[m]->mNumVertices, distinct_corners(*out->mMeshes[m], compared))
            << "mesh " << m;
}

const Carried kAll{true, true, true};
const Carried kNoColors{true, true, false};
const Carried kPositionsAndColors{false, false, true};
const Carried kPositions{false, false, false};

INSTANTIATE_TEST_SUITE_P(
    Weldmesh, RoundTrips,
    testing::Values(
        RoundTrip{"STL/Spider_binary.stl", "spider.ply", "", kNoColors, true},
        RoundTrip{"STL/Spider_binary.stl", "spider.stl", "", kPositions, false},
        RoundTrip{"STL/Spider_ascii.stl", "spider.glb", "", kPositionsAndColors, false},
        RoundTrip{"STL/Spider_ascii.stl", "spider.ply", "-a position", kPositions, true},
        RoundTrip{"OBJ/spider.obj", "spider.gltf", "", kPositionsAndColors, false},
        RoundTrip{"OBJ/spider.obj", "spider.obj", "", kAll, false},
        RoundTrip{"OBJ/box.obj", "box.ply", "", kNoColors, true},
        RoundTrip{"OBJ/cube_with_vertexcolors.obj", "cube.glb", "", kPositionsAndColors, false},
        RoundTrip{"PLY/cube.ply", "cube.obj", "", kAll, false},
        RoundTrip{"PLY/cube_binary.ply", "cube.ply", "-f plyb", kNoColors, true},
        // Assimp's text reader misreads a few of this file's values by one float step (the
        // text written is exact), so its round trip goes through binary PLY.
        RoundTrip{"PLY/Wuson.ply", "wuson.ply", "-f plyb", kNoColors, true},
        RoundTrip{"PLY/Wuson.ply", "wuson.glb", "", kPositionsAndColors, false},
        RoundTrip{"PLY/float-color.ply", "colors.gltf", "", kPositionsAndColors, false}));

std::string ply_body(const fs::path& path) {
    const std::string text = read_file(path);
    return text.substr(text.find("end_header"));
}

TEST_F(ScratchDir, WeldingTheOutputAgainChangesNothing) {
    const fs::path once = dir / "once.ply", twice = dir / "twice.ply";
    ASSERT_EQ(run(model("STL/Spider_binary.stl") + " " + once.string()).status, 0);
    const RunResult result = run(once.string() + " " + twice.string());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("total (1 mesh): 1368 faces, 3956 -> 3956 vertices"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(ply_body(twice), ply_body(once));
}

TEST_F(ScratchDir, AttributeOptionChoosesWhatIsWeldedAndKept) {
    const fs::path output = dir / "out.ply";
    ASSERT_EQ(run("-q --attributes position,uv " + model("OBJ/spider.obj") + " " + output.string())
                  .status,
              0);
    Assimp::Importer reader;
    const aiScene* scene = reader.ReadFile(output.string(), 0);
    ASSERT_NE(scene, nullptr);
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        EXPECT_FALSE(scene->mMeshes[m]->HasNormals());
        EXPECT_TRUE(scene->mMeshes[m]->HasTextureCoords(0));
    }

    const RunResult positions =
        run("-a position " + model("STL/Spider_binary.stl") + " " + output.string());
    ASSERT_EQ(positions.status, 0) << positions.err;
    EXPECT_NE(positions.out.find("4104 -> 722 vertices"), std::string::npos) << positions.out;
}

// Assimp's own binary format stores every attribute exactly, so it shows what the tool keeps.
TEST_F(ScratchDir, DefaultKeepsTangentsAndEveryTextureCoordinateSet) {
    const fs::path output = dir / "out.assbin";
    // Each file, and an array of its that only the default keeps.
    const std::pair<const char*, const char*> cases[] = {
        {"FBX/cubes_nonames.fbx", "tangent"}, {"FBX/box_orphant_embedded_texture.fbx", "uv1"}};
    for (const auto& [name, array] : cases) {
        const RunResult result = run(model(name) + " " + output.string());
        ASSERT_EQ(result.status, 0) << name << ": " << result.err;
        Assimp::Importer inputReader, outputReader;
        const aiScene* in = inputReader.ReadFile(model(name), 0);
        const aiScene* out = outputReader.ReadFile(output.string(), 0);
        ASSERT_NE(in, nullptr) << name;
        ASSERT_NE(out, nullptr) << name << ": " << outputReader.GetErrorString();
        ASSERT_EQ(out->mNumMeshes, in->mNumMeshes) << name;
        for (unsigned m = 0; m < in->mNumMeshes; ++m) {
            const auto inCorners = corner_values(*in->mMeshes[m]);
            EXPECT_EQ(inCorners.count(array), 1u) << name;
            EXPECT_EQ(corner_values(*out->mMeshes[m]), inCorners) << name << " mesh " << m;
        }
    }
}

TEST_F(ScratchDir, OptionsWithoutWork) {
    const RunResult bare = run("");
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.err.rfind("usage: weldmesh", 0), 0u) << bare.err;

    const RunResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: weldmesh", 0), 0u) << help.out;

    const RunResult version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("weldmesh ", 0), 0u) << version.out;

    const RunResult quiet = run("-q " + model("PLY/cube.ply") + " " + (dir / "q.ply").string());
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
}

size_t count_vertices(const aiScene& scene) {
    size_t count = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        count += scene.mMeshes[m]->mNumVertices;
    return count;
}

size_t count_changed(const std::vector<std::vector<float>>& a,
                     const std::vector<std::vector<float>>& b) {
    size_t changed = 0;
    for (size_t c = 0; c < a.size(); ++c)
        changed += a[c] != b[c];
    return changed;
}

// Assimp's own joining step merges positions a few float steps apart and other attributes
// within 1e-5, keeping one of the vertices, so it may merge more than the exact weld and move
// corner values. This prints both results and checks the exact one moves nothing.
TEST(ComparedWithAssimpJoin, MergesNoLessAndMovesCornersWhereTheExactWeldMovesNone) {
    if (!fs::is_directory(MODELS_DIR))
        GTEST_SKIP() << MODELS_DIR << " is missing (Debian package assimp-testmodels)";
    for (const char* name :
         {"STL/Spider_binary.stl", "STL/Spider_ascii.stl", "STL/Wuson.stl", "OBJ/spider.obj",
          "OBJ/WusonOBJ.obj", "PLY/Wuson.ply", "PLY/cube.ply", "OBJ/box.obj"}) {
        Assimp::Importer plainReader, joiningReader;
        aiScene* welded =
            plainReader.ReadFile(model(name), 0) ? plainReader.GetOrphanedScene() : nullptr;
        const aiScene* joined =
            joiningReader.ReadFile(model(name), aiProcess_JoinIdenticalVertices);
        ASSERT_NE(welded, nullptr) << name;
        ASSERT_NE(joined, nullptr) << name;
        const std::unique_ptr<aiScene> owner(welded);
        const auto original = corners(*welded, kAll);
        for (unsigned m = 0; m < welded->mNumMeshes; ++m) {
            MeshWeldResult result;
            std::string error;
            ASSERT_TRUE(weld_mesh(*welded->mMeshes[m], AttributeSelection{}, result, error));
        }
        ASSERT_EQ(face_sizes(*joined), face_sizes(*welded)) << name;
        const size_t joinMoved = count_changed(corners(*joined, kAll), original);
        EXPECT_EQ(count_changed(corners(*welded, kAll), original), 0u) << name;
        EXPECT_LE(count_vertices(*joined), count_vertices(*welded)) << name;
        std::printf("%-22s corners %6zu  exact weld %6zu vertices  assimp join %6zu vertices, "
                    "%zu corners moved\n",
                    name, original.size(), count_vertices(*welded), count_vertices(*joined),
                    joinMoved);
    }
}

struct BadRun {
    const char* name;
    std::string arguments; // DIR stands for the scratch directory
    std::string message;
    int status;
};

void PrintTo(const BadRun& c, std::ostream* os) {
    *os << c.name;
}

class BadRuns : public ScratchDir, public testing::WithParamInterface<BadRun> {};

TEST_P(BadRuns, FailWithOneLineAndLeaveNoFileBehind) {
    const BadRun& c = GetParam();
    fs::copy_file(model("PLY/cube.ply"), dir / "in.ply");
    // Read by content, yet the name of the material file an OBJ export writes beside in.obj.
    fs::copy_file(model("PLY/cube.ply"), dir / "in.mtl");
    fs::create_hard_link(dir / "in.ply", dir / "link.ply");
    fs::create_directory(dir / "sub");
    std::ofstream(dir / "garbage.ply") << "ply\nthis is not a header\n";
    const std::map<std::string, std::string> before = files();

    const RunResult result = run(in_dir(c.arguments));

    EXPECT_EQ(result.status, c.status);
    EXPECT_NE(result.err.find(in_dir(c.message)), std::string::npos) << result.err;
    if (c.status == 1) {
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_TRUE(files() == before);
}

INSTANTIATE_TEST_SUITE_P(
    Weldmesh, BadRuns,
    testing::Values(
        BadRun{"MissingInput", "DIR/none.ply DIR/out.ply", "DIR/none.ply: cannot open: No such", 1},
        BadRun{"DirectoryInput", "DIR/sub DIR/out.ply", "DIR/sub: cannot open: is a directory", 1},
        BadRun{"UnreadableFormat", "DIR/garbage.ply DIR/out.ply",
               "DIR/garbage.ply: cannot read:", 1},
        BadRun{"NoTriangles", model("PLY/points.ply") + " DIR/out.ply", "no triangles", 1},
        BadRun{"UnknownExtension", "DIR/in.ply DIR/out.xyz", "DIR/out.xyz: no exporter", 1},
        BadRun{"NoExtension", "DIR/in.ply DIR/out", "DIR/out: no extension", 1},
        BadRun{"UnknownFormatId", "-f nope DIR/in.ply DIR/out.ply", "no export format with id", 1},
        BadRun{"PolygonsToTriangleFormat", model("OBJ/box.obj") + " DIR/out.stl",
               "holds only triangles", 1},
        BadRun{"WriteFails", "DIR/in.ply DIR/none/out.ply", "DIR/none/out.ply: cannot write", 1},
        BadRun{"OutputIsInputByAnotherPath", "DIR/in.ply DIR/sub/../in.ply", "is the input file",
               1},
        BadRun{"OutputIsHardLinkToInput", "DIR/in.ply DIR/link.ply", "is the input file", 1},
        BadRun{"SideFileIsInput", "DIR/in.mtl DIR/in.obj", "DIR/in.mtl: would overwrite the input",
               1},
        BadRun{"UnknownAttribute", "-a position,weight DIR/in.ply DIR/out.ply", "unknown attribute",
               2}),
    [](const testing::TestParamInfo<BadRun>& info) { return info.param.name; });

} // namespace
