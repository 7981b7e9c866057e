// The box emulator's Bluetooth side, driven with raw bytes over its socket.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "box_fixture.h"
#include "raw_host.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t standard_size = 380;
constexpr std::size_t safe_size = 384;

std::vector<std::string> device_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string field(const std::vector<unsigned char>& bytes, std::size_t offset, std::size_t width) {
    std::string text(bytes.begin() + offset, bytes.begin() + offset + width);
    return text.substr(0, text.find('\0'));
}

void put_le32(std::vector<unsigned char>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::vector<unsigned char> le32_frame(std::uint32_t value) {
    std::vector<unsigned char> payload(4);
    put_le32(payload, 0, value);
    return framed(payload);
}

// Waits for something the box does without answering.
template <typename Predicate>
bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class BluetoothBox : public BoxTest {
protected:
    raw_host connect() { return raw_host::connect_socket(box->bt_socket()); }

    std::vector<unsigned char> exchange(raw_host& link, const std::vector<unsigned char>& request,
                                        std::size_t count) {
        link.send(request);
        return link.receive(count, 2s);
    }
    std::string ask(raw_host& link, std::string_view tag, std::size_t count) {
        return text_of(exchange(link, framed(tag), count));
    }
};

TEST_F(BluetoothBox, ListsItselfAndCleansUpOnStop) {
    wqbox::config cfg;
    cfg.bt_address = "0a:0b:0c:0d:0e:0f";
    cfg.name = "Sink 3";
    start_box(cfg);
    EXPECT_EQ(box->bt_socket(), path("0A:0B:0C:0D:0E:0F"));
    EXPECT_EQ(device_lines(path("devices")), std::vector<std::string>{"0A:0B:0C:0D:0E:0F Sink 3"});

    wqbox::config second;
    second.com_port = 2;
    second.name = "Sink 4";
    second.com_dir = dir.path();
    second.bt_dir = dir.path();
    std::string error;
    auto other = wqbox::emulator::start(second, &error);
    ASSERT_TRUE(other) << error;
    EXPECT_EQ(device_lines(path("devices")).size(), 2u);

    box->stop();
    EXPECT_EQ(device_lines(path("devices")), std::vector<std::string>{"00:11:22:33:44:AA Sink 4"});
    EXPECT_FALSE(std::ifstream(path("COM1")).good()) << "the pty link is gone";
    EXPECT_THROW(raw_host::connect_socket(path("0A:0B:0C:0D:0E:0F")), std::exception);
    other->stop();
    EXPECT_TRUE(device_lines(path("devices")).empty());
}

TEST_F(BluetoothBox, RefusesAnAddressThatIsTaken) {
    start_box();
    wqbox::config twin;
    twin.bt_dir = dir.path();
    std::string error;
    EXPECT_FALSE(wqbox::emulator::start(twin, &error));
    EXPECT_NE(error.find("another box"), std::string::npos) << error;
    EXPECT_EQ(device_lines(path("devices")).size(), 1u);
}

TEST_F(BluetoothBox, HandshakeOnEveryConnection) {
    wqbox::config cfg;
    cfg.greeting = "Hello host";
    start_box(cfg);
    for (int i = 0; i < 3; ++i) {
        auto link = connect();
        EXPECT_EQ(ask(link, "BTCONN_REQ", 28), "$$BTCONN_ACK##$$Hello host##");
    }
    EXPECT_EQ(box->state().count.bt_connections, 3u);
}

struct layout_case {
    const char* name;
    std::size_t record_size;
    std::size_t text_1_offset;
    wqbox::record_layout layout;
};

void PrintTo(const layout_case& c, std::ostream* os) { *os << c.name; }

class BluetoothSettings : public BluetoothBox, public ::testing::WithParamInterface<layout_case> {};

// A record with text_1 and `one`, in either layout.
std::vector<unsigned char> record_with_text_1(const layout_case& c, const char* text) {
    std::vector<unsigned char> record(c.record_size, 0);
    std::memcpy(record.data() + c.text_1_offset, text, std::strlen(text));
    if (c.layout == wqbox::record_layout::safe) {
        std::memcpy(record.data() + 368, "1", 1);    // one
        std::memcpy(record.data() + 304, "513", 3);  // mask 0x0201
    } else {
        put_le32(record, 360, 1);
        put_le32(record, 372, 0x0201);
    }
    return record;
}

TEST_P(BluetoothSettings, WrittenLayoutIsToldByLengthAndReadBackInIt) {
    const layout_case& c = GetParam();
    start_box();
    auto link = connect();
    EXPECT_EQ(ask(link, "BTWRTE_REQ", 14), "$$BTWRTE_ACK##");
    EXPECT_EQ(text_of(exchange(link, framed(record_with_text_1(c, "Written")), 14)), "$$BTWRTE_DNE##");
    const wqbox::box_state state = box->state();
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_1), "Written");
    EXPECT_EQ(wqbox::field_text(state.settings, wqbox::text_2), "Building A") << "bit not set, kept";
    EXPECT_EQ(state.last_written_layout, c.layout);

    const auto reply = exchange(link, framed("BTREAD_REQ"), c.record_size + 4);
    ASSERT_EQ(reply.size(), c.record_size + 4) << "read back in the layout last written";
    EXPECT_EQ(field(reply, 2 + c.text_1_offset, 32), "Written");
    EXPECT_EQ(text_of(reply).substr(c.record_size + 2), "##");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BluetoothSettings,
    ::testing::Values(layout_case{"standard", standard_size, 0, wqbox::record_layout::standard},
                      layout_case{"safe", safe_size, 64, wqbox::record_layout::safe}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BluetoothBox, ReadLayoutCanBeFixed) {
    wqbox::config cfg;
    cfg.bt_read_layout = wqbox::bt_layout::safe;
    start_box(cfg);
    auto link = connect();
    const auto reply = exchange(link, framed("BTREAD_REQ"), safe_size + 4);
    ASSERT_EQ(reply.size(), safe_size + 4);
    // In the safe layout the numbers are decimal texts.
    EXPECT_EQ(field(reply, 2 + 372, 4), "300");
    EXPECT_EQ(field(reply, 2 + 368, 4), "1");
    EXPECT_EQ(field(reply, 2 + 304, 16), "16383");
    EXPECT_EQ(field(reply, 2 + 0, 64), "Chilled and sparkling water, soap") << "text_4 leads";
}

