// weldmesh --merge-distance: vertices within a distance merge into one of them, integer and
// normalized data only where equal, through both back-ends and in batch mode, with a summary of
// what moved.
#include "gltf_files.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace gltf_files;

namespace {

// A 4 x 4 grid of points 0.01 apart as a triangle soup, two triangles a cell and a sliver over
// the first two points, each corner a vertex of its own. The first corner at each point lies on
// it; every other one is 1e-6 off along each axis (+x, so that the exact corner sorts first and
// represents the point) and carries a normal 2e-6 off (0, 0, 1).
struct NoisyGrid {
    static constexpr int kSide = 4;
    static constexpr unsigned kPoints = kSide * kSide;
    static constexpr unsigned kCorners = 6 * (kSide - 1) * (kSide - 1) + 3;
    // The corners off their point: all but one per point.
    static constexpr unsigned kNoisyCorners = kCorners - kPoints;
    // Points with one corner only: the far ends of the cells' diagonals.
    static constexpr unsigned kLonePoints = 2;

    std::vector<int> pointOf;              // per corner
    std::vector<float> positions, normals; // three floats a corner
    std::vector<float> cleanPositions;     // the corner's point

    NoisyGrid() {
        for (int j = 0; j + 1 < kSide; ++j)
            for (int i = 0; i + 1 < kSide; ++i)
                for (const auto& [di, dj] :
                     {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}})
                    pointOf.push_back((j + dj) * kSide + i + di);
        pointOf.insert(pointOf.end(), {0, 0, 1});
        std::vector<bool> seen(kPoints, false);
        for (size_t c = 0; c < pointOf.size(); ++c) {
            const int point = pointOf[c];
            const float off = seen[size_t(point)] ? 1e-6f : 0.0f;
            seen[size_t(point)] = true;
            const float x = 0.01f * float(point % kSide), y = 0.01f * float(point / kSide);
            const float ySign = c & 1 ? 1.0f : -1.0f, zSign = c & 2 ? 1.0f : -1.0f;
            // No -0 on the exact corners: the clean grid holds none.
            positions.insert(positions.end(),
                             {x + off, y + ySign * off, off == 0 ? 0.0f : zSign * off});
            normals.insert(normals.end(), {2 * off, 0.0f, 1.0f});
            cleanPositions.insert(cleanPositions.end(), {x, y, 0.0f});
        }
    }

    std::string glb() const {
        BufferBuilder b;
        const Json bounds = {{"min", {0.0, -1e-6, -1e-6}},
                             {"max", {0.03 + 1e-6, 0.03 + 1e-6, 1e-6}}};
        const Json attributes = {{"POSITION", b.accessor(positions, 5126, "VEC3", 3, bounds)},
                                 {"NORMAL", b.accessor(normals, 5126, "VEC3", 3)}};
        const Json doc = {{"asset", {{"version", "2.0"}}},
                          {"meshes", {{{"primitives", {{{"attributes", attributes}}}}}}},
                          {"accessors", b.accessors},
                          {"bufferViews", b.views},
                          {"buffers", {{{"byteLength", b.bin.size()}}}}};
        return gltf_files::glb(doc, b.bin);
    }

    void write_ply(const fs::path& path) const {
        std::ofstream out(path, std::ios::binary);
        out << "ply\nformat binary_little_endian 1.0\nelement vertex " << kCorners
            << "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\n"
               "property float ny\nproperty float nz\nelement face "
            << kCorners / 3 << "\nproperty list uchar int vertex_indices\nend_header\n";
        for (size_t c = 0; c < kCorners; ++c) {
            out.write(reinterpret_cast<const char*>(&positions[3 * c]), 12);
            out.write(reinterpret_cast<const char*>(&normals[3 * c]), 12);
        }
        for (int32_t f = 0; f < int32_t(kCorners / 3); ++f) {
            const int32_t corners[3] = {3 * f, 3 * f + 1, 3 * f + 2};
            out.put(3);
            out.write(reinterpret_cast<const char*>(corners), sizeof corners);
        }
    }
};

