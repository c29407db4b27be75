// weldmesh in batch mode: every INPUT welded into an output folder, folders walked and their
// layout kept, files at once, each failure one line, the others welded.
#include "tool_scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

class Batch : public ModelScratch {
  protected:
    // The input tree: real models at two depths, a broken file, one with no triangles, and a
    // file that is not a model.
    fs::path make_tree() {
        const fs::path in = dir / "in";
        fs::create_directories(in / "sub" / "deeper");
        const fs::path models = MODELS_DIR;
        fs::copy_file(models / "OBJ/spider.obj", in / "spider.obj");
        fs::copy_file(models / "OBJ/spider.mtl", in / "spider.mtl");
        fs::copy_file(models / "PLY/cube.ply", in / "sub/cube.ply");
        fs::copy_file(models / "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb",
                      in / "sub/deeper/box.glb");
        fs::copy_file(models / "PLY/points.ply", in / "points.ply");
        write_file(in / "broken.stl", "solid broken\nfacet normal\n");
        write_file(in / "notes.txt", "not a model\n");
        return in;
    }

    // Every file below `root`, by its path relative to it.
    static std::map<std::string, std::string> contents(const fs::path& root) {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            if (entry.is_regular_file())
                files[entry.path().lexically_relative(root).string()] = read_file(entry.path());
        return files;
    }
};

TEST_F(Batch, FolderIsWeldedIntoItsMirrorAndOneBrokenFileCostsOneLine) {
    const fs::path in = make_tree();
    const RunResult result = run(in.string() + " -o " + (dir / "out").string());
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.rfind("weldmesh: " + (in / "broken.stl").string() + ": cannot read", 0),
              0u)
        << result.err;
    for (const char* file : {"spider.obj", "spider.mtl", "sub/cube.ply", "sub/deeper/box.glb"})
        EXPECT_TRUE(fs::is_regular_file(dir / "out" / file)) << file;
    EXPECT_FALSE(fs::exists(dir / "out" / "points.ply"));
    EXPECT_FALSE(fs::exists(dir / "out" / "broken.stl"));
    EXPECT_NE(result.out.find((in / "spider.obj").string() + " -> " +
                              (dir / "out" / "spider.obj").string() +
                              ": 1368 faces, 4104 -> 946 vertices"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find((in / "points.ply").string() +
                              ": skipped: no triangles or polygons to weld\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("total (5 files, 3 welded, 1 skipped, 1 failed): "),
              std::string::npos)
        << result.out;
    // One line per file and the total.
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 5) << result.out;
}

TEST_F(Batch, OneFileAtATimeOrTwoGiveTheSameFiles) {
    const fs::path in = make_tree();
    ASSERT_EQ(
        run("-q -j 1 --output-ext ply " + in.string() + " -o " + (dir / "one").string()).status, 1);
    ASSERT_EQ(
        run("-q -j 2 --output-ext ply " + in.string() + " -o " + (dir / "two").string()).status, 1);
    const auto one = contents(dir / "one"), two = contents(dir / "two");
    EXPECT_EQ(one.size(), 3u);
    EXPECT_TRUE(one == two);
}

// Two readers that loop until the time limit: with -j 2 both runs are under way at once, each
// staging its output in a folder of its own.
TEST_F(Batch, TwoJobsRunAtOnce) {
    fs::create_directory(dir / "in");
    for (const char* name : {"a.ply", "b.ply"})
        fs::copy_file(fs::path(TEST_DATA_DIR) / "reader_hang.ply", dir / "in" / name);
    fs::create_directory(dir / "out");
    const std::string command = std::string(WELDMESH_EXE) + " " + kUnlimited +
                                "-q -j 2 --time-limit 5 " + (dir / "in").string() + " -o " +
                                (dir / "out").string() + " 2>/dev/null &";
    ASSERT_EQ(std::system(command.c_str()), 0);
    size_t most = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (most < 2 && std::chrono::steady_clock::now() < deadline) {
        size_t staging = 0;
        for (const auto& entry : fs::directory_iterator(dir / "out"))
            staging += entry.path().filename().string().rfind(".weldmesh-", 0) == 0;
        most = std::max(most, staging);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(most, 2u);
    // Waits for the batch, whose runs the time limit stops, to take its folders away.
    while (std::chrono::steady_clock::now() < deadline + std::chrono::seconds(10) &&
           !fs::is_empty(dir / "out"))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TEST_F(Batch, RefusedBeforeAnythingRuns) {
    fs::create_directories(dir / "in");
    fs::copy_file(fs::path(MODELS_DIR) / "OBJ/spider.obj", dir / "in" / "a.obj");
    fs::copy_file(fs::path(MODELS_DIR) / "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb",
                  dir / "in" / "a.glb");
    fs::copy_file(fs::path(MODELS_DIR) / "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb",
                  dir / "in" / "a_1.glb");
    const std::string in = (dir / "in").string(), out = (dir / "out").string();
    const struct {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"--output-ext gltf " + in + "/a.obj " + in + "/a.glb -o " + out,
         "weldmesh: " + out + "/a.gltf: both " + in + "/a.obj and " + in +
             "/a.glb would be written here\n"},
        {"--output-ext gltf " + in + "/a.glb " + in + "/a_1.glb -o " + out,
         "weldmesh: " + out + "/a_1.bin: both " + in + "/a.glb and " + in +
             "/a_1.glb would write it\n"},
        {in + " -o " + in + "/welded", "weldmesh: " + in + "/welded: inside the input folder " +
                                           in + "; choose an output folder outside it\n"},
        {in + "/a.obj -o " + in,
         "weldmesh: " + in +
             ": is the folder of the input files there; choose another output "
             "folder\n"},
        {"--output-ext xyz " + in + " -o " + out, "weldmesh: no exporter writes '.xyz' files\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const RunResult result = run(c.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.message);
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_FALSE(fs::exists(dir / "in" / "welded"));
    }
}

// On a terminal the batch shows how far it is on standard error; in a pipe, or with -q, not.
TEST_F(Batch, ProgressLineOnlyOnATerminal) {
    const fs::path in = make_tree();
    const std::string tool = std::string(WELDMESH_EXE) + " " + kUnlimited;
    const fs::path typescript = dir / "typescript";
    const std::string onTerminal = "script -qec \"" + tool + in.string() + " -o " +
                                   (dir / "a").string() + "\" '" + typescript.string() +
                                   "' >/dev/null";
    std::system(onTerminal.c_str());
    EXPECT_NE(read_file(typescript).find("\r\033[Kweldmesh: 5 of 5 files, "), std::string::npos);

    const RunResult piped = run(in.string() + " -o " + (dir / "b").string());
    EXPECT_EQ(piped.err.find("of 5 files"), std::string::npos) << piped.err;
    const std::string quiet = "script -qec \"" + tool + "-q " + in.string() + " -o " +
                              (dir / "c").string() + "\" '" + typescript.string() + "' >/dev/null";
    std::system(quiet.c_str());
    EXPECT_EQ(read_file(typescript).find("of 5 files"), std::string::npos);
}

} // namespace
