// The wqctl program as its users run it: a child process, against the box it
// embeds (--sim) or against an emulator the test holds and inspects. One
// table of command lines with what each must print and leave behind.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "box_fixture.h"

namespace {

using namespace std::chrono_literals;
using arguments = std::vector<std::string>;
using texts = std::vector<std::string>;
using wqbox::box_state;

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

// What a row sets up around the command: the files it meets, the user it
// runs as, where its output goes.
struct scene {
    std::string dir;
    arguments wrapper;  // the command runs under these (a shell pipe, another user)
};

// What a row needs beyond its command line and texts; most need nothing.
struct extras {
    const char* fault = nullptr;  // the held box's fault
    wqbox::config box = {};       // the held box, its links aside
    void (*set)(scene&) = nullptr;
    void (*during)(pid_t, wqbox::emulator&, const std::string& dir) = nullptr;  // while the command runs
    // What the held box and the directory come to. Polled: the box may read
    // a request that has no answer after wqctl is gone.
    bool (*kept)(const box_state&, const std::string& dir) = nullptr;
    int at_least_s = 0;  // the protocol's waits: the run may take longer, never less
};

struct row {
    const char* name;
    arguments args;  // without --sim: against the held box in {dir}
    int code;
    texts out;       // each is in stdout
    texts err = {};  // each is in stderr
    extras x = {};
};
void PrintTo(const row& r, std::ostream* os) { *os << r.name; }

// image.bin: 5000 bytes, so the last chunk is a short one.
std::vector<unsigned char> test_image() {
    std::vector<unsigned char> image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 31 + 7);
    return image;
}
bool image_verified(const box_state& s, const std::string&) {
    return s.firmware.verified == 1 && s.firmware.image == test_image();
}

const std::string csv_header =
    "entry,kind,status,usage,water_value,water_value_2,water_value_3,product_value_1,product_value_2,entry_key\r\n";
// The end request rewinds the download; it has no answer, so the box may
// read it after wqctl is gone.
bool rewound(const box_state& s, const std::string&) { return s.usage_cursor == 0; }
bool csv_written(const box_state& s, const std::string& dir) {
    const std::string csv = file_text(dir + "/log.csv");
    bool each_kind = true;
    for (const char* line : {"\r\n4,product,3,Soap,0,0,0,2.2,1,WQ354032B69C1DBE06FBD9DB019667D4\r\n",
                             "\r\n5,other,1,Soap Flush,,,,,,WQ59A36ABFED2547797E82844A416785\r\n",
                             "\r\n10,empty,2,,,,,,,\r\n",
                             "\r\n14,water,0,Ambient Water,2.9,12,34.6,0,0,WQ0423860365E15A5A948BAC8C48ACBE\r\n"})
        each_kind = each_kind && csv.find(line) != std::string::npos;
    return each_kind && csv.rfind(csv_header, 0) == 0 && count_of(csv, "\r\n") == 25 && rewound(s, dir) &&
           !std::filesystem::exists(dir + "/log.csv.partial");
}

