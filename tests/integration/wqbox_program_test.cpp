// The wqbox program itself: it serves until SIGINT or SIGTERM and then
// leaves nothing behind, and refuses bad arguments before it starts. (Its
// transcript is a wqctl row; its checksum is checked wherever a box verifies
// an image against a CRC-32 computed apart from it.)
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "pty_peer.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

pid_t run_program(std::vector<std::string> arguments, const std::string& out = "/dev/null",
                  const std::string& err = "/dev/null") {
    arguments.insert(arguments.begin(), WQBOX_PROGRAM);
    return spawn(std::move(arguments), out, err);
}

std::string devices_text(const std::string& dir) { return file_text(dir + "/devices"); }

class WqboxProgram : public ::testing::TestWithParam<int> {};

TEST_P(WqboxProgram, StopsCleanlyOnSignal) {
    temp_dir dir;
    const pid_t pid = run_program({"--com-dir", dir.path(), "--bt-dir", dir.path(), "--com", "4",
                                   "--name", "Signal test"});
    ASSERT_GT(pid, 0);
    eventually([&] { return !devices_text(dir.path()).empty(); }, 5s);
    EXPECT_EQ(devices_text(dir.path()), "00:11:22:33:44:AA Signal test\n");
    {
        scoped_env com_dir("WQ_COM_DIR", dir.path());
        char text[64] = {};
        EXPECT_EQ(wq_connect_to_box(text), 4) << "the program serves the probe";
    }
    kill(pid, GetParam());
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(devices_text(dir.path()), "");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() + "/COM4")));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/00:11:22:33:44:AA"));
}

INSTANTIATE_TEST_SUITE_P(Signals, WqboxProgram, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "SIGINT" : "SIGTERM"; });

// A box killed with SIGKILL leaves its socket and devices line behind; the
// next one takes both over rather than listing the box twice.
TEST(WqboxProgramRestart, TakesOverWhatAKilledBoxLeft) {
    temp_dir dir;
    const std::vector<std::string> arguments = {"--no-serial", "--bt-dir", dir.path()};
    const std::string err = dir.path() + "/err";
    for (const int signal_number : {SIGKILL, SIGTERM}) {
        const pid_t pid = run_program(arguments, "/dev/null", err);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(eventually([&] { return file_text(err).find("bluetooth on") != std::string::npos; }, 5s));
        EXPECT_EQ(devices_text(dir.path()), "00:11:22:33:44:AA WQ Box\n");
        kill(pid, signal_number);
        wait_exit(pid);
        std::filesystem::remove(err);
    }
}

// What each argument makes of the program: the exit code and a text it prints.
TEST(WqboxProgramArguments, ABadArgumentStopsItBeforeItStarts) {
    temp_dir dir;
    struct case_ {
        std::vector<std::string> arguments;
        int code;
        const char* said;
    };
    for (const case_& c : {case_{{"--com-dir", dir.path(), "--com", "16"}, 2, "--com takes a number from 1 to 15"},
                           case_{{"--com-dir", dir.path(), "--fault", "probe:explode"}, 2, "--fault probe:explode"},
                           case_{{"--com-dir", dir.path(), "--serial-format", "medium"}, 2, "short or long"},
                           case_{{"--bogus"}, 2, "wqbox: unknown option --bogus"},
                           case_{{"--com"}, 2, "--com needs a value"},
                           case_{{"--version"}, 0, "wqbox " WQ_VERSION "\n"}}) {
        const std::string out = dir.path() + "/out";
        const pid_t pid = run_program(c.arguments, out, out);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(wait_exit(pid), c.code) << c.arguments.back();
        EXPECT_NE(file_text(out).find(c.said), std::string::npos) << file_text(out);
        std::filesystem::remove(out);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
