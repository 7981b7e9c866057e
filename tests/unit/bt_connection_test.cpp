// Opening the socket, the connect handshake and the kept connection.
#include <gtest/gtest.h>

#include <string>

#include "bt_fake_box.h"
#include "wq.h"

namespace {

using fake::bytes;

class BtConnectionTest : public FakePlatformTest {
protected:
    exact_buffer message{128, 'M'};
};

TEST_F(BtConnectionTest, SocketAddressAndOptions) {
    fake::bt_box(0x0000A1B2C3D4E5F6ull);
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(0x0000A1B2C3D4E5F6ull, &socket, message.get(), 0), 0);
    EXPECT_EQ(std::string(message.get(), 4), "MMMM") << "success leaves the message alone";
    const bytes expected_address = {0x20, 0x00, 0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00,
                                    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x80, 0x00,
                                    0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(fake::last_connect_address(), expected_address);
    EXPECT_EQ(fake::socket_option(plat_socket_option::receive_timeout), 100);
    EXPECT_EQ(fake::socket_option(plat_socket_option::send_buffer), 4096);
    EXPECT_EQ(fake::socket_option(plat_socket_option::receive_buffer), 4096);
    EXPECT_EQ(fake::counts().sockets_opened - fake::counts().sockets_closed, 1);
    EXPECT_EQ(wq_bt_ota_disconnect(socket), 0);
}

TEST_F(BtConnectionTest, EachFailingStepOfTheSocketOpen) {
    struct row {
        fake::call failing;
        int nth;
        int error;
        const char* message;
    };
    const row rows[] = {
        {fake::call::socket_open, 1, 10047, "Socket Call Failed"},
        {fake::call::connect, 1, 10060, "Socket Call Failed: 10060"},
        {fake::call::set_socket_option, 1, 10022, "Set Socket Option SO_RCVTIMEO Failed: 10022"},
        {fake::call::set_socket_option, 2, 10055, "Set Socket Option SO_SNDBUF Failed: 10055"},
        {fake::call::set_socket_option, 3, 10055, "Set Socket Option SO_RCVBUF Failed: 10055"},
        {fake::call::wsa_startup, 1, 10091, "Winsock 2.2 opening error!"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        for (int language : {0, 1}) {
            fake::reset();
            fake::bt_box(test_box_address);
            fake::fail(r.failing, r.nth, r.error);
            unsigned int socket = 0xDEAD;
            EXPECT_EQ(wq_bt_ota_connect(test_box_address, &socket, message.get(), language), 1);
            EXPECT_EQ(message.str(), r.message);
            EXPECT_EQ(socket, 0xDEADu) << "no socket handed out";
            const fake::tally t = fake::counts();
            EXPECT_EQ(t.sockets_opened, t.sockets_closed);
            EXPECT_EQ(t.cleanups, 0) << "a failed kept connection leaves the layer started";
        }
    }
    fake::reset();
}

TEST_F(BtConnectionTest, UnknownBoxIsRefused) {
    unsigned int socket = 0;
    EXPECT_EQ(wq_bt_ota_connect(test_box_address, &socket, message.get(), 0), 1);
    EXPECT_EQ(message.str(), "Socket Call Failed: 10061");
    EXPECT_EQ(wq_bt_ota_disconnect(12345), 0) << "always 0, also for a socket not open";
}

TEST_F(BtConnectionTest, HandshakeOutcomes) {
    struct row {
        const char* what;
        bytes answer;
        int send_error;  // 0: the request goes out
        int status;
        std::string message;
        std::int64_t virtual_ms;
    };
    const row rows[] = {
        {"greeting", frame("BTCONN_ACK") + frame("WQ Box 3.1 ready"), 0, 0, "WQ Box 3.1 ready", 200},
        {"other word", frame("BTBUSY_XXX"), 0, 1, "Invalid BT_CONN_ACK_WORD Response BTBUSY_XXX", 100},
        {"ack and more", frame("BTCONN_ACKX"), 0, 1, "Invalid BT_CONN_ACK_WORD Response BTCONN_ACKX",
         100},
        {"no second frame", frame("BTCONN_ACK"), 0, 1, "An Error Occurred During Reading: 10060", 1200},
        {"silent", {}, 0, 1, "An Error Occurred During Reading: 10060", 1100},
        {"send fails", {}, 10054, 1, "Send BT_CONN_REQ_WORD Failed: 10054", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::link& box = fake::bt_box(test_box_address);
        box.expect(fake::text("$$BTCONN_REQ##")).reply(r.answer);
        const unsigned int socket = open_test_socket();
        if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
        const std::int64_t start = fake::now_ms();
        EXPECT_EQ(bt_connect_bt(socket, message.get(), 1), r.status);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(fake::now_ms() - start, r.virtual_ms);
        bt_end_kept_connection(socket);
        EXPECT_TRUE(fake::balanced());
    }
    fake::reset();
}

TEST_F(BtConnectionTest, CommandFramesAreFourteenBytesInOneSend) {
    fake::link& box = fake::bt_box(test_box_address);
    const unsigned int socket = open_test_socket();
    EXPECT_EQ(bt_send_command(socket, "BT_IDENTFY"), 14);
    ASSERT_EQ(box.writes().size(), 1u);
    EXPECT_EQ(box.writes()[0], fake::text("$$BT_IDENTFY##"));
    const wq_text failure = {"Send IDENTIFY Failed.", "Senden IDENTIFY fehlgeschlagen."};
    fake::fail(fake::call::send, 1, 10053);
    EXPECT_FALSE(bt_send_command_or_report(socket, "BT_IDENTFY", failure, message.get(), 1));
    EXPECT_EQ(message.str(), "Senden IDENTIFY fehlgeschlagen.10053");
    bt_end_kept_connection(socket);
}

TEST(BtReplyTag, OnlyTheExactTagMatches) {
    struct row {
        std::string reply;
        bool matches;
    };
    const row rows[] = {{"BTWRTE_ACK", true}, {"BTWRTE_ACKX", false}, {"BTWRTE_AC", false},
                        {"btwrte_ack", false}, {"", false}};
    for (const row& r : rows) {
        unsigned char reply[16] = {};
        std::memcpy(reply, r.reply.data(), r.reply.size());
        EXPECT_EQ(bt_reply_is(reply, "BTWRTE_ACK"), r.matches) << r.reply;
    }
}

}  // namespace

namespace {

class BtConnectCheckTest : public FakePlatformTest {
protected:
    exact_buffer message{128, 'M'};
    BTH_ADDR address = 0x1234;
};

TEST_F(BtConnectCheckTest, FindsTheBoxByNameAndGreets) {
    fake::add_known_device("Kitchen", 0x000000000001ull);
    fake::add_known_device(nullptr, 0x000000000002ull);
    fake::add_known_device("WQ-Box", test_box_address);
    fake::bt_box(test_box_address)
        .expect(fake::text("$$BTCONN_REQ##"))
        .reply(frame("BTCONN_ACK") + frame("Hello from the box"));
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ-Box", message.get(), 0), 0);
    EXPECT_EQ(address, test_box_address);
    EXPECT_EQ(message.str(), "Hello from the box");
    EXPECT_EQ(fake::counts().startups, 1);
}

TEST_F(BtConnectCheckTest, FailuresLeaveTheAddressAndReleaseEverything) {
    struct row {
        const char* what;
        const char* name;
        bytes answer;
        int language;
        std::string message;
        int sockets_opened;
    };
    const row rows[] = {
        {"unknown name", "wq-box", {}, 1, "Ger\xE4t kann nicht gefunden werden!", 0},
        {"unknown name, English", "Nobody", {}, 0, "Device cannot be found!", 0},
        {"no second frame", "WQ-Box", frame("BTCONN_ACK"), 0,
         "An Error Occurred During Reading: 10060", 1},
        {"wrong first reply", "WQ-Box", frame("NOPE"), 0, "Invalid BT_CONN_ACK_WORD Response NOPE", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::add_known_device("WQ-Box", test_box_address);
        fake::bt_box(test_box_address).expect(fake::text("$$BTCONN_REQ##")).reply(r.answer);
        EXPECT_EQ(wq_connect_to_bt_device(&address, r.name, message.get(), r.language), 1);
        EXPECT_EQ(address, 0x1234u);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(fake::counts().sockets_opened, r.sockets_opened);
        EXPECT_EQ(fake::counts().cleanups, 1);
        EXPECT_TRUE(fake::balanced());
    }
    fake::reset();
}

TEST_F(BtConnectCheckTest, ABoxOutOfRange) {
    fake::add_known_device("WQ-Box", test_box_address);
    fake::fail(fake::call::connect, 1, 10065);
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ-Box", message.get(), 0), 1);
    EXPECT_EQ(message.str(), "Socket Call Failed: 10065");
}

}  // namespace
