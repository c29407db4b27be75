// weldmesh on glTF files that are valid but out of the common run: each is welded, every corner
// keeps its bytes, what extensions refer to keeps its data, and the Khronos glTF validator finds
// nothing in the output that it did not find in the input.
#include "gltf_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace gltf_files;

namespace {

class GltfOddInput : public ToolScratch {
  protected:
    void SetUp() override {
        ToolScratch::SetUp();
        if (!validator_available())
            GTEST_SKIP() << "the glTF validator is missing (npm install -g gltf-validator)";
    }

    // Welds `input` to `output`, checks the corners and the validator, and returns the output.
    Asset weld_and_check(const fs::path& input, const fs::path& output, const std::string& options,
                         bool validated, bool loaded) {
        const RunResult result = weld(input, output, "--time-limit 60 " + options);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        if (validated) {
            const std::vector<ValidatorCodes> codes = validate_files({input, output}, dir);
            expect_no_new_findings(codes[0], codes[1], output.string());
        }
        if (!loaded)
            return Asset();
        const Asset in = Asset::load(input);
        const Asset out = Asset::load(output);
        if (options.empty())
            for (const auto& [m, p] : primitives_of(in.doc))
                expect_same_corners(
                    in.corner_bytes(in.primitive(m, p)), out.corner_bytes(out.primitive(m, p)),
                    "mesh " + std::to_string(m) + " primitive " + std::to_string(p));
        if (validated) {
            const std::vector<ValidatorCodes> codes = validate_files({input, output}, dir);
            expect_no_new_findings(codes[0], codes[1], output.string());
        }
        return out;
    }
};

// Corners of a quad as two triangles, in the order a soup has them; vertex 3 repeats 1, 4
// repeats 2.
const std::vector<float> kQuad = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};

Json bounds(std::vector<double> min, std::vector<double> max) {
    return {{"min", min}, {"max", max}};
}

Json document(BufferBuilder& b, const Json& primitive) {
    return {{"asset", {{"version", "2.0"}}},
            {"meshes", {{{"primitives", {primitive}}}}},
            {"accessors", b.accessors},
            {"bufferViews", b.views},
            {"buffers", {{{"byteLength", b.bin.size()}}}}};
}

struct OddFile {
    const char* name;
    const char* output;
    // Writes the input into the scratch directory and returns its path.
    std::function<fs::path(const fs::path& dir)> make;
    const char* options;
    // Checks the output beyond corners and validity.
    std::function<void(const Asset& out, const std::string& bytes)> check;
    // The validator itself cannot read JSON nested as deep as the tool takes.
    bool validated = true;
    // nlohmann-json's ordered objects take quadratic time to fill, and it copies nested values
    // recursively: a document with a huge object or deep nesting is checked by its bytes alone.
    bool loaded = true;
};

fs::path soup_glb(const fs::path& dir, const std::function<void(Json&, BufferBuilder&)>& change) {
    BufferBuilder b;
    const size_t positions = b.accessor(kQuad, 5126, "VEC3", 3, bounds({0, 0, 0}, {1, 1, 0}));
    Json doc = document(b, {{"attributes", {{"POSITION", positions}}}});
    change(doc, b);
    doc["accessors"] = b.accessors;
    doc["bufferViews"] = b.views;
    doc["buffers"][0]["byteLength"] = b.bin.size();
    write_file(dir / "in.glb", glb(doc, b.bin));
    return dir / "in.glb";
}

