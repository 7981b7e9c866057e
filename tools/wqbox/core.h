// What the two links share inside the emulator: the box state, the fault
// table, the transcript, the stop signal, and the way answers go out.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "box.h"

namespace wqbox {

using steady = std::chrono::steady_clock;

struct box_core {
    explicit box_core(const config& c);
    ~box_core();

    config cfg;
    transcript log;
    mutable std::mutex lock;  // guards state and faults
    box_state state;
    std::vector<fault> faults;

    // A pipe whose read end becomes readable when the box stops.
    int wake_read = -1;
    int wake_write = -1;
    std::atomic<bool> stopping{false};

    std::thread serial_thread;
    std::thread bt_thread;
    // The serial line: a pty master, and its slave held open so that the
    // line stays up between the host's opens.
    int pty_master = -1;
    int pty_slave = -1;
    std::string com_link;

    int listen_fd = -1;
    std::string bt_socket;
    std::string devices_line;
};

// The first fault that matches `request`, counted as used.
std::optional<fault> take_fault(box_core& core, std::string_view request);

// Runs `change` on the state under the lock.
template <typename F>
auto with_state(box_core& core, F&& change) {
    std::lock_guard<std::mutex> guard(core.lock);
    return change(core.state);
}

// Sleeps until `until`; false when the box is stopping.
bool sleep_until(box_core& core, steady::time_point until);

enum class wait_result { ready, timeout, stopping };
// Waits for `events` on `fd` until the deadline (none: forever).
wait_result wait_for(box_core& core, int fd, short events,
                     std::optional<steady::time_point> deadline);

// One end of a link the box talks through.
struct link_io {
    box_core& core;
    std::string_view name;  // "serial" or "bt"
    int fd = -1;
    bool is_socket = false;
    std::chrono::nanoseconds byte_time{0};
    steady::time_point inbound_clear{};  // when the bytes read so far are through
    bool inbound_backlog = false;        // more bytes were queued behind them
};

enum class sent { ok, dropped, failed, stopping };

// Sends an answer with a fault's shaping (split, cut, drop, delay, and the
// word, busy, shorten and extend changes). `dropped` asks the link to drop.
sent send_answer(link_io& io, const answer& a, const fault* f);
// Takes the time `count` just-read bytes need on a paced line; false when
// the box is stopping.
bool pace_inbound(link_io& io, std::size_t count);
// How many bytes to read at once: a few milliseconds of line time on a paced
// link, else the whole buffer.
std::size_t inbound_slice(const link_io& io, std::size_t buffer_size);
// The time of one byte at `baud` (ten bit times), zero for 0.
std::chrono::nanoseconds byte_time_of(std::uint32_t baud);

// What a request does: its effect on the box and its answer, if any.
struct reply {
    std::optional<answer> ans;
    std::function<void()> effect;
    std::string what;  // for the transcript
};
// Serves one request: a silent, word or busy fault keeps the effect from
// happening (the box did not take the request); otherwise the effect
// happens, then the answer goes out shaped by any other fault.
sent serve_request(link_io& io, std::string_view request, const reply& r);

// Little-endian numbers on the wire.
std::uint64_t read_le(const unsigned char* at, std::size_t size);
std::vector<unsigned char> le32_bytes(std::uint32_t value);
// Appends to `pending` until it holds `wanted` bytes; how many it took.
std::size_t collect_bytes(std::vector<unsigned char>& pending, const unsigned char* data,
                          std::size_t size, std::size_t wanted);

// Firmware-update steps both links share: the control values (two 64-bit
// little-endian numbers, of which the box uses the low 32 bits), and the
// verify's outcome in the box state.
struct ota_control {
    std::uint32_t length;
    std::uint32_t crc;
};
ota_control read_ota_control(const unsigned char* values);

// A firmware update as one link sees it.
struct ota_progress {
    bool controlled = false;  // control values accepted, an image may follow
    firmware_receive receive;
};
void accept_control(box_core& core, ota_progress& update, const ota_control& control);
// Starts the image over; the box takes it only after accepted control values.
void begin_transfer(ota_progress& update);
bool transfer_verifies(const ota_progress& update);
// Ends the update and records how the verify went.
void conclude_update(box_core& core, ota_progress& update, bool good);
std::string verify_note(const ota_progress& update, bool good);

// The usage log's size; a count or end request rewinds the download.
std::uint32_t usage_entry_count(box_core& core);
void rewind_usage(box_state& b);

// The usage record a fetch sends next; `advance` moves the cursor on. Past
// the end of the log the box reports empty slots.
usage_record next_usage_record(box_state& b, bool advance);
// The record a repeat request sends: the last one sent, or else the next.
usage_record repeated_usage_record(box_state& b);

// The two links, each run on its own thread until the box stops.
bool open_serial_link(box_core& core, std::string* error);
void run_serial_link(box_core& core);
void close_serial_link(box_core& core);

bool open_bt_link(box_core& core, std::string* error);
void run_bt_link(box_core& core);
void close_bt_link(box_core& core);

}  // namespace wqbox
