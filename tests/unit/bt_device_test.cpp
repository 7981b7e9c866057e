// Clock sync, identify and reset over Bluetooth: requests the box never answers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "bt_command_checks.h"
#include "wq.h"

namespace {

const std::string untouched(wq_message_size, 'M');

int sync_time(char* message, int language) {
    return wq_bt_sync_time(test_box_address, 1234, message, language);
}
int identify(char* message, int language) {
    return wq_bt_identify(test_box_address, message, language);
}
int reset_device(char* message, int language) {
    return wq_bt_reset_device(test_box_address, message, language);
}

using BtDeviceTest = FakePlatformTest;

TEST_F(BtDeviceTest, SyncTimeSendsTheDecimalTimeFrame100MsAfterTheRequest) {
    struct row {
        unsigned long long time;
        std::string frame;
    };
    const row rows[] = {
        {0, "$$0##"},
        {10, "$$10##"},
        {1234, "$$1234##"},
        {18446744073709551615ull, "$$18446744073709551615##"},
    };
    for (const row& r : rows) {
        in_each_language(r.frame, [&](int language) {
            fake::link& box = fake::bt_box(test_box_address);
            exact_buffer message(wq_message_size, 'M');
            EXPECT_EQ(wq_bt_sync_time(test_box_address, r.time, message.get(), language), 0);
            ASSERT_EQ(box.writes().size(), 2u);
            EXPECT_EQ(box.writes()[0], fake::text("$$BTSYNC_TIM##"));
            EXPECT_EQ(box.writes()[1], fake::text(r.frame)) << "one send, no terminator";
            EXPECT_EQ(box.write_times()[1] - box.write_times()[0], 100);
            EXPECT_EQ(message.str(), untouched);
        });
    }
}

TEST_F(BtDeviceTest, IdentifyAndResetSendOneFrame) {
    struct row {
        const char* tag_frame;
        int (*run)(char*, int);
        std::string english;  // what a successful send leaves
        std::string german;
    };
    const row rows[] = {
        {"$$BT_IDENTFY##", identify, untouched, untouched},
        {"$$BT_TAP_RST##", reset_device, "Send RST_REQ Success.", "RST_REQ erfolgreich senden."},
    };
    for (const row& r : rows) {
        in_each_language(r.tag_frame, [&](int language) {
            fake::link& box = fake::bt_box(test_box_address);
            exact_buffer message(wq_message_size, 'M');
            EXPECT_EQ(r.run(message.get(), language), 0);
            ASSERT_EQ(box.writes().size(), 1u);
            EXPECT_EQ(box.writes()[0], fake::text(r.tag_frame));
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::now_ms(), 0) << "no reply is awaited";
        });
    }
}

TEST_F(BtDeviceTest, SendErrorsCarryTheCodeWithoutSeparator) {
    struct row {
        const char* what;
        int (*run)(char*, int);
        int failing_send;
        int error;
        const char* english;
        const char* german;
    };
    const row rows[] = {
        {"clock request", sync_time, 1, 10054, "Send SYNC TIME Failed.10054",
         "Senden SYNC TIME fehlgeschlagen.10054"},
        {"time frame", sync_time, 2, 10053, "Send TIME Failed.10053",
         "Senden TIME fehlgeschlagen.10053"},
        {"identify", identify, 1, 10050, "Send IDENTIFY Failed.10050",
         "Senden IDENTIFY fehlgeschlagen.10050"},
        {"reset", reset_device, 1, 10054, "Send RST_REQ Failed.10054",
         "Senden RST_REQ fehlgeschlagen.10054"},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            fake::bt_box(test_box_address);
            fake::fail(fake::call::send, r.failing_send, r.error);
            exact_buffer message(wq_message_size, 'M');
            EXPECT_EQ(r.run(message.get(), language), 1);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::calls(fake::call::send), r.failing_send) << "nothing sent after it";
        });
    }
}

TEST_F(BtDeviceTest, ConnectionFailures) {
    expect_connection_failures({"sync time", sync_time});
    expect_connection_failures({"identify", identify});
    expect_connection_failures({"reset", reset_device});
}

}  // namespace
