// Clock sync, identify and reset over Bluetooth: requests the box never
// answers, each on the command's own connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

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
        {sent("$$1234##"), 1234},
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

}  // namespace
