// The frame state machine and the three receive primitives.
#include <gtest/gtest.h>

#include <string>

#include "bt_fake_box.h"

namespace {

using fake::bytes;

TEST(FrameStateMachine, EveryStateAndByteClass) {
    struct row {
        int state;
        unsigned char byte;
        int next_state;
        int complete;
        int stored_after;     // starting from stored = 2
        int payload_index;    // where a byte or zero lands, -1 for none
        unsigned char value;  // what lands there
    };
    const row rows[] = {
        {bt_frame_idle, '$', bt_frame_start_seen, 0, 2, -1, 0},
        {bt_frame_idle, 'x', bt_frame_idle, 0, 2, -1, 0},
        {bt_frame_idle, '#', bt_frame_idle, 0, 2, -1, 0},
        {bt_frame_start_seen, '$', bt_frame_in_payload, 0, 0, -1, 0},
        {bt_frame_start_seen, 'x', bt_frame_idle, 0, 2, -1, 0},
        {bt_frame_in_payload, 'x', bt_frame_in_payload, 0, 3, 2, 'x'},
        {bt_frame_in_payload, 0x00, bt_frame_in_payload, 0, 3, 2, 0x00},
        {bt_frame_in_payload, '$', bt_frame_in_payload, 0, 2, -1, 0},
        {bt_frame_in_payload, '#', bt_frame_end_seen, 0, 3, 2, 0x00},
        {bt_frame_end_seen, 'x', bt_frame_end_seen, 0, 2, -1, 0},
        {bt_frame_end_seen, '#', bt_frame_idle, 1, 2, 2, 0x00},
    };
    for (const row& r : rows) {
        unsigned char payload[8];
        std::memset(payload, 0xEE, sizeof payload);
        int state = r.state;
        int stored = 2;
        EXPECT_EQ(bt_get_data(&r.byte, payload, sizeof payload, &state, &stored), r.complete)
            << "state " << r.state << " byte " << int(r.byte);
        EXPECT_EQ(state, r.next_state);
        EXPECT_EQ(stored, r.stored_after);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(payload[i], i == r.payload_index ? r.value : 0xEE) << "index " << i;
        }
    }
}

class BtReceiveTest : public FakePlatformTest {
protected:
    unsigned int socket = 0;
    exact_buffer message{128, 'M'};
    void open(fake::link&) {
        socket = open_test_socket();
        ASSERT_NE(socket, 0u);
        start_ms = fake::now_ms();
    }
    void TearDown() override {
        if (socket) bt_end_kept_connection(socket);
        FakePlatformTest::TearDown();
    }
    std::int64_t elapsed() const { return fake::now_ms() - start_ms; }
    std::int64_t start_ms = 0;
};

