#include "mesh_corners.h"
#include "mesh_weld.h"
#include "tool_scratch.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdint>
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

// Gives each test a scratch directory, so that whatever the tool leaves behind can be listed.
class ScratchDir : public ModelScratch {
  protected:
    // Replaces DIR by the scratch directory and DATA by the folder of the test's own files.
    std::string in_dir(std::string text) const {
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, dir.string());
        for (size_t at; (at = text.find("DATA")) != std::string::npos;)
            text.replace(at, 4, TEST_DATA_DIR);
        return text;
    }

    // Every entry of the scratch directory, hidden ones included, with the contents of files
    // and the targets of links.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> contents;
        for (const auto& entry : fs::directory_iterator(dir)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_symlink())
                contents[name] = "link to " + fs::read_symlink(entry.path()).string();
            else if (entry.is_regular_file())
                contents[name] = read_file(entry.path());
            else
                contents[name] = "not a file";
        }
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
    EXPECT_NE(help.out.find("--time-limit S     stop"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--memory-limit MIB stop"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--merge-distance D also merge"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--tolerance T      with --merge-distance"), std::string::npos)
        << help.out;

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
            ASSERT_TRUE(
                weld_mesh(*welded->mMeshes[m], AttributeSelection{}, MergeLimits{}, result, error));
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
    std::string arguments; // DIR stands for the scratch directory, DATA for the test data
    std::string message;
    int status;
    std::string shell = ""; // run before the tool in its shell
};

void PrintTo(const BadRun& c, std::ostream* os) {
    *os << c.name;
}

class BadRuns : public ScratchDir, public testing::WithParamInterface<BadRun> {};

// A triangle whose material file is b.mtl, which names the texture image t.mtl.
void write_obj_with_side_files(const fs::path& dir) {
    std::ofstream(dir / "a.obj") << "mtllib b.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n";
    std::ofstream(dir / "b.mtl") << "newmtl m\nKd 1 0 0\nmap_Kd t.mtl\n";
    std::ofstream(dir / "t.mtl") << "an image, by its name the material file of t.obj\n";
}

// A glTF file whose buffer is out.bin, the name of the buffer an export to out.gltf writes.
void write_gltf_with_buffer(const fs::path& dir) {
    const fs::path box = model("glTF2/BoxTextured-glTF");
    std::string gltf = read_file(box / "BoxTextured.gltf");
    gltf.replace(gltf.find("BoxTextured0.bin"), 16, "out.bin");
    std::ofstream(dir / "in.gltf") << gltf;
    fs::copy_file(box / "BoxTextured0.bin", dir / "out.bin");
    fs::copy_file(box / "CesiumLogoFlat.png", dir / "CesiumLogoFlat.png");
}

TEST_P(BadRuns, FailWithOneLineAndLeaveNoFileBehind) {
    const BadRun& c = GetParam();
    if (kSanitized && limits_memory(c.arguments))
        GTEST_SKIP() << "no address-space limit under AddressSanitizer";
    fs::copy_file(model("PLY/cube.ply"), dir / "in.ply");
    // Read by content, yet the name of the material file an OBJ export writes beside in.obj.
    fs::copy_file(model("PLY/cube.ply"), dir / "in.mtl");
    fs::create_hard_link(dir / "in.ply", dir / "link.ply");
    fs::create_directory(dir / "sub");
    fs::create_directory(dir / "folder.ply");
    std::ofstream(dir / "garbage.ply") << "ply\nthis is not a header\n";
    write_obj_with_side_files(dir);
    write_gltf_with_buffer(dir);
    const std::map<std::string, std::string> before = files();

    const RunResult result = run(in_dir(c.arguments), in_dir(c.shell));

    EXPECT_EQ(result.status, c.status);
    // Under the tool's name, not the path it was started by.
    EXPECT_EQ(result.err.rfind("weldmesh: ", 0), 0u) << result.err;
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
        BadRun{"MissingOutputFolder", "DIR/in.ply DIR/none/out.ply",
               "DIR/none/out.ply: cannot write: No such file or directory", 1},
        BadRun{"OutputIsFolder", "DIR/in.ply DIR/folder.ply",
               "DIR/folder.ply: cannot write: Is a directory", 1},
        // A file size limit fails the writes as a full disk does.
        BadRun{"WriteFails", model("PLY/Wuson.ply") + " DIR/out.ply",
               "DIR/out.ply: cannot write: File too large", 1, "ulimit -f 8; "},
        BadRun{"OutputIsInputByAnotherPath", "DIR/in.ply DIR/sub/../in.ply", "is the input file",
               1},
        BadRun{"OutputIsHardLinkToInput", "DIR/in.ply DIR/link.ply", "is the input file", 1},
        BadRun{"SideFileIsInput", "DIR/in.mtl DIR/in.obj",
               "DIR/in.mtl: would overwrite the input file", 1},
        BadRun{"SideFileIsInputsMaterials", "DIR/a.obj DIR/b.obj",
               "DIR/b.mtl: would overwrite a file that the input DIR/a.obj reads", 1},
        BadRun{"SideFileIsInputsTexture", "DIR/a.obj DIR/t.obj",
               "DIR/t.mtl: would overwrite a file that the input DIR/a.obj reads", 1},
        BadRun{"SideFileIsInputsBuffer", "DIR/in.gltf DIR/out.gltf",
               "DIR/out.bin: would overwrite a file that the input DIR/in.gltf reads", 1},
        BadRun{"SideFileIsInputsBufferByAnotherPath", "DIR/in.gltf DIR/sub/../out.gltf",
               "DIR/sub/../out.bin: would overwrite DIR/out.bin, a file that the input "
               "DIR/in.gltf reads",
               1},
        BadRun{"SideFileIsOutput", "-f obj DIR/in.ply DIR/out.mtl",
               "DIR/out.mtl: the export would write this file twice", 1},
        // Mutated copies of assimp-testmodels files (tests/tools/data/README.md).
        // Where the kernel writes core files to the working directory, none may appear there.
        BadRun{"ReaderCrashes", "DATA/reader_crash.ply DIR/out.ply",
               "DATA/reader_crash.ply: the reader crashed (SIGSEGV)", 1,
               "cd DIR; ulimit -c unlimited 2>/dev/null; "},
        // Assimp's exporters fail an assertion on the scene its RAW reader makes; the line
        // carries the assertion's message.
        BadRun{"WriterCrashes", model("RAW/WithColor.raw") + " DIR/out.ply",
               "DIR/out.ply: the writer crashed (SIGABRT: ai_assert failure in", 1},
        BadRun{"ReaderLoops", "--time-limit 1 DATA/reader_hang.ply DIR/out.ply",
               "DATA/reader_hang.ply: the reader took longer than the time limit (1 s, see "
               "--time-limit)",
               1},
        BadRun{"ReaderSwallowsMemory", "--memory-limit 200 DATA/reader_blowup.glb DIR/out.ply",
               "DATA/reader_blowup.glb: the reader ran out of memory (the limit is 200 MiB, see "
               "--memory-limit)",
               1},
        BadRun{"UnknownAttribute", "-a position,weight DIR/in.ply DIR/out.ply",
               "weldmesh: unknown attribute 'weight' in 'position,weight'; the attributes are "
               "position, normal, uv, color and all",
               2},
        BadRun{"UnknownOption", "--weld-harder DIR/in.ply DIR/out.ply",
               "weldmesh: unknown option '--weld-harder'", 2},
        BadRun{"UnknownShortOption", "-qz DIR/in.ply DIR/out.ply", "weldmesh: unknown option '-z'",
               2},
        BadRun{"OptionWithoutValue", "DIR/in.ply DIR/out.ply --time-limit",
               "weldmesh: option '--time-limit' needs a value", 2},
        BadRun{"BadTimeLimit", "--time-limit soon DIR/in.ply DIR/out.ply",
               "weldmesh: --time-limit takes whole seconds, not 'soon'", 2},
        BadRun{"BadMemoryLimit", "--memory-limit 1.5 DIR/in.ply DIR/out.ply",
               "weldmesh: --memory-limit takes whole mebibytes, not '1.5'", 2},
        BadRun{"NegativeMergeDistance", "--merge-distance -1e-5 DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not '-1e-5'", 2},
        BadRun{"NaNMergeDistance", "--merge-distance nan DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not 'nan'", 2},
        BadRun{"InfiniteMergeDistance", "--merge-distance=inf DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not 'inf'", 2},
        BadRun{"MergeDistancePastTheFloats", "--merge-distance 1e39 DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not '1e39'", 2},
        BadRun{"MergeDistanceWithAUnit", "--merge-distance 0.1mm DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not '0.1mm'", 2},
        BadRun{"EmptyMergeDistance", "--merge-distance '' DIR/in.ply DIR/out.ply",
               "weldmesh: --merge-distance takes a distance of 0 or more, not ''", 2},
        BadRun{"MergeDistanceWithoutValue", "DIR/in.ply DIR/out.ply --merge-distance",
               "weldmesh: option '--merge-distance' needs a value", 2},
        BadRun{"NegativeTolerance", "--merge-distance 1e-5 --tolerance -0.5 DIR/in.ply DIR/out.ply",
               "weldmesh: --tolerance takes a difference of 0 or more, not '-0.5'", 2},
        BadRun{"WordForTolerance", "--merge-distance 1e-5 --tolerance some DIR/in.ply DIR/out.ply",
               "weldmesh: --tolerance takes a difference of 0 or more, not 'some'", 2},
        BadRun{"ToleranceWithoutMergeDistance", "--tolerance 0.1 DIR/in.ply DIR/out.ply",
               "weldmesh: --tolerance goes with --merge-distance", 2}),
    [](const testing::TestParamInfo<BadRun>& info) { return info.param.name; });

