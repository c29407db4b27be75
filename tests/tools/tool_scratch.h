// Runs the weldmesh executable from a test, in a scratch directory of its own.
#ifndef WELDMESH_TESTS_TOOL_SCRATCH_H
#define WELDMESH_TESTS_TOOL_SCRATCH_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/wait.h>

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

#ifdef WELDMESH_TESTS_SANITIZED
// AddressSanitizer reserves terabytes of address space for its shadow memory, which the tool's
// default address-space limit forbids: the sanitizer build runs the tool without one, and skips
// the tests of that limit.
const bool kSanitized = true;
const char kUnlimited[] = "--memory-limit 0 ";
#else
const bool kSanitized = false;
const char kUnlimited[] = "";
#endif

// Whether `arguments` set an address-space limit.
inline bool limits_memory(const std::string& arguments) {
    const size_t at = arguments.find("--memory-limit ");
    return at != std::string::npos && arguments[at + 15] >= '1' && arguments[at + 15] <= '9';
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

class ToolScratch : public testing::Test {
  protected:
    std::filesystem::path dir;

    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "weldmesh-tool-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    // `shell` runs first in the same shell, to set limits for the tool.
    RunResult run(const std::string& arguments, const std::string& shell = "") const {
        const std::filesystem::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        const std::string unlimited = kSanitized && !arguments.empty() &&
                                              arguments.find("--memory-limit") == std::string::npos
                                          ? "--memory-limit 0 "
                                          : "";
        const std::string command = shell + std::string(WELDMESH_EXE) + " " + unlimited +
                                    arguments + " >'" + out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out),
                         read_file(err)};
        std::filesystem::remove(out);
        std::filesystem::remove(err);
        return result;
    }

    RunResult weld(const std::filesystem::path& input, const std::filesystem::path& output,
                   const std::string& options = "") const {
        return run(options + " '" + input.string() + "' '" + output.string() + "'");
    }
};

// For tests that weld the sample models: skipped where they are not installed.
class ModelScratch : public ToolScratch {
  protected:
    void SetUp() override {
        if (!std::filesystem::is_directory(MODELS_DIR))
            GTEST_SKIP() << MODELS_DIR << " is missing (Debian package assimp-testmodels)";
        ToolScratch::SetUp();
    }
};

#endif
