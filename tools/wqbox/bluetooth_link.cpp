// The Bluetooth side: an AF_UNIX stream socket named after the box's address
// in $WQ_BT_DIR, and the box's line in $WQ_BT_DIR/devices.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core.h"
#include "wire.h"

namespace wqbox {
namespace {

using namespace std::chrono_literals;

constexpr char link_name[] = "bt";
constexpr char devices_file[] = "devices";
constexpr char devices_lock_file[] = ".devices.lock";
constexpr int listen_backlog = 8;
constexpr std::size_t read_chunk = 4096;
constexpr std::size_t address_text_size = 17;  // XX:XX:XX:XX:XX:XX
// The longest frame payload the box takes outside the data phases.
constexpr std::size_t max_request_payload = 64;
constexpr std::size_t max_time_digits = 20;
constexpr std::size_t max_usage_settings_frame = 64 * 1024;

// A data frame that stops short of its size and stays quiet this long is
// given up. A usage-settings frame ends at the size of the box's block; one
// of any other size ends when the line is quiet this long.
constexpr auto data_frame_give_up = 1000ms;
constexpr auto usage_settings_quiet = 50ms;
constexpr auto transfer_end_quiet = 50ms;
constexpr auto transfer_give_up = 3000ms;

enum class expect { frames, settings_frame, usage_settings_frame, ota_control, image };
enum class frame_state { idle, start_seen, payload, end_seen };

struct session {
    session(box_core& c, int fd) : core(c), io{c, link_name, fd, true} {
        io.byte_time = byte_time_of(c.cfg.baud);
    }