// JSON nested `depth` arrays deep.
std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(GltfOddInput, OddButValidFilesAreWeldedIntoValidOutput) {
    const std::vector<OddFile> cases = {
        {"a buffer no view uses", "out.glb",
         [](const fs::path& d) {
             return soup_glb(d, [](Json& doc, BufferBuilder&) {
                 doc["buffers"].push_back(
                     {{"byteLength", 4}, {"uri", "data:application/octet-stream;base64,AAAAAA=="}});
             });
         },
         "",
         [](const Asset& out, const std::string&) { EXPECT_EQ(out.doc["buffers"].size(), 1u); }},
        {"the BIN chunk unused, the data in a second buffer", "out.glb",
         [](const fs::path& d) {
             BufferBuilder b;
             const size_t positions =
                 b.accessor(kQuad, 5126, "VEC3", 3, bounds({0, 0, 0}, {1, 1, 0}));
             Json doc = document(b, {{"attributes", {{"POSITION", positions}}}});
             for (Json& view : doc["bufferViews"])
                 view["buffer"] = 1;
             doc["buffers"] = {
                 {{"byteLength", 4}},
                 {{"byteLength", b.bin.size()},
                  {"uri", "data:application/octet-stream;base64," + Asset::encode_base64(b.bin)}}};
             write_file(d / "in.glb", glb(doc, std::string(4, '\0')));
             return d / "in.glb";
         },
         "", [](const Asset& out, const std::string&) { EXPECT_EQ(vertex_count(out, 0, 0), 4u); }},
        {"JSON nested 100,000 levels deep", "out.glb",
         [](const fs::path& d) {
             soup_glb(d, [](Json&, BufferBuilder&) {});
             Asset asset = Asset::load(d / "in.glb");
             std::string text = asset.doc.dump();
             text.insert(text.size() - 1, ",\"extras\":" + nested(100000));
             write_file(d / "in.gltf", Json(asset.doc).dump());
             asset.doc["buffers"][0]["uri"] = "in.bin";
             write_file(d / "in.bin", asset.buffers[0]);
             text = asset.doc.dump();
             text.insert(text.size() - 1, ",\"extras\":" + nested(100000));
             write_file(d / "in.gltf", text);
             return d / "in.gltf";
         },
         "",
         // nlohmann-json writes recursively: the test looks at the bytes.
         [](const Asset&, const std::string& bytes) {
             EXPECT_NE(bytes.find("\"extras\":" + nested(100000)), std::string::npos)
                 << "the nesting is kept";
         },
         false, false},
        {"an object of 200,000 members", "out.glb",
         [](const fs::path& d) {
             soup_glb(d, [](Json&, BufferBuilder&) {});
             std::string file = read_file(d / "in.glb");
             std::string text = file.substr(20, u32(file, 12));
             std::string members;
             for (int i = 0; i < 200000; ++i)
                 members += (i ? ",\"k" : "{\"k") + std::to_string(i) + "\":" + std::to_string(i);
             text.insert(text.find_last_not_of(' '), ",\"extras\":" + members + "}");
             write_file(d / "in.glb", glb_of_text(text, file.substr(20 + u32(file, 12) + 8)));
             return d / "in.glb";
         },
         "",
         [](const Asset&, const std::string& bytes) {
             EXPECT_NE(bytes.find("\"k0\":0,\"k1\":1,"), std::string::npos);
             EXPECT_NE(bytes.find(",\"k199999\":199999}"), std::string::npos);
         },
         true, false},
        {"quantized int16 positions", "out.glb",
         [](const fs::path& d) {
             return soup_glb(d, [](Json& doc, BufferBuilder& b) {
                 // The corner at (-5, 7, 300) goes: the bounds must shrink with it.
                 const std::vector<int16_t> position = {0,  0, 0,   100, 0,   0, 0, 100, 0,
                                                        -5, 7, 300, 100, 100, 0, 0, 100, 0};
                 b.accessors.clear();
                 b.views.clear();
                 b.bin.clear();
                 const size_t positions = b.accessor(position, 5122, "VEC3", 3,
                                                     bounds({-5, 0, 0}, {100, 100, 300}), 34962, 8);
                 const std::vector<uint8_t> indices = {0, 1, 2, 1, 4, 2};
                 doc["meshes"][0]["primitives"][0] = {
                     {"attributes", {{"POSITION", positions}}},
                     {"indices", b.accessor(indices, 5121, "SCALAR", 1, {}, 34963)}};
                 doc["extensionsUsed"] = {"KHR_mesh_quantization"};
                 doc["extensionsRequired"] = {"KHR_mesh_quantization"};
             });
         },
         "",
         [](const Asset& out, const std::string&) {
             const Json& position =
                 out.doc["accessors"][size_t(out.primitive(0, 0)["attributes"]["POSITION"])];
             EXPECT_EQ(position["min"], Json({0, 0, 0}));
             EXPECT_EQ(position["max"], Json({100, 100, 0}));
         }},
        {"morph targets under --attributes position", "out.glb",
         [](const fs::path& d) {
             return soup_glb(d, [](Json& doc, BufferBuilder& b) {
                 std::vector<float> normal(18, 0.0f);
                 for (size_t c = 2; c < 18; c += 3)
                     normal[c] = 1.0f;
                 const size_t normals = b.accessor(normal, 5126, "VEC3", 3);
                 const size_t moved = b.accessor(std::vector<float>(18, 0.5f), 5126, "VEC3", 3);
                 Json& primitive = doc["meshes"][0]["primitives"][0];
                 primitive["attributes"]["NORMAL"] = normals;
                 primitive["targets"] = {{{"NORMAL", moved}}};
                 doc["meshes"][0]["weights"] = {0.5};
             });
         },
         "-a position",
         [](const Asset& out, const std::string&) {
             EXPECT_FALSE(out.primitive(0, 0)["targets"][0].contains("NORMAL"));
         }},
        {"a .gltf whose buffers and image are data URIs, written as .glb", "out.glb",
         [](const fs::path& d) {
             soup_glb(d, [](Json&, BufferBuilder&) {});
             Asset asset = Asset::load(d / "in.glb");
             asset.doc["buffers"][0]["uri"] =
                 "data:application/octet-stream;base64," + Asset::encode_base64(asset.buffers[0]);
             // A PNG signature and an IHDR chunk of a 1 x 1 image, no more: the validator checks
             // the header it reads.
             const std::string png = std::string(
                 "\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89",
                 33);
             asset.doc["images"] = {
                 {{"uri", "data:image/png;base64," + Asset::encode_base64(png)}}};
             asset.doc["textures"] = {{{"source", 0}}};
             asset.doc["materials"] = {
                 {{"pbrMetallicRoughness", {{"baseColorTexture", {{"index", 0}}}}}}};
             asset.doc["meshes"][0]["primitives"][0]["material"] = 0;
             write_file(d / "in.gltf", asset.doc.dump());
             return d / "in.gltf";
         },
         "",
         [](const Asset& out, const std::string&) {
             EXPECT_FALSE(out.doc["buffers"][0].contains("uri"));
             EXPECT_FALSE(out.doc["images"][0].contains("uri"));
             EXPECT_EQ(out.doc["images"][0]["mimeType"], "image/png");
         }},
    };
    for (const OddFile& odd : cases) {
        SCOPED_TRACE(odd.name);
        const fs::path input = odd.make(dir);
        const Asset out =
            weld_and_check(input, dir / odd.output, odd.options, odd.validated, odd.loaded);
        odd.check(out, read_file(dir / odd.output));
        for (const fs::path& file : {input, dir / odd.output})
            fs::remove(file);
    }
}

