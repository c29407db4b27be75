// glTF files as the weldmesh tests build and read them: a glb container, a buffer builder, the
// fixture asset, and the bytes each primitive's corners carry.
#ifndef WELDMESH_TESTS_GLTF_FILES_H
#define WELDMESH_TESTS_GLTF_FILES_H

#include "tool_scratch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace gltf_files {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

inline uint32_t u32(const std::string& bytes, size_t at) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// A glb of the JSON text `json` and the BIN chunk `bin` (none when empty).
inline std::string glb_of_text(std::string json, const std::string& bin) {
    json.resize((json.size() + 3) & ~size_t(3), ' ');
    std::string padded = bin;
    padded.resize((padded.size() + 3) & ~size_t(3), '\0');
    std::string file;
    auto put = [&](uint32_t value) { file.append(reinterpret_cast<const char*>(&value), 4); };
    put(0x46546C67);
    put(2);
    put(uint32_t(12 + 8 + json.size() + (bin.empty() ? 0 : 8 + padded.size())));
    put(uint32_t(json.size()));
    put(0x4E4F534A);
    file += json;
    if (bin.empty())
        return file;
    put(uint32_t(padded.size()));
    put(0x004E4942);
    return file + padded;
}

inline std::string glb(const Json& doc, const std::string& bin) {
    return glb_of_text(doc.dump(), bin);
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

    static std::string encode_base64(const std::string& bytes) {
        static const char digits[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string text;
        for (size_t i = 0; i < bytes.size(); i += 3) {
            uint32_t bits = uint32_t(uint8_t(bytes[i])) << 16;
            if (i + 1 < bytes.size())
                bits |= uint32_t(uint8_t(bytes[i + 1])) << 8;
            if (i + 2 < bytes.size())
                bits |= uint8_t(bytes[i + 2]);
            text += digits[bits >> 18];
            text += digits[(bits >> 12) & 63];
            text += i + 1 < bytes.size() ? digits[(bits >> 6) & 63] : '=';
            text += i + 2 < bytes.size() ? digits[bits & 63] : '=';
        }
        return text;
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

    // The bytes of `count` elements of `size` bytes, `stride` apart, at `offset` in a view.
    std::string view_bytes(size_t view, size_t offset, size_t i, size_t size, size_t stride) const {
        const Json& json = doc["bufferViews"][view];
        const size_t at = json.value("byteOffset", size_t(0)) + offset + i * stride;
        return buffers[json["buffer"]].substr(at, size);
    }

    // The bytes of element `i` of an accessor: zeros without a view, sparse values in place.
    std::string element(size_t accessor, size_t i) const {
        const Json& a = doc["accessors"][accessor];
        const size_t size = element_size(accessor);
        if (a.contains("sparse")) {
            const Json& sparse = a["sparse"];
            const Json& indices = sparse["indices"];
            const size_t indexSize = indices["componentType"] == 5121   ? 1
                                     : indices["componentType"] == 5123 ? 2
                                                                        : 4;
            for (size_t k = 0; k < sparse["count"]; ++k) {
                const std::string bytes =
                    view_bytes(indices["bufferView"], indices.value("byteOffset", size_t(0)), k,
                               indexSize, indexSize);
                uint32_t index = 0;
                std::memcpy(&index, bytes.data(), indexSize);
                if (index == i)
                    return view_bytes(sparse["values"]["bufferView"],
                                      sparse["values"].value("byteOffset", size_t(0)), k, size,
                                      size);
            }
        }
        if (!a.contains("bufferView"))
            return std::string(size, '\0');
        const size_t view = a["bufferView"];
        return view_bytes(view, a.value("byteOffset", size_t(0)), i, size,
                          doc["bufferViews"][view].value("byteStride", size));
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
inline size_t bitwise_distinct(const Asset& asset,
                               const std::vector<std::pair<size_t, size_t>>& list) {
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

inline size_t vertex_count(const Asset& asset, size_t mesh, size_t index) {
    return asset
        .doc["accessors"][size_t(asset.primitive(mesh, index)["attributes"]["POSITION"])]["count"];
}

// The document without the parts a weld rewrites: accessors, buffer views, buffers, and the
// references to them.
inline Json without_data(Json doc) {
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

inline float bits_to_float(uint32_t bits) {
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

inline std::vector<std::pair<size_t, size_t>> primitives_of(const Json& doc) {
    std::vector<std::pair<size_t, size_t>> list;
    for (size_t m = 0; m < doc["meshes"].size(); ++m)
        for (size_t p = 0; p < doc["meshes"][m]["primitives"].size(); ++p)
            list.emplace_back(m, p);
    return list;
}

// Names the first corner whose bytes differ, rather than printing all of them.
inline void expect_same_corners(const CornerBytes& in, const CornerBytes& out,
                                const std::string& where) {
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
inline void expect_same_asset(const Asset& in, const Asset& out) {
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
inline void expect_compact(const Asset& out) {
    std::vector<size_t> used(out.buffers.size(), 0);
    for (const Json& view : out.doc["bufferViews"])
        used[view["buffer"]] += (size_t(view["byteLength"]) + 3) & ~size_t(3);
    for (size_t b = 0; b < out.buffers.size(); ++b)
        EXPECT_LE(size_t(out.doc["buffers"][b]["byteLength"]), used[b] + 3) << "buffer " << b;
}

// What the Khronos glTF validator finds in a file: the code of each error and warning, with its
// count.
using ValidatorCodes = std::map<std::string, int>;

inline bool validator_available() {
    return std::string(NODE_EXE).find("NOTFOUND") == std::string::npos &&
           fs::exists(fs::path(GLTF_VALIDATOR_MODULES) / "gltf-validator");
}

// Runs the validator once over all the files.
inline std::vector<ValidatorCodes> validate_files(const std::vector<fs::path>& files,
                                                  const fs::path& scratch) {
    std::string command = std::string("NODE_PATH='") + GLTF_VALIDATOR_MODULES + "' '" + NODE_EXE +
                          "' '" + GLTF_VALIDATOR_SCRIPT + "'";
    for (const fs::path& file : files)
        command += " '" + file.string() + "'";
    const fs::path out = scratch / "validator.txt";
    command += " > '" + out.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::map<std::string, ValidatorCodes> byFile;
    std::istringstream lines(read_file(out));
    fs::remove(out);
    for (std::string line; std::getline(lines, line);) {
        const Json report = Json::parse(line);
        ValidatorCodes& codes = byFile[report["file"]];
        for (const auto& [code, count] : report["codes"].items())
            codes[code] = count;
    }
    std::vector<ValidatorCodes> reports;
    for (const fs::path& file : files) {
        EXPECT_EQ(byFile.count(file.string()), 1u) << "the validator did not report " << file;
        reports.push_back(byFile[file.string()]);
    }
    return reports;
}

// The validator finds nothing in `output` that it did not find in `input`, and nothing more
// often.
inline void expect_no_new_findings(const ValidatorCodes& input, const ValidatorCodes& output,
                                   const std::string& where) {
    for (const auto& [code, count] : output) {
        const auto before = input.find(code);
        EXPECT_LE(count, before == input.end() ? 0 : before->second)
            << where << ": the output has " << code << " " << count << " times";
    }
}

} // namespace gltf_files

#endif
