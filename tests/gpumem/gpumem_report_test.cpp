// Runs gpumem_report against a private Xvfb server on Mesa's software renderer, with and without
// the gl_script interposer answering the memory queries, and without any display.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kReport = GPUMEM_REPORT_PATH;
const std::string kInterposer = GL_SCRIPT_PATH;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& names) {
    std::vector<std::string> env;
    for (char** var = environ; *var != nullptr; ++var) {
        const std::string entry = *var;
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            env.push_back(entry);
        }
    }
    return env;
}

// Starts argv[0], found on the PATH, with env as its whole environment and standard output and
// error sent to files; close_fd is closed in the child.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& out,
            const std::string& err, int close_fd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (close_fd >= 0) {
        posix_spawn_file_actions_addclose(&actions, close_fd);
    }
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, CStrings(argv).data(),
                                   CStrings(env).data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// One Xvfb server for the whole run, on a display number it picks itself among the free ones.
class XvfbServer : public testing::Environment {
  public:
    static std::string dir;
    static std::string display;

    void SetUp() override {
        char dir_template[] = "/tmp/gpumem_report_test.XXXXXX";
        dir = mkdtemp(dir_template);
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        pid_ =
            Spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-nolisten", "tcp", "-noreset"},
                  EnvironmentWithout({}), dir + "/xvfb.out", dir + "/xvfb.err", ready[0]);
        close(ready[1]);
        // The server writes the number and the newline separately, and dies if the pipe is gone
        // before the newline.
        std::string number;
        char c = 0;
        while (pid_ > 0 && read(ready[0], &c, 1) == 1 && c != '\n') {
            number += c;
        }
        close(ready[0]);
        if (c == '\n') {
            display = ":" + number;
        }
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::filesystem::remove_all(dir);
    }

  private:
    pid_t pid_ = -1;
};

std::string XvfbServer::dir;
std::string XvfbServer::display;

testing::Environment* const xvfb = testing::AddGlobalTestEnvironment(new XvfbServer);

const std::string kNoDisplay;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class GpumemReport : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(XvfbServer::display.empty()) << "Xvfb did not start:\n"
                                                  << ReadFile(XvfbServer::dir + "/xvfb.err");
    }

    // Runs the program with the given arguments, DISPLAY set to display unless that is empty,
    // and the extra environment variables.
    static Outcome Run(const std::vector<std::string>& args, const std::string& display,
                       const std::vector<std::string>& extra_env = {}) {
        std::vector<std::string> env = EnvironmentWithout({"DISPLAY", "LD_PRELOAD"});
        if (!display.empty()) {
            env.push_back("DISPLAY=" + display);
        }
        env.push_back("LIBGL_ALWAYS_SOFTWARE=1");
        env.insert(env.end(), extra_env.begin(), extra_env.end());

        std::vector<std::string> argv{kReport};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string out = XvfbServer::dir + "/report.out";
        const std::string err = XvfbServer::dir + "/report.err";
        Outcome outcome;
        const pid_t pid = Spawn(argv, env, out, err);
        if (pid > 0) {
            waitpid(pid, &outcome.status, 0);
        }
        outcome.out = ReadFile(out);
        outcome.err = ReadFile(err);
        return outcome;
    }

    static void ExpectSuccess(const Outcome& outcome, const std::string& report) {
        EXPECT_EQ(outcome.out, report) << "standard error:\n" << outcome.err;
        ASSERT_TRUE(WIFEXITED(outcome.status)) << "status " << outcome.status;
        EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
    }

    // GLUT reports a display it cannot open and exits; nothing of the report may appear.
    static void ExpectDisplayFailure(const Outcome& outcome) {
        ASSERT_TRUE(WIFEXITED(outcome.status)) << "status " << outcome.status;
        EXPECT_NE(WEXITSTATUS(outcome.status), 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("failed to open display"), std::string::npos) << outcome.err;
    }
};

const std::string kAllZero = "\n"
                             "Query NVIDIA\n"
                             "\n"
                             "Total available: 0\n"
                             "In use: 0\n"
                             "Free: 0\n"
                             "\n"
                             "Query ATI\n"
                             "\n"
                             "VBO free: 0\n"
                             "Texture free: 0\n"
                             "Renderbuffer free: 0\n";

