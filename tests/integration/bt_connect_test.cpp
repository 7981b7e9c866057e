// The connect check and the kept connection on the real POSIX backend, the
// test playing the box on an AF_UNIX socket in a temporary WQ_BT_DIR.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "pty_peer.h"
#include "unix_box.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

constexpr BTH_ADDR box_address = 0x0011223344AAull;

class BtConnectIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    char message[128] = {};
    void SetUp() override {
        write_known_devices(dir.path(), "00:11:22:33:44:AA WQ Box\n");
    }
};

TEST_F(BtConnectIntegration, HandshakeGivesTheGreetingAndTheAddress) {
    unix_box box(dir.path(), box_address);
    auto played = std::async(std::launch::async, [&] {
        ASSERT_TRUE(box.accept(5s));
        const auto request = box.read(14, 5s);
        EXPECT_EQ(std::string(request.begin(), request.end()), "$$BTCONN_REQ##");
        box.write("$$BTCONN_ACK##");
        box.write("xx$$Box 7 at your service##");
    });
    BTH_ADDR address = 0;
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ Box", message, 0), 0) << message;
    EXPECT_EQ(address, box_address);
    EXPECT_STREQ(message, "Box 7 at your service");
    played.get();
}

TEST_F(BtConnectIntegration, ASilentBoxTimesOutAfterTenReceiveTimeouts) {
    unix_box box(dir.path(), box_address);
    auto played = std::async(std::launch::async, [&] {
        ASSERT_TRUE(box.accept(5s));
        box.read(14, 5s);
        box.write("$$BTCONN_ACK##");  // then nothing
        box.read(1, 5s);              // until the library hangs up
    });
    BTH_ADDR address = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ Box", message, 1), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_STREQ(message, "An Error Occurred During Reading: 10060");
    // 100 ms before each reply, then ten 100 ms receive time-outs.
    EXPECT_GE(took, 1100ms);
    EXPECT_LT(took, 3000ms);
    played.get();
}

TEST_F(BtConnectIntegration, KeptConnectionCarriesBytesBothWays) {
    unix_box box(dir.path(), box_address);
    auto accepted = std::async(std::launch::async, [&] { return box.accept(5s); });
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
    ASSERT_TRUE(accepted.get());
    box.write("ping");
    EXPECT_EQ(wq_bt_ota_disconnect(socket), 0);
    EXPECT_TRUE(box.read(1, 2s).empty()) << "the library closed its end";
}

TEST_F(BtConnectIntegration, NobodyListening) {
    BTH_ADDR address = 0;
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ Box", message, 0), 1);
    EXPECT_STREQ(message, "Socket Call Failed: 10061");
}

}  // namespace
