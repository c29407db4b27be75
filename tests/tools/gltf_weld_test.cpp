// weldmesh on glTF: the asset that comes out is the asset that went in, minus duplicate vertices.
#include "gltf_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace gltf_files;

namespace {

class GltfWeld : public ToolScratch {};

TEST_F(GltfWeld, GlbAndGltfRoundTripsKeepEveryByteButTheDuplicates) {
    const Fixture fixture;
    for (const char* output : {"out.glb", "out.gltf", "sub/out.glb", "sub/out.gltf"}) {
        for (const bool binary : {true, false}) {
            SCOPED_TRACE(std::string(binary ? "glb" : "gltf") + " -> " + output);
            fs::create_directories(dir / "sub");
            const fs::path input = fixture.write(dir, "in", binary);
            const RunResult result = weld(input, dir / output);
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.err, "");
            const Asset in = Asset::load(input);
            const Asset out = Asset::load(dir / output);
            expect_same_asset(in, out);
            expect_compact(out);
            // The buffer nothing refers to goes; a glb takes the data URI into its BIN chunk.
            const bool glbOutput = fs::path(output).extension() == ".glb";
            ASSERT_EQ(out.doc["buffers"].size(), glbOutput ? 1u : 2u);
            if (!glbOutput) {
                EXPECT_EQ(out.doc["buffers"][1]["uri"].get<std::string>().rfind(
                              "data:application/gltf-buffer;base64,", 0),
                          0u);
            }

            EXPECT_EQ(vertex_count(out, 0, 0), Fixture::kSharedDistinct);
            EXPECT_EQ(bitwise_distinct(in, {{0, 0}, {0, 1}}), Fixture::kSharedDistinct);
            EXPECT_EQ(out.primitive(0, 0)["attributes"], out.primitive(0, 1)["attributes"]);
            EXPECT_EQ(vertex_count(out, 0, 2), 12u) << "the points are left as they were";
            EXPECT_EQ(vertex_count(out, 1, 0), Fixture::kSoupDistinct);
            EXPECT_EQ(bitwise_distinct(in, {{1, 0}}), Fixture::kSoupDistinct);
            EXPECT_EQ(vertex_count(out, 2, 0), Fixture::kPatternsDistinct);
            EXPECT_EQ(bitwise_distinct(in, {{2, 0}}), Fixture::kPatternsDistinct);
            for (const auto& [m, p] : std::vector<std::pair<int, int>>{{0, 0}, {1, 0}})
                EXPECT_EQ(
                    out.doc["accessors"][size_t(out.primitive(m, p)["indices"])]["componentType"],
                    5121);

            // The external image still opens from the output's folder.
            const fs::path image =
                (dir / output).parent_path() /
                std::string(out.doc["images"][0]["uri"])
                    .replace(out.doc["images"][0]["uri"].get<std::string>().find("%20"), 3, " ");
            EXPECT_EQ(read_file(image), "external image bytes") << image;
            fs::remove_all(dir / "sub");
            for (const char* name : {"out.glb", "out.gltf", "out.bin"})
                fs::remove(dir / name);
        }
    }
}

TEST_F(GltfWeld, WeldingTheOutputAgainChangesNothing) {
    const fs::path input = Fixture().write(dir, "in", true);
    ASSERT_EQ(weld(input, dir / "once.glb").status, 0);
    ASSERT_EQ(weld(dir / "once.glb", dir / "twice.glb").status, 0);
    EXPECT_EQ(read_file(dir / "once.glb"), read_file(dir / "twice.glb"));
}