// A download that fails or ends early leaves FILE as it was; what came is
// under FILE.partial.
void keep_a_log(scene& s) { std::ofstream(s.dir + "/log.csv") << "keep\n"; }
bool log_kept(const box_state&, const std::string& dir) { return file_text(dir + "/log.csv") == "keep\n"; }
bool nothing_partial(const box_state& s, const std::string& dir) {
    return log_kept(s, dir) && !std::filesystem::exists(dir + "/log.csv.partial");
}
bool partial_kept(const box_state& s, const std::string& dir) {
    const std::string partial = file_text(dir + "/log.csv.partial");
    return log_kept(s, dir) && partial.rfind(csv_header, 0) == 0 && count_of(partial, "\r\n") >= 4;
}
// 3000 entries take 75 s at line rate: a download to end before its end.
const wqbox::config long_log = {.baud = 57600, .usage_entries = 3000};
bool three_entries_came(const std::string& dir) {
    return eventually([&] { return count_of(file_text(dir + "/log.csv.partial"), "\r\n") >= 4; }, 10s);
}
void interrupt(pid_t pid, wqbox::emulator&, const std::string& dir) {
    EXPECT_TRUE(three_entries_came(dir));
    kill(pid, SIGINT);
}
void box_goes(pid_t, wqbox::emulator& box, const std::string& dir) {
    EXPECT_TRUE(three_entries_came(dir));
    box.add_fault({.request = "*", .kind = wqbox::fault_kind::drop, .word = "", .amount = 0});
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
    {"devices", {"--sim", "devices"}, 0, {"devices:\n  WQ Box\n"}},
    {"find_other_port", {"--json", "--port", "3", "find"}, 1,
     {R"("message":"no box answered on COM3; {dir}/COM3: No such file or directory)", R"("values":{}})"}},
    {"german_json", {"--sim", "--json", "--german", "connect", "Nobody"}, 1,
     {"{\"command\":\"connect\",\"status\":1,\"message\":\"Ger\xC3\xA4t kann nicht gefunden werden!\","
      "\"failed_at\":\"wq_connect_to_bt_device\",\"hint\":\"the emulated box of --sim is called \\\"WQ Box\\\""}},
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
     {"cannot write /nonexistent/log.csv: No such file or directory\n"},
     {.kept = [](const auto& s, auto&) { return !s.usage_sent; }}},
    {"endless_image", {"--sim", "--json", "firmware", "update", "/dev/zero"}, 1,
     {R"({"command":"firmware update","status":1,"message":"cannot read /dev/zero: a character device, not a file")"}},
    {"missing_image", {"--port", "1", "firmware", "update", "{dir}/none.bin"}, 1, {},
     {"cannot read {dir}/none.bin: No such file or directory\n"}},
    {"image_too_large", {"--port", "1", "firmware", "update", "{dir}/huge.bin"}, 1, {},
     {"cannot read {dir}/huge.bin: 4294967296 bytes, more than the 4294967295 the box takes\n"},
     {.set = [](scene& s) {
          std::ofstream(s.dir + "/huge.bin").put('\0');
          std::filesystem::resize_file(s.dir + "/huge.bin", 1ull << 32);  // sparse: no disk taken
      },
      .kept = [](const auto& s, auto&) { return s.firmware.announced_length == 0; }}},
    {"fifo_block", over(bt, {"usage-settings", "write", "--in", "{dir}/fifo"}), 1, {},
     {"cannot read {dir}/fifo: a FIFO, not a file\n"},
     {.set = [](scene& s) { ASSERT_EQ(mkfifo((s.dir + "/fifo").c_str(), 0600), 0); },
      .kept = [](const auto& s, auto&) { return s.count.bt_connections == 0; }}},
    {"log_fails_at_once", {"--port", "1", "log", "--csv", "{dir}/log.csv"}, 1, {},
     {"wq_use_data_fetch failed: Read 'Use Data' Failed. Please Check Connections: stopped after 0 of 24 entries\n"},
     {.fault = "usage-start:silent", .set = keep_a_log, .kept = nothing_partial}},
    {"interrupted", {"--json", "--device", "{dir}/COM1", "log", "--csv", "{dir}/log.csv"}, 128 + SIGINT,
     {R"x({"command":"log","status":130,"message":"interrupted by signal 2 (Interrupt)","values":{}})x"}, {},
     {.box = long_log, .set = keep_a_log, .during = interrupt, .kept = partial_kept}},
    {"box_gone", over(bt, {"--json", "log", "--csv", "{dir}/log.csv"}), 1, {R"("csv_partial":"{dir}/log.csv.partial")"},
     {}, {.box = long_log, .set = keep_a_log, .during = box_goes, .kept = partial_kept}},
    // A reader that stops early ends the download.
    {"log_to_head", {"--port", "1", "log", "--csv", "-"}, 0, {csv_header + "1,water,0,Usage,"}, {},
     {.box = long_log,
      .set = [](scene& s) { s.wrapper = {"/bin/bash", "-c", "set -o pipefail; \"$0\" \"$@\" | head -2"}; },
      .kept = rewound}},
    // What the box keeps.
    {"settings_serial",
     {"--port", "1", "settings", "write", "--text-1", "Gr\xC3\xB6\xC3\x9F" "e", "--number", "4464", "--choice", "4",
      "--choice-byte", "7", "--choice-number", "300"},
     0, {"Write Settings Successful!"}, {}, {.kept = [](const auto& s, auto&) {
         return wqbox::field_text(s.settings, wqbox::text_1) == "Gr\xF6\xDF" "e" &&  // single bytes
                s.settings.number == 4464u && s.settings.choice_number == 300;
     }}},
    {"addresses_select_address_mode",
     over(bt, {"settings", "write", "--address-1", "192,168,1,10", "--address-2", "10.0.0.1"}), 0,
     {"Write Settings Successful!"}, {}, {.kept = [](const auto& s, auto&) {
         return s.settings.mode == 3 &&
                wqbox::field_text(s.settings, wqbox::text_8) == "192.168.1.10%%%%10.0.0.1%%%%%%%";
     }}},
    // At line rate: the host's writes may not run ahead of the wire, or its
    // verify request comes before the box has the image.
    {"firmware_serial", {"--port", "1", "firmware", "update", "{dir}/image.bin"}, 0,
     {"5000 bytes verified by the box in ", " bytes/s), CRC-32 0x"},
     {"waiting for the box to accept the image (up to 24 s)"}, {.box = {.baud = 57600}, .kept = image_verified}},
    {"firmware_bt", over(bt, {"--json", "firmware", "update", "{dir}/image.bin"}), 0,
     {R"("length":5000,"crc32":"0x)", R"("sent":5000,"acknowledged":5000,)"}, {}, {.kept = image_verified}},
    {"firmware_verdict_lost", {"--json", "--port", "1", "firmware", "update", "{dir}/image.bin"}, 1,
     {R"("failed_at":"wq_ota_confirm_done","hint":"the image went out whole but the box's verdict was lost)",
      R"("sent":5000,"acknowledged":0,)"},
     {}, {.fault = "ota-verify:silent"}},
    {"log_csv_serial", {"--port", "1", "log", "--ambient-water", "--csv", "{dir}/log.csv"}, 0,
     {"24 entries downloaded, written to {dir}/log.csv\n"}, {}, {.kept = csv_written}},
    // Data on stdout, so the summary goes to stderr.
    {"log_stdout_bt", over(bt, {"log", "--csv", "-"}), 0,
     {"\r\n24,water,0,Thermal disinfection,2.8,29,47.3,0,0,WQ93F1A6B660812E3B1B1B8EB3449678\r\n"},
     {"24 entries downloaded"}},
    {"log_json", {"--port", "1", "--json", "log"}, 0,
     {R"({"entry":10,"kind":"empty","status":2,"usage":"","water_value":null,)"}},
    {"clock_bt", over(bt, {"clock", "sync", "--time", "17000000001234"}), 0, {"clock set to 17000000001234"}, {},
     {.kept = [](const auto& s, auto&) { return s.clock == 17000000001234u; }}},
    {"clock_serial", {"--port", "1", "clock", "sync", "--time", "1700000000"}, 0, {"(2023-11-14 22:13:20 UTC)"}, {},
     {.kept = [](const auto& s, auto&) { return s.clock == 1700000000u; }}},
    {"reset", over(bt, {"reset"}), 0, {"reset request sent\n"}, {},
     {.kept = [](const auto& s, auto&) { return s.count.device_resets == 1; }}},
    {"defaults_serial", {"--port", "1", "settings", "defaults"}, 0, {}, {},
     {.kept = [](const auto& s, auto&) { return s.count.defaults_restored == 1; }}},
    {"battery", over(bt, {"battery"}), 0, {"85"}, {"takes about 10 s"}, {.at_least_s = 10}},
    {"usage_settings_count", over(bt, {"usage-settings", "count"}), 0, {"count:  8\n"}},
    {"usage_settings_write", over(bt, {"usage-settings", "write", "--hex", "01 02 0a ff"}), 0, {"4 bytes written"}, {},
     {.kept = [](const auto& s, auto&) { return s.usage_settings == std::vector<unsigned char>{1, 2, 10, 255}; }}},
    {"usage_settings_read", over(bt, {"--json", "usage-settings", "read", "--size", "4", "--out", "{dir}/b.bin"}), 0,
     {R"("values":{"size":4,"file":"{dir}/b.bin"})"}, {}, {.kept = [](const auto& s, const std::string& dir) {
         return file_text(dir + "/b.bin") == std::string(s.usage_settings.begin(), s.usage_settings.begin() + 4);
     }}},
    {"usage_settings_to_stdout", over(bt, {"usage-settings", "read", "--size", "4", "--out", "-"}), 0, {}, {},
     {.kept = [](const auto&, const std::string& dir) { return file_text(dir + "/out") == "07>E"; }}},
    // What the library makes of a box that misbehaves.
    {"settings_record_short", {"--port", "1", "settings", "read"}, 1, {},
     {"Error Occured While Reading Settings", "the short 344-byte record needs --short"},
     {.fault = "read-settings:shorten"}},
    // A record read in the other layout is not taken for the settings.
    {"long_record_read_short", {"--port", "1", "settings", "read", "--short"}, 1, {},
     {"not a short one (its number 7629941 is outside 0..65535): the box sends the long 380-byte record: "
      "leave out --short"}},
    {"safe_record_read_standard", over(bt, {"settings", "read"}), 1, {},
     {"the box answers in the safe layout: give --safe"}, {.box = {.bt_read_layout = wqbox::bt_layout::safe}}},
    {"standard_record_read_safe", over(bt, {"settings", "read", "--safe"}), 1, {},
     {"the box answers in the standard layout: leave out --safe"}},
    // Failures say what to do.
    {"busy", over(bt, {"--retry", "1", "flush"}), 1, {},
     {"Reason: in use.", "the box was still in use after 2 attempts 1 s apart"},
     {.box = {.in_use = true},
      .kept = [](const auto& s, auto&) { return s.count.flushes_refused == 2; },
      .at_least_s = 1}},
    {"busy_retried", over(bt, {"--retry", "2", "flush"}), 0, {"stagnation flush started"},
     {"the box is in use; asking again in 1 s (1 of 2)"},
     {.fault = "BT_TAP_SPL:busy@1", .kept = [](const auto& s, auto&) { return s.count.flushes == 1; }}},
    {"nobody_listening", {"--bt", "00:11:22:33:44:BB", "identify"}, 1, {}, {"error 10061: nothing is listening"}},
    {"unknown_name", {"--name", "Nobody", "settings", "read"}, 1, {}, {"Bluetooth is emulated in {dir}"}},
    {"missing_port", {"--port", "5", "settings", "read"}, 1, {},
     {"wqctl: {dir}/COM5: No such file or directory: no such device"}},
    {"device_for_a_group", {"--port", "2", "settings", "read"}, 1, {},
     {"{dir}/COM2: Permission denied (owner 'root', group 'dialout', mode 0660): add yourself to group 'dialout'"},
     {.set = [](scene& s) { nobody_meets(s, "dialout", 0660); }}},
    {"device_for_its_owner", {"--port", "2", "settings", "read"}, 1, {},
     {"{dir}/COM2: Permission denied (owner 'root', group 'root', mode 0600): only its owner may open it"},
     {.set = [](scene& s) { nobody_meets(s, "root", 0600); }}},
    {"device_path", {"--json", "--device", "{dir}/COM1", "settings", "read"}, 0,
     {R"("number":300,"choice_number":0,"mode":0,"record":"long")"}},
    {"missing_device", {"--device", "/nonexistent/tty", "settings", "read"}, 1, {},
     {"/nonexistent/tty: No such file or directory: no such device"}},
};

