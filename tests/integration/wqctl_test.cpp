// The wqctl program as its users run it: a child process, against the box it
// embeds (--sim) or against an emulator the test holds and inspects.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "box_fixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using arguments = std::vector<std::string>;

struct run_result {
    int code = -1;
    std::string out;
    std::string err;
};

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t spawn_wqctl(const arguments& args, const std::string& out, const std::string& err) {
    std::vector<std::string> copies = args;
    copies.insert(copies.begin(), WQCTL_PROGRAM);
    std::vector<char*> argv;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

run_result run_wqctl(const arguments& args) {
    temp_dir files;
    const std::string out = files.path() + "/out";
    const std::string err = files.path() + "/err";
    run_result r;
    const pid_t pid = spawn_wqctl(args, out, err);
    if (pid > 0) r.code = wait_exit(pid);
    r.out = file_text(out);
    r.err = file_text(err);
    return r;
}

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(separator, at)) != std::string::npos; at = next + separator.size())
        parts.push_back(text.substr(at, next - at));
    parts.push_back(text.substr(at));
    return parts;
}

// ---- against the embedded box -------------------------------------------

struct output_case {
    arguments args;
    int code;
    std::string out;
};

TEST(WqctlSim, PrintsWhatTheLibraryReports) {
    const output_case cases[] = {
        {{"--sim", "find"}, 0, "box on COM1: WQBOX 1.0 SN 10001\n"},
        {{"--sim", "--port", "12", "find"}, 0, "box on COM12: WQBOX 1.0 SN 10001\n"},
        {{"--sim", "--json", "find"},
         0,
         R"({"command":"find","status":0,"message":"box on COM1: WQBOX 1.0 SN 10001",)"
         R"("values":{"port":1,"identification":"WQBOX 1.0 SN 10001"}})"
         "\n"},
        {{"--sim", "--json", "--name", "Tap 7", "devices"},
         0,
         R"({"command":"devices","status":0,"message":"","values":{"count":1,"devices":["Tap 7"]}})"
         "\n"},
        {{"--sim", "--json", "--german", "connect", "Nobody"},
         1,
         "{\"command\":\"connect\",\"status\":1,\"message\":\"Ger\xC3\xA4t kann nicht gefunden "
         "werden!\",\"failed_at\":\"wq_connect_to_bt_device\",\"values\":{}}\n"},
        {{"--sim", "--json", "settings", "defaults"},
         0,
         R"({"command":"settings defaults","status":0,)"
         R"("message":"Restore Default User Settings Success!","values":{}})"
         "\n"},
    };
    for (const output_case& c : cases) {
        const run_result r = run_wqctl(c.args);
        EXPECT_EQ(r.code, c.code) << c.args.back() << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args.back();
    }
}

