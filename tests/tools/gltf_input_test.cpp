// weldmesh on glTF files from anywhere: what cannot be read safely gets one line and exit status
// 1 with nothing written, files outside the input's folder are not read, and a failed run
// leaves every output file as it was.
#include "gltf_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

using namespace gltf_files;

namespace {

class GltfInput : public ToolScratch {
  protected:
    // Guards against a hang, never a measure of speed.
    RunResult weld_guarded(const fs::path& input, const fs::path& output,
                           const std::string& options = "") const {
        return weld(input, output, "--time-limit 60 " + options);
    }

    void expect_refused(const RunResult& result, const fs::path& named, const std::string& message,
                        const fs::path& output) const {
        EXPECT_EQ(result.status, 1) << result.out << result.err;
        EXPECT_EQ(result.err.rfind("weldmesh: " + named.string() + ": ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(output));
    }
};

// A triangle soup of two triangles that share two corners, with a buffer of its own.
struct Soup {
    BufferBuilder b;
    Json doc;

    Soup() {
        const std::vector<float> position = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
        const size_t positions = b.accessor(position, 5126, "VEC3", 3,
                                            {{"min", {0.0, 0.0, 0.0}}, {"max", {1.0, 1.0, 0.0}}});
        doc = {{"asset", {{"version", "2.0"}}},
               {"meshes", {{{"primitives", {{{"attributes", {{"POSITION", positions}}}}}}}}},
               {"accessors", b.accessors},
               {"bufferViews", b.views},
               {"buffers", {{{"byteLength", b.bin.size()}}}}};
    }

    std::string glb_file() const { return glb(doc, b.bin); }

    // As .gltf text whose buffer 0 is at `uri`.
    std::string gltf_file(const std::string& uri) const {
        Json text = doc;
        text["buffers"][0]["uri"] = uri;
        return text.dump();
    }
};

void put_u32(std::string& file, size_t at, uint32_t value) {
    std::memcpy(&file[at], &value, 4);
}

struct HostileFile {
    const char* name;
    // Writes the input into the scratch directory and returns its path.
    std::function<fs::path(const fs::path& dir)> make;
    const char* message;
};

fs::path write_glb(const fs::path& dir, const std::string& bytes) {
    write_file(dir / "in.glb", bytes);
    return dir / "in.glb";
}

fs::path write_gltf(const fs::path& dir, const std::string& text) {
    write_file(dir / "in.gltf", text);
    return dir / "in.gltf";
}

fs::path with_doc(const fs::path& dir, const std::function<void(Json&)>& spoil) {
    Soup soup;
    spoil(soup.doc);
    return write_glb(dir, glb(soup.doc, soup.b.bin));
}

TEST_F(GltfInput, HostileFilesGetOneLineAndNothingIsWritten) {
    const Soup soup;
    const std::vector<HostileFile> cases = {
        {"header length below the header",
         [&](const fs::path& d) {
             std::string file = soup.glb_file();
             put_u32(file, 8, 16);
             return write_glb(d, file);
         },
         "malformed glb: the header says 16 bytes"},
        {"header length of 12, no chunks",
         [&](const fs::path& d) {
             std::string file = soup.glb_file().substr(0, 12);
             put_u32(file, 8, 12);
             return write_glb(d, file);
         },
         "malformed glb: no JSON chunk"},
        {"JSON chunk past the end",
         [&](const fs::path& d) {
             std::string file = soup.glb_file();
             put_u32(file, 12, uint32_t(file.size()));
             return write_glb(d, file);
         },
         "runs past the end of the file"},
        {"second BIN chunk",
         [&](const fs::path& d) {
             std::string file = soup.glb_file();
             const std::string chunk = file.substr(20 + u32(file, 12));
             file += chunk;
             put_u32(file, 8, uint32_t(file.size()));
             return write_glb(d, file);
         },
         "malformed glb: a second BIN chunk"},
        {"data URI without base64",
         [&](const fs::path& d) { return write_gltf(d, soup.gltf_file("data:,")); },
         "buffer 0: a data URI that is not base64"},
        {"trailing base64 digit",
         [&](const fs::path& d) {
             return write_gltf(d, soup.gltf_file("data:application/octet-stream;base64,AAAAA"));
         },
         "buffer 0: malformed base64"},
        {"images given as an object",
         [&](const fs::path& d) {
             return with_doc(d, [](Json& doc) { doc["images"] = Json::object(); });
         },
         "images is not an array"},
        {"image bufferView out of range",
         [&](const fs::path& d) {
             return with_doc(d, [](Json& doc) { doc["images"] = {{{"bufferView", 9}}}; });
         },
         "images/0/bufferView is 9, past the 1 buffer views"},
        {"attribute counts differ",
         [&](const fs::path& d) {
             return with_doc(d, [](Json& doc) {
                 doc["accessors"].push_back(doc["accessors"][0]);
                 doc["accessors"][1]["count"] = 5;
                 doc["meshes"][0]["primitives"][0]["attributes"]["NORMAL"] = 1;
             });
         },
         "NORMAL has 5 elements, POSITION 6"},
        {"two members of one name",
         [&](const fs::path& d) {
             return write_gltf(d, "{\"asset\":{\"version\":\"2.0\",\"version\":\"2.0\"}}");
         },
         "two members named 'version'"},
        {"invalid UTF-8",
         [&](const fs::path& d) {
             return write_gltf(d, "{\"asset\":{\"version\":\"2.0\",\"generator\":\"\xC3\x28\"}}");
         },
         "malformed JSON"},
        {"sparse indices not increasing",
         [&](const fs::path& d) {
             Soup s;
             const size_t indices = s.b.view(std::string("\x02\x01", 2));
             const size_t values = s.b.view(std::string(24, '\0'));
             s.doc["bufferViews"] = s.b.views;
             s.doc["buffers"][0]["byteLength"] = s.b.bin.size();
             s.doc["accessors"][0]["sparse"] = {
                 {"count", 2},
                 {"indices", {{"bufferView", indices}, {"componentType", 5121}}},
                 {"values", {{"bufferView", values}}}};
             return write_glb(d, glb(s.doc, s.b.bin));
         },
         "sparse index 1 at 1 does not increase"},
    };
    for (const HostileFile& hostile : cases) {
        SCOPED_TRACE(hostile.name);
        const fs::path input = hostile.make(dir);
        const std::string before = read_file(input);
        const RunResult result = weld_guarded(input, dir / "out.glb");
        expect_refused(result, input, hostile.message, dir / "out.glb");
        EXPECT_EQ(read_file(input), before);
        fs::remove(input);
    }
}

TEST_F(GltfInput, BufferThatIsAFifoIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo((dir / "in.bin").c_str(), 0600), 0);
    write_file(dir / "in.gltf", Soup().gltf_file("in.bin"));
    const RunResult result = weld_guarded(dir / "in.gltf", dir / "out.glb");
    expect_refused(result, dir / "in.bin", "cannot open: not a regular file", dir / "out.glb");
}

// A service that welds uploaded files must not hand back any file it can read.
TEST_F(GltfInput, FilesOutsideTheInputFolderAreReadOnlyWhenAllowed) {
    const Soup soup;
    fs::create_directories(dir / "assets" / "inside");
    write_file(dir / "secret.bin", soup.b.bin);
    fs::create_symlink(dir / "secret.bin", dir / "assets" / "link.bin");
    const struct {
        const char* uri;
        std::string named;
    } references[] = {
        {"../secret.bin", "buffer 0 uri '../secret.bin'"},
        {"inside/../../secret.bin", "buffer 0 uri 'inside/../../secret.bin'"},
        {"link.bin", "buffer 0 uri 'link.bin'"},
    };
    const std::string absolute = (dir / "secret.bin").string();
    std::vector<std::pair<std::string, std::string>> cases;
    for (const auto& reference : references)
        cases.emplace_back(reference.uri, reference.named);
    cases.emplace_back(absolute, "buffer 0 uri '" + absolute + "'");
    cases.emplace_back("file://" + absolute, "buffer 0 uri 'file://" + absolute + "'");
    const fs::path input = dir / "assets" / "in.gltf";
    for (const auto& [uri, named] : cases) {
        SCOPED_TRACE(uri);
        write_file(input, soup.gltf_file(uri));
        RunResult result = weld_guarded(input, dir / "assets" / "out.glb");
        expect_refused(result, input,
                       named +
                           " is outside the input's folder; --allow-outside-references reads it",
                       dir / "assets" / "out.glb");
        result = weld_guarded(input, dir / "assets" / "out.glb", "--allow-outside-references");
        EXPECT_EQ(result.status, 0) << result.err;
        fs::remove(dir / "assets" / "out.glb");
    }
}

TEST_F(GltfInput, AssimpReadersOpenOnlyFilesInsideTheInputFolder) {
    fs::create_directories(dir / "model");
    write_file(dir / "outside.mtl", "newmtl red\nKd 1 0 0\n");
    write_file(dir / "model" / "in.obj",
               "mtllib ../outside.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n");
    RunResult result = weld_guarded(dir / "model" / "in.obj", dir / "model" / "out.ply");
    expect_refused(result, dir / "model" / "in.obj", "is outside the input's folder",
                   dir / "model" / "out.ply");
    result = weld_guarded(dir / "model" / "in.obj", dir / "model" / "out.ply",
                          "--allow-outside-references");
    EXPECT_EQ(result.status, 0) << result.err;
}

// Every target is checked before anything moves, and a move that fails puts back what the
// earlier ones replaced.
TEST_F(GltfInput, FailedRunLeavesEveryOutputFileAsItWas) {
    write_file(dir / "in.glb", Soup().glb_file());
    fs::create_directory(dir / "x.gltf");
    write_file(dir / "x.bin", "old bin");
    const RunResult result = weld_guarded(dir / "in.glb", dir / "x.gltf");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "weldmesh: " + (dir / "x.gltf").string() + ": cannot write: Is a directory\n");
    EXPECT_EQ(read_file(dir / "x.bin"), "old bin");
    EXPECT_TRUE(fs::is_directory(dir / "x.gltf"));
}

} // namespace
