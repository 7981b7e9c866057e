// The Bluetooth link under every command: the kept connection and each step
// of it failing, the connect check by name, device discovery (the slot
// layout, the record growing when a name needs room, every failure giving
// back its lookup, heap block and socket layer), and the framed receive
// ("$$" + payload + "##" on a socket with a 100 ms receive time-out) with
// the draining of the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

// ---- connection ---------------------------------------------------------------

// The socket address as it is packed: family, the address least
// significant byte first, the serial port service's class id, port 0.
const bytes box_socket_address = {0x20, 0x00, 0xF6, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x00,
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
        const fake::record t = fake::seen();
        if (status == 0) {
            EXPECT_EQ(fake::seen().last_connect_address, box_socket_address);
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
// only on success. (The lookup's heap and later failures: BtDiscovery.)
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
        {"lookup not begun", failing(fake::call::lookup_begin), 1,
         same("Lookup Service Begin Error"), 0},
        {"lookup failed", failing(fake::call::lookup_next), 1, same("Lookup Service Error"), 0},
    }, box_named, [](char* message, int language) {
        BTH_ADDR address = 0x1234;
        const int status = wq_connect_to_bt_device(&address, "WQ-Box", message, language);
        EXPECT_EQ(address, status == 0 ? test_box_address : 0x1234u);
        return status;
    });
}

// ---- discovery -----------------------------------------------------------------

using fake::call;

constexpr std::size_t slot = 32;
constexpr unsigned int untouched_count = 77;

// The list as it should read: `names` in consecutive slots, zeros elsewhere.
std::string slotted(const std::vector<std::string>& names, std::size_t size) {
    std::string list(size, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        list.replace(i * slot, names[i].size(), names[i]);
    }
    return list;
}

using devices = std::vector<std::optional<std::string>>;  // nullopt: a device without a name

struct failure {
    call failing;
    int nth;
    int error = 10050;
};
// The platform asks for a larger record `times` times in a row, without
// naming a size (the record grows to a query record and the name's room).
std::vector<failure> room_requests(int times) {
    std::vector<failure> requests;
    for (int nth = 1; nth <= times; ++nth) {
        requests.push_back({call::lookup_next, nth, plat_wsaefault});
    }
    return requests;
}

// The devices the platform knows, a list of `size` bytes, what fails, and
// what the call makes of it; a message of nullptr: the buffer is untouched.
struct listing {
    const char* what;
    devices known;
    int size;
    std::vector<failure> failures;
    int status;
    std::string list;
    unsigned int count;
    const char* message = nullptr;
    std::vector<std::size_t> heap = {};  // block sizes asked for; empty: not checked
    bool no_list = false;                // the host passes none
};

class BtDiscovery : public FakePlatformTest {};

TEST_F(BtDiscovery, Listings) {
    const devices two = {"Box", "Other"}, four = {"d0", "d1", "d2", "d3"};
    const std::string long_name = std::string(40, 'L') + std::string(160, 'x');
    const std::string zeros(64, '\0'), untouched(64, 'X'), first = slotted({"Box"}, 64);
    const char* lookup_error = "Lookup Service Error";
    const listing listings[] = {
        {"named devices in the order reported", {"Box A", std::nullopt, "Second box", "", "C"},
         160, {}, 0, slotted({"Box A", "Second box", "", "C"}, 160), 4},
        {"beyond the last whole slot", four, 64, {}, 0, slotted({"d0", "d1"}, 64), 2},
        {"a partial slot stays zero", four, 95, {}, 0, slotted({"d0", "d1"}, 95), 2},
        {"a failure after the slots are full", four, 64, {{call::lookup_next, 5}}, 1,
         slotted({"d0", "d1"}, 64), untouched_count, lookup_error},
        // The record grows to what the platform asks for, never below a
        // query record, and the device is fetched again; names are cut to
        // their slot.
        {"a long name", {std::string(slot, 'E'), long_name}, 70, {}, 0,
         std::string(slot, 'E') + std::string(slot, 'L') + std::string(6, '\0'), 2, nullptr,
         {120, 120 + 32 + 1, 120 + 200 + 1}},
        // Eight growths for one result at most: "A" itself asks for one.
        {"room asked for seven times", {"A"}, 64, room_requests(7), 0, slotted({"A"}, 64), 1,
         nullptr, {120, 120, 120, 120, 120, 120, 120, 120, 122}},
        {"room asked for without end", {"A"}, 64, room_requests(8), 1, zeros, untouched_count,
         lookup_error},
        {"socket layer", two, 64, {{call::wsa_startup, 1}}, 1, untouched, untouched_count,
         "Winsock 2.2 opening error!"},
        {"first allocation", two, 64, {{call::heap_alloc, 1}}, 1, untouched, untouched_count,
         "Memory Allocation Error"},
        {"begin", two, 64, {{call::lookup_begin, 1}}, 1, untouched, untouched_count,
         "Lookup Service Begin Error"},
        {"next", two, 64, {{call::lookup_next, 1}}, 1, zeros, untouched_count, lookup_error},
        {"next after a device", two, 64, {{call::lookup_next, 3}}, 1, first, untouched_count,
         lookup_error},
        {"growing allocation", two, 64, {{call::heap_alloc, 2}}, 1, zeros, untouched_count,
         "Memory Allocation Error"},
        {"no room", two, 0, {}, 0, "X", 0},
        {"negative size", two, -64, {}, 0, "X", 0},
        {"no list", two, 64, {}, 0, untouched, 0, nullptr, {}, true},
    };
    for (const listing& l : listings) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(l.what);
            fake::reset();
            std::uint64_t address = 0;
            for (const auto& name : l.known) {
                fake::add_known_device(name ? name->c_str() : nullptr, ++address);
            }
            for (const failure& f : l.failures) fake::fail(f.failing, f.nth, f.error);
            exact_buffer list(std::max(l.size, 1)), message(wq_message_size, 'M');
            unsigned int count = untouched_count;
            EXPECT_EQ(wq_get_device_list(l.no_list ? nullptr : list.get(), l.size, &count,
                                         message.get(), language),
                      l.status);
            EXPECT_EQ(list.all(), l.list);
            EXPECT_EQ(count, l.count);
            EXPECT_EQ(l.message ? message.str() : message.all(),
                      l.message ? l.message : std::string(wq_message_size, 'M'));
            if (!l.heap.empty()) {
                EXPECT_EQ(fake::seen().heap_requests, l.heap);
            }
            expect_fake_clean();
        }
    }
}

