// The kept connection, each step of it failing, and the connect check by name.
#include <gtest/gtest.h>

#include <string>

#include "bt_fake_box.h"

namespace {

// The socket address as it is packed: family, the address least
// significant byte first, the serial port service's class id, port 0.
const bytes box_socket_address = {0x20, 0x00, 0xAA, 0x44, 0x33, 0x22, 0x11, 0x00, 0x00, 0x00,
                                  0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x80, 0x00,
                                  0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB, 0x00, 0x00, 0x00, 0x00};

// A kept connection, and each step of it failing: the socket is given back
// but the socket layer stays started, as hosts written against this
// interface expect; they end it with a disconnect, which returns 0 for any
// socket value.
TEST(BtConnection, KeptConnectionOutcomes) {
    const auto step_fails = [](fake::call c, int nth, int error, const char* text) {
        return outcome{text, failing(c, nth, error), 1, same(text), 0};
    };
    check_outcomes({
        {"connected", [](fake::link&) {}, 0, earlier_message, 0},
        {"nobody at the address", {}, 1, same("Socket Call Failed: 10061"), 0},
        step_fails(fake::call::wsa_startup, 1, 10091, "Winsock 2.2 opening error!"),
        step_fails(fake::call::socket_open, 1, 10047, "Socket Call Failed"),
        step_fails(fake::call::connect, 1, 10060, "Socket Call Failed: 10060"),
        step_fails(fake::call::set_socket_option, 1, 10022,
                   "Set Socket Option SO_RCVTIMEO Failed: 10022"),
        step_fails(fake::call::set_socket_option, 2, 10055,
                   "Set Socket Option SO_SNDBUF Failed: 10055"),
        step_fails(fake::call::set_socket_option, 3, 10055,
                   "Set Socket Option SO_RCVBUF Failed: 10055"),
    }, bt_test_box, [](char* message, int language) {
        unsigned int socket = 0xDEAD;
        const int status = wq_bt_ota_connect(test_box_address, &socket, message, language);
        const fake::tally t = fake::counts();
        if (status == 0) {
            EXPECT_EQ(fake::last_connect_address(), box_socket_address);
        } else {
            EXPECT_EQ(socket, 0xDEADu) << "no socket handed out";
        }
        EXPECT_EQ(t.sockets_closed, status == 0 ? 0 : t.sockets_opened);
        EXPECT_EQ(t.cleanups, 0);
        if (t.startups == 1) {
            EXPECT_EQ(wq_bt_ota_disconnect(socket), 0);
        }
        return status;
    });
}

// The connect check: the box found by the first device of exactly its name,
// the handshake, and everything released again; the address is handed out
// only on success. (The lookup's heap and later failures: BtDiscoveryTest.)
TEST(BtConnectCheck, Outcomes) {
    const auto box_named = []() -> fake::link& {
        for (const char* other : {"Kitchen", "wq-box", "WQ-Box ", "WQ-Bo"}) {
            fake::add_known_device(other, 0x000000000001ull);
        }
        fake::add_known_device(nullptr, 0x000000000002ull);
        fake::add_known_device("WQ-Box", test_box_address);
        fake::add_known_device("WQ-Box", 0x000000000003ull);
        return bt_test_box();
    };
    const auto lookup_fails = [](fake::call c, int nth, const char* text) {
        return outcome{text, failing(c, nth, 10050), 1, same(text), 0};
    };
    const auto handshake = [](const bytes& reply) { return answers_tag("BTCONN_REQ", reply); };
    const std::string invalid = "Invalid BT_CONN_ACK_WORD Response ";
    check_outcomes({
        {"greeting", handshake(frame("BTCONN_ACK") + frame("WQ Box 3.1 ready")), 0,
         same("WQ Box 3.1 ready"), 200},
        {"other word", handshake(frame("BTBUSY_XXX")), 1, same(invalid + "BTBUSY_XXX"), 100},
        {"ack and more", handshake(frame("BTCONN_ACKX")), 1, same(invalid + "BTCONN_ACKX"), 100},
        {"no second frame", handshake(frame("BTCONN_ACK")), 1, read_timeout, 100 + 100 + 10 * 100},
        {"silent", handshake({}), 1, read_timeout, 100 + 10 * 100},
        {"request not sent", failing(fake::call::send), 1,
         same("Send BT_CONN_REQ_WORD Failed: 10054"), 0},
        {"out of range", failing(fake::call::connect, 1, 10065), 1,
         same("Socket Call Failed: 10065"), 0},
        {"no known device", {}, 1,
         {"Device cannot be found!", "Ger\xE4t kann nicht gefunden werden!"}, 0},
        lookup_fails(fake::call::lookup_begin, 1, "Lookup Service Begin Error"),
        lookup_fails(fake::call::lookup_next, 1, "Lookup Service Error"),
    }, box_named, [](char* message, int language) {
        BTH_ADDR address = 0x1234;
        const int status = wq_connect_to_bt_device(&address, "WQ-Box", message, language);
        EXPECT_EQ(address, status == 0 ? test_box_address : 0x1234u);
        return status;
    });
}

}  // namespace