    box_core& core;
    link_io io;
    expect state = expect::frames;
    frame_state frame = frame_state::idle;
    std::vector<unsigned char> payload;
    std::vector<unsigned char> pending;  // a data frame being collected
    bool awaiting_time = false;
    ota_progress update;
    steady::time_point last_byte = steady::now();
    bool closed = false;
};

std::vector<unsigned char> command_frame(std::string_view tag) {
    return answer_bytes(frame_answer(tag));
}

const std::vector<unsigned char> done_frame = command_frame(wire::tag_ota_done);
const std::vector<unsigned char> reset_frame = command_frame(wire::tag_ota_reset);

bool is_framed(const std::vector<unsigned char>& bytes) {
    const std::size_t m = wire::frame_marker_size;
    return bytes.size() >= 2 * m &&
           std::all_of(bytes.begin(), bytes.begin() + m, [](unsigned char b) { return b == wire::frame_start; }) &&
           std::all_of(bytes.end() - m, bytes.end(), [](unsigned char b) { return b == wire::frame_end; });
}

void serve(session& s, std::string_view request, const reply& r) {
    if (serve_request(s.io, request, r) == sent::dropped) s.closed = true;
}

void enter(session& s, expect state) {
    s.state = state;
    s.pending.clear();
    s.frame = frame_state::idle;
}

template <typename F>
std::function<void()> change_state(session& s, F change) {
    return [&s, change] { with_state(s.core, change); };
}

bool box_in_use(session& s) {
    return with_state(s.core, [](box_state& b) { return b.in_use; });
}

// The answer of a request the box refuses while it is in use.
const reply refused_in_use = {frame_answer(wire::reply_busy), nullptr, "refused, box in use"};

// ---- settings ------------------------------------------------------------------------

void serve_write_settings(session& s) {
    if (box_in_use(s)) return serve(s, wire::tag_write_settings, refused_in_use);
    serve(s, wire::tag_write_settings, {frame_answer(wire::reply_write_ack),
                                        [&] { enter(s, expect::settings_frame); },
                                        "waiting for the settings frame"});
}

void serve_settings_frame(session& s, record_layout layout) {
    const std::vector<unsigned char> frame = s.pending;
    enter(s, expect::frames);
    serve(s, "bt-settings-frame",
          {frame_answer(wire::reply_write_done),
           change_state(s, [frame, layout](box_state& b) {
               apply_settings_record(b.settings, frame.data() + wire::frame_marker_size, layout);
               b.last_written_layout = layout;
               ++b.count.settings_writes;
           }),
           std::string(layout == record_layout::safe ? "safe" : "standard") + " record stored"});
}

void serve_read_settings(session& s) {
    const std::vector<unsigned char> record = with_state(s.core, [](box_state& b) {
        record_layout layout = b.last_written_layout;
        if (b.bt_read_layout == bt_layout::standard) layout = record_layout::standard;
        if (b.bt_read_layout == bt_layout::safe) layout = record_layout::safe;
        return encode_settings(b.settings, layout);
    });
    serve(s, wire::tag_read_settings, {frame_answer(record), nullptr,
                                       std::to_string(record.size()) + "-byte record sent"});
}

void serve_defaults(session& s) {
    if (box_in_use(s)) return serve(s, wire::tag_defaults, refused_in_use);
    serve(s, wire::tag_defaults, {frame_answer(wire::reply_defaults), change_state(s, [](box_state& b) {
                                      b.settings = default_settings();
                                      ++b.count.defaults_restored;
                                  }),
                                  "defaults restored"});
}

// ---- clock, identify, reset, battery, flush -------------------------------------------

bool parse_time(const std::vector<unsigned char>& digits, std::uint64_t* value) {
    if (digits.empty() || digits.size() > max_time_digits) return false;
    std::uint64_t v = 0;
    for (unsigned char d : digits) {
        if (!std::isdigit(d)) return false;
        const std::uint64_t next = v * 10 + (d - '0');
        if (next / 10 != v) return false;  // beyond 64 bits
        v = next;
    }
    *value = v;
    return true;
}

void serve_time_frame(session& s, std::uint64_t value) {
    serve(s, "bt-time-frame", {std::nullopt, change_state(s, [value](box_state& b) {
                                   b.clock = value;
                                   b.clock_set = true;
                                   ++b.count.clock_sets;
                               }),
                               "clock set to " + std::to_string(value)});
}

void serve_battery(session& s) {
    const int level = with_state(s.core, [](box_state& b) { return b.battery; });
    serve(s, wire::tag_battery, {frame_answer(std::vector<unsigned char>{static_cast<unsigned char>(level)}),
                                 nullptr, "level " + std::to_string(level)});
}

void serve_flush(session& s) {
    if (box_in_use(s)) {
        return serve(s, wire::tag_flush, {frame_answer(wire::reply_busy),
                                          change_state(s, [](box_state& b) { ++b.count.flushes_refused; }),
                                          "refused, box in use"});
    }
    serve(s, wire::tag_flush, {frame_answer(wire::reply_flush),
                               change_state(s, [](box_state& b) { ++b.count.flushes; }),
                               "stagnation flush started"});
}

// ---- usage settings and usage log ------------------------------------------------------

void serve_usage_settings_count(session& s) {
    const std::uint32_t count = with_state(s.core, [](box_state& b) { return b.usage_setting_count; });
    serve(s, wire::tag_usage_settings_count, {frame_answer(le32_bytes(count)), nullptr,
                                              "count " + std::to_string(count)});
}

void serve_usage_settings_read(session& s) {
    const auto block = with_state(s.core, [](box_state& b) { return b.usage_settings; });
    serve(s, wire::tag_usage_settings_read, {frame_answer(block), nullptr,
                                             std::to_string(block.size()) + "-byte block sent"});
}

void serve_usage_settings_write(session& s) {
    if (box_in_use(s)) return serve(s, wire::tag_usage_settings_write, refused_in_use);
    serve(s, wire::tag_usage_settings_write, {frame_answer(wire::reply_usage_settings_ack),
                                              [&] { enter(s, expect::usage_settings_frame); },
                                              "waiting for the block"});
}

void serve_usage_settings_frame(session& s) {
    const std::vector<unsigned char> frame = s.pending;
    enter(s, expect::frames);
    if (!is_framed(frame)) {
        s.core.log.note(link_name, "usage-settings frame without its markers ignored");
        return;
    }
    const std::vector<unsigned char> block(frame.begin() + wire::frame_marker_size,
                                           frame.end() - wire::frame_marker_size);
    serve(s, "bt-usage-settings-frame", {frame_answer(wire::reply_usage_settings_done),
                                         change_state(s, [block](box_state& b) { b.usage_settings = block; }),
                                         std::to_string(block.size()) + "-byte block stored"});
}

void serve_usage_count(session& s) {
    const std::uint32_t count = usage_entry_count(s.core);
    serve(s, wire::tag_usage_count, {frame_answer(le32_bytes(count)), change_state(s, rewind_usage),
                                     std::to_string(count) + " entries"});
}

void serve_usage_record(session& s, bool repeat) {
    const usage_record record = with_state(s.core, [repeat](box_state& b) {
        return repeat ? repeated_usage_record(b) : next_usage_record(b, false);
    });
    std::function<void()> effect;
    if (!repeat) effect = change_state(s, [](box_state& b) { next_usage_record(b, true); });
    serve(s, repeat ? wire::tag_usage_repeat : wire::tag_usage_next,
          {raw_answer(std::vector<unsigned char>(record.begin(), record.end())), effect,
           "entry " + usage_field_text(record, usage_field::entry_number) + (repeat ? " sent again" : " sent")});
}

void serve_usage_end(session& s) {
    serve(s, wire::tag_usage_end, {std::nullopt, change_state(s, rewind_usage), "download over"});
}

// ---- firmware update --------------------------------------------------------------------

void serve_ota_request(session& s) {
    serve(s, wire::tag_ota_request, {frame_answer(wire::reply_ota_ack), [&] {
                                         s.update.controlled = false;
                                         enter(s, expect::ota_control);
                                     },
                                     "waiting for the control frame"});
}

void serve_ota_control(session& s) {
    const std::vector<unsigned char> frame = s.pending;
    enter(s, expect::frames);
    if (!is_framed(frame)) {
        s.core.log.note(link_name, "control frame without its markers ignored");
        return;
    }
    const ota_control control = read_ota_control(frame.data() + wire::frame_marker_size);
    serve(s, "bt-ota-control", {frame_answer(wire::reply_ota_control),
                                [&s, control] { accept_control(s.core, s.update, control); },
                                "image of " + std::to_string(control.length) + " bytes announced"});
}

// Without accepted control values the box is not in an update: it ignores
// the start request.
void serve_ota_start(session& s) {
    if (!s.update.controlled) {
        s.core.log.note(link_name, "BT_OTA_STR: ignored, no control values accepted");
        return;
    }
    serve(s, wire::tag_ota_start, {frame_answer(wire::reply_ota_started), [&] {
                                       begin_transfer(s.update);
                                       enter(s, expect::image);
                                   },
                                   "receiving the image"});
}

void serve_ota_done(session& s) {
    const bool good = transfer_verifies(s.update);
    serve(s, wire::tag_ota_done, {frame_answer(good ? wire::reply_ota_complete : wire::reply_ota_failed),
                                  [&] { conclude_update(s.core, s.update, good); },
                                  verify_note(s.update, good)});
}

void serve_ota_reset(session& s) {
    serve(s, wire::tag_ota_reset, {std::nullopt, [&] {
                                       s.update.controlled = false;
                                       enter(s, expect::frames);
                                       with_state(s.core, [](box_state& b) { ++b.count.ota_resets; });
                                   },
                                   "restarting"});
}

// ---- parsing -------------------------------------------------------------------------------

struct request_handler {
    std::string_view tag;
    void (*serve)(session&);
};

const request_handler handlers[] = {
    {wire::tag_connect, [](session& s) {
         answer a = frame_answer(wire::reply_connect);
         const std::string& greeting = s.core.cfg.greeting;
         a.parts.emplace_back(greeting.begin(), greeting.end());
         serve(s, wire::tag_connect, {a, nullptr, "connected"});
     }},
    {wire::tag_write_settings, serve_write_settings},
    {wire::tag_read_settings, serve_read_settings},
    {wire::tag_defaults, serve_defaults},
    {wire::tag_sync_time, [](session& s) {
         serve(s, wire::tag_sync_time, {std::nullopt, [&s] { s.awaiting_time = true; }, "waiting for the time"});
     }},
    {wire::tag_identify, [](session& s) {
         serve(s, wire::tag_identify, {std::nullopt, change_state(s, [](box_state& b) { ++b.count.identifies; }),
                                       "identifying"});
     }},
    {wire::tag_device_reset, [](session& s) {
         serve(s, wire::tag_device_reset,
               {std::nullopt, change_state(s, [](box_state& b) { ++b.count.device_resets; }), "resetting"});
     }},
    {wire::tag_usage_settings_count, serve_usage_settings_count},
    {wire::tag_usage_settings_read, serve_usage_settings_read},
    {wire::tag_usage_settings_write, serve_usage_settings_write},
    {wire::tag_usage_count, serve_usage_count},
    {wire::tag_usage_next, [](session& s) { serve_usage_record(s, false); }},
    {wire::tag_usage_repeat, [](session& s) { serve_usage_record(s, true); }},
    {wire::tag_usage_end, serve_usage_end},
    {wire::tag_ota_request, serve_ota_request},
    {wire::tag_ota_start, serve_ota_start},
    {wire::tag_ota_done, serve_ota_done},
    {wire::tag_ota_reset, serve_ota_reset},
    {wire::tag_battery, serve_battery},
    {wire::tag_flush, serve_flush},
};

void dispatch_frame(session& s, const std::vector<unsigned char>& payload) {
    if (s.awaiting_time) {
        s.awaiting_time = false;
        std::uint64_t value = 0;
        if (parse_time(payload, &value)) return serve_time_frame(s, value);
    }
    const std::string_view tag(reinterpret_cast<const char*>(payload.data()), payload.size());
    for (const request_handler& h : handlers) {
        if (h.tag == tag) return h.serve(s);
    }
    s.core.log.note(link_name, "unknown request \"" + std::string(tag) + "\" ignored");
}

// One byte of a frame: "$$", the payload, "##". A lone '#' inside the
// payload is kept with it; a payload longer than any request is dropped.
void feed_frame_byte(session& s, unsigned char b) {
    switch (s.frame) {
        case frame_state::idle:
            if (b == wire::frame_start) s.frame = frame_state::start_seen;
            break;
        case frame_state::start_seen:
            if (b == wire::frame_start) {
                s.payload.clear();
                s.frame = frame_state::payload;
            } else {
                s.frame = frame_state::idle;
            }
            break;
        case frame_state::payload:
            if (b == wire::frame_end) {
                s.frame = frame_state::end_seen;
            } else if (b != wire::frame_start) {
                s.payload.push_back(b);
            }
            break;
        case frame_state::end_seen:
            if (b == wire::frame_end) {
                s.frame = frame_state::idle;
                dispatch_frame(s, s.payload);
                return;
            }
            s.payload.push_back(wire::frame_end);
            s.payload.push_back(b);
            s.frame = frame_state::payload;
            break;
    }
    if (s.payload.size() > max_request_payload) {
        s.payload.clear();
        s.frame = frame_state::idle;
    }
}

constexpr std::size_t standard_frame_size = wire::standard_record_size + 2 * wire::frame_marker_size;
constexpr std::size_t safe_frame_size = wire::safe_record_size + 2 * wire::frame_marker_size;

// The layout of a settings frame is told by its length: a standard frame is
// complete at its size when it ends in "##" there (a safe record never has
// '#' at those places: they hold the digits of its mode text).
void check_settings_frame(session& s) {
    if (s.pending.size() == standard_frame_size && is_framed(s.pending)) {
        serve_settings_frame(s, record_layout::standard);
    } else if (s.pending.size() == safe_frame_size) {
        if (is_framed(s.pending)) {
            serve_settings_frame(s, record_layout::safe);
        } else {
            s.core.log.note(link_name, "settings frame without its markers ignored");
            enter(s, expect::frames);
        }
    }
}

void end_transfer(session& s, bool reset) {
    drop_image_tail(s.update.receive, done_frame.size());
    enter(s, expect::frames);
    if (reset) {
        serve_ota_reset(s);
    } else {
        serve_ota_done(s);
    }
}

// Image bytes: everything until the done (or reset) frame, spotted at once
// behind an image of the announced length, else when the line goes quiet.
std::size_t feed_image(session& s, const unsigned char* data, std::size_t size) {
    const std::size_t taken =
        add_transfer_bytes(s.update.receive, data, size, done_frame.size(), s.core.cfg.firmware_capacity);
    if (ends_on_time(s.update.receive, done_frame)) {
        end_transfer(s, false);
    } else if (ends_on_time(s.update.receive, reset_frame)) {
        end_transfer(s, true);
    }
    return taken;
}

// A usage-settings frame: whole at once when it has the box's own block
// size and its end markers, as the layout host and box share fixes it.
std::size_t feed_usage_settings(session& s, const unsigned char* data, std::size_t size) {
    const std::size_t own_size = s.core.cfg.usage_settings_size + 2 * wire::frame_marker_size;
    const std::size_t limit = s.pending.size() < own_size ? own_size : max_usage_settings_frame;
    const std::size_t taken = collect_bytes(s.pending, data, size, limit);
    if (s.pending.size() == own_size && is_framed(s.pending)) serve_usage_settings_frame(s);
    return taken;
}

void feed(session& s, const unsigned char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size && !s.closed) {
        switch (s.state) {
            case expect::frames:
                feed_frame_byte(s, data[i++]);
                break;
            case expect::settings_frame:
                i += collect_bytes(s.pending, data + i, size - i, safe_frame_size);
                check_settings_frame(s);
                break;
            case expect::usage_settings_frame:
                i += feed_usage_settings(s, data + i, size - i);
                break;
            case expect::ota_control:
                i += collect_bytes(s.pending, data + i, size - i, wire::bt_ota_control_frame_size);
                if (s.pending.size() == wire::bt_ota_control_frame_size) serve_ota_control(s);
                break;
            case expect::image:
                i += feed_image(s, data + i, size - i);
                break;
        }
    }
}

bool transfer_ends_here(const session& s) {
    return may_end_when_quiet(s.update.receive, done_frame) || may_end_when_quiet(s.update.receive, reset_frame);
}

std::optional<steady::time_point> quiet_deadline(const session& s) {
    switch (s.state) {
        case expect::frames: return std::nullopt;
        case expect::settings_frame:
        case expect::ota_control: return s.last_byte + data_frame_give_up;
        case expect::usage_settings_frame:
            // A block not yet begun is waited for as long as a data frame is.
            return s.last_byte + (s.pending.empty() ? data_frame_give_up : usage_settings_quiet);
        case expect::image:
            return s.last_byte + (transfer_ends_here(s) ? transfer_end_quiet : transfer_give_up);
    }
    return std::nullopt;
}

void on_quiet(session& s) {
    switch (s.state) {
        case expect::frames:
            break;
        case expect::settings_frame:
        case expect::ota_control:
            s.core.log.note(link_name, "incomplete data frame of " + std::to_string(s.pending.size()) +
                                           " bytes ignored");
            enter(s, expect::frames);
            break;
        case expect::usage_settings_frame:
            if (s.pending.empty()) {
                s.core.log.note(link_name, "no usage-settings block came");
                enter(s, expect::frames);
                return;
            }
            serve_usage_settings_frame(s);
            break;
        case expect::image:
            if (transfer_ends_here(s)) {
                end_transfer(s, may_end_when_quiet(s.update.receive, reset_frame));
                return;
            }
            s.core.log.note(link_name, "transfer abandoned after " + std::to_string(s.update.receive.received) + " bytes");
            s.update.controlled = false;
            enter(s, expect::frames);
            break;
    }
}

void serve_connection(box_core& core, int fd) {
    session s(core, fd);
    unsigned char buffer[read_chunk];
    while (!s.closed) {
        const wait_result w = wait_for(core, fd, POLLIN, quiet_deadline(s));
        if (w == wait_result::stopping) return;
        if (w == wait_result::timeout) {
            on_quiet(s);
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, inbound_slice(s.io, sizeof buffer), 0);
        if (n == 0) {
            core.log.note(link_name, "host closed the connection");
            // What was still waiting for the line to go quiet ends here: a
            // reset frame behind a broken-off image, say.
            if (s.state != expect::frames) on_quiet(s);
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            core.log.note(link_name, std::string("connection failed: ") + std::strerror(errno));
            return;
        }
        if (!pace_inbound(s.io, static_cast<std::size_t>(n))) return;
        core.log.traffic(link_name, true, buffer, static_cast<std::size_t>(n));
        feed(s, buffer, static_cast<std::size_t>(n));
        s.last_byte = steady::now();  // quiet times count from our answer on
    }
    core.log.note(link_name, "connection dropped");
}

// ---- the devices list ------------------------------------------------------------------

// Every box in the directory edits the devices file under one lock, and
// replaces it whole, so a host never reads half a file.
class devices_lock {
public:
    explicit devices_lock(const std::string& dir)
        : fd_(::open((dir + "/" + devices_lock_file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~devices_lock() {
        if (fd_ >= 0) ::close(fd_);
    }
    devices_lock(const devices_lock&) = delete;
    devices_lock& operator=(const devices_lock&) = delete;

private:
    int fd_;
};

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool write_lines(const std::string& path, const std::vector<std::string>& lines) {
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const std::string& line : lines) out << line << '\n';
        if (!out) return false;
    }
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

// A line with our address is a leftover of a box that was killed: its
// socket was claimed as stale before we got here.
bool add_device_line(const std::string& dir, const std::string& line) {
    devices_lock lock(dir);
    const std::string path = dir + "/" + devices_file;
    std::vector<std::string> lines = read_lines(path);
    std::erase_if(lines, [&](const std::string& old) {
        return old.compare(0, address_text_size, line, 0, address_text_size) == 0;
    });
    lines.push_back(line);
    return write_lines(path, lines);
}

void remove_device_line(const std::string& dir, const std::string& line) {
    devices_lock lock(dir);
    const std::string path = dir + "/" + devices_file;
    std::vector<std::string> lines = read_lines(path);
    const auto ours = std::find(lines.rbegin(), lines.rend(), line);
    if (ours == lines.rend()) return;
    lines.erase(std::next(ours).base());
    write_lines(path, lines);
}

// "00:11:22:33:44:aa" -> "00:11:22:33:44:AA"; false for anything else.
bool normalise_address(const std::string& text, std::string* out) {
    if (text.size() != address_text_size) return false;
    std::string address = text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const bool separator = i % 3 == 2;
        if (separator ? address[i] != ':' : !std::isxdigit(static_cast<unsigned char>(address[i]))) return false;
        address[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(address[i])));
    }
    *out = address;
    return true;
}

bool valid_greeting(const std::string& text) {
    return text.find_first_of("$#") == std::string::npos;
}

// A socket file left behind by a box that is gone is removed; one that a
// live box answers on is not.
bool claim_socket_path(const std::string& path, std::string* error) {
    if (::access(path.c_str(), F_OK) != 0) return true;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (live) {
        *error = "another box is listening on " + path;
        return false;
    }
    ::unlink(path.c_str());
    return true;
}

}  // namespace

