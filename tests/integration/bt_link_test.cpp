// Emulated Bluetooth on the real POSIX backend: a silent and then a stopped
// box on its AF_UNIX socket in a temporary WQ_BT_DIR, and the socket errors
// the library reports.
#include <gtest/gtest.h>

#include <chrono>

#include "bluetooth/bt_link.h"
#include "box_fixture.h"
#include "wq.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr BTH_ADDR box_address = 0x0011223344AAull;

using BtLinkIntegration = BoxTest;

// The receive time-out ends a receive when set, not later (the box answers
// nothing unasked); a box that hung up ends the receive and fails a send
// with a code, not a SIGPIPE.
TEST_F(BtLinkIntegration, TimeOutsAndAHungUpBox) {
    start_box();
    char message[wq_message_size] = {};
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