// A binary PLY of one vertex repeated `count` times, in count / 3 triangles: 12 bytes of file
// per vertex that the reader needs a few times over.
void write_large_ply(const fs::path& path, uint32_t count) {
    std::ofstream out(path, std::ios::binary);
    out << "ply\nformat binary_little_endian 1.0\nelement vertex " << count
        << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << count / 3
        << "\nproperty list uchar int vertex_indices\nend_header\n";
    const std::vector<float> vertices(size_t(count) * 3, 1.0f);
    out.write(reinterpret_cast<const char*>(vertices.data()), std::streamsize(vertices.size() * 4));
    std::vector<char> faces(size_t(count / 3) * 13);
    for (uint32_t f = 0; f < count / 3; ++f) {
        const int32_t corners[3] = {int32_t(3 * f), int32_t(3 * f + 1), int32_t(3 * f + 2)};
        faces[13 * f] = 3;
        std::memcpy(&faces[13 * f + 1], corners, sizeof corners);
    }
    out.write(faces.data(), std::streamsize(faces.size()));
}

TEST_F(ScratchDir, RunningOutOfMemoryIsOneLine) {
    if (kSanitized)
        GTEST_SKIP() << "no address-space limit under AddressSanitizer";
    const fs::path input = dir / "large.ply";
    write_large_ply(input, 3000000);
    // The tool's own limit, and one its caller set (which it cannot raise).
    const std::pair<std::string, std::string> cases[] = {
        {"--memory-limit 100 ", "(the limit is 100 MiB, see --memory-limit)"},
        {"ulimit -v 150000; ", "(the limit is 146 MiB)"}};
    for (const auto& [setting, limit] : cases) {
        const bool option = setting[0] == '-';
        const RunResult result =
            run((option ? setting : "") + input.string() + " " + (dir / "out.ply").string(),
                option ? "" : setting);
        EXPECT_EQ(result.status, 1) << setting;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(result.err.rfind("weldmesh: " + input.string() + ": the ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(" ran out of memory " + limit), std::string::npos) << result.err;
        EXPECT_EQ(files().size(), 1u);
    }
}

// Names a temporary file could have had if it were derived from the output's name and the
// process id: the shell's, which the tool takes over by exec, and the next few.
TEST_F(ScratchDir, PlantedLinksAtPredictableTemporaryNamesAreNotFollowed) {
    const fs::path victim = dir / "victim.txt", output = dir / "out.ply";
    std::ofstream(victim) << "keep me\n";
    const std::string plant = "for p in $$ $(($$+1)) $(($$+2)) $(($$+3)); do ln -s " +
                              victim.string() + " " + output.string() + ".weldmesh-$p.tmp; " +
                              "ln -s " + victim.string() + " " + output.string() +
                              ".$p.tmp; done; exec ";
    const RunResult result = run("-q " + model("PLY/cube.ply") + " " + output.string(), plant);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_file(victim), "keep me\n");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(output)));
    size_t links = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        links += entry.is_symlink() && fs::read_symlink(entry.path()) == victim;
    EXPECT_EQ(links, 8u);
}

// Stopped while its reader loops, the tool stops the reader and takes its files with it.
TEST_F(ScratchDir, TerminatedToolLeavesNothingBehind) {
    const std::map<std::string, std::string> before = files();
    const std::string command = std::string(WELDMESH_EXE) + " " + kUnlimited + "--time-limit 0 " +
                                TEST_DATA_DIR + "/reader_hang.ply " + (dir / "out.ply").string() +
                                " 2>/dev/null & tool=$!; sleep 0.5; kill -TERM $tool; wait $tool";
    const int status = std::system(command.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    EXPECT_TRUE(files() == before);
}

} // namespace