bool open_bt_link(box_core& core, std::string* error) {
    std::string address;
    if (!normalise_address(core.cfg.bt_address, &address)) {
        *error = "the Bluetooth address must read XX:XX:XX:XX:XX:XX, not '" + core.cfg.bt_address + "'";
        return false;
    }
    if (!valid_greeting(core.cfg.greeting) || !valid_greeting(core.cfg.name)) {
        *error = "the name and the greeting cannot hold '$' or '#'";
        return false;
    }
    const std::string path = core.cfg.bt_dir + "/" + address;
    sockaddr_un where{};
    if (path.size() >= sizeof where.sun_path) {
        *error = "the socket path " + path + " is too long";
        return false;
    }
    if (!claim_socket_path(path, error)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    where.sun_family = AF_UNIX;
    std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd, listen_backlog) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    core.listen_fd = fd;
    core.bt_socket = path;
    core.devices_line = address + " " + core.cfg.name;
    if (!add_device_line(core.cfg.bt_dir, core.devices_line)) {
        *error = "cannot write " + core.cfg.bt_dir + "/" + devices_file;
        core.devices_line.clear();
        close_bt_link(core);
        return false;
    }
    core.log.note(link_name, "listening on " + path + " as \"" + core.cfg.name + "\"");
    return true;
}

void close_bt_link(box_core& core) {
    if (core.listen_fd >= 0) ::close(core.listen_fd);
    core.listen_fd = -1;
    if (!core.bt_socket.empty()) ::unlink(core.bt_socket.c_str());
    core.bt_socket.clear();
    if (!core.devices_line.empty()) remove_device_line(core.cfg.bt_dir, core.devices_line);
    core.devices_line.clear();
}

void run_bt_link(box_core& core) {
    for (;;) {
        if (wait_for(core, core.listen_fd, POLLIN, std::nullopt) != wait_result::ready) return;
        const int fd = ::accept4(core.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        const unsigned number = with_state(core, [](box_state& b) { return ++b.count.bt_connections; });
        core.log.note(link_name, "connection " + std::to_string(number) + " opened");
        serve_connection(core, fd);
        ::close(fd);
    }
}

}  // namespace wqbox