// One way the document refers to data from outside its primitives, and how that data is found
// in a document.
struct Reference {
    const char* name;
    std::function<void(Json& doc, BufferBuilder& b)> add;
    // The bytes the reference leads to.
    std::function<std::string(const Asset& asset)> data;
};

std::string view_data(const Asset& asset, size_t view) {
    const Json& json = asset.doc["bufferViews"][view];
    return asset.buffers[json["buffer"]].substr(json.value("byteOffset", size_t(0)),
                                                json["byteLength"]);
}

std::string accessor_data(const Asset& asset, size_t accessor) {
    std::string bytes;
    for (size_t i = 0; i < asset.doc["accessors"][accessor]["count"]; ++i)
        bytes += asset.element(accessor, i);
    return bytes;
}

TEST_F(GltfOddInput, WhatExtensionsReferToKeepsItsData) {
    const std::vector<Reference> references = {
        {"a property table's values",
         [](Json& doc, BufferBuilder& b) {
             Json property = {{"type", "SCALAR"}, {"componentType", "UINT8"}};
             Json schema = {{"id", "s"}};
             schema["classes"]["c"]["properties"]["p"] = property;
             Json table = {{"class", "c"}, {"count", 8}};
             table["properties"]["p"]["values"] =
                 b.view(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
             doc["extensionsUsed"] = {"EXT_structural_metadata"};
             doc["extensions"]["EXT_structural_metadata"] = {{"schema", schema},
                                                             {"propertyTables", {table}}};
         },
         [](const Asset& asset) {
             const Json& table =
                 asset.doc["extensions"]["EXT_structural_metadata"]["propertyTables"][0];
             return view_data(asset, table["properties"]["p"]["values"]);
         }},
        {"an accessor both an instancing node and the primitive use",
         [](Json& doc, BufferBuilder& b) {
             // One offset per vertex, repeated where the vertices repeat.
             const std::vector<float> translation = kQuad;
             const size_t shared = b.accessor(translation, 5126, "VEC3", 3);
             doc["meshes"][0]["primitives"][0]["attributes"]["_OFFSET"] = shared;
             doc["nodes"] = {
                 {{"mesh", 0},
                  {"extensions",
                   {{"EXT_mesh_gpu_instancing", {{"attributes", {{"TRANSLATION", shared}}}}}}}}};
             doc["scenes"] = {{{"nodes", {0}}}};
             doc["extensionsUsed"] = {"EXT_mesh_gpu_instancing"};
         },
         [](const Asset& asset) {
             return accessor_data(asset,
                                  asset.doc["nodes"][0]["extensions"]["EXT_mesh_gpu_instancing"]
                                           ["attributes"]["TRANSLATION"]);
         }},
    };
    for (const Reference& reference : references) {
        SCOPED_TRACE(reference.name);
        const fs::path input = soup_glb(dir, reference.add);
        const Asset out = weld_and_check(input, dir / "out.glb", "", true, true);
        EXPECT_EQ(reference.data(out), reference.data(Asset::load(input)));
        EXPECT_EQ(vertex_count(out, 0, 0), 4u);
        fs::remove(dir / "out.glb");
    }
}

// Where the document uses an extension the tool does not know, anything may refer to anything:
// every accessor, view and buffer stays where it was, with its data, and the weld is appended.
TEST_F(GltfOddInput, UnknownExtensionKeepsEveryAccessorViewAndBufferInPlace) {
    const fs::path input = soup_glb(dir, [](Json& doc, BufferBuilder& b) {
        b.view(std::string(12, '\x42'));
        doc["extensionsUsed"] = {"EXT_from_the_future"};
        doc["extensions"]["EXT_from_the_future"] = {{"view", 1}, {"accessor", 0}};
    });
    const RunResult result = weld(input, dir / "out.glb", "-v");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("every accessor, buffer view and buffer stays in place: the asset "
                              "uses EXT_from_the_future, which weldmesh does not know"),
              std::string::npos)
        << result.out;
    const Asset in = Asset::load(input);
    const Asset out = Asset::load(dir / "out.glb");
    for (size_t a = 0; a < in.doc["accessors"].size(); ++a)
        EXPECT_EQ(accessor_data(out, a), accessor_data(in, a)) << "accessor " << a;
    for (size_t v = 0; v < in.doc["bufferViews"].size(); ++v)
        EXPECT_EQ(view_data(out, v), view_data(in, v)) << "view " << v;
    EXPECT_EQ(out.buffers[0].substr(0, in.buffers[0].size()), in.buffers[0]);
    EXPECT_EQ(vertex_count(out, 0, 0), 4u);
    expect_same_corners(in.corner_bytes(in.primitive(0, 0)), out.corner_bytes(out.primitive(0, 0)),
                        "primitive");
}