TEST_F(GltfWeld, SummaryCountsAndAttributeOptionRemovesWhatItLeavesOut) {
    const fs::path input = Fixture().write(dir, "in", true);
    RunResult result = weld(input, dir / "all.glb", "-v");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("mesh 0 'shared' primitive 0, sharing its vertices with mesh 0 "
                              "'shared' primitive 1: 8 faces, 12 -> 8 vertices"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("mesh 0 'shared' primitive 2: left as it was: points"),
              std::string::npos);
    EXPECT_NE(result.out.find("kept: POSITION, JOINTS_0, WEIGHTS_0, _FLAGS, target 0 POSITION"),
              std::string::npos);

    result = weld(input, dir / "less.glb", "-v -a position,uv");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("kept: POSITION, TEXCOORD_0\n  removed: NORMAL, TANGENT, "
                              "TEXCOORD_1, COLOR_0"),
              std::string::npos)
        << result.out;
    const Asset in = Asset::load(input);
    const Asset out = Asset::load(dir / "less.glb");
    const Json expected = {{"POSITION", nullptr}, {"TEXCOORD_0", nullptr}};
    Json names = out.primitive(0, 0)["attributes"];
    for (auto& item : names.items())
        item.value() = nullptr;
    EXPECT_EQ(names, expected);
    // Without the colour bit and the -0 that kept two vertices apart, six remain.
    EXPECT_EQ(vertex_count(out, 0, 0), 6u);
    EXPECT_EQ(vertex_count(out, 1, 0), Fixture::kSoupDistinct) << "skin and morph data stay";
    EXPECT_FALSE(out.primitive(1, 0)["attributes"].contains("_FLAGS"));
    CornerBytes kept = in.corner_bytes(in.primitive(0, 0));
    for (const char* name : {"NORMAL", "TANGENT", "TEXCOORD_1", "COLOR_0"})
        kept.erase(name);
    expect_same_corners(kept, out.corner_bytes(out.primitive(0, 0)), "mesh 0 primitive 0");
    expect_compact(out);
    EXPECT_LT(out.doc["accessors"].size(), in.doc["accessors"].size())
        << "the removed attributes' accessors go";
}

TEST_F(GltfWeld, SummaryOfAFileWithNothingToWeldSaysSo) {
    BufferBuilder b;
    const size_t points = b.accessor(std::vector<float>{0, 0, 0, 1, 0, 0}, 5126, "VEC3", 3,
                                     {{"min", {0, 0, 0}}, {"max", {1, 0, 0}}});
    const Json doc = {
        {"asset", {{"version", "2.0"}}},
        {"meshes", {{{"primitives", {{{"attributes", {{"POSITION", points}}}, {"mode", 0}}}}}}},
        {"accessors", b.accessors},
        {"bufferViews", b.views},
        {"buffers", {{{"byteLength", b.bin.size()}}}}};
    write_file(dir / "points.glb", glb(doc, b.bin));
    const RunResult result = weld(dir / "points.glb", dir / "out.glb");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "mesh 0 '' primitive 0: left as it was: points are not welded\n"
                          "total (1 mesh): nothing welded\n");
}

// A target's attribute goes with its base attribute; a target left with none gets a zero POSITION
// displacement, so that the target and the weights that count it stay valid.
TEST_F(GltfWeld, MorphTargetAttributesFollowTheirBaseAttributes) {
    Fixture fixture;
    for (Json& primitive : fixture.doc["meshes"][0]["primitives"])
        if (!primitive.contains("mode"))
            primitive["targets"] = {{{"NORMAL", 1}}, {{"NORMAL", 1}, {"TEXCOORD_0", 3}}};
    write_file(dir / "in.glb", glb(fixture.doc, fixture.bin));
    const RunResult result = weld(dir / "in.glb", dir / "out.glb", "-v -a position,uv");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("kept: POSITION, TEXCOORD_0, target 1 TEXCOORD_0\n"),
              std::string::npos)
        << result.out;
    const Asset out = Asset::load(dir / "out.glb");
    const Json& primitive = out.primitive(0, 0);
    EXPECT_FALSE(primitive["attributes"].contains("NORMAL"));
    ASSERT_EQ(primitive["targets"].size(), 2u);
    EXPECT_EQ(primitive["targets"][1].size(), 1u);
    EXPECT_TRUE(primitive["targets"][1].contains("TEXCOORD_0"));
    ASSERT_EQ(primitive["targets"][0].size(), 1u);
    const Json& zero = out.doc["accessors"][size_t(primitive["targets"][0]["POSITION"])];
    EXPECT_FALSE(zero.contains("bufferView"));
    EXPECT_EQ(zero["count"], vertex_count(out, 0, 0));
    EXPECT_EQ(zero["type"], "VEC3");
    EXPECT_EQ(zero["min"], Json({0, 0, 0}));
    EXPECT_EQ(zero["max"], Json({0, 0, 0}));
}