TEST_F(BtReceiveTest, FramedReceiveCases) {
    struct row {
        const char* what;
        std::vector<std::pair<bytes, std::int64_t>> sends;  // bytes and delay after the previous
        int attempts;
        int result;
        std::string payload;
        std::string message;
        std::int64_t virtual_ms;
    };
    const row rows[] = {
        {"junk before, bytes after", {{fake::text("ab") + frame("BTCONN_ACK") + fake::text("cd"), 0}},
         10, 1, "BTCONN_ACK", "", 0},
        {"inner dollar dropped", {{fake::text("$$XY$Z##"), 0}}, 10, 1, "XYZ", "", 0},
        {"single hash cuts", {{fake::text("$$XY#Z##"), 0}}, 10, 1, "XY", "", 0},
        {"lone dollar", {{fake::text("$x$$OK##"), 0}}, 10, 1, "OK", "", 0},
        {"silent box", {}, 10, 0, "", "An Error Occurred During Reading: 10060", 1000},
        {"assembled across time-outs", {{fake::text("$$AB"), 0}, {fake::text("CD##"), 250}}, 10, 1,
         "ABCD", "", 250},
        {"frame too late", {{fake::text("$$AB"), 0}, {fake::text("CD##"), 250}}, 2, 0, "AB",
         "An Error Occurred During Reading: 10060", 200},
        {"zero attempts", {{frame("OK"), 0}}, 0, 0, "", "MMMM", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::link& box = fake::bt_box(test_box_address);
        for (const auto& [data, delay] : r.sends) box.reply(data, delay);
        open(box);
        std::memset(message.get(), 0, 128);
        std::memcpy(message.get(), "MMMM", 4);
        unsigned char payload[32] = {};
        EXPECT_EQ(bt_receive_bytes(socket, payload, sizeof payload, r.attempts, message.get(), 0),
                  r.result);
        EXPECT_EQ(as_text(payload), r.payload);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(elapsed(), r.virtual_ms);
        bt_end_kept_connection(socket);
        socket = 0;
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(BtReceiveTest, BytesAfterTheFrameStayForTheNextReceive) {
    fake::link& box = fake::bt_box(test_box_address);
    box.reply(fake::text("$$XY#Z##") + frame("NEXT"));
    open(box);
    unsigned char payload[16] = {};
    ASSERT_EQ(bt_receive_bytes(socket, payload, sizeof payload, 10, message.get(), 0), 1);
    unsigned char rest[3] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 1, 1, message.get(), 0), 1);
    EXPECT_EQ(rest[0], '#') << "the frame ends at the first '#' after the cut";
    ASSERT_EQ(bt_receive_bytes(socket, payload, sizeof payload, 10, message.get(), 0), 1);
    EXPECT_EQ(as_text(payload), "NEXT");
}

TEST_F(BtReceiveTest, ClosedLinkEndsAtOnce) {
    fake::bt_box(test_box_address).reply(fake::text("$$AB")).hang_up(30);
    open(fake::bt_box(test_box_address));  // a second script, unused
    unsigned char payload[16] = {};
    EXPECT_EQ(bt_receive_bytes(socket, payload, sizeof payload, 10, message.get(), 0), 0);
    EXPECT_EQ(message.str(), "Read Overflow");
    EXPECT_EQ(elapsed(), 30);
    EXPECT_EQ(as_text(payload), "AB");
    fake::reset();
    socket = 0;
}

TEST_F(BtReceiveTest, AnOverlongPayloadIsCutAndTheFrameStillConsumed) {
    fake::link& box = fake::bt_box(test_box_address);
    box.reply(frame(std::string(30, 'A')) + frame("NEXT"));
    open(box);
    exact_buffer payload(16, '\x55');
    auto* bytes = reinterpret_cast<unsigned char*>(payload.get());
    ASSERT_EQ(bt_receive_bytes(socket, bytes, 16, 10, message.get(), 0), 1);
    EXPECT_EQ(std::string(payload.get(), 16), std::string(14, 'A') + std::string(2, '\0'));
    ASSERT_EQ(bt_receive_bytes(socket, bytes, 16, 10, message.get(), 0), 1);
    EXPECT_EQ(as_text(bytes), "NEXT");
}

TEST_F(BtReceiveTest, RawReceiveDropsShortDeliveries) {
    fake::link& box = fake::bt_box(test_box_address);
    box.reply(fake::repeat('a', 100)).reply(fake::repeat('b', 128), 50);
    open(box);
    exact_buffer buffer(128, 0);
    auto* bytes = reinterpret_cast<unsigned char*>(buffer.get());
    EXPECT_EQ(bt_receive_bytes_raw(socket, bytes, 128, 100, message.get(), 0), 128);
    EXPECT_EQ(std::string(buffer.get(), 128), std::string(128, 'b'));
    EXPECT_EQ(message.str(), "Read Overflow") << "the earlier failure's message stays";
    EXPECT_EQ(elapsed(), 50);
}

TEST_F(BtReceiveTest, RawReceiveGivesUpAfterItsAttempts) {
    open(fake::bt_box(test_box_address));
    unsigned char buffer[128];
    EXPECT_EQ(bt_receive_bytes_raw(socket, buffer, 128, 100, message.get(), 1), 0);
    EXPECT_EQ(message.str(), "An Error Occurred During Reading: 10060");
    EXPECT_EQ(elapsed(), 100 * 100);
}

TEST_F(BtReceiveTest, FlushDrainsUntilTheLineIsQuiet) {
    fake::link& box = fake::bt_box(test_box_address);
    box.reply(fake::text("abc")).reply(fake::text("de"), 60).reply(fake::text("late"), 200);
    open(box);
    bt_flush_rdbuff(socket);
    EXPECT_EQ(elapsed(), 160) << "drained to 'e' at 60 ms, then one quiet time-out";
    unsigned char rest[4] = {};
    EXPECT_EQ(bt_receive_bytes_raw(socket, rest, 4, 2, message.get(), 0), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(rest), 4), "late");
}

}  // namespace
