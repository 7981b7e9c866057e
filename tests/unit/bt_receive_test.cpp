// Framed receive: "$$" + payload + "##" on a socket with a 100 ms receive
// time-out, and draining the line.
#include <gtest/gtest.h>

#include <string>

#include "bt_fake_box.h"

namespace {

class BtReceiveTest : public FakePlatformTest {
protected:
    exact_buffer message{wq_message_size, 'M'};
    // A kept socket to the box scripted by `box`.
    unsigned int open(const box_script& box) {
        box(bt_test_box());
        const unsigned int socket = open_test_socket();
        EXPECT_NE(socket, 0u);
        return socket;
    }
    int receive(unsigned int socket, unsigned char* payload, std::size_t capacity,
                int attempts = 10) {
        return bt_receive_bytes(socket, payload, capacity, attempts, message.get(), 0);
    }
};

TEST_F(BtReceiveTest, FramedReceiveCases) {
    struct row {
        const char* what;
        box_script box;
        int attempts;
        int result;
        std::string payload;
        std::string message;
        std::int64_t virtual_ms;
    };
    const auto sends = [](const bytes& first, const bytes& later = {}, std::int64_t after_ms = 0) {
        return [=](fake::link& box) { box.reply(first).reply(later, after_ms); };
    };
    const std::string timeout = read_timeout.english;
    const box_script split = sends(fake::text("$$AB"), fake::text("CD##"), 250);
    const row rows[] = {
        {"junk before", sends(fake::text("ab") + frame("BTCONN_ACK")), 10, 1, "BTCONN_ACK", "", 0},
        {"inner dollar dropped", sends(fake::text("$$XY$Z##")), 10, 1, "XYZ", "", 0},
        {"single hash cuts", sends(fake::text("$$XY#Z##")), 10, 1, "XY", "", 0},
        {"lone dollar", sends(fake::text("$x$$OK##")), 10, 1, "OK", "", 0},
        {"silent box", sends({}), 10, 0, "", timeout, 1000},
        {"assembled across time-outs", split, 10, 1, "ABCD", "", 250},
        {"frame too late", split, 2, 0, "AB", timeout, 200},
        {"link closed ends at once",
         [](fake::link& box) { box.reply(fake::text("$$AB")).hang_up(30); }, 10, 0, "AB",
         "Read Overflow", 30},
        {"zero attempts", sends(frame("OK")), 0, 0, "", "MMMM", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        const unsigned int socket = open(r.box);
        std::memset(message.get(), 0, wq_message_size);
        std::memcpy(message.get(), "MMMM", 4);
        unsigned char payload[32] = {};
        EXPECT_EQ(receive(socket, payload, sizeof payload, r.attempts), r.result);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(payload)), r.payload);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(fake::now_ms(), r.virtual_ms);
        bt_end_kept_connection(socket);
        expect_fake_clean();
    }
}

// The frame ends at its second '#'; what follows stays for the next
// receive, and a payload too long for the buffer is cut, not overrun.
TEST_F(BtReceiveTest, BytesAfterAFrameStayAndOverlongPayloadsAreCut) {
    const unsigned int socket = open([](fake::link& box) {
        box.reply(fake::text("$$XY#Z##") + frame(std::string(30, 'A')) + frame("NEXT"));
    });
    exact_buffer payload(16, '\x55');
    auto* bytes = reinterpret_cast<unsigned char*>(payload.get());
    ASSERT_EQ(receive(socket, bytes, 16), 1);
    unsigned char rest[1] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 1, 1, message.get(), 0), 1);
    EXPECT_EQ(rest[0], '#');
    ASSERT_EQ(receive(socket, bytes, 16), 1);
    EXPECT_EQ(payload.all(), std::string(14, 'A') + std::string(2, '\0'));
    ASSERT_EQ(receive(socket, bytes, 16), 1);
    EXPECT_EQ(payload.str(), "NEXT");
    bt_end_kept_connection(socket);
}

TEST_F(BtReceiveTest, FlushDrainsUntilTheLineIsQuiet) {
    const unsigned int socket = open([](fake::link& box) {
        box.reply(fake::text("abc")).reply(fake::text("de"), 60).reply(fake::text("late"), 200);
    });
    bt_flush_rdbuff(socket);
    EXPECT_EQ(fake::now_ms(), 160) << "drained to 'e' at 60 ms, then one quiet time-out";
    unsigned char rest[4] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 4, 2, message.get(), 0), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 4), "late");
    bt_end_kept_connection(socket);
}

}  // namespace
