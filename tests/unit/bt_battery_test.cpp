// The battery level and the stagnation flush over Bluetooth.
#include <gtest/gtest.h>

#include <vector>

#include "bt_fake_box.h"

namespace {

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
        {{"a '#' ends the payload", replies({0x23}), 0, no_message, 10000}, 0},
        {{"longer than the area: cut", replies(fake::repeat(7, 12)), 0, no_message, 10000}, 7},
        {{"silent", answers_tag("BTREAD_BAT"), 1, read_timeout, 10000 + 10 * 100}, untouched_level},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("READ_BATT_LEVEL", 10054), 0}, untouched_level},
    };
    for (const outcome& failure : with_connection_failures({})) {
        rows.push_back({failure, untouched_level});
    }
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        exact_value<int> level(untouched_level);
        const int status = wq_bt_read_batt(test_box_address, level.get(), message, language);
        EXPECT_EQ(level.value(), r.level);
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