TEST(WqctlSim, UsageErrorsExitWithTwoAndTouchNothing) {
    const arguments cases[] = {
        {"--sim", "bogus"},
        {"--sim", "settings"},
        {"settings", "read"},  // no link and no --sim
        {"--sim", "--port", "1", "identify"},  // Bluetooth only
        {"--sim", "--port", "16", "settings", "read"},
        {"--sim", "settings", "write"},  // no field
        {"--sim", "settings", "write", "--text-1", std::string(32, 'x')},
        {"--sim", "settings", "write", "--text-1", "\xE2\x82\xAC"},  // no single-byte form
        {"--sim", "settings", "read", "--safe"},                     // serial
        {"--sim", "--bt", "00:11:22:33:44:AA", "settings", "write", "--address-1", "10.0.0.1"},
        {"--sim", "clock", "sync", "--time", "4294967296"},  // beyond the serial clock
        {"--sim", "firmware", "update", "/nonexistent/image.bin"},
        {"--sim", "log", "--time", "5"},
    };
    for (const arguments& args : cases) {
        const run_result r = run_wqctl(args);
        EXPECT_EQ(r.code, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(r.err.rfind("wqctl: ", 0), 0u) << args.back() << ": " << r.err;
    }
}

TEST(WqctlSim, HelpListsEveryCommand) {
    const run_result overview = run_wqctl({"--help"});
    EXPECT_EQ(overview.code, 0);
    for (const char* command : {"find", "settings write", "usage-settings read", "log",
                                "firmware update IMAGE", "convert TEXT"})
        EXPECT_NE(overview.out.find(command), std::string::npos) << command;
    const run_result one = run_wqctl({"settings", "write", "--help"});
    EXPECT_EQ(one.code, 0);
    EXPECT_NE(one.out.find("--choice-number"), std::string::npos);
}

// The log as CSV, checked against the log the emulator keeps.
class WqctlLog : public ::testing::TestWithParam<arguments> {};

TEST_P(WqctlLog, CsvHoldsEveryEntry) {
    temp_dir dir;
    const std::string csv = dir.path() + "/log.csv";
    arguments args = GetParam();
    for (const char* a : {"log", "--ambient-water", "--csv"}) args.push_back(a);
    args.push_back(csv);
    const run_result r = run_wqctl(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "24 entries downloaded, written to " + csv + "\n");

    const auto lines = split(file_text(csv), "\r\n");
    const auto log = wqbox::make_usage_log(24);
    ASSERT_EQ(lines.size(), log.size() + 2);  // header, entries, empty remainder
    EXPECT_EQ(lines[0], "entry,kind,status,usage,water_value,water_value_2,water_value_3,"
                        "product_value_1,product_value_2,entry_key");
    EXPECT_EQ(lines.back(), "");
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto fields = split(lines[i + 1], ",");
        ASSERT_EQ(fields.size(), 10u) << lines[i + 1];
        EXPECT_EQ(fields[0], wqbox::usage_field_text(log[i], wqbox::usage_field::entry_number));
        const bool empty = wqbox::is_empty_slot(log[i]);
        EXPECT_EQ(fields[1] == "empty", empty) << lines[i + 1];
        EXPECT_EQ(fields[9], empty ? "" : wqbox::usage_field_text(log[i], wqbox::usage_field::key));
    }
    // Entries of each kind: entry, kind, status, usage, water values, product values.
    const std::vector<std::string> spot_checks[] = {
        {"4", "product", "3", "Soap", "0", "0", "0"},
        {"5", "other", "1", "Soap Flush", "", "", "", "", ""},
        {"10", "empty", "2", "Usage"},
        {"14", "water", "0", "Ambient Water"},
    };
    for (const auto& expected : spot_checks) {
        const auto fields = split(lines[std::stoul(expected[0])], ",");
        for (std::size_t f = 0; f < expected.size(); ++f)
            EXPECT_EQ(fields[f], expected[f]) << "entry " << expected[0] << " field " << f;
    }
    const auto water = split(lines[14], ",");
    EXPECT_EQ(water[4], wqbox::usage_field_text(log[13], wqbox::usage_field::water_value));
    EXPECT_EQ(water[6], wqbox::usage_field_text(log[13], wqbox::usage_field::water_value_3));
}

INSTANTIATE_TEST_SUITE_P(Links, WqctlLog,
                         ::testing::Values(arguments{"--sim"},
                                           arguments{"--sim", "--bt", "00:11:22:33:44:AA"}),
                         [](const auto& info) { return info.param.size() == 1 ? "serial" : "bluetooth"; });

TEST(WqctlSim, InterruptedRunRemovesItsDirectory) {
    temp_dir tmp;
    scoped_env tmpdir("TMPDIR", tmp.path());
    const pid_t pid = spawn_wqctl({"--sim", "battery"}, "/dev/null", "/dev/null");
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::filesystem::is_empty(tmp.path()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(std::filesystem::is_empty(tmp.path())) << "the emulated box's directory";
    std::this_thread::sleep_for(200ms);  // the battery request is under way
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid), 128 + SIGINT);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

// ---- against a box the test holds ---------------------------------------

class WqctlHeldBox : public BoxTest {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
};

const arguments serial_link = {"--port", "1"};
const arguments bt_link = {"--bt", "00:11:22:33:44:aa"};
const arguments name_link = {"--name", "WQ Box"};

arguments with(arguments link, const arguments& rest) {
    link.insert(link.end(), rest.begin(), rest.end());
    return link;
}

struct cross_link {
    const char* name;
    arguments writer;
    arguments reader;
};

void PrintTo(const cross_link& c, std::ostream* os) { *os << c.name; }

class WqctlSettings : public WqctlHeldBox, public ::testing::WithParamInterface<cross_link> {};

