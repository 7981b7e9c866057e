// The box's clock over both links, and the Bluetooth commands that each
// open their own connection: the battery level, the stagnation flush,
// identify, reset, and the usage settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

const bytes clock_block = fake::repeat(0x7E, 32);

// The time block is the clock block with the low 32 bits of the whole time
// in its first four bytes, written 10 ms after it; success writes no message.
TEST(SerialClock, Outcomes) {
    struct row {
        outcome expected;
        double time = 1.0;
    };
    const auto sent = [](const bytes& first_four) {
        return outcome{"sent", answers(clock_block + first_four + fake::repeat(0x7E, 28)), 0,
                       earlier_message, 10, 2};
    };
    const std::vector<row> rows = {
        {sent({0x00, 0xF1, 0x53, 0x65}), 1700000000.9},
        {sent({1, 0, 0, 0}), 4294967296.0 * 9 + 1},
        {sent({0xFF, 0xFF, 0xFF, 0xFF}), -1.9},
        {sent({0, 0, 0, 0}), NAN},
        {{"port not opened", {}, 1, port_not_opened, 0}},
        {{"command block not sent",
          [](fake::link&) { fake::short_write(fake::call::write_file, 31); }, 1,
          send_failed("'Time Sync'"), 0}},
        {{"time block not sent", next_write_fails(clock_block), 1, send_failed("'Current Time'"), 10}},
    };
    check_rows(rows, com1, [](const row& r, char* message, int language) {
        return wq_sync_time(1, r.time, message, language);
    });
}

// The time frame follows the clock request 100 ms later: the decimal
// digits in one send, no terminator.
TEST(BtDevice, SyncTimeSendsTheDecimalTimeFrame) {
    struct row {
        outcome expected;
        unsigned long long time = 1;
    };
    const auto sent = [](const char* time_frame) {
        return outcome{time_frame, answers(frame("BTSYNC_TIM") + fake::text(time_frame)), 0,
                       earlier_message, 100, 2};
    };
    const std::vector<row> rows = {
        {sent("$$0##"), 0},
        {sent("$$18446744073709551615##"), 18446744073709551615ull},
        {{"clock request not sent", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("SYNC TIME", 10054), 0}},
        {{"time frame not sent",
          [](fake::link& box) {
              box.expect(frame("BTSYNC_TIM"));
              fake::fail(fake::call::send, 2, 10053);
          }, 1, bt_send_failed("TIME", 10053), 100}},
    };
    check_rows(with_connection_failures(rows), bt_test_box, [](const row& r, char* message, int language) {
        return wq_bt_sync_time(test_box_address, r.time, message, language);
    });
}

// Identify leaves the message alone; reset reports its send.
TEST(BtDevice, IdentifyAndResetSendTheirRequestOnly) {
    check_outcomes(with_connection_failures({
        {"sent", answers_tag("BT_IDENTFY"), 0, earlier_message, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10050), 1, bt_send_failed("IDENTIFY", 10050), 0},
    }), bt_test_box, on_test_box(wq_bt_identify));
    check_outcomes(with_connection_failures({
        {"sent", answers_tag("BT_TAP_RST"), 0,
         {"Send RST_REQ Success.", "RST_REQ erfolgreich senden."}, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10054), 1, bt_send_failed("RST_REQ", 10054), 0},
    }), bt_test_box, on_test_box(wq_bt_reset_device));
}

constexpr int untouched_level = 0x7EADBEEF;

// The level is the reply's first byte, signed, read 10 s after the request.
TEST(BtBattery, LevelOutcomes) {
    const auto replies = [](const bytes& payload) {
        return answers_tag("BTREAD_BAT", frame(payload));
    };
    struct row {
        outcome expected;
        int level = untouched_level;
    };
    const std::vector<row> rows = {
        {{"longer than the area: cut", replies(fake::repeat(0x55, 12)), 0, no_message, 10000}, 85},
        {{"negative", replies({0xC8}), 0, no_message, 10000}, -56},
        {{"empty payload", replies({}), 0, no_message, 10000}, 0},
        {{"silent", answers_tag("BTREAD_BAT"), 1, read_timeout, 10000 + 10 * 100}},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("READ_BATT_LEVEL", 10054), 0}},
    };
    check_rows(with_connection_failures(rows), bt_test_box, [](const row& r, char* message, int language) {
        const auto level = std::make_unique<int>(untouched_level);
        const int status = wq_bt_read_batt(test_box_address, level.get(), message, language);
        EXPECT_EQ(*level, r.level);
        return status;
    });
}

