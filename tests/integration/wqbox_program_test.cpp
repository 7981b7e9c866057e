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

pid_t run_program(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), WQBOX_PROGRAM);
    return spawn(std::move(arguments), "/dev/null", "/dev/null");
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

TEST(WqboxProgramArguments, ABadArgumentStopsItBeforeItStarts) {
    temp_dir dir;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--com-dir", dir.path(), "--com", "16"},
          std::vector<std::string>{"--com-dir", dir.path(), "--fault", "probe:explode"},
          std::vector<std::string>{"--com-dir", dir.path(), "--serial-format", "medium"},
          std::vector<std::string>{"--bogus"}}) {
        const pid_t pid = run_program(arguments);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(wait_exit(pid), 2) << arguments.back();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
