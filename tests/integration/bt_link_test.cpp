// Emulated Bluetooth on the real POSIX backend: the devices file behind the
// device list, a silent and then a stopped box on its AF_UNIX socket in a
// temporary WQ_BT_DIR, and the socket errors the library reports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "bluetooth/bt_link.h"
#include "box_fixture.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr BTH_ADDR box_address = 0x0011223344AAull;

class BtLinkIntegration : public BoxTest {
protected:
    char message[wq_message_size] = {};
};

// Malformed and blank lines are skipped, a CR before the line end dropped,
// names taken as they stand and cut to their slot.
TEST_F(BtLinkIntegration, TheDeviceListFollowsTheDevicesFile) {
    std::ofstream(path("devices"), std::ios::binary)
        << "00:11:22:33:44:AA Box One\r\n\n\r\nnot an address\n00:11:22:33:44 short\n"
           "00-11-22-33-44-55 dashes\n00:11:22:33:44:GG bad hex\n"
           "00:11:22:33:44:55x glued\nAA:BB:CC:DD:EE:FF\nAA:BB:CC:DD:EE:F0 \n"
           "01:02:03:04:05:06 Second  box \r\n0a:0b:0c:0d:0e:0f lower\n"
           "10:20:30:40:50:60 " + std::string(40, 'L') + "\n"
           "11:22:33:44:55:66 Umlaut \xE4\xF6\xFC";
    std::string list(160, 'X');
    unsigned int count = 99;
    EXPECT_EQ(wq_get_device_list(list.data(), 160, &count, message, 0), wq_status_ok) << message;
    EXPECT_EQ(count, 5u);
    std::string expected(160, '\0');
    const std::string names[] = {"Box One", "Second  box ", "lower", std::string(32, 'L'),
                                 "Umlaut \xE4\xF6\xFC"};
    for (std::size_t i = 0; i < 5; ++i) expected.replace(i * 32, names[i].size(), names[i]);
    EXPECT_EQ(list, expected);

    std::remove(path("devices").c_str());
    EXPECT_EQ(wq_get_device_list(list.data(), 160, &count, message, 1), wq_status_ok);
    EXPECT_EQ(count, 0u) << "a missing devices file means no known devices";
}

// The receive time-out ends a receive when set, not later (the box answers
// nothing unasked); a box that hung up ends the receive and fails a send
// with a code, not a SIGPIPE.
TEST_F(BtLinkIntegration, TimeOutsAndAHungUpBox) {
    start_box();
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
    ASSERT_EQ(plat_set_socket_option(socket, plat_socket_option::receive_timeout, 250), 0);
    unsigned char buffer[16];
    const auto start = steady::now();
    EXPECT_EQ(plat_recv(socket, buffer, sizeof buffer), plat_socket_error);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
    EXPECT_EQ(plat_wsa_get_last_error(), 10060);
    EXPECT_GE(took.count(), 248);
    EXPECT_LT(took.count(), 750);

    box->stop();
    EXPECT_EQ(plat_recv(socket, buffer, sizeof buffer), 0);
    EXPECT_EQ(plat_send(socket, "$$BT_IDENTFY##", 14), plat_socket_error);
    EXPECT_EQ(plat_wsa_get_last_error(), 10054);
    EXPECT_EQ(wq_bt_ota_disconnect(socket), 0);
}

}  // namespace