TEST_F(BluetoothBox, SettingsWrittenOverSerialAreReadOverBluetooth) {
    start_box();
    auto line = raw_host::open_tty(path("COM1"));
    line.send(command_block(0x3F));
    ASSERT_EQ(line.receive(11, 2s).size(), 11u);
    std::vector<unsigned char> record(standard_size, 0);
    std::memcpy(record.data() + 216, "From serial", 11);  // text_5
    put_le32(record, 360, 1);
    put_le32(record, 372, 0x0080 | 0x0200);
    line.send(record);
    ASSERT_EQ(text_of(line.receive(11, 2s)), std::string("DOWNLOAD_E\0", 11));

    box->update([](wqbox::box_state& s) { s.bt_read_layout = wqbox::bt_layout::safe; });
    auto link = connect();
    const auto reply = exchange(link, framed("BTREAD_REQ"), safe_size + 4);
    ASSERT_EQ(reply.size(), safe_size + 4);
    EXPECT_EQ(field(reply, 2 + 192, 32), "From serial");
}

TEST_F(BluetoothBox, DefaultsAreRestored) {
    start_box();
    box->update([](wqbox::box_state& s) { s.settings.number = 1; });
    auto link = connect();
    EXPECT_EQ(ask(link, "BTDEFL_REQ", 14), "$$BTDEFL_ACK##");
    EXPECT_EQ(box->state().settings.number, 300u);
}