// Every noisy corner moves onto its point's exact corner, at sqrt(3) * 1e-6, its normal by 2e-6,
// and the sliver's two corners on the first point make it degenerate.
const char kMergedLine[] = "  merge: 41 corners moved, position by at most 1.73e-06, other "
                           "components by at most 2e-06; 1 face made degenerate, kept\n";

struct GridCase {
    const char* name;
    std::string options;
    unsigned vertices;
    std::string mergeLine; // empty: not checked
};

void PrintTo(const GridCase& c, std::ostream* os) {
    *os << c.name;
}

const GridCase kGridCases[] = {
    {"tolerance merges the normals", "--merge-distance 1e-5 --tolerance 1e-5", NoisyGrid::kPoints,
     kMergedLine},
    // Each point keeps its exact corner and one for the noisy normal, but where it has no other.
    {"normals must be equal by default", "--merge-distance 1e-5",
     2 * NoisyGrid::kPoints - NoisyGrid::kLonePoints, ""},
    {"positions alone", "-a position --merge-distance 1e-5", NoisyGrid::kPoints,
     "  merge: 41 corners moved, position by at most 1.73e-06, other components by at most 0; 1 "
     "face made degenerate, kept\n"},
};

class MergeOnNoisyGrid : public ToolScratch, public testing::WithParamInterface<GridCase> {};

TEST_P(MergeOnNoisyGrid, GlbMergesToTheGridAndSaysWhatMoved) {
    const GridCase& c = GetParam();
    const NoisyGrid grid;
    write_file(dir / "grid.glb", grid.glb());
    const RunResult result = weld(dir / "grid.glb", dir / "out.glb", c.options);
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string counts = "19 faces, 57 -> " + std::to_string(c.vertices) + " vertices";
    EXPECT_NE(result.out.find("mesh 0 '' primitive 0: " + counts), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("total (1 mesh): " + counts), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(c.mergeLine), std::string::npos) << result.out;

    const Asset out = Asset::load(dir / "out.glb");
    EXPECT_EQ(vertex_count(out, 0, 0), c.vertices);
    if (c.vertices != NoisyGrid::kPoints)
        return;
    // Each point's exact corner represents it: the output is the grid without its noise.
    const std::vector<std::string> positions = out.corner_bytes(out.primitive(0, 0))["POSITION"];
    ASSERT_EQ(positions.size(), NoisyGrid::kCorners);
    for (size_t corner = 0; corner < positions.size(); ++corner)
        EXPECT_EQ(std::memcmp(positions[corner].data(), &grid.cleanPositions[3 * corner], 12), 0)
            << "corner " << corner;
}

TEST_P(MergeOnNoisyGrid, PlyMergesToTheGridAndSaysWhatMoved) {
    const GridCase& c = GetParam();
    const NoisyGrid grid;
    grid.write_ply(dir / "grid.ply");
    const RunResult result = weld(dir / "grid.ply", dir / "out.ply", c.options);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("total (1 mesh): 19 faces, 57 -> " + std::to_string(c.vertices) +
                              " vertices"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(c.mergeLine), std::string::npos) << result.out;

    Assimp::Importer reader;
    const aiScene* scene = reader.ReadFile((dir / "out.ply").string(), 0);
    ASSERT_NE(scene, nullptr) << reader.GetErrorString();
    const aiMesh& mesh = *scene->mMeshes[0];
    EXPECT_EQ(mesh.mNumVertices, c.vertices);
    if (c.vertices != NoisyGrid::kPoints)
        return;
    ASSERT_EQ(mesh.mNumFaces, NoisyGrid::kCorners / 3);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f)
        for (unsigned i = 0; i < 3; ++i) {
            const aiVector3D& p = mesh.mVertices[mesh.mFaces[f].mIndices[i]];
            const float* clean = &grid.cleanPositions[3 * (3 * f + i)];
            EXPECT_TRUE(p.x == clean[0] && p.y == clean[1] && p.z == clean[2])
                << "corner " << 3 * f + i;
        }
}

