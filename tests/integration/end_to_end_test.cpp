// The library's exported operations against the box emulator, over real
// ptys and sockets: what a host does, and what the box makes of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "box_fixture.h"
#include "text/messages.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<unsigned char>;

constexpr int box_port = 1;                       // wqbox serves COM1 unless told otherwise
constexpr BTH_ADDR box_address = 0x0011223344AA;  // and listens as 00:11:22:33:44:AA

class EndToEnd : public BoxTest {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    char message[wq_message_size] = {};

    void set_message(const char* text) {
        std::memset(message, 0, sizeof message);
        std::strncpy(message, text, sizeof message - 1);
    }
};

// ---- box discovery ---------------------------------------------------------------------

struct probe_case {
    const char* name;
    std::function<void(wqbox::config&)> configure;
    int port;
    std::string text;
};

void PrintTo(const probe_case& c, std::ostream* os) { *os << c.name; }

class Probe : public EndToEnd, public ::testing::WithParamInterface<probe_case> {};

TEST_P(Probe, ConnectToBox) {
    wqbox::config cfg;
    if (GetParam().configure) GetParam().configure(cfg);
    start_box(cfg);
    auto text = std::make_unique<char[]>(64);
    std::memset(text.get(), 0x55, 64);
    EXPECT_EQ(wq_connect_to_box(text.get()), GetParam().port);
    EXPECT_STREQ(text.get(), GetParam().text.c_str());
    EXPECT_EQ(box->state().count.probes, 1u);
}

const probe_case probe_cases[] = {
    {"finds_com1", nullptr, 1, "WQBOX 1.0 SN 10001"},
    {"finds_com12",
     [](wqbox::config& c) {
         c.com_port = 12;
         c.identification = std::string(63, 'I');
     },
     12, std::string(63, 'I')},
};

INSTANTIATE_TEST_SUITE_P(Library, Probe, ::testing::ValuesIn(probe_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, DeviceListAndConnectCheck) {
    wqbox::config first;
    first.name = "Kitchen tap";
    start_box(first);
    wqbox::config second;
    second.bt_dir = dir.path();
    second.bt_address = "0A:0B:0C:0D:0E:0F";
    second.name = "Lobby sink";
    second.greeting = "Lobby sink ready";
    std::string error;
    auto lobby = wqbox::emulator::start(second, &error);
    ASSERT_TRUE(lobby) << error;

    char list[3 * 32];
    std::memset(list, 'L', sizeof list);
    unsigned int count = 0;
    set_message("earlier");
    EXPECT_EQ(wq_get_device_list(list, sizeof list, &count, message, 0), 0) << message;
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::string(list, 32), std::string("Kitchen tap") + std::string(21, '\0'));
    EXPECT_EQ(std::string(list + 32, 32), std::string("Lobby sink") + std::string(22, '\0'));
    EXPECT_STREQ(message, "earlier");

    BTH_ADDR address = 0;
    EXPECT_EQ(wq_connect_to_bt_device(&address, "Lobby sink", message, 0), 0) << message;
    EXPECT_EQ(address, 0x0A0B0C0D0E0Full);
    EXPECT_STREQ(message, "Lobby sink ready");
    EXPECT_EQ(lobby->state().count.bt_connections, 1u);
    EXPECT_EQ(box->state().count.bt_connections, 0u);

    EXPECT_EQ(wq_connect_to_bt_device(&address, "lobby sink", message, 1), 1);
    EXPECT_STREQ(message, "Ger\xE4t kann nicht gefunden werden!");
    EXPECT_EQ(address, 0x0A0B0C0D0E0Full);
}

// ---- settings --------------------------------------------------------------------------

enum class link { serial_short, serial_long, bt_standard, bt_safe };

bool is_serial(link l) { return l == link::serial_short || l == link::serial_long; }

constexpr unsigned int every_field = 0x3FFF;
constexpr unsigned int choice_with_number = 4;
constexpr unsigned char choice_byte = 7;
constexpr int address_mode = 3;
constexpr int plain_mode = 5;

