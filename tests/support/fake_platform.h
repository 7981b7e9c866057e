// The fake platform: a scripted box on a virtual clock, for unit tests.
//
// A test says which bytes it expects the library to write and what the box
// answers, and when; sleeps and time-outs advance virtual time only, so a
// 20-second retry loop runs in microseconds and its duration is exact. Any
// platform call can be made to fail, and every open, start-up and
// allocation is counted so a test can assert that nothing leaks.
//
// The fake keeps its state in one process-wide instance: it is a test
// double, linked only into unit tests, never into the library.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace fake {

using bytes = std::vector<unsigned char>;

// Byte strings join with +; a text's bytes come without its terminator, or
// with one zero byte (with_zero).
inline bytes operator+(bytes left, const bytes& right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}
inline bytes text(std::string_view characters) { return {characters.begin(), characters.end()}; }
inline bytes with_zero(std::string_view characters) { return text(characters) + bytes{0}; }
inline bytes repeat(unsigned char value, std::size_t count) { return bytes(count, value); }

// The calls a test can make fail.
enum class call {
    flush_file_buffers, set_comm_timeouts, get_comm_state, set_comm_state, write_file, heap_alloc,
    wsa_startup, lookup_begin, lookup_next, socket_open, connect, set_socket_option, send
};

// Forgets every script, failure, counter and the clock (back to 0 ms).
void reset();
std::int64_t now_ms();

// The `nth` next call of `c` (1 = the very next one) fails. Socket-layer
// calls report `error` through WSAGetLastError; a failing WSAStartup returns
// it. A failing heap allocation returns nullptr.
void fail(call c, int nth = 1, int error = 10050);
// The `nth` next write (write_file) or send moves only `count` bytes.
void short_write(call c, std::uint32_t count, int nth = 1);

// One connection of the box: what it expects and what it answers.
class link {
public:
    // The library must write exactly these bytes next.
    link& expect(const bytes& data);
    // The library writes `count` bytes that the test checks itself.
    link& expect_any(std::size_t count);
    // The box sends `data`, `after_ms` after the previous step (the write
    // that satisfied the last expect, or the open/connect).
    link& reply(const bytes& data, std::int64_t after_ms = 0);
    // The box drops the link `after_ms` after the previous step.
    link& hang_up(std::int64_t after_ms = 0);

    // Every write (serial) or send (socket) the library made, as made.
    const std::vector<bytes>& writes() const { return writes_; }
    // True when every step of the script was reached.
    bool finished() const { return next_step_ == steps_.size(); }

    // --- used by the fake backend itself ---
    // Queues the replies and hang-up that follow the last step reached.
    void schedule_replies(std::int64_t from_ms);
    void on_write(const unsigned char* data, std::size_t count, std::int64_t at_ms);
    struct incoming {
        std::int64_t at_ms;
        unsigned char value;
    };
    std::deque<incoming> inbox;      // bytes the box has sent or will send
    std::int64_t hang_up_at = -1;    // when the box drops the link; -1 never
    std::string name;                // device name or address, for errors

private:
    struct step {
        enum kind { expect_bytes, expect_count, send_bytes, drop } what;
        bytes data;
        std::size_t count = 0;
        std::int64_t after_ms = 0;
    };
    link& add(const step& s);
    std::vector<step> steps_;
    std::size_t next_step_ = 0;
    std::size_t matched_in_step_ = 0;
    std::vector<bytes> writes_;
};

// Adds a session script for the next open of `device_name` (as passed to
// the open call, e.g. "COM3" or "\\.\COM12"). Each open takes the next
// script; a device without one left cannot be opened.
link& serial_port(const std::string& device_name);
// Adds a connection script for the next connect to `address`. A connect
// without a script left fails with 10061 (connection refused).
link& bt_box(std::uint64_t address);
// A device the Bluetooth lookup reports, in order; nullptr: no name.
void add_known_device(const char* name, std::uint64_t address);

void next_handle(plat_handle value);

// What the library did, as far as the tests look at it.
struct record {
    int ports_opened = 0, ports_closed = 0;
    int startups = 0, cleanups = 0;  // successful WSAStartup calls, and WSACleanup
    int sockets_opened = 0, sockets_closed = 0;
    int heap_allocs = 0, heap_frees = 0;  // successful allocations, and frees
    int lookups_begun = 0, lookups_ended = 0;
    std::vector<std::string> errors;         // script mismatches and misuse
    std::vector<std::string> open_attempts;  // device names to open, in order, opened or not
    bytes last_connect_address;              // the 30 bytes of the last connect
    std::vector<std::size_t> heap_requests;  // block sizes asked for, in order
};
const record& seen();
// True when every port, socket, lookup, heap block and start-up that was
// obtained has been given back.
bool balanced();

}  // namespace fake