INSTANTIATE_TEST_SUITE_P(Weldmesh, MergeOnNoisyGrid, testing::ValuesIn(kGridCases));

TEST_F(ToolScratch, MergeBelowTheNoiseMovesNothing) {
    write_file(dir / "grid.glb", NoisyGrid().glb());
    const RunResult exact = weld(dir / "grid.glb", dir / "exact.glb");
    const RunResult merged = weld(dir / "grid.glb", dir / "merged.glb", "--merge-distance 1e-7");
    ASSERT_EQ(exact.status, 0) << exact.err;
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_NE(merged.out.find("  merge: 0 corners moved, position by at most 0, other components "
                              "by at most 0; 0 faces made degenerate, kept\n"),
              std::string::npos)
        << merged.out;
    EXPECT_EQ(vertex_count(Asset::load(dir / "merged.glb"), 0, 0),
              vertex_count(Asset::load(dir / "exact.glb"), 0, 0));
}

// --- what merges in glTF: float data within the limits, everything else only where equal ------

// One attribute of a fixture of two triangles, the second on copies of the first's three
// vertices: its accessor, and the value of each component at each corner.
struct Channel {
    std::string name; // a morph target's attribute is "target NAME"
    int componentType;
    const char* type;
    size_t components;
    std::function<double(int corner, size_t component)> value;
    bool normalized = false;
    bool sparse = false; // a morph target without a view, the copies' values sparse
};

const int kCopies = 3; // corners 3 to 5 copy corners 0 to 2

std::string component_bytes(int componentType, double value) {
    std::string bytes;
    auto put = [&](auto typed) {
        bytes.append(reinterpret_cast<const char*>(&typed), sizeof typed);
    };
    switch (componentType) {
    case 5121:
        put(uint8_t(value));
        break;
    case 5122:
        put(int16_t(value));
        break;
    case 5123:
        put(uint16_t(value));
        break;
    default:
        put(float(value));
    }
    return bytes;
}

std::string channel_bytes(const Channel& channel, int begin, int end) {
    std::string bytes;
    for (int corner = begin; corner < end; ++corner)
        for (size_t i = 0; i < channel.components; ++i)
            bytes += component_bytes(channel.componentType, channel.value(corner, i));
    return bytes;
}

