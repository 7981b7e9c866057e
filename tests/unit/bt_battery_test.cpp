// The battery level and the stagnation flush over Bluetooth.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "bt_command_checks.h"
#include "wq.h"

namespace {

using fake::bytes;

constexpr const char* read_timeout = "An Error Occurred During Reading: 10060";
constexpr int untouched_level = 0x7EADBEEF;

using BtBatteryTest = FakePlatformTest;

TEST_F(BtBatteryTest, BatteryOutcomes) {
    struct row {
        const char* what;
        std::optional<bytes> reply;  // the box's bytes; nullopt: none
        bool hangs_up;               // the box drops the link after the request
        int send_error;
        int status;
        int level;
        const char* english;
        const char* german;
        std::int64_t virtual_ms;  // from the request's send
    };
    const row rows[] = {
        {"85", frame(bytes{0x55}), false, 0, 0, 85, "", "", 10000},
        {"negative", frame(bytes{0xC8}), false, 0, 0, -56, "", "", 10000},
        {"lowest", frame(bytes{0x80}), false, 0, 0, -128, "", "", 10000},
        {"minus one", frame(bytes{0xFF}), false, 0, 0, -1, "", "", 10000},
        {"empty payload", frame(""), false, 0, 0, 0, "", "", 10000},
        {"a '#' ends the payload", frame(bytes{0x23}), false, 0, 0, 0, "", "", 10000},
        {"a '$' is dropped", frame(bytes{0x24}), false, 0, 0, 0, "", "", 10000},
        {"longer than the area", frame(fake::repeat(0x07, 12)), false, 0, 0, 7, "", "", 10000},
        {"silent", std::nullopt, false, 0, 1, untouched_level, read_timeout, read_timeout, 11000},
        {"link dropped", std::nullopt, true, 0, 1, untouched_level, "Read Overflow", "Read Overflow",
         10000},
        {"send fails", std::nullopt, false, 10054, 1, untouched_level,
         "Send READ_BATT_LEVEL Failed.10054", "Senden READ_BATT_LEVEL fehlgeschlagen.10054", 0},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(fake::text("$$BTREAD_BAT##"));
            if (r.reply) box.reply(*r.reply);
            if (r.hangs_up) box.hang_up();
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            exact_buffer message(wq_message_size, 'M');
            exact_value<int> level(untouched_level);
            EXPECT_EQ(wq_bt_read_batt(test_box_address, level.get(), message.get(), language),
                      r.status);
            EXPECT_EQ(level.value(), r.level);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            const std::int64_t sent_at = box.write_times().empty() ? 0 : box.write_times()[0];
            EXPECT_EQ(fake::now_ms() - sent_at, r.virtual_ms);
        });
    }
}

TEST_F(BtBatteryTest, FlushOutcomes) {
    struct row {
        const char* what;
        std::optional<bytes> reply;
        int send_error;
        int status;
        std::string english;
        std::string german;
        std::int64_t virtual_ms;
    };
    const std::string invalid_en = "Invalid USER SPOOL REQ response.";
    const std::string invalid_de = "Ung\xFCltige USER SPOOL REQ-Antwort.";
    const row rows[] = {
        {"accepted", frame("BT_SPL_ACK"), 0, 0, "", "", 1000},
        {"busy", frame("BTBUSY_XXX"), 0, 1, "User-initiated stagnation flush denied. Reason: in use.",
         "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz.", 1000},
        {"tag plus a character", frame("BT_SPL_ACKX"), 0, 1, invalid_en, invalid_de, 1000},
        {"tag cut short", frame("BT_SPL_AC"), 0, 1, invalid_en, invalid_de, 1000},
        {"other tag", frame("BTUSET_WDN"), 0, 1, invalid_en, invalid_de, 1000},
        {"silent", std::nullopt, 0, 1, read_timeout, read_timeout, 2000},
        {"send fails", std::nullopt, 10053, 1, "Send USER SPOOL REQ Failed.10053",
         "Senden USER SPOOL REQ fehlgeschlagen.10053", 0},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(fake::text("$$BT_TAP_SPL##"));
            if (r.reply) box.reply(*r.reply);
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            exact_buffer message(wq_message_size, 'M');
            EXPECT_EQ(wq_bt_force_flush(test_box_address, message.get(), language), r.status);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::now_ms(), r.virtual_ms);
            EXPECT_EQ(box.finished(), r.send_error == 0) << "the request went out";
        });
    }
}

TEST_F(BtBatteryTest, ConnectionFailures) {
    expect_connection_failures({"battery", [](char* m, int l) {
                                    int level = untouched_level;
                                    const int status = wq_bt_read_batt(test_box_address, &level, m, l);
                                    EXPECT_EQ(level, untouched_level);
                                    return status;
                                }});
    expect_connection_failures(
        {"flush", [](char* m, int l) { return wq_bt_force_flush(test_box_address, m, l); }});
}

}  // namespace