// A buffer with no data of its own, which an extension fills: what lies where in it is the
// extension's to say, so its views keep their offsets and it keeps its length.
TEST_F(GltfOddInput, BufferAnExtensionFillsKeepsItsViewsInPlace) {
    const fs::path input = soup_glb(dir, [](Json& doc, BufferBuilder& b) {
        b.accessors.push_back(b.accessors[0]);
        b.accessors[1]["bufferView"] = 1;
        b.views.push_back({{"buffer", 1}, {"byteOffset", 8}, {"byteLength", 72}});
        doc["buffers"][1] = {{"byteLength", 80},
                             {"extensions", {{"KHR_texture_transform", Json::object()}}}};
        doc["meshes"][0]["primitives"].push_back({{"attributes", {{"POSITION", 1}}}});
    });
    const RunResult result = weld(input, dir / "out.glb");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("primitive 1: left as it was: accessor 1 is in a buffer that an "
                              "extension fills"),
              std::string::npos)
        << result.out;
    const Asset out = Asset::load(dir / "out.glb");
    const Json& accessor =
        out.doc["accessors"][size_t(out.primitive(0, 1)["attributes"]["POSITION"])];
    const Json& view = out.doc["bufferViews"][size_t(accessor["bufferView"])];
    EXPECT_EQ(view["byteOffset"], 8);
    EXPECT_EQ(out.doc["buffers"][size_t(view["buffer"])]["byteLength"], 80);
    EXPECT_EQ(vertex_count(out, 0, 0), 4u);
}