// Large enough that the weld works on two halves at once and then joins them: by merging their
// sorted vertices, or, where an infinity leaves the order unsorted, by welding them again.
TEST_F(GltfWeld, LargeSoupWeldsAsOneBitwiseWeld) {
    for (const bool infinities : {false, true}) {
        SCOPED_TRACE(infinities ? "with infinities" : "finite");
        const int n = 120; // vertices per grid side: 85,014 corners
        std::vector<float> position, normal;
        for (int j = 0; j + 1 < n; ++j)
            for (int i = 0; i + 1 < n; ++i)
                for (const auto& [di, dj] :
                     {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}}) {
                    const int x = i + di, y = j + dj;
                    const float z = infinities && x % 7 == 0 ? (y % 2 ? INFINITY : -INFINITY) : 0;
                    position.insert(position.end(), {float(x), float(y), z});
                    // -0 on one side of the diagonal: those corners stay apart from the +0 ones.
                    normal.insert(normal.end(), {0.0f, di > dj ? -0.0f : 0.0f, 1.0f});
                }
        BufferBuilder b;
        const Json attributes = {{"POSITION", b.accessor(position, 5126, "VEC3", 3)},
                                 {"NORMAL", b.accessor(normal, 5126, "VEC3", 3)}};
        const Json doc = {{"asset", {{"version", "2.0"}}},
                          {"meshes", {{{"primitives", {{{"attributes", attributes}}}}}}},
                          {"accessors", b.accessors},
                          {"bufferViews", b.views},
                          {"buffers", {{{"byteLength", b.bin.size()}}}}};
        write_file(dir / "soup.glb", glb(doc, b.bin));
        const RunResult result = weld(dir / "soup.glb", dir / "out.glb");
        ASSERT_EQ(result.status, 0) << result.err;
        const Asset in = Asset::load(dir / "soup.glb");
        const Asset out = Asset::load(dir / "out.glb");
        expect_same_asset(in, out);
        EXPECT_EQ(vertex_count(out, 0, 0), bitwise_distinct(in, {{0, 0}}));
        EXPECT_GT(vertex_count(out, 0, 0), size_t(n * n)) << "the -0 normals must not merge";
    }
}

TEST_F(GltfWeld, SampleModelsRoundTripWithBitwiseVertexCounts) {
    const char* models[] = {
        "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
        "glTF2/BoxTextured-glTF/BoxTextured.gltf",
        "glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf",
        "glTF2/glTF-Sample-Models/AnimatedMorphCube-glTF/AnimatedMorphCube.gltf",
        "glTF2/simple_skin/simple_skin.gltf",
        "glTF2/textureTransform/TextureTransformTest.gltf",
        "glTF2/BoxWithInfinites-glTF-Binary/BoxWithInfinites.glb",
    };
    for (const char* model : models) {
        SCOPED_TRACE(model);
        const fs::path input = fs::path(MODELS_DIR) / model;
        if (!fs::exists(input))
            GTEST_SKIP() << input << " is missing (Debian package assimp-testmodels)";
        const fs::path output = dir / ("out" + input.extension().string());
        const RunResult result = weld(input, output);
        ASSERT_EQ(result.status, 0) << result.err;
        const Asset in = Asset::load(input);
        const Asset out = Asset::load(output);
        expect_same_asset(in, out);
        expect_compact(out);
        for (const auto& [m, p] : primitives_of(in.doc)) {
            if (in.primitive(m, p).value("mode", 4) != 4)
                continue;
            // Primitives with the same vertex arrays keep sharing them.
            std::vector<std::pair<size_t, size_t>> sharing;
            for (const auto& other : primitives_of(in.doc))
                if (in.primitive(other.first, other.second).value("mode", 4) == 4 &&
                    in.primitive(other.first, other.second)["attributes"] ==
                        in.primitive(m, p)["attributes"])
                    sharing.push_back(other);
            EXPECT_EQ(vertex_count(out, m, p), bitwise_distinct(in, sharing))
                << "mesh " << m << " primitive " << p;
        }
    }
}

// Breaks the fixture's glb in one way: its document, or the bytes of the file.
struct BadInput {
    const char* name;
    std::function<void(Json&)> spoilJson;
    std::function<void(std::string&)> spoilFile;
    const char* message;
};

