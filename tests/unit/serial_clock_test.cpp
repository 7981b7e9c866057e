// Setting the box's clock over the serial link.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fake_fixture.h"

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

}  // namespace
