// The box's clock over both links, and the device commands over Bluetooth
// (the battery level, the stagnation flush, identify and reset), each on
// the command's own connection.
#include <gtest/gtest.h>

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
        {{"time block not sent",
          [](fake::link& box) {
              box.expect(clock_block);
              fake::fail(fake::call::write_file, 2);
          }, 1, send_failed("'Current Time'"), 10}},
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
        unsigned long long time;
    };
    const auto sent = [](const char* time_frame) {
        return outcome{time_frame, answers(frame("BTSYNC_TIM") + fake::text(time_frame)), 0,
                       earlier_message, 100, 2};
    };
    std::vector<row> rows = {
        {sent("$$0##"), 0},
        {sent("$$18446744073709551615##"), 18446744073709551615ull},
        {{"clock request not sent", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("SYNC TIME", 10054), 0}, 1},
        {{"time frame not sent",
          [](fake::link& box) {
              box.expect(frame("BTSYNC_TIM"));
              fake::fail(fake::call::send, 2, 10053);
          }, 1, bt_send_failed("TIME", 10053), 100}, 1},
    };
    for (const outcome& failure : with_connection_failures({})) rows.push_back({failure, 1});
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        return wq_bt_sync_time(test_box_address, r.time, message, language);
    });
}

TEST(BtDevice, IdentifyLeavesTheMessageAlone) {
    check_outcomes(with_connection_failures({
        {"sent", answers_tag("BT_IDENTFY"), 0, earlier_message, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10050), 1, bt_send_failed("IDENTIFY", 10050), 0},
    }), bt_test_box, [](char* message, int language) {
        return wq_bt_identify(test_box_address, message, language);
    });
}

TEST(BtDevice, ResetReportsItsSend) {
    check_outcomes(with_connection_failures({
        {"sent", answers_tag("BT_TAP_RST"), 0,
         {"Send RST_REQ Success.", "RST_REQ erfolgreich senden."}, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10054), 1, bt_send_failed("RST_REQ", 10054), 0},
    }), bt_test_box, [](char* message, int language) {
        return wq_bt_reset_device(test_box_address, message, language);
    });
}

constexpr int untouched_level = 0x7EADBEEF;

// The level is the reply's first byte, signed, read 10 s after the request.
TEST(BtBattery, LevelOutcomes) {
    const auto replies = [](const bytes& payload) {
        return answers_tag("BTREAD_BAT", frame(payload));
    };
    struct row {
        outcome expected;
        int level;
    };
    std::vector<row> rows = {
        {{"85", replies({0x55}), 0, no_message, 10000}, 85},
        {{"negative", replies({0xC8}), 0, no_message, 10000}, -56},
        {{"empty payload", replies({}), 0, no_message, 10000}, 0},
        {{"longer than the area: cut", replies(fake::repeat(7, 12)), 0, no_message, 10000}, 7},
        {{"silent", answers_tag("BTREAD_BAT"), 1, read_timeout, 10000 + 10 * 100}, untouched_level},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("READ_BATT_LEVEL", 10054), 0}, untouched_level},
    };
    for (const outcome& failure : with_connection_failures({})) {
        rows.push_back({failure, untouched_level});
    }
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
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
    }), bt_test_box, [](char* message, int language) {
        return wq_bt_force_flush(test_box_address, message, language);
    });
}

}  // namespace
