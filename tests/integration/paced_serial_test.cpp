// The serial line at its real pace: a write lasts until its bytes are on the
// line, a write too long for the write time-out comes back short, a firmware
// update keeps up with a box paced at 57600 baud, and a port starts empty.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "box_fixture.h"
#include "firmware.h"
#include "serial/serial_port.h"
#include "text/messages.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr std::uint32_t baud = 57600;
constexpr std::size_t chunk_size = 512;  // 89 ms of line time, well inside the 200 ms write time-out

class PacedSerial : public BoxTest {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    char message[wq_message_size] = {};
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

// The box reads the image at line rate and must still be in time for the
// verify block: the host's writes may not run ahead of the wire.
TEST_F(PacedSerial, AFirmwareUpdateAtLineRateIsVerified) {
    wqbox::config cfg;
    cfg.baud = baud;
    start_box(cfg);
    bytes image(16 * 1024);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 131 + 7);
    const auto crc = wqbox::crc32(image.data(), image.size());

    int handle = 0;
    ASSERT_EQ(wq_ota_open_port(1, message, 0, &handle), 0) << message;
    ASSERT_EQ(wq_ota_start(0, message, 0, handle, static_cast<unsigned>(image.size()), crc), 0) << message;
    ASSERT_EQ(wq_ota_start_xmit(0, message, 0, handle), 0) << message;
    for (std::size_t offset = 0; offset < image.size(); offset += chunk_size) {
        ASSERT_EQ(wq_ota_xmit_data(0, message, 0, handle, image.data(), static_cast<int>(chunk_size),
                                   static_cast<unsigned>(offset)),
                  0)
            << "chunk at " << offset << ": " << message;
    }
    EXPECT_EQ(wq_ota_confirm_done(0, message, 0, handle), 0) << message;
    EXPECT_STREQ(message, "OTA programming successfully done!");
    EXPECT_EQ(box->state().firmware.verified, 1u);
    EXPECT_EQ(box->state().firmware.image, image);
}

}  // namespace