TEST_F(BluetoothBox, ChangesAreRefusedWhileInUse) {
    wqbox::config cfg;
    cfg.in_use = true;
    start_box(cfg);
    for (const char* tag : {"BTWRTE_REQ", "BTDEFL_REQ", "BTUSET_WRQ", "BT_TAP_SPL"}) {
        auto link = connect();
        EXPECT_EQ(ask(link, tag, 14), "$$BTBUSY_XXX##") << tag;
        EXPECT_TRUE(link.receive(1, 100ms).empty()) << tag;
    }
    const wqbox::box_state state = box->state();
    EXPECT_EQ(state.count.flushes, 0u);
    EXPECT_EQ(state.count.flushes_refused, 1u);
    EXPECT_EQ(state.count.defaults_restored, 0u);
    auto link = connect();
    EXPECT_EQ(ask(link, "BTREAD_BAT", 5).size(), 5u) << "reads still work";
}

TEST_F(BluetoothBox, FlushIsAcknowledgedAndCounted) {
    start_box();
    auto link = connect();
    EXPECT_EQ(ask(link, "BT_TAP_SPL", 14), "$$BT_SPL_ACK##");
    EXPECT_EQ(box->state().count.flushes, 1u);
}

TEST_F(BluetoothBox, TimeFrameSetsTheClock) {
    start_box();
    auto link = connect();
    link.send(framed("BTSYNC_TIM"));
    link.send(framed("18446744073709551615"));
    EXPECT_TRUE(eventually([&] { return box->state().clock_set; }));
    EXPECT_EQ(box->state().clock, 18446744073709551615ull);
    EXPECT_TRUE(link.receive(1, 100ms).empty()) << "the clock has no answer";
}

TEST_F(BluetoothBox, IdentifyAndResetAreCountedWithoutAnswer) {
    start_box();
    auto link = connect();
    link.send(framed("BT_IDENTFY"));
    link.send(framed("BT_TAP_RST"));
    link.send(framed("BT_OTA_RST"));
    EXPECT_TRUE(eventually([&] { return box->state().count.ota_resets == 1; }));
    const wqbox::box_state state = box->state();
    EXPECT_EQ(state.count.identifies, 1u);
    EXPECT_EQ(state.count.device_resets, 1u);
    EXPECT_TRUE(link.receive(1, 100ms).empty());
}

TEST_F(BluetoothBox, BatteryLevelIsTheFirstPayloadByte) {
    wqbox::config cfg;
    cfg.battery = 0xC8;
    start_box(cfg);
    auto link = connect();
    EXPECT_EQ(ask(link, "BTREAD_BAT", 5), "$$\xC8##");
}

TEST_F(BluetoothBox, UsageSettingsAreCountedReadAndWritten) {
    start_box();
    auto link = connect();
    EXPECT_EQ(exchange(link, framed("BTUSET_RRQ"), 8), le32_frame(8));
    const auto block = exchange(link, framed("BTUSET_RBG"), 68);
    ASSERT_EQ(block.size(), 68u);
    EXPECT_EQ(std::vector<unsigned char>(block.begin() + 2, block.end() - 2), box->state().usage_settings);

    EXPECT_EQ(ask(link, "BTUSET_WRQ", 14), "$$BTUSET_WAC##");
    EXPECT_EQ(text_of(exchange(link, framed("abcdefghij"), 14)), "$$BTUSET_WDN##");
    EXPECT_EQ(text_of(box->state().usage_settings), "abcdefghij");
    EXPECT_EQ(ask(link, "BTUSET_RBG", 14), "$$abcdefghij##");
}