TEST(BtBattery, FlushOutcomes) {
    const auto replies = [](const char* tag) { return answers_tag("BT_TAP_SPL", frame(tag)); };
    check_outcomes(with_connection_failures({
        {"accepted", replies("BT_SPL_ACK"), 0, no_message, 1000},
        {"busy", replies("BTBUSY_XXX"), 1,
         {"User-initiated stagnation flush denied. Reason: in use.",
          "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz."}, 1000},
        {"tag plus a character", replies("BT_SPL_ACKX"), 1,
         {"Invalid USER SPOOL REQ response.", "Ung\xFCltige USER SPOOL REQ-Antwort."}, 1000},
        {"silent", answers_tag("BT_TAP_SPL"), 1, read_timeout, 1000 + 10 * 100},
        {"send fails", failing(fake::call::send, 1, 10053), 1,
         bt_send_failed("USER SPOOL REQ", 10053), 0},
    }), bt_test_box, on_test_box(wq_bt_force_flush));
}

// ---- usage settings -----------------------------------------------------------

constexpr unsigned int untouched_count = 0xDEADBEEF;

// The count is the first four payload bytes, least significant first, in a
// zeroed 16-byte area: a shorter payload reads as padded with zeros.
TEST(BtUsageSettings, CountOutcomes) {
    const auto replies = [](const bytes& payload) {
        return answers_tag("BTUSET_RRQ", frame(payload));
    };
    struct row {
        outcome expected;
        unsigned int count = untouched_count;
    };
    const std::vector<row> rows = {
        {{"four bytes", replies({0x78, 0x56, 0x34, 0x12}), 0, no_message, 10}, 0x12345678u},
        {{"empty payload", replies({}), 0, no_message, 10}, 0},
        {{"longer than the area", replies(fake::repeat(0xFF, 40)), 0, no_message, 10}, 0xFFFFFFFF},
        {{"silent", answers_tag("BTUSET_RRQ"), 1, read_timeout, 10 + 10 * 100}},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("READ USAGE SETTING REQ", 10054), 0}},
    };
    check_rows(with_connection_failures(rows), bt_test_box, [](const row& r, char* message, int language) {
        const auto count = std::make_unique<unsigned int>(untouched_count);
        const int status =
            wq_bt_get_usage_setting_cnt(test_box_address, count.get(), message, language);
        EXPECT_EQ(*count, r.count);
        return status;
    });
}

// The work buffer of a block's transfer: buffer_size bytes, once the
// socket layer started. Sizes it cannot safely serve are refused before any
// socket is opened, like a buffer the heap cannot give; nothing is allocated.
const expected_message refused = same("Mem-Alloc Fail.");
const box_script nothing = [](fake::link&) {};
void expect_work_buffers(std::size_t count, int buffer_size) {
    const std::size_t asked = fake::seen().startups ? count : 0;
    EXPECT_EQ(fake::seen().heap_requests,
              std::vector<std::size_t>(asked, static_cast<std::size_t>(buffer_size)));
}