class Wqctl : public BoxTest, public ::testing::WithParamInterface<row> {};

TEST_P(Wqctl, PrintsAndKeeps) {
    const row& r = GetParam();
    const extras& x = r.x;
    if (r.args.empty() || r.args[0] != "--sim") {
        if (x.fault) start_box_with_fault(x.fault, x.box);
        else start_box(x.box);
    }
    const auto image = test_image();
    std::ofstream(path("image.bin")).write(reinterpret_cast<const char*>(image.data()), image.size());
    scene sc;
    sc.dir = dir.path();
    if (x.set) x.set(sc);
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
    if (x.during && pid > 0) x.during(pid, *box, dir.path());
    const int code = pid > 0 ? wait_exit(pid) : -1;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(x.at_least_s));
    const std::string out = file_text(path("out")), err = file_text(path("err"));
    EXPECT_EQ(code, r.code) << out << err;
    for (const auto& [parts, text] : {std::pair{&r.out, &out}, std::pair{&r.err, &err}}) {
        for (const std::string& part : *parts)
            EXPECT_NE(text->find(expand(part, dir.path())), std::string::npos) << part << " in " << *text;
    }
    EXPECT_TRUE(std::filesystem::is_empty(scratch)) << "a temporary directory left behind";
    if (r.code == 2) {  // one line, one pointer to the help
        EXPECT_EQ(err.rfind("wqctl: ", 0), 0u) << err;
        EXPECT_EQ(count_of(err, "(see "), 1u) << err;
    }
    if (x.kept) {
        EXPECT_TRUE(eventually([&] { return x.kept(box->state(), dir.path()); }, 2s)) << "not kept";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Wqctl, ::testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
