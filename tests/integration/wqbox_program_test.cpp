// The box emulator itself, where the library's end-to-end runs do not look:
// the wqbox program serves until SIGINT or SIGTERM and then leaves nothing
// behind; its checksum and its transcript.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "pty_peer.h"
#include "wq.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

pid_t run_program(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    std::string program = WQBOX_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int exit_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string devices_text(const std::string& dir) {
    std::ifstream in(dir + "/devices");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class WqboxProgram : public ::testing::TestWithParam<int> {};

TEST_P(WqboxProgram, StopsCleanlyOnSignal) {
    temp_dir dir;
    const pid_t pid = run_program({"--com-dir", dir.path(), "--bt-dir", dir.path(), "--com", "4",
                                   "--name", "Signal test"});
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (devices_text(dir.path()).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(devices_text(dir.path()), "00:11:22:33:44:AA Signal test\n");
    {
        scoped_env com_dir("WQ_COM_DIR", dir.path());
        char text[64] = {};
        EXPECT_EQ(wq_connect_to_box(text), 4) << "the program serves the probe";
    }
    kill(pid, GetParam());
    EXPECT_EQ(exit_status(pid), 0);
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
        EXPECT_EQ(exit_status(pid), 2) << arguments.back();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(WqboxCrc, MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(wqbox::crc32(reinterpret_cast<const unsigned char*>(check.data()), check.size()),
              0xCBF43926u);
}

class WqboxTranscript : public BoxTest {};

TEST_F(WqboxTranscript, ShowsDirectionHexAndMeaning) {
    std::mutex lock;
    std::vector<std::string> lines;
    wqbox::config cfg;
    cfg.transcript = [&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
    };
    start_box(cfg);
    {
        scoped_env com_dir("WQ_COM_DIR", dir.path());
        char text[64] = {};
        ASSERT_EQ(wq_connect_to_box(text), 1);
    }
    box->stop();
    const auto has = [&](const char* a, const char* b) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(a) != std::string::npos && l.find(b) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("host>box", "7D 7D 7D"));
    EXPECT_TRUE(has("box>host", "2B 2B 2B"));
    EXPECT_TRUE(has("serial", "probe"));
}

}  // namespace