TEST_F(BluetoothBox, UsageLogIsServedAsRawRecords) {
    wqbox::config cfg;
    cfg.usage_entries = 3;
    start_box(cfg);
    auto link = connect();
    EXPECT_EQ(exchange(link, framed("BTUDAT_REQ"), 8), le32_frame(3));
    const auto entry = [&](const char* tag) { return field(exchange(link, framed(tag), 128), 32, 32); };
    EXPECT_EQ(entry("BTUDAT_STR"), "1");
    EXPECT_EQ(entry("BTUDAT_STR"), "2");
    EXPECT_EQ(entry("BTUDAT_RET"), "2") << "a repeat sends the last record again";
    EXPECT_EQ(entry("BTUDAT_STR"), "3");
    EXPECT_EQ(entry("BTUDAT_STR"), "4") << "past the end: an empty slot";
    link.send(framed("BTUDAT_END"));
    EXPECT_TRUE(link.receive(1, 100ms).empty());
    exchange(link, framed("BTUDAT_REQ"), 8);
    EXPECT_EQ(entry("BTUDAT_STR"), "1");
}

struct bt_update_case {
    const char* name;
    std::uint32_t crc_delta;
    const char* final_reply;
};

void PrintTo(const bt_update_case& c, std::ostream* os) { *os << c.name; }

class BluetoothFirmware : public BluetoothBox, public ::testing::WithParamInterface<bt_update_case> {};