// What the host writes. text_1 holds two-byte UTF-8 letters, which reach the
// box as Latin-1; text_3 travels unconverted, so its UTF-8 stays as it is.
struct written {
    const char* text_1 = "Gr\xC3\xB6\xC3\x9F" "e";
    const char* text_2 = "Lobby";
    const char* text_3 = "Caf\xC3\xA9";
    const char* text_4 = "Chilled water and soap";
    const char* number = "123";
    const char* choice_number = "1000";
    const char* text_5 = "Night shift";
    const char* text_6 = "tech";
    const char* text_7 = "10.1.2.3 lobby";
    const char* text_8 = "Eighth";
    // Buffers, not literals: the library takes 16 bytes of the first two
    // addresses and 15 of the third, whatever their texts' lengths.
    char address_1[16] = "192,168,1,10";
    char address_2[16] = "10.0.0.1";
    char address_3[15] = "172.16.0.1";
};

// What a read hands out; "-" marks an output the read must leave alone.
struct read_back {
    char text_1[32] = {}, text_2[32] = {}, text_3[32] = {}, text_4[64] = {}, number[12] = {},
         choice_number[6] = {}, text_5[32] = {}, text_6[32] = {}, text_7[48] = {},
         text_8[32] = "-", mode[12] = "-", address_1[16] = {}, address_2[16] = {},
         address_3[16] = {};
};

int write_settings(link over, int mode, char* message, int language = 0) {
    const written w;
    if (is_serial(over)) {
        return wq_write_settings(box_port, w.text_1, w.text_2, w.text_3, w.text_4, w.number,
                                 w.choice_number, w.text_5, w.text_6, w.text_7, w.text_8, message,
                                 choice_with_number, choice_byte, mode, over == link::serial_short,
                                 every_field, language);
    }
    return wq_bt_write_settings(box_address, w.text_1, w.text_2, w.text_3, w.text_4, w.number,
                                w.choice_number, w.text_5, w.text_6, w.text_7, w.text_8,
                                w.address_1, w.address_2, w.address_3, message,
                                choice_with_number, choice_byte, mode, every_field,
                                over == link::bt_safe, language);
}

int read_settings(link over, read_back& r, char* message) {
    if (is_serial(over)) {
        return wq_read_settings(box_port, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                                r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                                message, over == link::serial_short, 0);
    }
    return wq_bt_read_settings(box_address, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                               r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                               r.address_1, r.address_2, r.address_3, message,
                               over == link::bt_safe, 0);
}

// The box answers a read in the format or layout it is set to; the host
// has to know which one that is.
void answer_reads_in(wqbox::emulator& box, link reader) {
    box.update([reader](wqbox::box_state& b) {
        b.serial_read_format = reader == link::serial_short ? wqbox::serial_format::short_record
                                                            : wqbox::serial_format::long_record;
        b.bt_read_layout = reader == link::bt_safe ? wqbox::bt_layout::safe
                                                   : wqbox::bt_layout::standard;
    });
}

struct round_trip_case {
    const char* name;
    link writer;
    link reader;
    int mode;
};

void PrintTo(const round_trip_case& c, std::ostream* os) { *os << c.name; }

class SettingsRoundTrip : public EndToEnd, public ::testing::WithParamInterface<round_trip_case> {};

TEST_P(SettingsRoundTrip, WhatIsWrittenReadsBack) {
    const round_trip_case& c = GetParam();
    start_box();
    EXPECT_EQ(write_settings(c.writer, c.mode, message), 0) << message;
    EXPECT_STREQ(message, c.writer == link::bt_safe ? "[Safe] Write Settings Successful!"
                                                    : "Write Settings Successful!");
    EXPECT_EQ(box->state().count.settings_writes, 1u);

    answer_reads_in(*box, c.reader);
    read_back r;
    EXPECT_EQ(read_settings(c.reader, r, message), 0) << message;
    EXPECT_STREQ(message, c.reader == link::bt_safe ? "[SAFE] Read User Settings Success!"
                                                    : "Read User Settings Success!");
    EXPECT_STREQ(r.text_1, "Gr\xF6\xDF" "e");
    EXPECT_STREQ(r.text_2, "Lobby");
    EXPECT_STREQ(r.text_3, "Caf\xC3\xA9");
    EXPECT_STREQ(r.text_4, "Chilled water and soap");
    EXPECT_STREQ(r.number, "123");
    EXPECT_STREQ(r.choice_number, "1000");
    EXPECT_STREQ(r.text_5, "Night shift");
    EXPECT_STREQ(r.text_6, "tech");
    EXPECT_STREQ(r.text_7, "10.1.2.3 lobby");

    const bool addresses = c.mode == address_mode;
    if (c.reader == link::serial_short) {
        EXPECT_STREQ(r.text_8, "-");
        EXPECT_STREQ(r.mode, "-");
    } else if (c.writer == link::serial_short) {
        EXPECT_STREQ(r.text_8, "default") << "a short record leaves it alone";
        EXPECT_STREQ(r.mode, "0");
    } else {
        EXPECT_STREQ(r.text_8, addresses ? "192.168.1.10%%%%10.0.0.1%%%%%%%" : "Eighth");
        EXPECT_STREQ(r.mode, std::to_string(c.mode).c_str());
    }
    if (!is_serial(c.reader)) {
        EXPECT_STREQ(r.address_1, addresses ? "192.168.1.10" : "");
        EXPECT_STREQ(r.address_2, addresses ? "10.0.0.1" : "");
        // Outside address mode the third address is the start of text_7.
        EXPECT_STREQ(r.address_3, addresses ? "172.16.0.1" : "10.1.2.3");
    }
}

