// A test on a kept connection to the scripted box: the socket the host
// would hold between calls, a message buffer of exactly 128 bytes, and the
// virtual time since the connection stood.
#pragma once

#include <cstring>
#include <string>

#include "bt_fake_box.h"

// What a receive leaves when the box stayed silent.
inline const std::string bt_read_timeout_message = "An Error Occurred During Reading: 10060";

// One outcome of a call that sends its last request and then ends the
// connection itself.
struct bt_ending_outcome {
    int send_error;  // 0: the request goes out
    int status;
    std::string english;  // the message after the call ("earlier": left alone)
    std::string german;
};
using bt_ending_call = int (*)(unsigned int socket, char* message, int language);

class BtKeptConnectionTest : public FakePlatformTest {
protected:
    exact_buffer message{128, 'M'};
    unsigned int socket = 0;
    std::int64_t start_ms = 0;

    // Connects to the box scripted at test_box_address.
    void connect() {
        socket = open_test_socket();
        ASSERT_NE(socket, 0u);
        start_ms = fake::now_ms();
    }
    void close() {
        if (socket) bt_end_kept_connection(socket);
        socket = 0;
    }
    // Ends one row of a table before the next row resets the fake: the
    // connection closed, the script kept and nothing left open.
    void finish_row() {
        close();
        for (const std::string& error : fake::errors()) ADD_FAILURE() << error;
        EXPECT_TRUE(fake::balanced());
    }
    // Runs an ending call on a fresh connection: `request` goes out (unless
    // the send fails), nothing is awaited, and the socket is closed and the
    // socket layer ended exactly once whatever the outcome. Returns the
    // socket value the call ended.
    unsigned int run_ending_call(bt_ending_call call, const char* request, const bt_ending_outcome& outcome,
                         int language) {
        fake::reset();
        fake::link& box = fake::bt_box(test_box_address);
        box.expect(fake::text(request));
        connect();
        if (outcome.send_error) fake::fail(fake::call::send, 1, outcome.send_error);
        set_message("earlier");
        EXPECT_EQ(call(socket, message.get(), language), outcome.status);
        EXPECT_EQ(message.str(), language ? outcome.german : outcome.english);
        EXPECT_EQ(box.finished(), outcome.send_error == 0);
        const fake::tally t = fake::counts();
        EXPECT_EQ(t.sockets_closed, 1);
        EXPECT_EQ(t.cleanups, 1);
        EXPECT_EQ(elapsed(), 0) << "no reply is awaited";
        const unsigned int ended = socket;
        socket = 0;
        return ended;
    }
    void TearDown() override {
        close();
        FakePlatformTest::TearDown();
    }
    std::int64_t elapsed() const { return fake::now_ms() - start_ms; }
    void set_message(const char* text) {
        std::memset(message.get(), 0, 128);
        std::strncpy(message.get(), text, 127);
    }
};