// The copies' positions sort before the originals' (1e-6 lower in x): the copies represent the
// merged vertices, though the first triangle's corners are the first to use them.
double noisy_position(int corner, size_t i) {
    const double site[3][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    return site[corner % kCopies][i] - (i == 0 && corner >= kCopies ? 1e-6 : 0.0);
}

Json channel_accessor(const Channel& channel, BufferBuilder& b) {
    Json accessor = {
        {"componentType", channel.componentType}, {"count", 2 * kCopies}, {"type", channel.type}};
    if (channel.normalized)
        accessor["normalized"] = true;
    if (channel.sparse) {
        const std::string indices = {char(3), char(4), char(5)};
        accessor["sparse"] = {
            {"count", kCopies},
            {"indices", {{"bufferView", b.view(indices)}, {"componentType", 5121}}},
            {"values", {{"bufferView", b.view(channel_bytes(channel, 3, 6))}}}};
    } else {
        // Vertex elements start on whole words.
        const size_t size = channel_bytes(channel, 0, 1).size(), stride = (size + 3) & ~size_t(3);
        std::string bytes;
        for (int corner = 0; corner < 2 * kCopies; ++corner)
            bytes += channel_bytes(channel, corner, corner + 1) + std::string(stride - size, '\0');
        accessor["bufferView"] = b.view(bytes, 34962, stride == size ? 0 : stride);
    }
    if (channel.name.find("POSITION") != std::string::npos) {
        Json low = Json::array(), high = Json::array();
        for (size_t i = 0; i < channel.components; ++i) {
            double lo = INFINITY, hi = -INFINITY;
            for (int corner = 0; corner < 2 * kCopies; ++corner) {
                const double value = channel.sparse && corner < kCopies
                                         ? 0.0
                                         : double(float(channel.value(corner, i)));
                lo = std::min(lo, value);
                hi = std::max(hi, value);
            }
            if (channel.componentType == 5126) {
                low.push_back(lo);
                high.push_back(hi);
            } else {
                low.push_back(int64_t(lo));
                high.push_back(int64_t(hi));
            }
        }
        accessor["min"] = low;
        accessor["max"] = high;
    }
    return accessor;
}

std::string two_triangles(std::vector<Channel> channels) {
    const bool quantized = std::any_of(channels.begin(), channels.end(),
                                       [](const Channel& c) { return c.name == "POSITION"; });
    if (!quantized)
        channels.push_back({"POSITION", 5126, "VEC3", 3, noisy_position});
    BufferBuilder b;
    Json attributes = Json::object(), target = Json::object();
    for (const Channel& channel : channels) {
        b.accessors.push_back(channel_accessor(channel, b));
        const size_t index = b.accessors.size() - 1;
        if (channel.name.rfind("target ", 0) == 0)
            target[channel.name.substr(7)] = index;
        else
            attributes[channel.name] = index;
    }
    Json primitive = {{"attributes", attributes}};
    if (!target.empty())
        primitive["targets"] = {target};
    Json doc = {{"asset", {{"version", "2.0"}}},
                {"meshes", {{{"primitives", {primitive}}}}},
                {"accessors", b.accessors},
                {"bufferViews", b.views},
                {"buffers", {{{"byteLength", b.bin.size()}}}}};
    if (!target.empty())
        doc["meshes"][0]["weights"] = {0.0};
    bool needsQuantization = false;
    for (const Channel& channel : channels)
        needsQuantization =
            needsQuantization || (channel.name == "POSITION" && channel.componentType != 5126);
    if (needsQuantization) {
        doc["extensionsUsed"] = {"KHR_mesh_quantization"};
        doc["extensionsRequired"] = {"KHR_mesh_quantization"};
    }
    return glb(doc, b.bin);
}

// `original` at the first triangle's corners, `copy` at the second's.
std::function<double(int, size_t)> copies(double original, double copy) {
    return [=](int corner, size_t) { return corner < kCopies ? original : copy; };
}

// Every vertex of a primitive as the bytes of all its attributes, morph targets included.
std::vector<std::string> vertex_rows(const Asset& asset) {
    const Json& primitive = asset.primitive(0, 0);
    std::vector<std::string> rows(vertex_count(asset, 0, 0));
    auto add = [&](const Json& attributes) {
        for (const auto& [name, accessor] : attributes.items())
            for (size_t v = 0; v < rows.size(); ++v)
                rows[v] += asset.element(accessor, v);
    };
    add(primitive["attributes"]);
    for (const Json& target : primitive.value("targets", Json::array()))
        add(target);
    return rows;
}

struct MergeCase {
    const char* name;
    std::vector<Channel> channels;
    std::string options;
    size_t vertices; // 3: the copies merged, 6: kept apart
};

class MergeOnGltf : public ToolScratch {};

TEST_F(MergeOnGltf, FloatsMergeWithinTheLimitsAndEverythingElseOnlyWhereEqual) {
    const std::string wide = "--merge-distance 1e-5 --tolerance 1";
    const std::vector<MergeCase> cases = {
        {"float colours within the tolerance",
         {{"COLOR_0", 5126, "VEC4", 4, copies(0.5, 0.501)}},
         "--merge-distance 1e-5 --tolerance 0.01",
         3},
        {"float colours beyond the tolerance",
         {{"COLOR_0", 5126, "VEC4", 4, copies(0.5, 0.501)}},
         "--merge-distance 1e-5 --tolerance 0.0001",
         6},
        // Dark red, whose bytes read as a float are tiny: compared as a value, within 1.
        {"8-bit colours a step apart",
         {{"COLOR_0", 5121, "VEC4", 4,
           [](int corner, size_t i) { return i == 0 ? 1.0 + (corner >= kCopies) : 0.0; }, true}},
         wide,
         6},
        {"16-bit texture coordinates a step apart",
         {{"TEXCOORD_0", 5123, "VEC2", 2, copies(1000, 1001), true}},
         wide,
         6},
        {"joints that differ",
         {{"JOINTS_0", 5121, "VEC4", 4, copies(1, 2)},
          {"WEIGHTS_0", 5126, "VEC4", 4, [](int, size_t i) { return i == 0 ? 1.0 : 0.0; }}},
         wide,
         6},
        {"quantized positions a step apart",
         {{"POSITION", 5122, "VEC3", 3,
           [](int corner, size_t i) {
               return 100 * noisy_position(corner % kCopies, i) + (corner >= kCopies && i == 0);
           }}},
         "--merge-distance 100",
         6},
        {"equal quantized positions, float texture coordinates within the tolerance",
         {{"POSITION", 5122, "VEC3", 3,
           [](int corner, size_t i) { return 100 * noisy_position(corner % kCopies, i); }},
          {"TEXCOORD_0", 5126, "VEC2", 2, copies(0.25, 0.2501)}},
         "--merge-distance 0 --tolerance 0.001",
         3},
        {"morph displacements within the tolerance",
         {{"target POSITION", 5126, "VEC3", 3, copies(0, 0.001)}},
         "--merge-distance 1e-5 --tolerance 0.01",
         3},
        {"morph displacements beyond the tolerance",
         {{"target POSITION", 5126, "VEC3", 3, copies(0, 0.001)}},
         "--merge-distance 1e-5",
         6},
        {"sparse morph displacements, the copies' representing",
         {{"target POSITION", 5126, "VEC3", 3, copies(0, 0.001), false, true}},
         "--merge-distance 1e-5 --tolerance 0.01",
         3},
    };
    std::vector<fs::path> files;
    for (size_t k = 0; k < cases.size(); ++k) {
        const MergeCase& c = cases[k];
        SCOPED_TRACE(c.name);
        const fs::path input = dir / ("in" + std::to_string(k) + ".glb");
        const fs::path output = dir / ("out" + std::to_string(k) + ".glb");
        write_file(input, two_triangles(c.channels));
        const RunResult result = weld(input, output, c.options);
        ASSERT_EQ(result.status, 0) << result.err;
        const Asset in = Asset::load(input), out = Asset::load(output);
        EXPECT_EQ(vertex_count(out, 0, 0), c.vertices);
        // Each vertex is a bit copy of an input vertex, and the corners' vertices stay theirs
        // where nothing merged.
        const std::vector<std::string> inRows = vertex_rows(in);
        const std::set<std::string> inputVertices(inRows.begin(), inRows.end());
        for (const std::string& row : vertex_rows(out))
            EXPECT_EQ(inputVertices.count(row), 1u) << "an output vertex that is no input vertex";
        if (c.vertices == 6)
            expect_same_corners(in.corner_bytes(in.primitive(0, 0)),
                                out.corner_bytes(out.primitive(0, 0)), c.name);
        files.push_back(input);
        files.push_back(output);
    }
    if (!validator_available())
        GTEST_SKIP() << "the glTF validator is missing (npm install -g gltf-validator)";
    const std::vector<ValidatorCodes> codes = validate_files(files, dir);
    for (size_t k = 0; k < cases.size(); ++k)
        expect_no_new_findings(codes[2 * k], codes[2 * k + 1], cases[k].name);
}

// The fixture's first two primitives share their vertex arrays; the others skin and morph, and
// hold more NaN patterns than the exact weld's key has stand-ins. Vertices merge each way, per
// mesh, and the validator finds nothing in a merged asset, nor more often, than in the input or
// in the exact weld with the same attributes (without texture coordinates the materials lack
// theirs; the NaN vertices the weld joins a merge keeps apart).
TEST_F(MergeOnGltf, FixtureMergesAsAskedAndStaysValid) {
    struct FixtureCase {
        std::string attributes, merge;
        size_t shared, soup, patterns;
    };
    const FixtureCase cases[] = {
        // Every position within 1.5 of another merges where the joints let it (the soup's first
        // point takes its copy with another morph displacement); the patterns' texture
        // coordinates are gone.
        {"-a position", "--merge-distance 1.5 --tolerance 1", 2, 4, 2},
        // Equal values merge: +0 with -0, NaN with nothing.
        {"-a position,normal", "--merge-distance 0", 6, Fixture::kSoupDistinct, 3},
        {"", "--merge-distance 0", Fixture::kSharedDistinct, Fixture::kSoupDistinct,
         Fixture::kPatternsDistinct},
    };
    const fs::path input = Fixture().write(dir, "in", true);
    std::vector<fs::path> files = {input}; // then each case's exact weld and its merge
    for (const FixtureCase& c : cases) {
        SCOPED_TRACE(c.attributes + " " + c.merge);
        const fs::path exact = dir / ("exact" + std::to_string(files.size()) + ".gltf");
        const fs::path merged = dir / ("merged" + std::to_string(files.size()) + ".gltf");
        ASSERT_EQ(weld(input, exact, c.attributes).status, 0);
        const RunResult result = weld(input, merged, c.attributes + " " + c.merge);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("  merge: "), std::string::npos) << result.out;
        const Asset out = Asset::load(merged);
        EXPECT_EQ(vertex_count(out, 0, 0), c.shared);
        EXPECT_EQ(out.primitive(0, 0)["attributes"], out.primitive(0, 1)["attributes"])
            << "primitives that shared their vertices still do";
        EXPECT_EQ(vertex_count(out, 1, 0), c.soup);
        EXPECT_EQ(vertex_count(out, 2, 0), c.patterns);
        files.push_back(exact);
        files.push_back(merged);
    }
    if (!validator_available())
        GTEST_SKIP() << "the glTF validator is missing (npm install -g gltf-validator)";
    const std::vector<ValidatorCodes> codes = validate_files(files, dir);
    for (size_t k = 1; k < files.size(); k += 2) {
        ValidatorCodes baseline = codes[0];
        for (const auto& [code, count] : codes[k])
            baseline[code] = std::max(baseline[code], count);
        expect_no_new_findings(baseline, codes[k + 1], files[k + 1].string());
    }
}