TEST_P(BluetoothFirmware, ImageIsCheckedAgainstItsControlValues) {
    const bt_update_case& c = GetParam();
    start_box();
    std::vector<unsigned char> image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13 + 1);
    auto link = connect();
    EXPECT_EQ(ask(link, "BT_OTA_REQ", 14), "$$BT_OTA_ACK##");
    std::vector<unsigned char> control(16, 0);
    put_le32(control, 0, static_cast<std::uint32_t>(image.size()));
    put_le32(control, 8, wqbox::crc32(image.data(), image.size()) + c.crc_delta);
    EXPECT_EQ(text_of(exchange(link, framed(control), 14)), "$$BT_OTA_CTL##");
    EXPECT_EQ(ask(link, "BT_OTA_STR", 14), "$$BT_OTA_PRO##");
    link.send(image);
    EXPECT_EQ(ask(link, "BT_OTA_DNE", 14), c.final_reply);
    const wqbox::box_state state = box->state();
    EXPECT_EQ(state.firmware.received, image.size());
    EXPECT_EQ(state.firmware.verified + state.firmware.rejected, 1u);
    link.send(framed("BT_OTA_RST"));
    EXPECT_TRUE(eventually([&] { return box->state().count.ota_resets == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Images, BluetoothFirmware,
                         ::testing::Values(bt_update_case{"matching", 0, "$$BT_OTA_CMP##"},
                                           bt_update_case{"wrong_crc", 5, "$$BT_OTA_ERR##"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BluetoothBox, ShortImageIsRejectedWhenTheLineGoesQuiet) {
    start_box();
    const std::vector<unsigned char> image(100, '#');
    auto link = connect();
    ask(link, "BT_OTA_REQ", 14);
    std::vector<unsigned char> control(16, 0);
    put_le32(control, 0, 101);
    put_le32(control, 8, wqbox::crc32(image.data(), image.size()));
    exchange(link, framed(control), 14);
    ask(link, "BT_OTA_STR", 14);
    link.send(image);
    EXPECT_EQ(ask(link, "BT_OTA_DNE", 14), "$$BT_OTA_ERR##");
    EXPECT_EQ(box->state().firmware.received, 100u);
}

TEST_F(BluetoothBox, ResetEndsABrokenOffTransferAsTheHostLeaves) {
    start_box();
    {
        auto link = connect();
        ask(link, "BT_OTA_REQ", 14);
        std::vector<unsigned char> control(16, 0);
        put_le32(control, 0, 1000);
        exchange(link, framed(control), 14);
        ask(link, "BT_OTA_STR", 14);
        link.send(std::vector<unsigned char>(300, 0x5A));
        link.send(framed("BT_OTA_RST"));
    }
    EXPECT_TRUE(eventually([&] { return box->state().count.ota_resets == 1; }));
    EXPECT_EQ(box->state().firmware.verified, 0u);
}

// Faults: the bytes that arrive for a request, and what follows them.
struct bt_fault_case {
    const char* name;
    const char* spelling;
    const char* request;
    std::string expected;
    bool hangs_up;
};

void PrintTo(const bt_fault_case& c, std::ostream* os) { *os << c.name; }

class BluetoothFault : public BluetoothBox, public ::testing::WithParamInterface<bt_fault_case> {};

TEST_P(BluetoothFault, ShapesTheAnswer) {
    const bt_fault_case& c = GetParam();
    start_box_with_fault(c.spelling);
    auto link = connect();
    link.send(framed(c.request));
    EXPECT_EQ(text_of(link.receive(c.expected.size() + 1, 700ms)), c.expected);
    EXPECT_EQ(link.hung_up(200ms), c.hangs_up);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BluetoothFault,
    ::testing::Values(
        bt_fault_case{"silent", "BTCONN_REQ:silent", "BTCONN_REQ", "", false},
        bt_fault_case{"word", "BTCONN_REQ:word:BTCONN_NAK", "BTCONN_REQ", "$$BTCONN_NAK##$$WQBOX ready##", false},
        bt_fault_case{"busy", "BTREAD_BAT:busy", "BTREAD_BAT", "$$BTBUSY_XXX##", false},
        bt_fault_case{"cut", "BTCONN_REQ:cut:14", "BTCONN_REQ", "$$BTCONN_ACK##", false},
        bt_fault_case{"drop", "BTCONN_REQ:drop:14", "BTCONN_REQ", "$$BTCONN_ACK##", true},
        bt_fault_case{"drop_at_once", "BT_IDENTFY:drop", "BT_IDENTFY", "", true},
        bt_fault_case{"shorten", "BTCONN_REQ:shorten:3", "BTCONN_REQ", "$$BTCONN_ACK##$$WQBOX re##", false},
        bt_fault_case{"extend", "BTREAD_BAT:extend:2", "BTREAD_BAT", "$$UXX##", false},
        bt_fault_case{"count_cut", "BTUDAT_REQ:cut:6", "BTUDAT_REQ", std::string("$$\x18\0\0\0", 6), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BluetoothBox, ShortenedRecordFrameCarriesLessPayload) {
    start_box_with_fault("BTREAD_REQ:shorten:180");
    auto link = connect();
    const auto reply = exchange(link, framed("BTREAD_REQ"), 205);
    ASSERT_EQ(reply.size(), 204u) << "a 200-byte payload in its frame";
    EXPECT_EQ(text_of(reply).substr(202), "##");
}

TEST_F(BluetoothBox, SilentOnceThenAnswered) {
    start_box_with_fault("BTWRTE_REQ:silent@1");
    auto link = connect();
    link.send(framed("BTWRTE_REQ"));
    EXPECT_TRUE(link.receive(1, 300ms).empty());
    EXPECT_EQ(ask(link, "BTWRTE_REQ", 14), "$$BTWRTE_ACK##");
}

TEST_F(BluetoothBox, RawRecordSplitArrivesInPieces) {
    start_box_with_fault("BTUDAT_STR:split:64/500");
    auto link = connect();
    link.send(framed("BTUDAT_STR"));
    EXPECT_EQ(link.receive(64, 2s).size(), 64u);
    EXPECT_TRUE(link.receive(1, 200ms).empty());
    EXPECT_EQ(link.receive(64, 2s).size(), 64u);
}

// A paced Bluetooth link takes the answer's line time but hands it over in
// one piece, as a radio link does; the host takes a usage record with one
// receive call.
TEST_F(BluetoothBox, PacedLinkDeliversAnAnswerWhole) {
    wqbox::config cfg;
    cfg.baud = 57600;
    start_box(cfg);
    auto link = connect();
    const auto start = std::chrono::steady_clock::now();
    link.send(framed("BTUDAT_STR"));
    EXPECT_EQ(link.receive(1, 1s).size(), 1u);
    // 128 bytes at 5760 bytes a second: 22 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(link.receive(127, 0ms).size(), 127u) << "the rest came with the first byte";
}

}  // namespace