TEST_F(GltfOddInput, UnknownRequiredExtensionLeavesTheAssetUnchanged) {
    const fs::path input = soup_glb(dir, [](Json& doc, BufferBuilder&) {
        doc["extensionsUsed"] = {"EXT_from_the_future"};
        doc["extensionsRequired"] = {"EXT_from_the_future"};
    });
    const RunResult result = weld(input, dir / "out.glb");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("written unchanged: the asset requires EXT_from_the_future, which "
                              "weldmesh does not know"),
              std::string::npos)
        << result.out;
    const Asset in = Asset::load(input);
    const Asset out = Asset::load(dir / "out.glb");
    EXPECT_EQ(out.doc, in.doc);
    EXPECT_EQ(out.buffers, in.buffers);
}

// The weld puts vertices in the order the corners first use them, here the reverse of theirs,
// so a sparse accessor's indices are remapped and sorted again with their values.
TEST_F(GltfOddInput, SparseAccessorsAreWeldedAndStaySparse) {
    for (const bool withView : {false, true}) {
        SCOPED_TRACE(withView ? "over a buffer view" : "over zeros");
        const fs::path input = soup_glb(dir, [&](Json& doc, BufferBuilder& b) {
            const std::vector<uint8_t> indices = {5, 4, 3, 2, 1, 0};
            Json& primitive = doc["meshes"][0]["primitives"][0];
            primitive["indices"] = b.accessor(indices, 5121, "SCALAR", 1, {}, 34963);
            // Vertices 1 and 4 move: 1 by (0, 0, 1), 4 by (0, 0, 2).
            const std::vector<float> moves = {0, 0, 1, 0, 0, 2};
            const size_t sparseIndices = b.view(std::string("\x01\x04", 2));
            const size_t sparseValues = b.view(std::string(
                reinterpret_cast<const char*>(moves.data()), moves.size() * sizeof(float)));
            Json target = {{"componentType", 5126},
                           {"count", 6},
                           {"type", "VEC3"},
                           {"min", {0, 0, 0}},
                           {"max", {0, 0, 2}},
                           {"sparse",
                            {{"count", 2},
                             {"indices", {{"bufferView", sparseIndices}, {"componentType", 5121}}},
                             {"values", {{"bufferView", sparseValues}}}}}};
            if (withView)
                target["bufferView"] = b.view(std::string(72, '\0'), 34962);
            b.accessors.push_back(target);
            primitive["targets"] = {{{"POSITION", b.accessors.size() - 1}}};
            doc["meshes"][0]["weights"] = {1.0};
        });
        const Asset out = weld_and_check(input, dir / "out.glb", "", true, true);
        const Json& target =
            out.doc["accessors"][size_t(out.primitive(0, 0)["targets"][0]["POSITION"])];
        ASSERT_TRUE(target.contains("sparse"));
        EXPECT_EQ(target.contains("bufferView"), withView);
        EXPECT_EQ(target["sparse"]["count"], 2);
        EXPECT_EQ(vertex_count(out, 0, 0), 5u) << "vertex 5 repeats vertex 2";
        fs::remove(dir / "out.glb");
    }
}

TEST_F(GltfOddInput, StripsAndFansAreWeldedWithTheirModeAndOrder) {
    // A strip that doubles back over its own corners, and a fan that closes on its first rim
    // corner: both repeat vertices the weld merges.
    const struct {
        const char* name;
        int mode;
        std::vector<float> positions;
        size_t distinct;
    } cases[] = {
        {"strip", 5, {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 2, 1, 0}, 5},
        {"fan", 6, {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, -1, 0, 0, 1, 0, 0}, 5},
    };
    for (const auto& fan : cases) {
        SCOPED_TRACE(fan.name);
        const fs::path input = soup_glb(dir, [&](Json& doc, BufferBuilder& b) {
            b.accessors.clear();
            b.views.clear();
            b.bin.clear();
            Json& primitive = doc["meshes"][0]["primitives"][0];
            primitive["attributes"]["POSITION"] =
                b.accessor(fan.positions, 5126, "VEC3", 3, bounds({-1, 0, 0}, {2, 1, 0}));
            primitive["mode"] = fan.mode;
        });
        const Asset out = weld_and_check(input, dir / "out.glb", "", true, true);
        EXPECT_EQ(out.primitive(0, 0)["mode"], fan.mode);
        EXPECT_EQ(vertex_count(out, 0, 0), fan.distinct);
        fs::remove(dir / "out.glb");
    }
}

} // namespace