const round_trip_case round_trip_cases[] = {
    {"serial_long", link::serial_long, link::serial_long, plain_mode},
    {"serial_short", link::serial_short, link::serial_short, plain_mode},
    {"bt_standard", link::bt_standard, link::bt_standard, plain_mode},
    {"bt_safe", link::bt_safe, link::bt_safe, plain_mode},
    {"bt_standard_address_mode", link::bt_standard, link::bt_standard, address_mode},
    {"bt_safe_address_mode", link::bt_safe, link::bt_safe, address_mode},
    {"serial_long_to_bt_safe", link::serial_long, link::bt_safe, plain_mode},
    {"serial_short_to_bt_standard", link::serial_short, link::bt_standard, plain_mode},
    {"bt_safe_to_serial_long", link::bt_safe, link::serial_long, plain_mode},
    {"bt_standard_address_mode_to_serial_long", link::bt_standard, link::serial_long,
     address_mode},
};

INSTANTIATE_TEST_SUITE_P(Library, SettingsRoundTrip, ::testing::ValuesIn(round_trip_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EndToEnd, DefaultsRestoredOverEitherLink) {
    start_box();
    struct row {
        const char* what;
        std::function<int(char*)> restore;
        const char* message;
    };
    const row rows[] = {
        {"serial", [](char* m) { return wq_default_settings(box_port, m, 1); },
         "Widerherstellung Standard Nutzereinstellungen erfolgreich!"},
        {"bluetooth", [](char* m) { return wq_bt_default_settings(box_address, m, 0); },
         "Restore Default User Settings Success!"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        box->update([](wqbox::box_state& b) { wqbox::set_field_text(b.settings, wqbox::text_1, "Changed"); });
        EXPECT_EQ(r.restore(message), 0) << message;
        EXPECT_STREQ(message, r.message);
        EXPECT_EQ(wqbox::field_text(box->state().settings, wqbox::text_1), "Kitchen tap");
    }
    EXPECT_EQ(box->state().count.defaults_restored, 2u);
}

// ---- firmware update -------------------------------------------------------------------

// A 3000-byte image and its CRC-32 as zlib computes it.
bytes test_image() {
    bytes image(3000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>((i * 7 + 3) % 251);
    return image;
}
constexpr std::uint32_t test_image_crc = 0x43E4BF3C;
constexpr std::size_t chunk_size = 512;

// The host's side of an update over either link; returns the final verify's
// status, its message in `message`. Every step before it must succeed.
using update_run = int (*)(const bytes& image, std::uint32_t crc, char* message);

int update_over_serial(const bytes& image, std::uint32_t crc, char* message) {
    int handle = 0;
    if (wq_ota_open_port(box_port, message, 0, &handle) != 0) {
        ADD_FAILURE() << message;
        return -1;
    }
    const auto size = static_cast<unsigned int>(image.size());
    EXPECT_EQ(wq_ota_start(0, message, 0, handle, size, crc), 0);
    EXPECT_STREQ(message, "OTA Control Sent.");
    EXPECT_EQ(wq_ota_start_xmit(0, message, 0, handle), 0);
    EXPECT_STREQ(message, "OTA Start acknowledged. Sending OTA Data...");
    for (std::size_t offset = 0; offset < image.size(); offset += chunk_size) {
        const int length = static_cast<int>(std::min(chunk_size, image.size() - offset));
        EXPECT_EQ(wq_ota_xmit_data(0, message, 0, handle, image.data(), length,
                                   static_cast<unsigned int>(offset)),
                  0)
            << message;
    }
    return wq_ota_confirm_done(0, message, 0, handle);  // closes the port
}

// A verified update ends with the box's restart, a rejected one with a
// plain disconnect.
int update_over_bluetooth(const bytes& image, std::uint32_t crc, char* message) {
    unsigned int socket = 0;
    if (wq_bt_ota_connect(box_address, &socket, message, 0) != 0) {
        ADD_FAILURE() << message;
        return -1;
    }
    EXPECT_EQ(wq_bt_ota_start(socket, static_cast<unsigned int>(image.size()), crc, message, 0), 0)
        << message;
    EXPECT_EQ(wq_bt_ota_start_xmit(socket, message, 0), 0) << message;
    const char* data = reinterpret_cast<const char*>(image.data());
    for (std::size_t offset = 0; offset < image.size(); offset += chunk_size) {
        const int length = static_cast<int>(std::min(chunk_size, image.size() - offset));
        EXPECT_EQ(wq_bt_ota_xmit_data(socket, data, length, static_cast<unsigned int>(offset),
                                      message, 0),
                  0)
            << message;
    }
    const int status = wq_bt_ota_done(socket, message, 0);
    char reset_message[wq_message_size] = {};
    EXPECT_EQ(status == 0 ? wq_bt_ota_reset(socket, reset_message, 0) : wq_bt_ota_disconnect(socket), 0);
    return status;
}

struct firmware_case {
    const char* name;
    update_run run;
    bool right_crc;
    int status;
    const char* message;
    std::uint32_t box_baud = 0;  // the box reads at this line rate; 0: at once
};

void PrintTo(const firmware_case& c, std::ostream* os) { *os << c.name; }

class FirmwareUpdate : public EndToEnd, public ::testing::WithParamInterface<firmware_case> {};

TEST_P(FirmwareUpdate, BoxVerifiesTheImage) {
    const firmware_case& c = GetParam();
    wqbox::config cfg;
    cfg.baud = c.box_baud;
    start_box(cfg);
    const bytes image = test_image();
    const std::uint32_t crc = c.right_crc ? test_image_crc : test_image_crc ^ 1;
    EXPECT_EQ(c.run(image, crc, message), c.status);
    EXPECT_STREQ(message, c.message);

    const wqbox::firmware_status firmware = box->state().firmware;
    EXPECT_EQ(firmware.announced_length, image.size());
    EXPECT_EQ(firmware.announced_crc, crc);
    EXPECT_EQ(firmware.received, image.size());
    EXPECT_EQ(firmware.verified, c.right_crc ? 1u : 0u);
    EXPECT_EQ(firmware.rejected, c.right_crc ? 0u : 1u);
    EXPECT_EQ(firmware.image, c.right_crc ? image : bytes{});
    if (c.run == update_over_bluetooth && c.right_crc) {
        EXPECT_TRUE(box_reaches([](const wqbox::box_state& b) { return b.count.ota_resets == 1; }));
    }
}

const firmware_case firmware_cases[] = {
    // The box takes the image at line rate: the host's writes may not run
    // ahead of the wire, or its verify block comes too early to be answered.
    {"serial", update_over_serial, true, 0, "OTA programming successfully done!", 57600},
    {"serial_wrong_crc", update_over_serial, false, 1,
     "Invalid 'OTA Done' Response. Please Check Firmware"},
    {"bluetooth", update_over_bluetooth, true, 0, "OTA programming successfully done!"},
    {"bluetooth_wrong_crc", update_over_bluetooth, false, 1,
     "Invalid BT_OTA_DONE_ACK_WORD Response."},
};

INSTANTIATE_TEST_SUITE_P(Library, FirmwareUpdate, ::testing::ValuesIn(firmware_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- usage log -------------------------------------------------------------------------

struct entry {
    char number[32], water[16], text[32], product_1[8], product_2[8], water_2[8], water_3[8],
        key[40];
};

// What a fetch of `record` must hand the host; `status` is what it returned.
// How each usage code is named and grouped is the unit tests' business;
// here the record must arrive whole and in its place.
void expect_entry(const wqbox::usage_record& record, int status, const entry& e) {
    using wqbox::usage_field;
    const auto field = [&](usage_field f) { return wqbox::usage_field_text(record, f); };
    SCOPED_TRACE("entry " + field(usage_field::entry_number));
    EXPECT_STREQ(e.number, field(usage_field::entry_number).c_str());
    EXPECT_STRNE(e.text, "");
    if (wqbox::is_empty_slot(record)) {
        EXPECT_EQ(status, 2);
        EXPECT_STREQ(e.key, "");
        return;
    }
    EXPECT_EQ(std::string(e.key, sizeof e.key), field(usage_field::key) + std::string(8, '\0'));
    if (status == 0 && std::strcmp(e.water, "0") != 0) {
        EXPECT_EQ(e.water, field(usage_field::water_value));
        EXPECT_EQ(e.water_3, field(usage_field::water_value_3));
    }
}

TEST_F(EndToEnd, SerialUsageLogDownload) {
    start_box();
    const std::vector<wqbox::usage_record> log = box->state().usage_log;
    int handle = 0;
    ASSERT_EQ(wq_ota_open_port(box_port, message, 0, &handle), 0) << message;
    unsigned int count = 0;
    EXPECT_EQ(wq_use_data_req(handle, &count, message, 0), 0) << message;
    EXPECT_EQ(count, log.size());
    std::set<int> statuses;
    for (const wqbox::usage_record& record : log) {
        entry e{};
        const int status = wq_use_data_fetch(handle, 1, 2, e.number, e.water, e.text, e.product_1,
                                             e.product_2, e.water_2, e.water_3, e.key, message, 0);
        expect_entry(record, status, e);
        statuses.insert(status);
    }
    EXPECT_EQ(statuses, (std::set<int>{0, 1, 2})) << "the log holds every kind of entry";
    EXPECT_EQ(wq_use_data_done(handle, message, 0), 0);
    EXPECT_STREQ(message, "");
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, handle), 0);
    EXPECT_TRUE(box_reaches([](const wqbox::box_state& b) { return b.usage_cursor == 0; }))
        << "the end request rewinds the download";
    EXPECT_EQ(wq_sync_time(box_port, 1, message, 0), 0) << "the port is free again: " << message;
}

TEST_F(EndToEnd, BluetoothUsageLogDownload) {
    start_box();
    const std::vector<wqbox::usage_record> log = box->state().usage_log;
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
    unsigned int count = 0;
    EXPECT_EQ(wq_bt_use_data_req(socket, &count, message, 0), 0) << message;
    EXPECT_EQ(count, log.size());
    const auto fetch = [&](int repeat, entry& e) {
        return wq_bt_use_data_fetch(socket, 0, 0, e.number, e.water, e.text, e.product_1,
                                    e.product_2, e.water_2, e.water_3, e.key, message, repeat, 0);
    };
    std::set<int> statuses;
    for (const wqbox::usage_record& record : log) {
        entry e{};
        const int status = fetch(0, e);
        expect_entry(record, status, e);
        statuses.insert(status);
    }
    EXPECT_EQ(statuses, (std::set<int>{0, 1, 2, 3}));
    entry again{};
    const int status = fetch(1, again);
    SCOPED_TRACE("repeated");
    expect_entry(log.back(), status, again);
    EXPECT_EQ(wq_bt_use_data_done(socket, message, 0), 0);  // and closes the socket
    EXPECT_TRUE(box_reaches([](const wqbox::box_state& b) { return b.usage_cursor == 0; }));
}

// ---- one-way commands, battery, flush, usage settings ----------------------------------

TEST_F(EndToEnd, ClockAndResetReachTheBox) {
    start_box();
    struct row {
        const char* what;
        std::function<int(char*)> call;
        const char* message;
        std::function<bool(const wqbox::box_state&)> reached;
    };
    const row rows[] = {
        // The serial clock takes the low 32 bits of the whole seconds.
        {"serial clock", [](char* m) { return wq_sync_time(box_port, 4294967296.0 + 1700000000.9, m, 0); },
         "earlier", [](const wqbox::box_state& b) { return b.clock == 1700000000u; }},
        {"bluetooth clock", [](char* m) { return wq_bt_sync_time(box_address, 17000000001234ull, m, 0); },
         "earlier", [](const wqbox::box_state& b) { return b.clock == 17000000001234ull; }},
        {"reset", [](char* m) { return wq_bt_reset_device(box_address, m, 1); },
         "RST_REQ erfolgreich senden.",
         [](const wqbox::box_state& b) { return b.count.device_resets == 1; }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        set_message("earlier");
        EXPECT_EQ(r.call(message), 0) << message;
        EXPECT_STREQ(message, r.message);
        EXPECT_TRUE(box_reaches(r.reached));
    }
    EXPECT_EQ(box->state().count.clock_sets, 2u);
}

// The one battery read of the suite: it takes ten seconds by protocol.
TEST_F(EndToEnd, BatteryLevelIsTheBoxByteSigned) {
    wqbox::config cfg;
    cfg.battery = 200;
    start_box(cfg);
    int level = 0;
    set_message("earlier");
    EXPECT_EQ(wq_bt_read_batt(box_address, &level, message, 0), 0) << message;
    EXPECT_EQ(level, 200 - 256);
    EXPECT_STREQ(message, "");
}

// The box is given a whole second before its reply is read: the real
// wait may run long under load, never short.
TEST_F(EndToEnd, FlushAcceptedAndRefusedWhileInUse) {
    start_box();
    set_message("earlier");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wq_bt_force_flush(box_address, message, 0), 0) << message;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_STREQ(message, "");
    box->update([](wqbox::box_state& b) { b.in_use = true; });
    EXPECT_EQ(wq_bt_force_flush(box_address, message, 1), 1);
    EXPECT_STREQ(message, "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz.");
    EXPECT_EQ(box->state().count.flushes, 1u);
    EXPECT_EQ(box->state().count.flushes_refused, 1u);
}

TEST_F(EndToEnd, UsageSettingCountAndBlock) {
    wqbox::config cfg;
    cfg.usage_setting_count = 258;
    start_box(cfg);
    unsigned int count = 0;
    EXPECT_EQ(wq_bt_get_usage_setting_cnt(box_address, &count, message, 0), 0) << message;
    EXPECT_EQ(count, 258u);

    const bytes original = box->state().usage_settings;
    bytes read(original.size() + 2, 0xEE);
    EXPECT_EQ(wq_bt_read_usage_settings(box_address, static_cast<int>(read.size()),
                                        static_cast<int>(original.size()), read.data(), message, 0),
              0);
    EXPECT_STREQ(message, "Read Usage Settings Success!");
    EXPECT_EQ(bytes(read.begin(), read.begin() + static_cast<std::ptrdiff_t>(original.size())), original);
}

// ---- injected faults -------------------------------------------------------------------

struct fault_case {
    const char* name;
    const char* fault;
    std::function<int(char* message, int language)> call;
    int language;
    int status;
    std::string message;
};

void PrintTo(const fault_case& c, std::ostream* os) { *os << c.name; }

class Fault : public EndToEnd, public ::testing::WithParamInterface<fault_case> {};

TEST_P(Fault, StatusAndMessage) {
    const fault_case& c = GetParam();
    wqbox::config cfg;
    cfg.faults = {fault_from(c.fault)};
    start_box(cfg);
    EXPECT_EQ(c.call(message, c.language), c.status);
    EXPECT_EQ(std::string(message), c.message);
}

int read_long_settings(char* message, int language) {
    read_back r;
    return wq_read_settings(box_port, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                            r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                            message, 0, language);
}

int read_standard_settings(char* message, int language) {
    read_back r;
    return wq_bt_read_settings(box_address, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                               r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                               r.address_1, r.address_2, r.address_3, message, 0, language);
}

const fault_case fault_cases[] = {
    {"serial_record_one_byte_short", "read-settings:shorten", read_long_settings, 0, 1,
     "Error Occured While Reading Settings"},
    {"serial_write_acknowledged_with_the_wrong_word", "write-settings:word:DOWNLOAD_E",
     [](char* m, int language) { return write_settings(link::serial_long, plain_mode, m, language); },
     1, 1, "Ung\xFCltige WRACK Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"},
    {"bt_restore_while_busy", "BTDEFL_REQ:busy",
     [](char* m, int language) { return wq_bt_default_settings(box_address, m, language); }, 1, 1,
     "Wiederherstellen der Werkseinstellungen abgelehnt. Grund: In Gebrauch. "},
    {"bt_link_dropped_mid_record", "BTREAD_REQ:drop:40", read_standard_settings, 0, 1,
     "Read Overflow"},
    {"bt_silent_box", "BTUSET_RRQ:silent",
     [](char* m, int language) {
         unsigned int count = 0;
         return wq_bt_get_usage_setting_cnt(box_address, &count, m, language);
     },
     0, 1, "An Error Occurred During Reading: 10060"},
    {"bt_write_request_missed_once", "BTWRTE_REQ:silent@1",
     [](char* m, int language) { return write_settings(link::bt_standard, plain_mode, m, language); },
     0, 0,
     "Write Settings Successful!"},
};

INSTANTIATE_TEST_SUITE_P(Library, Fault, ::testing::ValuesIn(fault_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