// --- batch mode ------------------------------------------------------------------------------

TEST_F(ToolScratch, BatchPassesTheMergeToEveryFileAndTotalsIt) {
    const NoisyGrid grid;
    fs::create_directories(dir / "in");
    write_file(dir / "in" / "grid.glb", grid.glb());
    grid.write_ply(dir / "in" / "grid.ply");
    const RunResult result = run("--merge-distance 1e-5 --tolerance 1e-5 -j 2 '" +
                                 (dir / "in").string() + "' -o '" + (dir / "out").string() + "'");
    ASSERT_EQ(result.status, 0) << result.err;
    for (const char* name : {"grid.glb", "grid.ply"}) {
        const std::string line = (dir / "in" / name).string() + " -> " +
                                 (dir / "out" / name).string() + ": 19 faces, 57 -> 16 vertices";
        const size_t at = result.out.find(line);
        ASSERT_NE(at, std::string::npos) << result.out;
        EXPECT_EQ(result.out.find(kMergedLine, at), result.out.find('\n', at) + 1) << result.out;
    }
    const size_t total =
        result.out.find("total (2 files, 2 welded, 0 skipped, 0 failed): 38 faces, 114 -> 32");
    ASSERT_NE(total, std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(result.out.find('\n', total) + 1),
              "  merge: 82 corners moved, position by at most 1.73e-06, other components by at "
              "most 2e-06; 2 faces made degenerate, kept\n");
    EXPECT_EQ(vertex_count(Asset::load(dir / "out" / "grid.glb"), 0, 0), NoisyGrid::kPoints);
}

} // namespace