// ---- receive -------------------------------------------------------------------

using BtReceiveTest = FakePlatformTest;

// The status is 1 when a frame arrived.
TEST(BtReceive, FramedReceiveCases) {
    struct row {
        outcome expected;
        int attempts;
        std::string payload;
    };
    const auto sends = [](const bytes& first, const bytes& later = {}, std::int64_t after_ms = 0) {
        return [=](fake::link& box) { box.reply(first).reply(later, after_ms); };
    };
    const box_script split = sends(fake::text("$$AB"), fake::text("CD##"), 250);
    const std::vector<row> rows = {
        {{"junk before", sends(fake::text("ab") + frame("BTCONN_ACK")), 1, no_message, 0}, 10,
         "BTCONN_ACK"},
        {{"inner dollar dropped", sends(fake::text("$$XY$Z##")), 1, no_message, 0}, 10, "XYZ"},
        {{"single hash cuts", sends(fake::text("$$XY#Z##")), 1, no_message, 0}, 10, "XY"},
        {{"lone dollar", sends(fake::text("$x$$OK##")), 1, no_message, 0}, 10, "OK"},
        {{"silent box", sends({}), 0, read_timeout, 1000}, 10, ""},
        {{"assembled across time-outs", split, 1, no_message, 250}, 10, "ABCD"},
        {{"frame too late", split, 0, read_timeout, 200}, 2, "AB"},
        {{"link closed ends at once",
          [](fake::link& box) { box.reply(fake::text("$$AB")).hang_up(30); }, 0, read_overflow,
          30}, 10, "AB"},
        {{"zero attempts", sends(frame("OK")), 0, earlier_message, 0}, 0, ""},
    };
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        unsigned char payload[32] = {};
        const int result = bt_receive_bytes(open_test_socket(), payload, sizeof payload,
                                            r.attempts, message, language);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(payload)), r.payload);
        return result;
    }, host_link::kept);
}

// The frame ends at its second '#'; what follows stays for the next
// receive, and a payload too long for the buffer is cut, not overrun.
TEST_F(BtReceiveTest, BytesAfterAFrameStayAndOverlongPayloadsAreCut) {
    bt_test_box().reply(fake::text("$$XY#Z##") + frame(std::string(30, 'A')) + frame("NEXT"));
    const unsigned int socket = open_test_socket();
    exact_buffer payload(16, '\x55'), message(wq_message_size);
    auto* bytes = reinterpret_cast<unsigned char*>(payload.get());
    ASSERT_EQ(bt_receive_bytes(socket, bytes, 16, 10, message.get(), 0), 1);
    unsigned char rest[1] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 1, 1, message.get(), 0), 1);
    EXPECT_EQ(rest[0], '#');
    ASSERT_EQ(bt_receive_bytes(socket, bytes, 16, 10, message.get(), 0), 1);
    EXPECT_EQ(payload.all(), std::string(14, 'A') + std::string(2, '\0'));
    ASSERT_EQ(bt_receive_bytes(socket, bytes, 16, 10, message.get(), 0), 1);
    EXPECT_EQ(payload.str(), "NEXT");
    bt_end_kept_connection(socket);
}

TEST_F(BtReceiveTest, FlushDrainsUntilTheLineIsQuiet) {
    bt_test_box().reply(fake::text("abc")).reply(fake::text("de"), 60).reply(fake::text("late"), 200);
    const unsigned int socket = open_test_socket();
    bt_flush_rdbuff(socket);
    exact_buffer message(wq_message_size);
    EXPECT_EQ(fake::now_ms(), 160) << "drained to 'e' at 60 ms, then one quiet time-out";
    unsigned char rest[4] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 4, 2, message.get(), 0), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 4), "late");
    bt_end_kept_connection(socket);
}

}  // namespace
