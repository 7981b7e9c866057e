// The wqctl program as its users run it: a child process, against the box it
// embeds (--sim) or against an emulator the test holds and inspects. One
// table of command lines with what each must print and leave behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "box_fixture.h"

namespace {

using namespace std::chrono_literals;
using arguments = std::vector<std::string>;
using texts = std::vector<std::string>;

struct run_result {
    int code = -1;
    std::string out, err;
};

pid_t spawn_wqctl(arguments args, const std::string& out, const std::string& err) {
    args.insert(args.begin(), WQCTL_PROGRAM);
    return spawn(std::move(args), out, err);
}

// "{dir}" stands for the test's directory, where the held box's links are.
std::string expand(std::string text, const std::string& dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
    return text;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

using state_check = std::function<void(const wqbox::box_state&, const std::string& dir)>;

// What a row sets up around the command: the files it meets, a port another
// program holds, the user it runs as, where its output goes.
struct scene {
    std::string dir;
    arguments wrapper;       // the command runs under these (a shell pipe, another user)
    std::vector<int> held;   // ports held for the run
    bool exact_out = false;  // stdout is `out` and nothing more
};
using setup = void (*)(scene&);

struct row {
    const char* name;
    arguments args;  // without --sim: against the held box in {dir}
    int code;
    texts out;                    // each is in stdout
    texts err = {};               // each is in stderr
    const char* fault = nullptr;  // the held box's fault
    state_check check = nullptr;  // what the held box keeps afterwards
    setup set = nullptr;
    wqbox::config box = {};                               // the held box, its links aside
    bool (*settled)(const wqbox::box_state&) = nullptr;  // for commands the box does not answer
    int at_least_s = 0;  // the protocol's waits: the run may take longer, never less
};
void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

const std::string image_name = "image.bin";  // 5000 bytes: the last chunk is a short one
std::vector<unsigned char> test_image() {
    std::vector<unsigned char> image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 31 + 7);
    return image;
}
void defaults_restored(const wqbox::box_state& s, const std::string&) {
    EXPECT_EQ(s.count.defaults_restored, 1u);
}
// The end request rewinds the download; it has no answer, so the box may
// read it after wqctl is gone.
bool rewound(const wqbox::box_state& s) { return s.usage_cursor == 0; }
void image_verified(const wqbox::box_state& s, const std::string&) {
    EXPECT_EQ(s.firmware.verified, 1u);
    EXPECT_EQ(s.firmware.image, test_image());
}

void hold(scene& s, const char* port) {
    const int fd = open((s.dir + "/" + port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    s.held.push_back(fd);
}
// A device file of root's that user nobody, in none of its groups, meets.
void nobody_meets(scene& s, const char* group, mode_t mode) {
    const struct group* g = getgrnam(group);
    if (geteuid() != 0 || !g) GTEST_SKIP() << "needs root, and a group " << group;
    const std::string device = s.dir + "/COM2";
    std::ofstream(device).put('\0');
    ASSERT_EQ(chown(device.c_str(), 0, g->gr_gid), 0);
    ASSERT_EQ(chmod(device.c_str(), mode), 0);
    ASSERT_EQ(chmod(s.dir.c_str(), 0755), 0);
    s.wrapper = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
}

const arguments bt = {"--bt", "00:11:22:33:44:aa"};
arguments over(arguments link, const arguments& rest) {
    link.insert(link.end(), rest.begin(), rest.end());
    return link;
}

const row rows[] = {
    // Output as people and scripts read it.
    {"find_json", {"--sim", "--json", "find"}, 0,
     {R"({"command":"find","status":0,"message":"box on COM1: WQBOX 1.0 SN 10001",)"
      R"("values":{"port":1,"identification":"WQBOX 1.0 SN 10001"}})" "\n"}},
    // A leading zero is no octal prefix.
    {"find_port_012", {"--sim", "--port", "012", "find"}, 0, {"box on COM12: WQBOX 1.0 SN 10001\n"}},
    {"find_device", {"--device", "{dir}/COM1", "find"}, 0, {"box on {dir}/COM1: WQBOX 1.0 SN 10001\n"}},
    {"devices", {"--sim", "devices"}, 0, {"devices:\n  WQ Box\n"}},
    {"connect_by_name", {"--sim", "connect", "WQ Box"}, 0, {"WQ Box is 00:11:22:33:44:AA: WQBOX ready\n"}},
    {"find_other_port", {"--json", "--port", "3", "find"}, 1,
     {R"("message":"no box answered on COM3; {dir}/COM3: No such file or directory)", R"("values":{}})"}},
    {"find_port_in_use", {"--port", "3", "find"}, 1, {},
     {"no box answered on COM3; {dir}/COM3: Resource temporarily unavailable: in use by another program"}, nullptr,
     nullptr, [](scene& s) { hold(s, "COM3"); }, {.com_port = 3}},
    {"german_json", {"--sim", "--json", "--german", "connect", "Nobody"}, 1,
     {"{\"command\":\"connect\",\"status\":1,\"message\":\"Ger\xC3\xA4t kann nicht gefunden werden!\","
      "\"failed_at\":\"wq_connect_to_bt_device\",\"hint\":\"the emulated box of --sim is called \\\"WQ Box\\\""}},
    {"convert_full_value", {"convert", "1234567"}, 0, {"1234567\n"}},
    {"convert_json_number", {"--json", "convert", "12.5"}, 0, {R"("values":{"text":"12.5","value":12.5}})"}},
    {"trace", {"--sim", "--trace", "identify"}, 0, {"identify request sent"},
     {"bt     host>box 14 bytes 24 24 42 54 5F 49 44 45 4E 54 46 59 23 23  |$$BT_IDENTFY##|", "BT_IDENTFY: identifying"}},
    {"ports", {"--sim", "ports"}, 0, {"COM1   ", "/COM1 -> /dev/pts/"}},
    // Usage errors: exit 2, one line on stderr that points to the help once.
    {"unknown_command", {"--sim", "bogus"}, 2, {}, {"bogus (see wqctl --help)"}},
    {"group_alone", {"--sim", "settings"}, 2, {}, {"settings takes one of: read, write, defaults"}},
    {"no_link", {"settings", "read"}, 2, {}, {"needs a link"}},
    {"bluetooth_only", {"--sim", "--port", "1", "identify"}, 2, {}, {"Bluetooth only"}},
    {"no_field", {"--sim", "settings", "write"}, 2, {}, {"at least one field (see wqctl settings write --help)\n"}},
    {"text_too_long", {"--sim", "settings", "write", "--text-1", std::string(32, 'x')}, 2, {}, {"at most 31"}},
    {"not_latin1", {"--sim", "settings", "write", "--text-1", "\xE2\x82\xAC"}, 2, {}, {"Latin-1"}},
    {"half_a_pair", over({"--sim"}, over(bt, {"settings", "write", "--address-1", "10.0.0.1"})), 2, {},
     {"--address-1 requires --address-2"}},
    {"serial_clock_range", {"--sim", "clock", "sync", "--time", "4294967296"}, 2, {}, {"4294967295"}},
    {"empty_block", over({"--sim"}, over(bt, {"usage-settings", "write", "--hex", ""})), 2, {}, {"empty"}},
    {"csv_and_json", {"--sim", "--json", "log", "--csv", "-"}, 2, {R"("status":2)"}, {"standard output"}},
    {"json_on_bad_value", {"--sim", "--port", "16", "--json", "find"}, 2, {R"("status":2,"message":"--port: )"}},
    {"device_and_sim", {"--sim", "--device", "/dev/null", "find"}, 2, {}, {"--device excludes --sim"}},
    // Files: refused with the reason (status 1) before the box is asked,
    // never clobbered by a run that fails.
    {"bad_csv_path", {"--port", "1", "log", "--csv", "/nonexistent/log.csv"}, 1, {},
     {"cannot write /nonexistent/log.csv: No such file or directory\n"}, nullptr,
     [](const auto& s, auto&) { EXPECT_FALSE(s.usage_sent); }},
    {"endless_image", {"--sim", "--json", "firmware", "update", "/dev/zero"}, 1,
     {R"({"command":"firmware update","status":1,"message":"cannot read /dev/zero: a character device, not a file")"}},
    {"missing_image", {"--port", "1", "firmware", "update", "{dir}/none.bin"}, 1, {},
     {"cannot read {dir}/none.bin: No such file or directory\n"}},
    {"image_too_large", {"--port", "1", "firmware", "update", "{dir}/huge.bin"}, 1, {},
     {"cannot read {dir}/huge.bin: 4294967296 bytes, more than the 4294967295 the box takes\n"}, nullptr,
     [](const auto& s, auto&) { EXPECT_EQ(s.firmware.announced_length, 0u); },
     [](scene& s) {
         std::ofstream(s.dir + "/huge.bin").put('\0');
         std::filesystem::resize_file(s.dir + "/huge.bin", 1ull << 32);  // sparse: no disk taken
     }},
    {"fifo_block", over(bt, {"usage-settings", "write", "--in", "{dir}/fifo"}), 1, {},
     {"cannot read {dir}/fifo: a FIFO, not a file\n"}, nullptr,
     [](const auto& s, auto&) { EXPECT_EQ(s.count.bt_connections, 0u); },
     [](scene& s) { ASSERT_EQ(mkfifo((s.dir + "/fifo").c_str(), 0600), 0); }},
    {"log_fails_at_once", {"--port", "1", "log", "--csv", "{dir}/log.csv"}, 1, {},
     {"wq_use_data_fetch failed: Read 'Use Data' Failed. Please Check Connections: stopped after 0 of 24 entries\n"},
     "usage-start:silent", [](const auto&, const std::string& dir) {
         EXPECT_EQ(file_text(dir + "/log.csv"), "keep\n");
         EXPECT_FALSE(std::filesystem::exists(dir + "/log.csv.partial"));
     },
     [](scene& s) { std::ofstream(s.dir + "/log.csv") << "keep\n"; }},
    // A reader that stops early ends the download (3000 entries take 75 s).
    {"log_to_head", {"--port", "1", "log", "--csv", "-"}, 0,
     {"entry,kind,status,usage,water_value,water_value_2,water_value_3,product_value_1,product_value_2,entry_key\r\n"
      "1,water,0,Usage,"},
     {}, nullptr, nullptr, [](scene& s) { s.wrapper = {"/bin/bash", "-c", "set -o pipefail; \"$0\" \"$@\" | head -2"}; },
     {.baud = 57600, .usage_entries = 3000}, rewound},
    // What the box keeps.
    {"settings_serial",
     {"--port", "1", "settings", "write", "--text-1", "Gr\xC3\xB6\xC3\x9F" "e", "--number", "4464", "--choice", "4",
      "--choice-byte", "7", "--choice-number", "300"},
     0, {"Write Settings Successful!"}, {}, nullptr, [](const wqbox::box_state& s, const std::string&) {
         EXPECT_EQ(wqbox::field_text(s.settings, wqbox::text_1), "Gr\xF6\xDF" "e");  // single bytes
         EXPECT_EQ(s.settings.number, 4464u);
         EXPECT_EQ(s.settings.choice_number, 300);
     }},
    {"addresses_select_address_mode",
     over(bt, {"settings", "write", "--address-1", "192,168,1,10", "--address-2", "10.0.0.1"}), 0,
     {"Write Settings Successful!"}, {}, nullptr, [](const auto& s, auto&) {
         EXPECT_EQ(s.settings.mode, 3);
         EXPECT_EQ(wqbox::field_text(s.settings, wqbox::text_8), "192.168.1.10%%%%10.0.0.1%%%%%%%");
     }},
    // At line rate: the host's writes may not run ahead of the wire, or its
    // verify request comes before the box has the image.
    {"firmware_serial", {"--port", "1", "firmware", "update", "{dir}/image.bin"}, 0,
     {"5000 bytes verified by the box in ", " bytes/s), CRC-32 0x"},
     {"waiting for the box to accept the image (up to 24 s)"}, nullptr, image_verified, nullptr, {.baud = 57600}},
    {"firmware_bt", over(bt, {"--json", "firmware", "update", "{dir}/image.bin"}), 0,
     {R"("length":5000,"crc32":"0x)", R"("sent":5000,"acknowledged":5000,)"}, {}, nullptr, image_verified},
    {"firmware_verdict_lost", {"--json", "--port", "1", "firmware", "update", "{dir}/image.bin"}, 1,
     {R"("failed_at":"wq_ota_confirm_done","hint":"the image went out whole but the box's verdict was lost)",
      R"("sent":5000,"acknowledged":0,)"},
     {}, "ota-verify:silent"},
    {"log_csv_serial", {"--port", "1", "log", "--ambient-water", "--csv", "{dir}/log.csv"}, 0,
     {"24 entries downloaded, written to {dir}/log.csv\n"}, {}, nullptr, [](const auto&, const std::string& dir) {
         const std::string csv = file_text(dir + "/log.csv");
         EXPECT_EQ(count_of(csv, "\r\n"), 25u);
         EXPECT_EQ(csv.rfind("entry,kind,status,usage,water_value,water_value_2,water_value_3,product_value_1,"
                             "product_value_2,entry_key\r\n", 0), 0u);
         for (const char* line : {"\r\n4,product,3,Soap,0,0,0,2.2,1,WQ354032B69C1DBE06FBD9DB019667D4\r\n",
                                  "\r\n5,other,1,Soap Flush,,,,,,WQ59A36ABFED2547797E82844A416785\r\n",
                                  "\r\n10,empty,2,,,,,,,\r\n",
                                  "\r\n14,water,0,Ambient Water,2.9,12,34.6,0,0,WQ0423860365E15A5A948BAC8C48ACBE\r\n"})
             EXPECT_NE(csv.find(line), std::string::npos) << line;
         EXPECT_FALSE(std::filesystem::exists(dir + "/log.csv.partial"));
     },
     nullptr, {}, rewound},
    {"log_stdout_bt", over(bt, {"log", "--csv", "-"}), 0,
     {"\r\n24,water,0,Thermal disinfection,2.8,29,47.3,0,0,WQ93F1A6B660812E3B1B1B8EB3449678\r\n"},
     {"24 entries downloaded"}, nullptr, nullptr, nullptr, {}, rewound},
    {"log_json", {"--port", "1", "--json", "log"}, 0,
     {R"({"entry":10,"kind":"empty","status":2,"usage":"","water_value":null,)"}},
    {"identify", over(bt, {"identify"}), 0, {}, {}, nullptr, nullptr, nullptr, {},
     [](const wqbox::box_state& s) { return s.count.identifies == 1; }},
    {"clock_bt", over(bt, {"clock", "sync", "--time", "17000000001234"}), 0, {"clock set to 17000000001234"}, {},
     nullptr, nullptr, nullptr, {}, [](const wqbox::box_state& s) { return s.clock == 17000000001234u; }},
    {"clock_serial", {"--port", "1", "clock", "sync", "--time", "1700000000"}, 0, {"(2023-11-14 22:13:20 UTC)"}, {},
     nullptr, nullptr, nullptr, {}, [](const wqbox::box_state& s) { return s.clock == 1700000000u; }},
    {"reset", over({"--german"}, over(bt, {"reset"})), 0, {"RST_REQ erfolgreich senden.\nreset request sent\n"}, {},
     nullptr, nullptr, nullptr, {}, [](const wqbox::box_state& s) { return s.count.device_resets == 1; }},
    {"defaults_serial", {"--german", "--port", "1", "settings", "defaults"}, 0,
     {"Widerherstellung Standard Nutzereinstellungen erfolgreich!"}, {}, nullptr, defaults_restored},
    {"battery", over(bt, {"battery"}), 0, {"85"}, {"takes about 10 s"}, nullptr, nullptr, nullptr, {}, nullptr, 10},
    {"usage_settings_count", over(bt, {"usage-settings", "count"}), 0, {"count:  8\n"}},
    {"usage_settings_write", over(bt, {"usage-settings", "write", "--hex", "01 02 0a ff"}), 0, {"4 bytes written"}, {},
     nullptr, [](const auto& s, auto&) { EXPECT_EQ(s.usage_settings, (std::vector<unsigned char>{1, 2, 10, 255})); }},
    {"usage_settings_read", over(bt, {"--json", "usage-settings", "read", "--size", "4", "--out", "{dir}/b.bin"}), 0,
     {R"("values":{"size":4,"file":"{dir}/b.bin"})"}, {}, nullptr,
     [](const auto& s, const std::string& dir) {
         EXPECT_EQ(file_text(dir + "/b.bin"), std::string(s.usage_settings.begin(), s.usage_settings.begin() + 4));
     }},
    {"usage_settings_to_stdout", over(bt, {"usage-settings", "read", "--size", "4", "--out", "-"}), 0, {"07>E"}, {},
     nullptr, nullptr, [](scene& s) { s.exact_out = true; }},
    // What the library makes of a box that misbehaves.
    {"settings_record_short", {"--port", "1", "settings", "read"}, 1, {},
     {"Error Occured While Reading Settings", "the short 344-byte record needs --short"}, "read-settings:shorten"},
    // A record read in the other layout is not taken for the settings.
    {"long_record_read_short", {"--port", "1", "settings", "read", "--short"}, 1, {},
     {"not a short one (its number 7629941 is outside 0..65535): the box sends the long 380-byte record: "
      "leave out --short"}},
    {"safe_record_read_standard", over(bt, {"settings", "read"}), 1, {},
     {"the box answers in the safe layout: give --safe"}, nullptr, nullptr, nullptr,
     {.bt_read_layout = wqbox::bt_layout::safe}},
    {"standard_record_read_safe", over(bt, {"settings", "read", "--safe"}), 1, {},
     {"the box answers in the standard layout: leave out --safe"}},
    // Failures say what to do.
    {"busy", over(bt, {"--retry", "1", "flush"}), 1, {},
     {"Reason: in use.", "the box was still in use after 2 attempts 1 s apart"}, nullptr,
     [](const auto& s, auto&) { EXPECT_EQ(s.count.flushes_refused, 2u); }, nullptr, {.in_use = true}, nullptr, 1},
    {"busy_retried", over(bt, {"--retry", "2", "flush"}), 0, {"stagnation flush started"},
     {"the box is in use; asking again in 1 s (1 of 2)"}, "BT_TAP_SPL:busy@1",
     [](const auto& s, auto&) { EXPECT_EQ(s.count.flushes, 1u); }},
    {"nobody_listening", {"--bt", "00:11:22:33:44:BB", "identify"}, 1, {}, {"error 10061: nothing is listening"}},
    {"unknown_name", {"--name", "Nobody", "settings", "read"}, 1, {}, {"Bluetooth is emulated in {dir}"}},
    {"missing_port", {"--port", "5", "settings", "read"}, 1, {},
     {"wqctl: {dir}/COM5: No such file or directory: no such device"}},
    {"port_in_use", {"--port", "1", "settings", "read"}, 1, {},
     {"{dir}/COM1: Resource temporarily unavailable: in use by another program"}, nullptr, nullptr,
     [](scene& s) { hold(s, "COM1"); }},
    {"device_for_a_group", {"--port", "2", "settings", "read"}, 1, {},
     {"{dir}/COM2: Permission denied (owner 'root', group 'dialout', mode 0660): add yourself to group 'dialout'"},
     nullptr, nullptr, [](scene& s) { nobody_meets(s, "dialout", 0660); }},
    {"device_for_its_owner", {"--port", "2", "settings", "read"}, 1, {},
     {"{dir}/COM2: Permission denied (owner 'root', group 'root', mode 0600): only its owner may open it"},
     nullptr, nullptr, [](scene& s) { nobody_meets(s, "root", 0600); }},
    {"device_path", {"--json", "--device", "{dir}/COM1", "settings", "read"}, 0,
     {R"("number":300,"choice_number":0,"mode":0,"record":"long")"}},
    {"missing_device", {"--device", "/nonexistent/tty", "settings", "read"}, 1, {},
     {"/nonexistent/tty: No such file or directory: no such device"}},
};

class Wqctl : public BoxTest, public ::testing::WithParamInterface<row> {};

TEST_P(Wqctl, PrintsAndKeeps) {
    const row& r = GetParam();
    if (r.args.empty() || r.args[0] != "--sim") {
        if (r.fault) start_box_with_fault(r.fault, r.box);
        else start_box(r.box);
    }
    const auto image = test_image();
    std::ofstream(path(image_name)).write(reinterpret_cast<const char*>(image.data()), image.size());
    scene sc;
    sc.dir = dir.path();
    if (r.set) r.set(sc);
    if (IsSkipped() || HasFatalFailure()) return;
    // wqctl's own temporary directories (--sim, --device) go here, and must go.
    const std::string scratch = path("tmp");
    std::filesystem::create_directory(scratch);
    std::filesystem::permissions(scratch, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    scoped_env tmpdir("TMPDIR", scratch);
    arguments args = sc.wrapper;
    args.push_back(WQCTL_PROGRAM);
    for (const std::string& a : r.args) args.push_back(expand(a, dir.path()));
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = spawn(args, path("out"), path("err"));
    const run_result got = {pid > 0 ? wait_exit(pid) : -1, file_text(path("out")), file_text(path("err"))};
    for (const int fd : sc.held) close(fd);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(r.at_least_s));
    EXPECT_EQ(got.code, r.code) << got.out << got.err;
    for (const auto& [parts, text] : {std::pair{&r.out, &got.out}, std::pair{&r.err, &got.err}}) {
        for (const std::string& part : *parts)
            EXPECT_NE(text->find(expand(part, dir.path())), std::string::npos) << part << " in " << *text;
    }
    if (sc.exact_out) {
        EXPECT_EQ(got.out, r.out.at(0));
    }
    EXPECT_TRUE(std::filesystem::is_empty(scratch)) << "a temporary directory left behind";
    if (r.code == 2) {  // one line, one pointer to the help
        EXPECT_EQ(got.err.rfind("wqctl: ", 0), 0u) << got.err;
        EXPECT_EQ(count_of(got.err, "(see "), 1u) << got.err;
    }
    if (r.settled) {
        EXPECT_TRUE(box_reaches(r.settled)) << "the box never saw it";
    }
    if (r.check && box) {
        box->stop();  // a box answers before it records: let it finish
        r.check(box->state(), dir.path());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Wqctl, ::testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

// A download that ends early keeps the rows that came under FILE.partial
// and leaves FILE as it was, whether a signal ends it or the box goes.
struct early_end {
    const char* name;
    arguments args;
    void (*end)(pid_t, wqbox::emulator&);
    int code;
    const char* said;
};
void PrintTo(const early_end& e, std::ostream* os) { *os << e.name; }

const early_end early_ends[] = {
    {"interrupted", {"--json", "--device", "{dir}/COM1", "log", "--csv", "{dir}/log.csv"},
     [](pid_t pid, wqbox::emulator&) { kill(pid, SIGINT); }, 128 + SIGINT,
     R"x({"command":"log","status":130,"message":"interrupted by signal 2 (Interrupt)","values":{}})x"},
    {"box_gone", over(bt, {"--json", "log", "--csv", "{dir}/log.csv"}),
     [](pid_t, wqbox::emulator& box) {
         wqbox::fault drop;
         std::string error;
         ASSERT_TRUE(wqbox::parse_fault("*:drop", &drop, &error)) << error;
         box.add_fault(drop);
     },
     1, R"("csv_partial":"{dir}/log.csv.partial")"},
};

class WqctlEarlyEnd : public BoxTest, public ::testing::WithParamInterface<early_end> {};

TEST_P(WqctlEarlyEnd, KeepsWhatCameUnderAPartialName) {
    const early_end& e = GetParam();
    start_box({.baud = 57600, .usage_entries = 3000});
    std::ofstream(path("log.csv")) << "keep\n";
    temp_dir tmp;
    scoped_env tmpdir("TMPDIR", tmp.path());
    arguments args;
    for (const std::string& a : e.args) args.push_back(expand(a, dir.path()));
    const pid_t pid = spawn_wqctl(args, path("out"), "/dev/null");
    ASSERT_GT(pid, 0);
    const auto rows_kept = [&] { return count_of(file_text(path("log.csv.partial")), "\r\n"); };
    ASSERT_TRUE(eventually([&] { return rows_kept() >= 4; }, 10s)) << "the header and three entries";
    e.end(pid, *box);
    EXPECT_EQ(wait_exit(pid), e.code);
    EXPECT_NE(file_text(path("out")).find(expand(e.said, dir.path())), std::string::npos) << file_text(path("out"));
    EXPECT_EQ(file_text(path("log.csv")), "keep\n");
    EXPECT_EQ(file_text(path("log.csv.partial")).rfind("entry,kind,status,", 0), 0u);
    EXPECT_GE(rows_kept(), 4u);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the --device directory";
}

INSTANTIATE_TEST_SUITE_P(Table, WqctlEarlyEnd, ::testing::ValuesIn(early_ends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