// The host's buffer is zeroed over buffer_size bytes and receives the first
// data_size bytes of the block.
TEST(BtUsageSettings, ReadOutcomes) {
    const box_script block = answers_tag("BTUSET_RBG", frame("ABCDEFGHIJ"));
    const expected_message read = {"Read Usage Settings Success!",
                                   "Nutzungseinstellungen erfolgreich gelesen!"};
    struct row {
        outcome expected;
        int buffer_size = 8;
        int data_size = 4;
        bytes settings = fake::repeat('S', 8);  // all buffer_size bytes afterwards: untouched
        std::size_t work_buffers = 1;
    };
    const std::vector<row> rows = {
        {{"block", block, 0, read, 100}, 16, 8, fake::text("ABCDEFGH") + fake::repeat(0, 8)},
        {{"payload cut to the buffer", block, 0, read, 100}, 8, 8,
         fake::text("ABCDEF") + bytes{0, 0}},
        {{"silent", answers_tag("BTUSET_RBG"), 1, read_timeout, 100 + 10 * 100}, 8, 4,
         fake::repeat(0, 8)},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          same("Send BT_USESETT_RBEGIN_WORD Failed: 10054"), 0}, 8, 4, fake::repeat(0, 8)},
        {{"more data than buffer", nothing, 1, refused, 0, 0}, 8, 9, fake::repeat('S', 8), 0},
        {{"negative buffer size", nothing, 1, refused, 0, 0}, -1, 0, {}, 0},
        {{"heap exhausted", failing(fake::call::heap_alloc), 1, refused, 0, 0}},
    };
    check_rows(with_connection_failures(rows), bt_test_box, [](const row& r, char* message, int language) {
        exact_buffer settings(static_cast<std::size_t>(std::max(r.buffer_size, 0)), 'S');
        const int status = wq_bt_read_usage_settings(test_box_address, r.buffer_size, r.data_size,
                                                     settings.get(), message, language);
        EXPECT_EQ(settings.all(), std::string(r.settings.begin(), r.settings.end()));
        expect_work_buffers(r.work_buffers, r.buffer_size);
        return status;
    });
}

// Leave to write first, then the block as a frame of its own.
TEST(BtUsageSettings, WriteOutcomes) {
    const bytes block = fake::text("a$#") + bytes{0x00, 0xFF};
    const auto leave = [&](const bytes& reply, const bytes& done = {}) {
        return [=](fake::link& box) {
            box.expect(frame("BTUSET_WRQ")).reply(reply).expect(frame(block)).reply(done);
        };
    };
    const auto answered = [](const bytes& reply) { return answers_tag("BTUSET_WRQ", reply); };
    const expected_message invalid_request = same("Invalid WRITE USAGE SETTING REQ response.");
    const expected_message invalid_done = same("Invalid WRITE USAGE SETTING DONE response.");
    struct row {
        outcome expected;
        int data_size = 5;  // the block's
        int buffer_size = 9;
        std::size_t work_buffers = 1;
    };
    const std::vector<row> rows = {
        {{"written", leave(frame("BTUSET_WAC"), frame("BTUSET_WDN")), 0, no_message, 20, 2}},
        {{"box busy", answered(frame("BTBUSY_XXX")), 1,
          {"Write setting denied. Reason: in-use.",
           "Schreibeinstellung verweigert. Grund: In Gebrauch."}, 10, 1}},
        {{"leave plus a character", answered(frame("BTUSET_WACX")), 1, invalid_request, 10, 1}},
        {{"no leave", answered({}), 1, read_timeout, 10 + 10 * 100, 1}},
        {{"request not sent", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("WRITE USAGE SETTING REQ", 10054), 0}},
        {{"block not sent",
          [&](fake::link& box) {
              answered(frame("BTUSET_WAC"))(box);
              fake::fail(fake::call::send, 2, 10054);
          }, 1, bt_send_failed("USAGE SETTINGS", 10054), 10}},
        {{"block not confirmed", leave(frame("BTUSET_WAC")), 1, read_timeout, 20 + 10 * 100}},
        {{"busy after the block", leave(frame("BTUSET_WAC"), frame("BTBUSY_XXX")), 1,
          invalid_done, 20}},
        {{"no room for the markers", nothing, 1, refused, 0, 0}, 5, 8, 0},
        {{"negative data size", nothing, 1, refused, 0, 0}, -2, 8, 0},
    };
    check_rows(with_connection_failures(rows), bt_test_box, [&](const row& r, char* message, int language) {
        exact_buffer settings(block.size());
        std::copy(block.begin(), block.end(), settings.get());
        const int status = wq_bt_write_usage_settings(test_box_address, r.data_size,
                                                      r.buffer_size, settings.get(), message,
                                                      language);
        expect_work_buffers(r.work_buffers, r.buffer_size);
        return status;
    });
}

}  // namespace
