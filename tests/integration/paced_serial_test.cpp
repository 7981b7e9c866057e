// The serial line at its real pace: a write lasts until its bytes are on the
// line, a write too long for the write time-out comes back short, and a port
// starts empty. (A firmware update to a box paced at 57600 baud is an
// end-to-end row.)
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "box_fixture.h"
#include "serial/serial_port.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr std::uint32_t baud = 57600;

class PacedSerial : public BoxTest {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
};

// 1000 bytes take 174 ms at 57600 baud; 2000 would take 347 ms, so only the
// 1152 bytes that fit in 200 ms go out and the write reports failure.
TEST_F(PacedSerial, AWriteLastsItsLineTimeAndOneTooLongComesBackShort) {
    pty_peer peer(dir.path(), "COM1");
    const plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    const bytes data(2000, 0x55);
    auto start = steady::now();
    EXPECT_EQ(wq_write_port(port, data.data(), 1000), 0);
    EXPECT_GE(steady::now() - start, 173ms);
    EXPECT_EQ(peer.read(1000, 2s).size(), 1000u);

    start = steady::now();
    EXPECT_EQ(wq_write_port(port, data.data(), 2000), -1);
    EXPECT_GE(steady::now() - start, 199ms);
    EXPECT_EQ(peer.read(2000, 500ms).size(), 1152u) << "only what fits in 200 ms is sent";
    plat_close_handle(port);
}

// A box that answered a request the host gave up on leaves its answer half
// read; the next open must not hand the stale rest over as a new reply.
TEST_F(PacedSerial, OpeningAPortDropsAnswersLeftFromEarlierCalls) {
    pty_peer peer(dir.path(), "COM1");
    plat_handle port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    peer.write(std::string("OTA_REQ_ACKN") + '\0');
    unsigned char half[6] = {};
    ASSERT_EQ(wq_read_port(port, half, sizeof half), 6);
    plat_close_handle(port);

    port = wq_open_serial_port("COM1", baud);
    ASSERT_NE(port, plat_invalid_handle);
    unsigned char reply[13] = {};
    EXPECT_EQ(wq_read_port(port, reply, sizeof reply), 0) << "stale bytes read as a reply";
    peer.write(std::string("OTA_DNL_DONE") + '\0');
    EXPECT_EQ(wq_read_port(port, reply, sizeof reply), 13);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 12), "OTA_DNL_DONE");
    plat_close_handle(port);
}

}  // namespace
