// The serial line on the real POSIX backend, the test playing the box on the
// master side of a pseudo-terminal linked as $WQ_COM_DIR/COMn: the port is
// raw, a write lasts until its bytes are on the line, a write too long for
// the write time-out comes back short, time-outs mean what they mean on
// Windows, and a port starts empty.
// The commands run against the box emulator (end_to_end_test.cpp, wqctl_test.cpp);
// a held port, refused to a second opener, through the kernel's serial
// drivers (tests/real_stacks/serial.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix_serial.h"
#include "pty_peer.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr std::uint32_t baud = 57600;

class SerialLine : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    pty_peer box{dir.path(), "COM1"};
};

// Every byte passes untranslated both ways, and a read one byte short ends
// after the 200 ms read time-out.
TEST_F(SerialLine, TheLineIsRawAndAShortReadEndsAfterTheTimeout) {
    const plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    box.write(all);
    bytes got(257);
    const auto start = steady::now();
    EXPECT_EQ(wq_read_port(port, got.data(), 257), 256);
    const auto took = steady::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1000ms);
    got.resize(256);
    EXPECT_EQ(got, all) << "CR, LF, XON, XOFF and NUL arrive as sent";
    EXPECT_EQ(wq_write_port(port, all.data(), 256), 0);
    EXPECT_EQ(box.read(256, 2s), all);
    plat_close_handle(port);
}

// 1000 bytes take 174 ms at 57600 baud; 2000 would take 347 ms, so only the
// 1152 bytes that fit in 200 ms go out and the write reports failure.
TEST_F(SerialLine, AWriteLastsItsLineTimeAndOneTooLongComesBackShort) {
    const plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    const bytes data(2000, 0x55);
    auto start = steady::now();
    EXPECT_EQ(wq_write_port(port, data.data(), 1000), 0);
    EXPECT_GE(steady::now() - start, 173ms);
    EXPECT_EQ(box.read(1000, 2s).size(), 1000u);

    start = steady::now();
    EXPECT_EQ(wq_write_port(port, data.data(), 2000), -1);
    EXPECT_GE(steady::now() - start, 199ms);
    EXPECT_EQ(box.read(2000, 500ms).size(), 1152u) << "only what fits in 200 ms is sent";
    plat_close_handle(port);
}

// As on Windows: with every read time-out 0 a read waits until all its
// bytes came; a read interval time-out is refused, not ignored.
TEST_F(SerialLine, ZeroReadTimeOutsWaitForTheWholeCount) {
    const plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    ASSERT_TRUE(plat_set_comm_timeouts(port, {0, 0, 0, 0, 200}));
    EXPECT_FALSE(plat_set_comm_timeouts(port, {10, 0, 200, 0, 200}));
    box.write(bytes{1});
    std::thread late([&] {
        std::this_thread::sleep_for(250ms);
        box.write(bytes{2});
    });
    bytes got(2);
    EXPECT_EQ(wq_read_port(port, got.data(), 2), 2);
    late.join();
    EXPECT_EQ(got, (bytes{1, 2}));
    plat_close_handle(port);
}

// A driver may count more than a write gave it (cdc-acm counts each busy
// USB transfer whole): the count is taken as at most the write's own bytes,
// and asked again every millisecond rather than after its line time.
TEST(DriverQueue, CountsAboveTheWritesBytesAreClamped) {
    struct row {
        std::vector<int> counts;  // reported in turn, the last one from then on
        std::uint32_t undelivered;
    };
    const row rows[] = {{{1280, 1280, 0}, 0}, {{1280}, 32}, {{20, 7}, 7}, {{-1}, 0}};
    for (const row& r : rows) {
        std::size_t asked = 0;
        const auto start = steady::now();
        const std::uint32_t left = posix::undelivered_bytes(32, start + 200ms, [&] {
            return r.counts[std::min(asked++, r.counts.size() - 1)];
        });
        const auto took = steady::now() - start;
        EXPECT_EQ(left, r.undelivered) << r.counts[0];
        EXPECT_TRUE(left == 0 ? took < 100ms : took >= 200ms) << r.counts[0] << ": the deadline is 200 ms";
    }
}

// A box that answered a request the host gave up on leaves its answer half
// read; the next open must not hand the stale rest over as a new reply.
TEST_F(SerialLine, OpeningAPortDropsAnswersLeftFromEarlierCalls) {
    plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    box.write(std::string("OTA_REQ_ACKN") + '\0');
    unsigned char half[6] = {};
    ASSERT_EQ(wq_read_port(port, half, sizeof half), 6);
    plat_close_handle(port);

    port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    unsigned char reply[13] = {};
    EXPECT_EQ(wq_read_port(port, reply, sizeof reply), 0) << "stale bytes read as a reply";
    box.write(std::string("OTA_DNL_DONE") + '\0');
    EXPECT_EQ(wq_read_port(port, reply, sizeof reply), 13);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 12), "OTA_DNL_DONE");
    plat_close_handle(port);
}

}  // namespace
