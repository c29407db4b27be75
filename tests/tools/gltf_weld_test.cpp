// weldmesh on glTF: the asset that comes out is the asset that went in, minus duplicate vertices.
#include "tool_scratch.h"

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
using Json = nlohmann::ordered_json;

namespace {

uint32_t u32(const std::string& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

std::string glb(const Json& doc, const std::string& bin) {
    std::string json = doc.dump();
    json.resize((json.size() + 3) & ~size_t(3), ' ');
    std::string padded = bin;
    padded.resize((padded.size() + 3) & ~size_t(3), '\0');
    std::string file;
    auto put = [&](uint32_t value) { file.append(reinterpret_cast<const char*>(&value), 4); };
    put(0x46546C67);
    put(2);
    put(uint32_t(12 + 8 + json.size() + 8 + padded.size()));
    put(uint32_t(json.size()));
    put(0x4E4F534A);
    file += json;
    put(uint32_t(padded.size()));
    put(0x004E4942);
    return file + padded;
}

// Per attribute ("NORMAL", "target 0 POSITION"), its bytes at every corner, in order.
using CornerBytes = std::map<std::string, std::vector<std::string>>;

// A glTF file as the tests see it: the document and the bytes of each buffer.
struct Asset {
    Json doc;
    std::vector<std::string> buffers;

    static Asset load(const fs::path& path) {
        Asset asset;
        const std::string bytes = read_file(path);
        std::string bin;
        if (path.extension() == ".glb") {
            const uint32_t jsonLength = u32(bytes, 12);
            asset.doc = Json::parse(bytes.substr(20, jsonLength));
            const size_t next = 20 + jsonLength;
            if (next < bytes.size())
                bin = bytes.substr(next + 8, u32(bytes, next));
        } else {
            asset.doc = Json::parse(bytes);
        }
        for (const Json& buffer : asset.doc.value("buffers", Json::array())) {
            if (!buffer.contains("uri")) {
                asset.buffers.push_back(bin);
                continue;
            }
            const std::string uri = buffer["uri"];
            const size_t comma = uri.find(',');
            asset.buffers.push_back(uri.rfind("data:", 0) == 0
                                        ? decode_base64(uri.substr(comma + 1))
                                        : read_file(path.parent_path() / uri));
        }
        return asset;
    }

    static std::string decode_base64(const std::string& text) {
        static const std::string digits =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        uint32_t bits = 0;
        int count = 0;
        for (char c : text) {
            if (c == '=')
                break;
            bits = bits << 6 | uint32_t(digits.find(c));
            if ((count += 6) >= 8) {
                out += char(bits >> (count - 8));
                count -= 8;
            }
        }
        return out;
    }

    size_t element_size(size_t accessor) const {
        static const std::map<int, size_t> sizes = {{5120, 1}, {5121, 1}, {5122, 2},
                                                    {5123, 2}, {5125, 4}, {5126, 4}};
        static const std::map<std::string, size_t> counts = {
            {"SCALAR", 1}, {"VEC2", 2}, {"VEC3", 3}, {"VEC4", 4}, {"MAT4", 16}};
        const Json& a = doc["accessors"][accessor];
        return sizes.at(a["componentType"]) * counts.at(a["type"]);
    }

    // The bytes of element `i` of an accessor.
    std::string element(size_t accessor, size_t i) const {
        const Json& a = doc["accessors"][accessor];
        const Json& view = doc["bufferViews"][size_t(a["bufferView"])];
        const size_t size = element_size(accessor);
        const size_t stride = view.value("byteStride", size);
        const size_t at =
            view.value("byteOffset", size_t(0)) + a.value("byteOffset", size_t(0)) + i * stride;
        return buffers[view["buffer"]].substr(at, size);
    }

    std::vector<uint32_t> corners(const Json& primitive) const {
        std::vector<uint32_t> list;
        if (!primitive.contains("indices")) {
            for (uint32_t i = 0;
                 i < doc["accessors"][size_t(primitive["attributes"]["POSITION"])]["count"]; ++i)
                list.push_back(i);
            return list;
        }
        const size_t indices = primitive["indices"];
        for (size_t i = 0; i < doc["accessors"][indices]["count"]; ++i) {
            const std::string bytes = element(indices, i);
            uint32_t value = 0;
            std::memcpy(&value, bytes.data(), bytes.size());
            list.push_back(value);
        }
        return list;
    }

    CornerBytes corner_bytes(const Json& primitive) const {
        CornerBytes values;
        const std::vector<uint32_t> list = corners(primitive);
        auto add = [&](const std::string& prefix, const Json& attributes) {
            for (const auto& [name, accessor] : attributes.items())
                for (uint32_t corner : list)
                    values[prefix + name].push_back(element(accessor, corner));
        };
        add("", primitive["attributes"]);
        const Json targets = primitive.value("targets", Json::array());
        for (size_t t = 0; t < targets.size(); ++t)
            add("target " + std::to_string(t) + " ", targets[t]);
        return values;
    }

    const Json& primitive(size_t mesh, size_t index) const {
        return doc["meshes"][mesh]["primitives"][index];
    }
};

// Distinct corners over all attribute bytes of the primitives listed, which share their vertex
// arrays: what an exact, bitwise weld must leave.
size_t bitwise_distinct(const Asset& asset, const std::vector<std::pair<size_t, size_t>>& list) {
    std::set<std::string> distinct;
    for (const auto& [mesh, index] : list) {
        const auto values = asset.corner_bytes(asset.primitive(mesh, index));
        const size_t count = values.begin()->second.size();
        for (size_t c = 0; c < count; ++c) {
            std::string key;
            for (const auto& [name, bytes] : values)
                key += name + "=" + bytes[c] + ";";
            distinct.insert(key);
        }
    }
    return distinct.size();
}

size_t vertex_count(const Asset& asset, size_t mesh, size_t index) {
    return asset
        .doc["accessors"][size_t(asset.primitive(mesh, index)["attributes"]["POSITION"])]["count"];
}

// The document without the parts a weld rewrites: accessors, buffer views, buffers, and the
// references to them.
Json without_data(Json doc) {
    doc.erase("accessors");
    doc.erase("bufferViews");
    doc.erase("buffers");
    for (Json& mesh : doc["meshes"])
        for (Json& primitive : mesh["primitives"]) {
            primitive.erase("indices");
            for (auto& item : primitive["attributes"].items())
                item.value() = nullptr;
            for (Json& target : primitive.value("targets", Json::array()))
                for (auto& item : target.items())
                    item.value() = nullptr;
        }
    for (Json& image : doc["images"]) {
        image.erase("uri");
        image.erase("bufferView");
    }
    return doc;
}

// Builds the binary buffer of a fixture, one accessor at a time.
struct BufferBuilder {
    std::string bin;
    Json views = Json::array();
    Json accessors = Json::array();

    size_t view(const std::string& bytes, int target = 0, size_t stride = 0) {
        bin.resize((bin.size() + 3) & ~size_t(3), '\0');
        Json view = {{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", bytes.size()}};
        if (stride)
            view["byteStride"] = stride;
        if (target)
            view["target"] = target;
        bin += bytes;
        views.push_back(view);
        return views.size() - 1;
    }

    // With a stride, each element is padded to it with 0xEE bytes.
    template <typename T>
    size_t accessor(const std::vector<T>& values, int componentType, const char* type,
                    size_t components, Json extra = Json::object(), int target = 34962,
                    size_t stride = 0) {
        std::string bytes;
        for (size_t i = 0; i < values.size(); i += components) {
            bytes.append(reinterpret_cast<const char*>(&values[i]), components * sizeof(T));
            if (stride)
                bytes.resize(bytes.size() + stride - components * sizeof(T), '\xEE');
        }
        Json accessor = {{"bufferView", view(bytes, target, stride)},
                         {"componentType", componentType},
                         {"count", values.size() / components},
                         {"type", type}};
        if (extra.is_object())
            accessor.update(extra);
        accessors.push_back(accessor);
        return accessors.size() - 1;
    }
};

float bits_to_float(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

// The fixture: two primitives sharing every vertex array, a points primitive sharing their
// positions, a skinned and morphed triangle soup, a TRS node tree, a material extension, an
// embedded and an external image, and a buffer view nothing refers to.
struct Fixture {
    Json doc;
    std::string bin;
    // How many vertices a bitwise weld leaves: the two sharing primitives, the soup.
    static constexpr size_t kSharedDistinct = 8;
    static constexpr size_t kSoupDistinct = 5;
    static constexpr size_t kPatternsDistinct = 300;

    Fixture() {
        BufferBuilder b;
        // Vertex v + 6 repeats vertex v but for two: vertex 10 differs in the last colour bit,
        // vertex 11 by a -0 in its normal. Vertices 3 and 9 carry the same NaN.
        std::vector<float> position, normal, tangent, uv0, uv1;
        std::vector<uint16_t> color;
        for (int v = 0; v < 12; ++v) {
            const int k = v % 6;
            position.insert(position.end(), {float(k % 3), float(k / 3), 0.1f * float(k)});
            normal.insert(normal.end(), {0.0f, v == 11 ? -0.0f : 0.0f, 1.0f});
            tangent.insert(tangent.end(), {1.0f, 0.0f, 0.0f, k == 2 ? -1.0f : 1.0f});
            uv0.insert(uv0.end(), {float(k) / 8, 1e-7f * float(k)});
            uv1.insert(uv1.end(), {k == 3 ? bits_to_float(0x7FC01234) : 0.5f, 0.25f});
            color.insert(color.end(), {uint16_t(1000 * k), 65535, 0, uint16_t(v == 10 ? 1 : 0)});
        }
        Json normalized = {{"normalized", true}};
        Json bounds = {{"min", {0.0, 0.0, 0.0}}, {"max", {2.0, 1.0, 0.5}}};
        const size_t positions = b.accessor(position, 5126, "VEC3", 3, bounds);
        Json attributes = {{"POSITION", positions},
                           {"NORMAL", b.accessor(normal, 5126, "VEC3", 3)},
                           {"TANGENT", b.accessor(tangent, 5126, "VEC4", 4)},
                           {"TEXCOORD_0", b.accessor(uv0, 5126, "VEC2", 2)},
                           {"TEXCOORD_1", b.accessor(uv1, 5126, "VEC2", 2)},
                           {"COLOR_0", b.accessor(color, 5123, "VEC4", 4, normalized)}};
        const std::vector<uint16_t> first = {0, 1, 4, 0, 4, 3, 1, 2, 5, 1, 5, 4};
        const std::vector<uint16_t> second = {6, 7, 10, 6, 10, 9, 7, 8, 11, 7, 11, 10};
        const Json indices0 = b.accessor(first, 5123, "SCALAR", 1, {}, 34963);
        const Json indices1 = b.accessor(second, 5123, "SCALAR", 1, {}, 34963);

        // Corners 3 and 4 repeat corners 1 and 0; corner 6 repeats corner 0 but for its morph
        // displacement.
        const std::vector<int> soup = {0, 1, 2, 1, 0, 3, 4, 2, 3};
        std::vector<float> soupPosition, weights, displacement;
        std::vector<uint8_t> joints, flags;
        for (int c : soup) {
            const int p = c == 4 ? 0 : c;
            flags.insert(flags.end(), {uint8_t(p), 7, uint8_t(p * 3)});
            soupPosition.insert(soupPosition.end(), {float(p), float(p * p), 3.0f});
            joints.insert(joints.end(), {0, uint8_t(p % 2), 0, 0});
            weights.insert(weights.end(), {0.75f, 0.25f, 0.0f, 0.0f});
            displacement.insert(displacement.end(), {0.0f, c == 4 ? 0.5f : 0.0f, 0.0f});
        }
        Json soupAttributes = {
            {"POSITION", b.accessor(soupPosition, 5126, "VEC3", 3,
                                    {{"min", {0.0, 0.0, 3.0}}, {"max", {3.0, 9.0, 3.0}}})},
            {"JOINTS_0", b.accessor(joints, 5121, "VEC4", 4)},
            {"WEIGHTS_0", b.accessor(weights, 5126, "VEC4", 4)},
            {"_FLAGS", b.accessor(flags, 5121, "VEC3", 3, {}, 34962, 4)}};
        // More distinct NaN bit patterns (0xFFFF in the high half) than the weld's key has
        // stand-ins for: each pair of corners repeats one of 300 texture coordinates.
        std::vector<float> flat;
        std::vector<uint16_t> patterns;
        for (int c = 0; c < 600; ++c) {
            flat.insert(flat.end(), {float(c / 2 % 3), 0, 0});
            patterns.insert(patterns.end(), {uint16_t(c / 2), 65535});
        }
        Json patternAttributes = {
            {"POSITION",
             b.accessor(flat, 5126, "VEC3", 3, {{"min", {0, 0, 0}}, {"max", {2, 0, 0}}})},
            {"TEXCOORD_0", b.accessor(patterns, 5123, "VEC2", 2, {{"normalized", true}})}};
        Json target = {{"POSITION", b.accessor(displacement, 5126, "VEC3", 3)}};
        std::vector<float> inverseBind(32, 0.0f);
        for (int i = 0; i < 32; i += 5)
            inverseBind[size_t(i % 16 + 16 * (i / 16))] = 1.0f;
        const size_t inverseBindMatrices = b.accessor(inverseBind, 5126, "MAT4", 16, {}, 0);

        b.view(std::string(64, '\x55')); // nothing refers to it
        // Buffer 1 holds only a view nothing refers to; buffer 2, a data URI, holds the image.
        b.views.push_back({{"buffer", 1}, {"byteLength", 4}});
        b.views.push_back({{"buffer", 2}, {"byteLength", 23}});
        const size_t imageView = b.views.size() - 1;

        doc = {
            {"asset", {{"version", "2.0"}, {"generator", "fixture"}, {"copyright", "(c) test"}}},
            {"extensionsUsed", {"KHR_materials_emissive_strength"}},
            {"scene", 0},
            {"scenes", {{{"nodes", {0, 3}}, {"name", "scene"}}}},
            {"nodes",
             {{{"name", "root"},
               {"translation", {0.1, -2.5e-8, 3.0}},
               {"rotation", {0.0, 0.70710678118654757, 0.0, 0.70710678118654757}},
               {"scale", {1.0, 1.0, 1.0000001192092896}},
               {"children", {1, 2}},
               {"mesh", 0}},
              {{"name", "matrix child"},
               {"matrix", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.30000001192092896, 0, 0, 1}}},
              {{"name", "joint"}, {"translation", {0, 1, 0}}},
              {{"name", "skinned"}, {"mesh", 1}, {"skin", 0}}}},
            {"skins", {{{"joints", {0, 2}}, {"inverseBindMatrices", inverseBindMatrices}}}},
            {"meshes",
             {{{"name", "shared"},
               {"primitives",
                {{{"attributes", attributes}, {"indices", indices0}, {"material", 0}},
                 {{"attributes", attributes}, {"indices", indices1}, {"material", 0}},
                 {{"attributes", {{"POSITION", positions}}}, {"mode", 0}}}}},
              {{"name", "soup"},
               {"weights", {0.5}},
               {"primitives", {{{"attributes", soupAttributes}, {"targets", {target}}}}},
               {"extras", {{"targetNames", {"lift"}}}}},
              {{"name", "patterns"}, {"primitives", {{{"attributes", patternAttributes}}}}}}},
            {"materials",
             {{{"name", "glow"},
               {"emissiveFactor", {1.0, 0.5, 0.25}},
               {"pbrMetallicRoughness",
                {{"baseColorTexture", {{"index", 0}}},
                 {"metallicRoughnessTexture", {{"index", 1}, {"texCoord", 1}}}}},
               {"extensions", {{"KHR_materials_emissive_strength", {{"emissiveStrength", 4.5}}}}},
               {"extras", {{"note", "kept"}}}}}},
            {"textures", {{{"source", 0}, {"sampler", 0}}, {{"source", 1}}}},
            {"samplers", {{{"magFilter", 9729}, {"wrapS", 33648}}}},
            {"images",
             {{{"uri", "tex%20one.png"}}, {{"bufferView", imageView}, {"mimeType", "image/png"}}}},
            {"accessors", b.accessors},
            {"bufferViews", b.views},
            {"buffers",
             {{{"byteLength", b.bin.size()}},
              {{"uri", "data:application/octet-stream;base64,AAAAAA=="}, {"byteLength", 4}},
              {{"uri", "data:application/gltf-buffer;base64,iVBORw0KGgogZW1iZWRkZWQgaW1hZ2U="},
               {"byteLength", 23}}}},
            {"extras", {{"big", 12345678901234567ull}, {"tiny", 5e-324}}},
        };
        bin = b.bin;
    }

    // Writes the fixture as name.glb or as name.gltf with name.bin, and its external image.
    fs::path write(const fs::path& dir, const std::string& name, bool binary) const {
        write_file(dir / "tex one.png", "external image bytes");
        if (binary) {
            write_file(dir / (name + ".glb"), glb(doc, bin));
            return dir / (name + ".glb");
        }
        Json text = doc;
        text["buffers"][0]["uri"] = name + ".bin";
        write_file(dir / (name + ".bin"), bin);
        write_file(dir / (name + ".gltf"), text.dump(1));
        return dir / (name + ".gltf");
    }
};

class GltfWeld : public ToolScratch {};

std::vector<std::pair<size_t, size_t>> primitives_of(const Json& doc) {
    std::vector<std::pair<size_t, size_t>> list;
    for (size_t m = 0; m < doc["meshes"].size(); ++m)
        for (size_t p = 0; p < doc["meshes"][m]["primitives"].size(); ++p)
            list.emplace_back(m, p);
    return list;
}

// Names the first corner whose bytes differ, rather than printing all of them.
void expect_same_corners(const CornerBytes& in, const CornerBytes& out, const std::string& where) {
    std::vector<std::string> inNames, outNames;
    for (const auto& item : in)
        inNames.push_back(item.first);
    for (const auto& item : out)
        outNames.push_back(item.first);
    ASSERT_EQ(inNames, outNames) << where;
    for (const auto& [name, values] : in) {
        const std::vector<std::string>& other = out.at(name);
        ASSERT_EQ(values.size(), other.size()) << where << " " << name << ": corners";
        for (size_t c = 0; c < values.size(); ++c)
            if (values[c] != other[c]) {
                ADD_FAILURE() << where << " " << name << ": corner " << c << " changed";
                break;
            }
    }
}

// Every primitive keeps its attribute bytes at every corner, and everything but the data
// layout is unchanged, down to the order of the members and the text of the numbers.
void expect_same_asset(const Asset& in, const Asset& out) {
    EXPECT_EQ(without_data(in.doc).dump(), without_data(out.doc).dump());
    for (const auto& [m, p] : primitives_of(in.doc))
        expect_same_corners(in.corner_bytes(in.primitive(m, p)),
                            out.corner_bytes(out.primitive(m, p)),
                            "mesh " + std::to_string(m) + " primitive " + std::to_string(p));
    for (const auto& [m, p] : primitives_of(in.doc)) {
        const Json& before = in.primitive(m, p)["attributes"];
        for (const auto& [name, accessor] : before.items()) {
            Json a = in.doc["accessors"][size_t(accessor)];
            Json b = out.doc["accessors"][size_t(out.primitive(m, p)["attributes"][name])];
            for (const char* key : {"bufferView", "byteOffset", "count"}) {
                a.erase(key);
                b.erase(key);
            }
            EXPECT_EQ(a, b) << "accessor of mesh " << m << " primitive " << p << " " << name;
        }
    }
    for (size_t i = 0; i < in.doc.value("images", Json::array()).size(); ++i)
        if (in.doc["images"][i].contains("bufferView")) {
            const Json& a = in.doc["bufferViews"][size_t(in.doc["images"][i]["bufferView"])];
            const Json& b = out.doc["bufferViews"][size_t(out.doc["images"][i]["bufferView"])];
            EXPECT_EQ(in.buffers[a["buffer"]].substr(a.value("byteOffset", 0), a["byteLength"]),
                      out.buffers[b["buffer"]].substr(b.value("byteOffset", 0), b["byteLength"]));
        }
}

// Each buffer holds its views and the padding between them, nothing else.
void expect_compact(const Asset& out) {
    std::vector<size_t> used(out.buffers.size(), 0);
    for (const Json& view : out.doc["bufferViews"])
        used[view["buffer"]] += (size_t(view["byteLength"]) + 3) & ~size_t(3);
    for (size_t b = 0; b < out.buffers.size(); ++b)
        EXPECT_LE(size_t(out.doc["buffers"][b]["byteLength"]), used[b] + 3) << "buffer " << b;
}

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

// Large enough that the weld works on two halves at once and then joins them.
TEST_F(GltfWeld, LargeSoupWeldsAsOneBitwiseWeld) {
    const int n = 120; // vertices per grid side: 85,014 corners
    std::vector<float> position, normal;
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i)
            for (const auto& [di, dj] : {std::pair{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}}) {
                const int x = i + di, y = j + dj;
                position.insert(position.end(), {float(x), float(y), 0.0f});
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

} // namespace
