// The serial link on the real POSIX backend, the test playing the box on the
// master side of a pseudo-terminal linked as $WQ_COM_DIR/COMn. The command
// round trips run against the box emulator (end_to_end_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

class SerialIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    pty_peer box{dir.path(), "COM1"};
};

TEST_F(SerialIntegration, AHeldPortIsRefused) {
    const plat_handle first = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(first, plat_invalid_handle);
    EXPECT_EQ(wq_open_serial_port("\\\\.\\COM1", 57600), plat_invalid_handle);
    plat_close_handle(first);
    const plat_handle again = wq_open_serial_port("COM1", 57600);
    EXPECT_NE(again, plat_invalid_handle) << "closing must release the port";
    plat_close_handle(again);
}

// Every byte passes untranslated both ways, and a read one byte short ends
// after the 200 ms read time-out.
TEST_F(SerialIntegration, TheLineIsRawAndAShortReadEndsAfterTheTimeout) {
    const plat_handle port = wq_open_serial_port("COM1", 57600);
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

}  // namespace
