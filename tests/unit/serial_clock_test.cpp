// Setting the box's clock over the serial link.
#include <gtest/gtest.h>

#include <cmath>

#include "serial_outcomes.h"

namespace {

using fake::bytes;

class SerialClockTest : public FakePlatformTest {};

const bytes clock_block = fake::repeat(0x7E, 32);

TEST_F(SerialClockTest, TheTimeBlockCarriesTheLow32BitsOfTheWholeTime) {
    const std::pair<double, bytes> rows[] = {
        {1700000000.9, {0x00, 0xF1, 0x53, 0x65}}, {0.5, {0, 0, 0, 0}},
        {4294967296.0, {0, 0, 0, 0}},             {4294967296.0 * 9 + 1, {1, 0, 0, 0}},
        {-1.9, {0xFF, 0xFF, 0xFF, 0xFF}},         {NAN, {0, 0, 0, 0}},
    };
    for (const auto& [time, first_four] : rows) {
        SCOPED_TRACE(time);
        fake::reset();
        fake::link& box = fake::serial_port("COM1").expect(clock_block);
        box.expect(first_four + fake::repeat(0x7E, 28));
        char message[128] = "left by the host";
        EXPECT_EQ(wq_sync_time(1, time, message, 1), 0);
        EXPECT_STREQ(message, "left by the host");
        ASSERT_EQ(box.write_times().size(), 2u);
        EXPECT_EQ(box.write_times()[1] - box.write_times()[0], 10);
        EXPECT_EQ(fake::calls(fake::call::read_file), 0);
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(SerialClockTest, Failures) {
    check_outcomes({
        {"port not opened", {}, 1, port_not_opened, 0},
        {"command block not sent", [](fake::link&) { fake::short_write(fake::call::write_file, 31); }, 1,
         {"Send 'Time Sync' Failed. Please Check Connections",
          "Senden 'Time Sync' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"time block not sent", [](fake::link&) { fake::fail(fake::call::write_file, 2); }, 1,
         {"Send 'Current Time' Failed. Please Check Connections",
          "Senden 'Current Time' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 10},
    }, port_after::closed, [](char* message, int language) {
        return wq_sync_time(1, 1.0, message, language);
    });
}

}  // namespace
