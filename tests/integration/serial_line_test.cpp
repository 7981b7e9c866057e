// The serial line on the real POSIX backend, the test playing the box on the
// master side of a pseudo-terminal linked as $WQ_COM_DIR/COMn: what the box
// sends arrives raw, a read ends at its time-out, and a port starts empty.
// The way out (raw, within the write time-out) is tests/real_stacks/serial.sh's,
// through the kernel's 8250 and ftdi_sio drivers: a random 64 KiB image the
// box verifies, and a write to a line that takes nothing.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/posix_serial.h"
#include "pty_peer.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr std::uint32_t baud = 57600;

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

// Every byte the box sends arrives untranslated on a line the driver left
// cooked, as a UART's is, and a read one byte short ends after the 200 ms
// read time-out. An answer to a request the host gave up on, left half
// read, is not handed to the next open as a new reply.
TEST(SerialLine, WhatComesInIsRawAndANewOpenStartsEmpty) {
    temp_dir dir;
    scoped_env com_dir("WQ_COM_DIR", dir.path());
    pty_peer box(dir.path(), "COM1");
    const int line = ::open((dir.path() + "/COM1").c_str(), O_RDWR | O_NOCTTY);
    termios cooked{};
    ASSERT_EQ(::tcgetattr(line, &cooked), 0);
    cooked.c_iflag |= ICRNL | IGNCR | INLCR | ISTRIP | IXON;
    cooked.c_lflag |= ICANON | ISIG | IEXTEN;
    ASSERT_EQ(::tcsetattr(line, TCSANOW, &cooked), 0);
    ::close(line);
    plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    box.write(all);
    std::string got(257, '\0');
    const auto start = steady::now();
    EXPECT_EQ(wq_read_port(port, got.data(), 257), 256);
    const auto took = steady::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(got.substr(0, 256), all) << "CR, LF, XON, XOFF and NUL arrive as sent";

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