TEST_P(WqctlSettings, WrittenOverOneLinkReadOverTheOther) {
    start_box();
    const run_result w = run_wqctl(with(GetParam().writer,
        {"settings", "write", "--text-1", "Gr\xC3\xB6\xC3\x9F" "e", "--text-7", "10.1.2.3", "--number",
         "4464", "--choice", "4", "--choice-byte", "7", "--choice-number", "300"}));
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out.substr(0, w.out.find('\n')), "Write Settings Successful!");

    const wqbox::box_settings stored = box->state().settings;
    EXPECT_EQ(wqbox::field_text(stored, wqbox::text_1), "Gr\xF6\xDF" "e");  // single bytes
    EXPECT_EQ(wqbox::field_text(stored, wqbox::text_7), "10.1.2.3");
    EXPECT_EQ(stored.number, 4464u);
    EXPECT_EQ(stored.choice, 4);
    EXPECT_EQ(stored.choice_byte, 7);
    EXPECT_EQ(stored.choice_number, 300);

    const run_result r = run_wqctl(with(GetParam().reader, {"--json", "settings", "read"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind(R"({"command":"settings read","status":0,"message":"Read User Settings Success!",)", 0), 0u)
        << r.out;
    for (const char* member : {"\"text_1\":\"Gr\xC3\xB6\xC3\x9F" "e\"", R"("text_7":"10.1.2.3")",
                               R"("number":"4464")", R"("choice_number":"300")"})
        EXPECT_NE(r.out.find(member), std::string::npos) << member << " in " << r.out;
}

INSTANTIATE_TEST_SUITE_P(Links, WqctlSettings,
                         ::testing::Values(cross_link{"serial_to_bluetooth", serial_link, bt_link},
                                           cross_link{"bluetooth_to_serial", bt_link, serial_link},
                                           cross_link{"by_name_to_serial", name_link, serial_link}),
                         [](const auto& info) { return std::string(info.param.name); });

// Bluetooth-only forms of the record: address mode and the safe layout.
struct layout_case {
    const char* name;
    arguments write;
    const char* written;  // the first line of the write's output
    arguments read;
    std::vector<std::string> members;  // in the read's JSON output
    std::function<void(const wqbox::box_settings&)> check;
};

void PrintTo(const layout_case& c, std::ostream* os) { *os << c.name; }

class WqctlLayouts : public WqctlHeldBox, public ::testing::WithParamInterface<layout_case> {};

TEST_P(WqctlLayouts, WriteThenRead) {
    start_box();
    const layout_case& c = GetParam();
    const run_result w = run_wqctl(with(bt_link, c.write));
    ASSERT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(w.out.substr(0, w.out.find('\n')), c.written);
    c.check(box->state().settings);
    const run_result r = run_wqctl(with(bt_link, c.read));
    ASSERT_EQ(r.code, 0) << r.err;
    for (const std::string& member : c.members)
        EXPECT_NE(r.out.find(member), std::string::npos) << member << " in " << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Bluetooth, WqctlLayouts,
    ::testing::Values(
        layout_case{"address_mode",
                    {"settings", "write", "--mode", "3", "--address-1", "192,168,1,10", "--address-2",
                     "10.0.0.1", "--text-7", "gateway", "--address-3", "172.16.0.1"},
                    "Write Settings Successful!",
                    {"--json", "settings", "read"},
                    {R"("mode":"3")", R"("address_1":"192.168.1.10")", R"("address_2":"10.0.0.1")",
                     R"("address_3":"172.16.0.1")", R"("text_7":"gateway")"},
                    [](const wqbox::box_settings& s) {
                        EXPECT_EQ(wqbox::field_text(s, wqbox::text_8), "192.168.1.10%%%%10.0.0.1%%%%%%%");
                        EXPECT_EQ(wqbox::field_text(s, wqbox::address_3), "172.16.0.1");
                        EXPECT_EQ(s.mode, 3);
                    }},
        layout_case{"safe_layout",
                    {"settings", "write", "--safe", "--number", "120", "--text-4", "Lobby"},
                    "[Safe] Write Settings Successful!",
                    {"--json", "settings", "read", "--safe"},
                    {R"("message":"[SAFE] Read User Settings Success!")", R"("number":"120")",
                     R"("text_4":"Lobby")", R"("record":"safe")"},
                    [](const wqbox::box_settings& s) {
                        EXPECT_EQ(s.number, 120u);
                        EXPECT_EQ(wqbox::field_text(s, wqbox::text_4), "Lobby");
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

class WqctlFirmware : public WqctlHeldBox, public ::testing::WithParamInterface<arguments> {};

TEST_P(WqctlFirmware, TheBoxVerifiesTheImage) {
    start_box();
    std::vector<unsigned char> image(5000);  // the last chunk is a short one
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 31 + 7);
    const std::string path = this->path("image.bin");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

    const run_result r = run_wqctl(with(GetParam(), {"--json", "firmware", "update", path}));
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", wqbox::crc32(image.data(), image.size()));
    EXPECT_NE(r.out.find(std::string("\"crc32\":\"") + crc + "\""), std::string::npos) << r.out;
    const wqbox::firmware_status firmware = box->state().firmware;
    EXPECT_EQ(firmware.verified, 1u);
    EXPECT_EQ(firmware.image, image);
}

INSTANTIATE_TEST_SUITE_P(Links, WqctlFirmware, ::testing::Values(serial_link, bt_link),
                         [](const auto& info) { return info.param[0] == "--port" ? "serial" : "bluetooth"; });

TEST_F(WqctlHeldBox, AFailedUpdateNamesItsStep) {
    start_box_with_fault("ota-request:silent@1");
    const std::string image = path("image.bin");
    std::ofstream(image) << "firmware";
    const run_result r = run_wqctl(with(serial_link, {"firmware", "update", image}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "wqctl: wq_ota_start failed: Read 'OTA Req-Ack' Failed. Please Check Connections\n");
}

// A fetch whose record never comes: the library's status 1 then means a
// broken link, not an entry without values, and the download stops.
TEST_F(WqctlHeldBox, ALogDownloadThatBreaksOffFails) {
    start_box_with_fault("usage-start:silent");
    const std::string csv = path("log.csv");
    const run_result r = run_wqctl(with(serial_link, {"log", "--csv", csv}));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "wqctl: wq_use_data_fetch failed: Read 'Use Data' Failed. Please Check Connections: "
                     "stopped after 0 of 24 entries, written to " + csv + "\n");
    EXPECT_EQ(split(file_text(csv), "\r\n").size(), 2u) << "the header row alone";
}

struct box_command {
    arguments args;
    std::function<void(const wqbox::box_state&)> check;
};

TEST_F(WqctlHeldBox, BluetoothCommandsReachTheBox) {
    start_box();
    const box_command cases[] = {
        {{"identify"}, [](const auto& s) { EXPECT_EQ(s.count.identifies, 1u); }},
        {{"reset"}, [](const auto& s) { EXPECT_EQ(s.count.device_resets, 1u); }},
        {{"flush"}, [](const auto& s) { EXPECT_EQ(s.count.flushes, 1u); }},
        {{"clock", "sync", "--time", "1700000000"}, [](const auto& s) { EXPECT_EQ(s.clock, 1700000000u); }},
        {{"usage-settings", "write", "--hex", "01 02 0a ff"},
         [](const auto& s) { EXPECT_EQ(s.usage_settings, (std::vector<unsigned char>{1, 2, 10, 255})); }},
        {{"firmware", "reset"}, [](const auto& s) { EXPECT_EQ(s.count.ota_resets, 1u); }},
    };
    for (const box_command& c : cases) {
        const run_result r = run_wqctl(with(bt_link, c.args));
        EXPECT_EQ(r.code, 0) << c.args[0] << ": " << r.err;
        c.check(box->state());
    }
    const run_result read = run_wqctl(with(bt_link, {"--json", "usage-settings", "read", "--size", "4"}));
    EXPECT_NE(read.out.find(R"("values":{"size":4,"data":"01020aff"})"), std::string::npos) << read.out;
    const std::string block = path("block.bin");
    EXPECT_EQ(run_wqctl(with(bt_link, {"usage-settings", "read", "--size", "4", "--out", block})).code, 0);
    EXPECT_EQ(file_text(block), std::string("\x01\x02\x0a\xff"));
}

}  // namespace
