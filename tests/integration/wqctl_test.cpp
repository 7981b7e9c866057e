// The wqctl program as its users run it: a child process, against the box it
// embeds (--sim) or against an emulator the test holds and inspects. One
// table of command lines with what each must print and leave behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
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

run_result run_wqctl(const arguments& args) {
    temp_dir files;
    const std::string out = files.path() + "/out", err = files.path() + "/err";
    const pid_t pid = spawn_wqctl(args, out, err);
    return {pid > 0 ? wait_exit(pid) : -1, file_text(out), file_text(err)};
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

struct row {
    const char* name;
    arguments args;  // without --sim: against the held box in {dir}
    int code;
    texts out;                    // each is in stdout
    texts err = {};               // each is in stderr
    const char* fault = nullptr;  // the held box's fault
    state_check check = nullptr;  // what the held box keeps afterwards
    bool (*settled)(const wqbox::box_state&) = nullptr;  // for commands the box does not answer
    wqbox::config box = {};                               // the held box, its links aside
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
void image_verified(const wqbox::box_state& s, const std::string&) {
    EXPECT_EQ(s.firmware.verified, 1u);
    EXPECT_EQ(s.firmware.image, test_image());
}

const arguments bt = {"--bt", "00:11:22:33:44:aa"};
arguments over(arguments link, const arguments& rest) {
    link.insert(link.end(), rest.begin(), rest.end());
    return link;
}

const row rows[] = {
    // Output as people and scripts read it.
    {"version", {"--version"}, 0, {"wqctl " WQ_VERSION "\n"}},
    {"find", {"--sim", "find"}, 0, {"box on COM1: WQBOX 1.0 SN 10001\n"}},
    {"find_json", {"--sim", "--json", "find"}, 0,
     {R"({"command":"find","status":0,"message":"box on COM1: WQBOX 1.0 SN 10001",)"
      R"("values":{"port":1,"identification":"WQBOX 1.0 SN 10001"}})" "\n"}},
    {"find_two_digit_port", {"--sim", "--port", "12", "find"}, 0, {"box on COM12: WQBOX 1.0 SN 10001\n"}},
    {"devices", {"--sim", "devices"}, 0, {"devices:\n  WQ Box\n"}},
    {"connect_by_name", {"--sim", "connect", "WQ Box"}, 0, {"WQ Box is 00:11:22:33:44:AA: WQBOX ready\n"}},
    {"find_other_port", {"--port", "3", "find"}, 1, {}, {"no box on COM3; the first box answered on COM1"}},
    {"german_json", {"--sim", "--json", "--german", "connect", "Nobody"}, 1,
     {"{\"command\":\"connect\",\"status\":1,\"message\":\"Ger\xC3\xA4t kann nicht gefunden werden!\","
      "\"failed_at\":\"wq_connect_to_bt_device\",\"hint\":\"Bluetooth is emulated in "}},
    {"convert_full_value", {"convert", "1234567"}, 0, {"1234567\n"}},
    {"convert_json_number", {"--json", "convert", "12.5"}, 0, {R"("values":{"text":"12.5","value":12.5}})"}},
    {"trace", {"--sim", "--trace", "find"}, 0, {"box on COM1"},
     {"serial host>box 32 bytes 7D 7D 7D", "serial --       probe: identification sent", "serial box>host 52 bytes 2B"}},
    {"ports", {"--sim", "ports"}, 0, {"COM1   ", "/COM1 -> /dev/pts/"}},
    {"log_help", {"log", "--help"}, 0, {"instead of showing the table", "Link: --port N or --device PATH"}},
    {"man_page", {"--generate-man"}, 0, {".TH WQCTL 1", ".SS firmware update IMAGE", "\\-\\-choice\\-number"}},
    {"completion", {"--generate-completion"}, 0, {R"("wqctl settings write") words=")", "complete -o default"}},
    // Usage errors: exit 2, one line on stderr that points to the help once.
    {"unknown_command", {"--sim", "bogus"}, 2, {}, {"bogus (see wqctl --help)"}},
    {"group_alone", {"--sim", "settings"}, 2, {}, {"settings takes one of: read, write, defaults"}},
    {"no_link", {"settings", "read"}, 2, {}, {"needs a link"}},
    {"bluetooth_only", {"--sim", "--port", "1", "identify"}, 2, {}, {"Bluetooth only"}},
    {"no_field", {"--sim", "settings", "write"}, 2, {}, {"at least one field (see wqctl settings write --help)\n"}},
    {"text_too_long", {"--sim", "settings", "write", "--text-1", std::string(32, 'x')}, 2, {}, {"at most 31"}},
    {"not_latin1", {"--sim", "settings", "write", "--text-1", "\xE2\x82\xAC"}, 2, {}, {"Latin-1"}},
    {"half_a_pair", over({"--sim"}, over(bt, {"settings", "write", "--address-1", "10.0.0.1"})), 2, {}, {"together"}},
    {"serial_clock_range", {"--sim", "clock", "sync", "--time", "4294967296"}, 2, {}, {"4294967295"}},
    {"empty_name", {"--sim", "--name", "", "devices"}, 2, {}, {"--name takes a name"}},
    {"empty_block", over({"--sim"}, over(bt, {"usage-settings", "write", "--hex", ""})), 2, {}, {"empty"}},
    {"csv_and_json", {"--sim", "--json", "log", "--csv", "-"}, 2, {R"("status":2)"}, {"standard output"}},
    {"json_on_bad_value", {"--sim", "--port", "16", "--json", "find"}, 2, {R"("status":2,"message":"--port: )"}},
    {"device_and_sim", {"--sim", "--device", "/dev/null", "find"}, 2, {}, {"leave out --sim"}},
    // Outputs are opened before the box is asked.
    {"bad_csv_path", {"--port", "1", "log", "--csv", "/nonexistent/log.csv"}, 1, {},
     {"cannot write /nonexistent/log.csv: No such file or directory\n"}, nullptr,
     [](const auto& s, auto&) { EXPECT_FALSE(s.usage_sent); }},
    {"bad_out_path", over({"--json"}, over(bt, {"usage-settings", "read", "--out", "/proc/nope"})), 1,
     {R"("status":1,"message":"cannot write /proc/nope: No such file or directory")"}},
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
     {"5000 bytes in ", " bytes/s, CRC-32 0x", "verified by the box"}, {}, nullptr, image_verified,
     nullptr, {.baud = 57600}},
    {"firmware_bt", over(bt, {"--json", "firmware", "update", "{dir}/image.bin"}), 0,
     {R"("length":5000,"crc32":)", R"("chunk_size":1024,"seconds":)"}, {}, nullptr, image_verified},
    {"firmware_step", {"--port", "1", "firmware", "update", "{dir}/image.bin"}, 1, {},
     {"wqctl: wq_ota_start failed: Read 'OTA Req-Ack' Failed. Please Check Connections\n"}, "ota-request:silent@1"},
    {"firmware_verdict_lost", {"--port", "1", "firmware", "update", "{dir}/image.bin"}, 1, {},
     {"wq_ota_confirm_done failed", "the box may have accepted the image"}, "ota-verify:silent"},
    {"log_csv_serial", {"--port", "1", "log", "--ambient-water", "--csv", "{dir}/log.csv"}, 0,
     {"24 entries downloaded, written to {dir}/log.csv\n"}, {}, nullptr, [](const auto& s, const std::string& dir) {
         const std::string csv = file_text(dir + "/log.csv");
         EXPECT_EQ(count_of(csv, "\r\n"), 25u);
         EXPECT_EQ(csv.rfind("entry,kind,status,usage,water_value,water_value_2,water_value_3,product_value_1,"
                             "product_value_2,entry_key\r\n", 0), 0u);
         for (const char* line : {"\r\n4,product,3,Soap,0,0,0,2.2,1,WQ354032B69C1DBE06FBD9DB019667D4\r\n",
                                  "\r\n5,other,1,Soap Flush,,,,,,WQ59A36ABFED2547797E82844A416785\r\n",
                                  "\r\n10,empty,2,Usage,,,,0,0,\r\n",
                                  "\r\n14,water,0,Ambient Water,2.9,12,34.6,0,0,WQ0423860365E15A5A948BAC8C48ACBE\r\n"})
             EXPECT_NE(csv.find(line), std::string::npos) << line;
         EXPECT_EQ(s.usage_cursor, 0u) << "the end request rewinds the download";
     }},
    {"log_stdout_bt", over(bt, {"log", "--csv", "-"}), 0,
     {"\r\n10,empty,2,Usage,,,,0,0,\r\n", "\r\n24,water,0,Thermal disinfection,2.8,29,47.3,0,0,WQ93F1A6B660812E3B1B1B8EB3449678\r\n"},
     {}, nullptr, [](const auto& s, auto&) { EXPECT_EQ(s.usage_cursor, 0u); }},
    {"log_json", {"--port", "1", "--json", "log"}, 0,
     {R"({"entry":10,"kind":"empty","status":2,"usage":"Usage","water_value":)"}},
    {"log_breaks_off", {"--port", "1", "log", "--csv", "{dir}/log.csv"}, 1, {},
     {"wq_use_data_fetch failed: Read 'Use Data' Failed. Please Check Connections: stopped after 0 of 24 entries, "
      "written to {dir}/log.csv\n"},
     "usage-start:silent", [](const auto&, const std::string& dir) {
         EXPECT_EQ(count_of(file_text(dir + "/log.csv"), "\r\n"), 1u) << "the header row alone";
     }},
    {"identify", over(bt, {"identify"}), 0, {}, {}, nullptr, nullptr,
     [](const wqbox::box_state& s) { return s.count.identifies == 1; }},
    {"clock_bt", over(bt, {"clock", "sync", "--time", "17000000001234"}), 0, {"clock set to 17000000001234"}, {},
     nullptr, [](const auto& s, auto&) { EXPECT_EQ(s.clock, 17000000001234u); }},
    {"clock_serial", {"--port", "1", "clock", "sync", "--time", "1700000000"}, 0, {"(2023-11-14 22:13:20 UTC)"}, {},
     nullptr, nullptr, [](const wqbox::box_state& s) { return s.clock == 1700000000u; }},
    {"reset", over({"--german"}, over(bt, {"reset"})), 0, {"RST_REQ erfolgreich senden."}, {}, nullptr, nullptr,
     [](const wqbox::box_state& s) { return s.count.device_resets == 1; }},
    {"defaults_serial", {"--german", "--port", "1", "settings", "defaults"}, 0,
     {"Widerherstellung Standard Nutzereinstellungen erfolgreich!"}, {}, nullptr, defaults_restored},
    {"defaults_bt", over(bt, {"settings", "defaults"}), 0, {"Restore Default User Settings Success!"}, {}, nullptr,
     defaults_restored},
    {"battery", over(bt, {"battery"}), 0, {"85"}, {}, nullptr, nullptr, nullptr, {}, 10},
    {"usage_settings_count", over(bt, {"usage-settings", "count"}), 0, {"count:  8\n"}},
    {"usage_settings_write", over(bt, {"usage-settings", "write", "--hex", "01 02 0a ff"}), 0, {"4 bytes written"}, {},
     nullptr, [](const auto& s, auto&) { EXPECT_EQ(s.usage_settings, (std::vector<unsigned char>{1, 2, 10, 255})); }},
    {"usage_settings_read", over(bt, {"--json", "usage-settings", "read", "--size", "4", "--out", "{dir}/b.bin"}), 0,
     {R"("values":{"size":4,"file":"{dir}/b.bin"})"}, {}, nullptr,
     [](const auto& s, const std::string& dir) {
         EXPECT_EQ(file_text(dir + "/b.bin"), std::string(s.usage_settings.begin(), s.usage_settings.begin() + 4));
     }},
    // What the library makes of a box that misbehaves.
    {"settings_record_short", {"--port", "1", "settings", "read"}, 1, {}, {"Error Occured While Reading Settings"},
     "read-settings:shorten"},
    {"settings_acknowledged_wrongly", {"--german", "--port", "1", "settings", "write", "--text-1", "x"}, 1, {},
     {"Ung\xC3\xBCltige WRACK Antwort. Bitte Firmware \xC3\xBC" "berpr\xC3\xBC" "fen"},
     "write-settings:word:DOWNLOAD_E"},
    {"bt_dropped_mid_record", over(bt, {"settings", "read"}), 1, {}, {"Read Overflow"}, "BTREAD_REQ:drop:40"},
    {"bt_request_missed_once", over(bt, {"settings", "write", "--text-1", "x"}), 0, {"Write Settings Successful!"},
     {}, "BTWRTE_REQ:silent@1"},
    // Failures say what to do.
    {"busy", over(bt, {"flush"}), 1, {}, {"Reason: in use.", "give --retry N"}, nullptr,
     [](const auto& s, auto&) { EXPECT_EQ(s.count.flushes_refused, 1u); }, nullptr, {.in_use = true}, 1},
    {"busy_retried", over(bt, {"--retry", "2", "flush"}), 0, {"stagnation flush started"},
     {"the box is in use; asking again in 1 s (1 of 2)"}, "BT_TAP_SPL:busy@1",
     [](const auto& s, auto&) { EXPECT_EQ(s.count.flushes, 1u); }},
    {"nobody_listening", {"--bt", "00:11:22:33:44:BB", "identify"}, 1, {}, {"error 10061: nothing is listening"}},
    {"unknown_name", {"--name", "Nobody", "settings", "read"}, 1, {}, {"Bluetooth is emulated in {dir}"}},
    {"missing_port", {"--port", "5", "settings", "read"}, 1, {},
     {"wqctl: {dir}/COM5: No such file or directory: no such device"}},
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
    arguments args;
    for (const std::string& a : r.args) args.push_back(expand(a, dir.path()));
    const auto start = std::chrono::steady_clock::now();
    const run_result got = run_wqctl(args);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(r.at_least_s));
    EXPECT_EQ(got.code, r.code) << got.out << got.err;
    for (const auto& [parts, text] : {std::pair{&r.out, &got.out}, std::pair{&r.err, &got.err}}) {
        for (const std::string& part : *parts)
            EXPECT_NE(text->find(expand(part, dir.path())), std::string::npos) << part << " in " << *text;
    }
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

// A port that another program holds is named as in use.
TEST_F(Wqctl, APortInUseIsNamed) {
    start_box();
    const int held = open(path("COM1").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const run_result r = run_wqctl({"--port", "1", "settings", "read"});
    close(held);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(path("COM1") + ": Resource temporarily unavailable: in use by another program"),
              std::string::npos)
        << r.err;
}

// An interrupt still prints the one JSON object and removes the directory.
TEST(WqctlInterrupt, PrintsJsonAndRemovesItsDirectory) {
    temp_dir tmp, files;
    scoped_env tmpdir("TMPDIR", tmp.path());
    const std::string out = files.path() + "/out";
    const pid_t pid = spawn_wqctl({"--sim", "--json", "battery"}, out, "/dev/null");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return !std::filesystem::is_empty(tmp.path()); }, 5s))
        << "the emulated box's directory";
    std::this_thread::sleep_for(200ms);  // the battery request is under way
    kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(pid), 128 + SIGINT);
    EXPECT_EQ(file_text(out), R"x({"command":"battery","status":130,)x"
                              R"x("message":"interrupted by signal 2 (Interrupt)","values":{}})x" "\n");
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

}  // namespace