TEST_F(GpumemReport, SoftwareRendererHasNeitherExtensionSoEveryFigureIsZero) {
    ExpectSuccess(Run({}, XvfbServer::display), kAllZero);
}

struct Figures {
    int total;
    int in_use;
    int free;
    int vbo;
    int texture;
    int renderbuffer;
};

std::string Report(const Figures& f) {
    std::ostringstream text;
    text << "\nQuery NVIDIA\n\n"
         << "Total available: " << f.total << "\nIn use: " << f.in_use << "\nFree: " << f.free
         << "\n\nQuery ATI\n\n"
         << "VBO free: " << f.vbo << "\nTexture free: " << f.texture
         << "\nRenderbuffer free: " << f.renderbuffer << "\n";
    return text.str();
}

struct ScriptedCase {
    const char* name;
    const char* script;
    Figures expected;
};

void PrintTo(const ScriptedCase& c, std::ostream* os) {
    *os << c.name;
}

class ScriptedGl : public GpumemReport, public testing::WithParamInterface<ScriptedCase> {};

TEST_P(ScriptedGl, PrintsTheAnswersInOrderOfTheQueries) {
    const std::string log = XvfbServer::dir + "/queries.log";
    std::remove(log.c_str());
    const Outcome outcome =
        Run({}, XvfbServer::display,
            {"LD_PRELOAD=" + kInterposer, std::string("GL_SCRIPT=") + GetParam().script,
             "GL_SCRIPT_LOG=" + log});

    ExpectSuccess(outcome, Report(GetParam().expected));
    EXPECT_EQ(ReadFile(log), "0x9048\n0x9049\n0x87FB\n0x87FC\n0x87FD\n");
}

// Enumerants left out of a script reach Mesa, which rejects them as the drivers without the
// extension do.
INSTANTIATE_TEST_SUITE_P(
    GpumemReport, ScriptedGl,
    testing::Values(
        ScriptedCase{
            "NvidiaOnly", "0x9048=8388608 0x9049=6291456", {8388608, 2097152, 6291456, 0, 0, 0}},
        ScriptedCase{"AtiOnlyFirstOfFourValues",
                     "0x87FB=1048576,11,12,13 0x87FC=524288,21,22,23 0x87FD=262144,31,32,33",
                     {0, 0, 0, 1048576, 524288, 262144}},
        ScriptedCase{"BothVendors",
                     "0x9048=4096 0x9049=1024 0x87FB=7,1,1,1 0x87FC=8,1,1,1 "
                     "0x87FD=9,1,1,1",
                     {4096, 3072, 1024, 7, 8, 9}},
        ScriptedCase{"NegativeInUse", "0x9048=1000 0x9049=1500", {1000, -500, 1500, 0, 0, 0}},
        ScriptedCase{"RejectedQueryDoesNotRepeatThePreviousFigure",
                     "0x87FB=640,1,2,3 0x87FD=320,4,5,6",
                     {0, 0, 0, 640, 0, 320}},
        ScriptedCase{"IntMaxTotalIntMinFree",
                     "0x9048=2147483647 0x9049=-2147483648 0x87FB=-2147483648,0,0,0 "
                     "0x87FC=2147483647,0,0,0 0x87FD=-1,0,0,0",
                     {INT_MAX, -1, INT_MIN, INT_MIN, INT_MAX, -1}},
        ScriptedCase{"IntMinTotalIntMaxFree",
                     "0x9048=-2147483648 0x9049=2147483647",
                     {INT_MIN, 1, INT_MAX, 0, 0, 0}}),
    [](const testing::TestParamInfo<ScriptedCase>& info) { return info.param.name; });

// The program's arguments go to GLUT, which takes the display to use from them.
TEST_F(GpumemReport, DisplayOptionReachesGlut) {
    ExpectSuccess(Run({"-display", XvfbServer::display}, kNoDisplay), kAllZero);
}

TEST_F(GpumemReport, DisplayOptionNamingNoServerFailsInGlut) {
    // A display number no running server holds the lock of.
    int number = 100;
    while (access(("/tmp/.X" + std::to_string(number) + "-lock").c_str(), F_OK) == 0) {
        ++number;
    }
    ExpectDisplayFailure(Run({"-display", ":" + std::to_string(number)}, XvfbServer::display));
}

TEST_F(GpumemReport, WithoutAnyDisplayGlutFails) {
    ExpectDisplayFailure(Run({}, kNoDisplay));
}

} // namespace
