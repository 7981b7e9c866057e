// The wqbox program itself: it serves until SIGINT or SIGTERM and then leaves
// nothing behind. (Its transcript is a wqctl row; its checksum is checked
// wherever a box verifies an image against a CRC-32 computed apart from it.)
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

// A box killed with SIGKILL leaves its socket and devices line behind; the
// next one takes both over rather than listing the box twice. (Its COM link
// it does not: the killed one serves Bluetooth only.)
TEST(WqboxProgram, TakesOverWhatAKilledBoxLeftAndStopsCleanlyOnSignal) {
    temp_dir dir;
    scoped_env com_dir("WQ_COM_DIR", dir.path());
    const std::string out = dir.path() + "/out", devices = dir.path() + "/devices";
    for (const int signal_number : {SIGKILL, SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal_number));
        const bool killed = signal_number == SIGKILL;
        std::vector<std::string> arguments = {WQBOX_PROGRAM, "--bt-dir", dir.path(), "--name", "Signal test"};
        if (killed) arguments.push_back("--no-serial");
        else arguments.insert(arguments.end(), {"--com-dir", dir.path(), "--com", "4"});
        const pid_t pid = spawn(arguments, out, out);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(eventually([&] { return file_text(out).find("bluetooth on") != std::string::npos; }, 5s));
        EXPECT_EQ(file_text(devices), "00:11:22:33:44:AA Signal test\n");
        char text[64] = {};
        EXPECT_EQ(wq_connect_to_box(text), killed ? 0 : 4) << "the program serves the probe";
        kill(pid, signal_number);
        EXPECT_EQ(wait_exit(pid), killed ? -1 : 0);
        EXPECT_EQ(file_text(devices), killed ? "00:11:22:33:44:AA Signal test\n" : "");
        EXPECT_EQ(std::filesystem::exists(dir.path() + "/00:11:22:33:44:AA"), killed);
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() + "/COM4")));
        std::filesystem::remove(out);
    }
}

}  // namespace