TEST_F(GltfWeld, BadInputGetsOneLineAndExitStatusOne) {
    const Fixture fixture;
    const auto keep = [](auto&) {};
    const std::vector<BadInput> cases = {
        {"truncated glb", keep, [](std::string& file) { file.resize(file.size() / 2); },
         "truncated glb"},
        {"truncated header", keep, [](std::string& file) { file.resize(10); }, "truncated glb"},
        {"not glb", keep, [](std::string& file) { file[0] = 'X'; }, "not a glb file"},
        {"accessor past its view", [](Json& doc) { doc["accessors"][1]["count"] = 13; }, keep,
         "accessor 1 (13 elements of 12 bytes from byte 0) runs past bufferView 1"},
        {"view past its buffer", [](Json& doc) { doc["bufferViews"][0]["byteLength"] = 100000; },
         keep, "runs past buffer 0"},
        {"index past the vertex count", keep,
         [&](std::string& file) {
             // Index 12 of 12 vertices at corner 2 of the second primitive.
             const size_t view = fixture.doc["accessors"][7]["bufferView"];
             const size_t at = fixture.doc["bufferViews"][view]["byteOffset"];
             file[20 + u32(file, 12) + 8 + at + 4] = 12;
         },
         "mesh 0 primitive 1: index 12 at corner 2 is past the vertex count 12"},
        {"malformed JSON", keep, [](std::string& file) { file[21] = '}'; }, "malformed JSON"},
        {"negative index", [](Json& doc) { doc["meshes"][0]["primitives"][0]["indices"] = -1; },
         keep, "not a non-negative integer"},
        {"buffer longer than the BIN chunk",
         [](Json& doc) { doc["buffers"][0]["byteLength"] = 1 << 20; }, keep,
         "buffer 0 is 1048576 bytes long but holds"},
    };
    for (const BadInput& bad : cases) {
        SCOPED_TRACE(bad.name);
        Json doc = fixture.doc;
        bad.spoilJson(doc);
        std::string file = glb(doc, fixture.bin);
        bad.spoilFile(file);
        const fs::path input = dir / "bad.glb";
        write_file(input, file);
        const RunResult result = weld(input, dir / "out.glb");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err.rfind("weldmesh: " + input.string() + ": ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(bad.message), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(dir / "out.glb"));
    }
}

TEST_F(GltfWeld, MissingBufferFileIsNamedAndFilesTheInputReadsAreNeverWritten) {
    const fs::path input = Fixture().write(dir, "in", false);
    const std::string bin = read_file(dir / "in.bin");
    RunResult result = weld(input, dir / "in.gltf");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "weldmesh: " + (dir / "in.gltf").string() +
                              ": is the input file; choose another output\n");

    // Written as out.gltf, the output's buffer would be out.bin: the input's own buffer here.
    Json doc = Json::parse(read_file(input));
    doc["buffers"][0]["uri"] = "out.bin";
    write_file(dir / "reads-out-bin.gltf", doc.dump());
    write_file(dir / "out.bin", bin);
    result = weld(dir / "reads-out-bin.gltf", dir / "out.gltf");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "weldmesh: " + (dir / "out.bin").string() +
                              ": would overwrite a file that the input " +
                              (dir / "reads-out-bin.gltf").string() + " reads\n");
    EXPECT_EQ(read_file(dir / "out.bin"), bin);
    EXPECT_FALSE(fs::exists(dir / "out.gltf"));

    fs::remove(dir / "in.bin");
    result = weld(input, dir / "out.glb");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "weldmesh: " + (dir / "in.bin").string() +
                              ": cannot open: No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir / "out.glb"));
}

// Every sample file, written in both containers: the validator finds nothing in an output that
// it did not find in its input, and the tool refuses only files in which it finds errors.
TEST_F(GltfWeld, SampleModelsWeldIntoOutputsTheValidatorFindsNoWorse) {
    if (!fs::is_directory(MODELS_DIR))
        GTEST_SKIP() << MODELS_DIR << " is missing (Debian package assimp-testmodels)";
    if (!validator_available())
        GTEST_SKIP() << "the glTF validator is missing (npm install -g gltf-validator)";
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::recursive_directory_iterator(MODELS_DIR))
        if (entry.path().extension() == ".gltf" || entry.path().extension() == ".glb")
            inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    std::vector<fs::path> files; // each input, then its outputs
    std::vector<std::vector<size_t>> outputsOf(inputs.size());
    std::vector<bool> refused(inputs.size(), false);
    for (size_t i = 0; i < inputs.size(); ++i) {
        files.push_back(inputs[i]);
        for (const char* extension : {".glb", ".gltf"}) {
            const fs::path output = dir / (std::to_string(i) + extension);
            const RunResult result = weld(inputs[i], output, "-q --time-limit 60");
            EXPECT_TRUE(result.status == 0 || result.status == 1) << inputs[i] << result.err;
            refused[i] = result.status != 0;
            if (result.status == 0) {
                outputsOf[i].push_back(files.size());
                files.push_back(output);
            }
        }
    }
    const std::vector<ValidatorCodes> codes = validate_files(files, dir);
    size_t at = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const ValidatorCodes& input = codes[at++];
        for (size_t output : outputsOf[i]) {
            expect_no_new_findings(input, codes[output],
                                   inputs[i].string() + " -> " + files[output].filename().string());
            ++at;
        }
        EXPECT_TRUE(!refused[i] || !input.empty())
            << inputs[i] << " is refused but the validator finds it valid";
    }
}

} // namespace
