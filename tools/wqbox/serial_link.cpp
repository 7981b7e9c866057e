// The serial side: a pseudo-terminal whose slave the host opens as COMn.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core.h"
#include "wire.h"

namespace wqbox {
namespace {

using namespace std::chrono_literals;

constexpr char link_name[] = "serial";
constexpr std::size_t read_chunk = 4096;

// The request alone does not tell a short record from a long one; a record
// that stops at the short size and stays quiet this long is a short one.
constexpr auto short_record_quiet = 100ms;
// A block or record that stays incomplete this long is given up.
constexpr auto partial_give_up = 1000ms;
// A transfer that ends in a verify block and goes quiet this long ends there.
constexpr auto transfer_end_quiet = 50ms;
// A transfer that goes quiet this long without a verify block is abandoned.
constexpr auto transfer_give_up = 3000ms;

enum class expect { command, time_block, ota_control, settings_record, image };

struct session {
    explicit session(box_core& c) : core(c), io{c, link_name, c.pty_master} {
        io.byte_time = byte_time_of(c.cfg.baud);
    }

    box_core& core;
    link_io io;
    expect state = expect::command;
    std::vector<unsigned char> pending;  // a block or record being collected
    unsigned char run_byte = 0;          // command blocks: the run of one byte
    std::size_t run_length = 0;
    std::string text_window;             // the last bytes, for the text requests
    ota_progress update;
    steady::time_point last_byte = steady::now();
    bool drop_requested = false;
};

const std::vector<unsigned char> verify_block(wire::block_size, wire::cmd_ota_verify);

void serve(session& s, std::string_view request, const reply& r) {
    if (serve_request(s.io, request, r) == sent::dropped) s.drop_requested = true;
}

void reset_command_parser(session& s) {
    s.run_length = 0;
    s.text_window.clear();
}

void enter(session& s, expect state) {
    s.state = state;
    s.pending.clear();
    reset_command_parser(s);
}

// ---- requests ----------------------------------------------------------------------

void serve_probe(session& s) {
    std::vector<unsigned char> bytes(wire::block_size, wire::probe_echo);
    bytes.push_back(wire::probe_revision);
    const std::string& text = s.core.cfg.identification;
    bytes.insert(bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(
                                                std::min(text.size(), wire::identification_max)));
    bytes.push_back(0);
    serve(s, "probe", {raw_answer(bytes), [&] { with_state(s.core, [](box_state& b) { ++b.count.probes; }); },
                       "identification sent"});
}

void serve_read_settings(session& s) {
    const std::vector<unsigned char> record = with_state(s.core, [](box_state& b) {
        return encode_settings(b.settings, b.serial_read_format == serial_format::short_record
                                               ? record_layout::serial_short
                                               : record_layout::standard);
    });
    serve(s, "read-settings", {raw_answer(record), nullptr,
                               std::to_string(record.size()) + "-byte record sent"});
}

void serve_write_settings(session& s) {
    serve(s, "write-settings", {raw_answer(wire::write_ack), [&] { enter(s, expect::settings_record); },
                                "waiting for the record"});
}

void serve_settings_record(session& s, record_layout layout) {
    const std::vector<unsigned char> record = s.pending;
    enter(s, expect::command);
    serve(s, "settings-record",
          {raw_answer(wire::write_done),
           [&] {
               with_state(s.core, [&](box_state& b) {
                   apply_settings_record(b.settings, record.data(), layout);
                   b.last_written_layout = record_layout::standard;
                   ++b.count.settings_writes;
               });
           },
           std::to_string(record.size()) + "-byte record stored"});
}

void serve_defaults(session& s) {
    serve(s, "defaults", {raw_answer(wire::defaults_ack), [&] {
                              with_state(s.core, [](box_state& b) {
                                  b.settings = default_settings();
                                  ++b.count.defaults_restored;
                              });
                          },
                          "defaults restored"});
}

void serve_clock(session& s) {
    serve(s, "clock", {std::nullopt, [&] { enter(s, expect::time_block); }, "waiting for the time block"});
}

void serve_time_block(session& s) {
    const std::vector<unsigned char> block = s.pending;
    enter(s, expect::command);
    const auto value = static_cast<std::uint32_t>(read_le(block.data(), wire::time_value_size));
    const bool filled = std::all_of(block.begin() + wire::time_value_size, block.end(),
                                    [](unsigned char b) { return b == wire::cmd_clock; });
    serve(s, "time-block", {std::nullopt, [&] {
                                with_state(s.core, [&](box_state& b) {
                                    b.clock = value;
                                    b.clock_set = true;
                                    ++b.count.clock_sets;
                                });
                            },
                            "clock set to " + std::to_string(value) +
                                (filled ? "" : " (fill bytes are not the clock command)")});
}

void serve_ota_request(session& s) {
    serve(s, "ota-request", {raw_answer(wire::ota_request_ack), [&] {
                                 s.update.controlled = false;
                                 enter(s, expect::ota_control);
                             },
                             "waiting for the control block"});
}

void serve_ota_control(session& s) {
    const ota_control control = read_ota_control(s.pending.data());
    enter(s, expect::command);
    serve(s, "ota-control", {raw_answer(wire::ota_control_ack), [&] {
                                 accept_control(s.core, s.update, control);
                             },
                             "image of " + std::to_string(control.length) + " bytes announced"});
}

// A start request without accepted control values is ignored: the box is
// not in an update and has nothing to receive the image into.
void serve_ota_start(session& s) {
    if (!s.update.controlled) {
        s.core.log.note(link_name, "ota-start: ignored, no control values accepted");
        return;
    }
    serve(s, "ota-start", {raw_answer(wire::ota_start_ack), [&] {
                               begin_transfer(s.update);
                               enter(s, expect::image);
                           },
                           "receiving the image"});
}

void serve_ota_verify(session& s) {
    const bool good = transfer_verifies(s.update);
    serve(s, "ota-verify", {raw_answer(good ? wire::ota_done_ack : wire::ota_failed),
                            [&] { conclude_update(s.core, s.update, good); }, verify_note(s.update, good)});
}

void serve_usage_count(session& s) {
    const std::uint32_t count = usage_entry_count(s.core);
    serve(s, "usage-count", {raw_answer(le32_bytes(count)), [&] { with_state(s.core, rewind_usage); },
                             std::to_string(count) + " entries"});
}

void serve_usage_start(session& s) {
    const usage_record record = with_state(s.core, [](box_state& b) { return next_usage_record(b, false); });
    serve(s, "usage-start",
          {raw_answer(std::vector<unsigned char>(record.begin(), record.end())),
           [&] { with_state(s.core, [](box_state& b) { next_usage_record(b, true); }); },
           "entry " + usage_field_text(record, usage_field::entry_number) + " sent"});
}

void serve_usage_end(session& s) {
    serve(s, "usage-end", {std::nullopt, [&] { with_state(s.core, rewind_usage); }, "download over"});
}

// ---- parsing -----------------------------------------------------------------------

void dispatch_block(session& s, unsigned char command) {
    // Whatever the host did not read of an earlier answer is gone by now, as
    // a real port's receive queue is purged when the host opens it.
    ::tcflush(s.core.pty_slave, TCIFLUSH);
    switch (command) {
        case wire::cmd_probe: serve_probe(s); break;
        case wire::cmd_read_settings: serve_read_settings(s); break;
        case wire::cmd_write_settings: serve_write_settings(s); break;
        case wire::cmd_defaults: serve_defaults(s); break;
        case wire::cmd_clock: serve_clock(s); break;
        case wire::cmd_ota_request: serve_ota_request(s); break;
        case wire::cmd_ota_start: serve_ota_start(s); break;
        case wire::cmd_ota_verify: serve_ota_verify(s); break;
        case wire::cmd_usage_count: serve_usage_count(s); break;
        default: s.core.log.note(link_name, "unknown command block ignored"); break;
    }
}

void feed_command_byte(session& s, unsigned char b) {
    s.text_window.push_back(static_cast<char>(b));
    if (s.text_window.size() > wire::usage_start.size()) s.text_window.erase(0, 1);
    if (s.text_window == wire::usage_start || s.text_window == wire::usage_end) {
        const bool start = s.text_window == wire::usage_start;
        reset_command_parser(s);
        ::tcflush(s.core.pty_slave, TCIFLUSH);
        if (start) {
            serve_usage_start(s);
        } else {
            serve_usage_end(s);
        }
        return;
    }
    if (s.run_length > 0 && b == s.run_byte) {
        ++s.run_length;
    } else {
        s.run_byte = b;
        s.run_length = 1;
    }
    if (s.run_length == wire::block_size) {
        reset_command_parser(s);
        dispatch_block(s, b);
    }
}

void end_transfer_with_verify(session& s) {
    drop_image_tail(s.update.receive, verify_block.size());
    enter(s, expect::command);
    ::tcflush(s.core.pty_slave, TCIFLUSH);
    serve_ota_verify(s);
}

// Image bytes: everything until the verify block. It is spotted at once
// when it follows an image of the announced length, else when the line
// goes quiet behind it.
std::size_t feed_image(session& s, const unsigned char* data, std::size_t size) {
    const std::size_t taken =
        add_transfer_bytes(s.update.receive, data, size, verify_block.size(), s.core.cfg.firmware_capacity);
    if (ends_on_time(s.update.receive, verify_block)) end_transfer_with_verify(s);
    return taken;
}

void feed(session& s, const unsigned char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size && !s.drop_requested) {
        switch (s.state) {
            case expect::command:
                feed_command_byte(s, data[i++]);
                break;
            case expect::time_block:
                i += collect_bytes(s.pending, data + i, size - i, wire::time_block_size);
                if (s.pending.size() == wire::time_block_size) serve_time_block(s);
                break;
            case expect::ota_control:
                i += collect_bytes(s.pending, data + i, size - i, wire::ota_control_size);
                if (s.pending.size() == wire::ota_control_size) serve_ota_control(s);
                break;
            case expect::settings_record:
                i += collect_bytes(s.pending, data + i, size - i, wire::standard_record_size);
                if (s.pending.size() == wire::standard_record_size) serve_settings_record(s, record_layout::standard);
                break;
            case expect::image:
                i += feed_image(s, data + i, size - i);
                break;
        }
    }
}

// When the line has been quiet long enough to decide something.
std::optional<steady::time_point> quiet_deadline(const session& s) {
    switch (s.state) {
        case expect::command:
            if (s.run_length == 0 && s.text_window.empty()) return std::nullopt;
            return s.last_byte + partial_give_up;
        case expect::settings_record:
            if (s.pending.size() == wire::short_record_size) return s.last_byte + short_record_quiet;
            return s.last_byte + partial_give_up;
        case expect::time_block:
        case expect::ota_control:
            return s.last_byte + partial_give_up;
        case expect::image:
            return s.last_byte + (may_end_when_quiet(s.update.receive, verify_block) ? transfer_end_quiet : transfer_give_up);
    }
    return std::nullopt;
}

void on_quiet(session& s) {
    switch (s.state) {
        case expect::command:
            reset_command_parser(s);
            break;
        case expect::settings_record:
            if (s.pending.size() == wire::short_record_size) {
                serve_settings_record(s, record_layout::serial_short);
                return;
            }
            s.core.log.note(link_name, "settings record of " + std::to_string(s.pending.size()) +
                                           " bytes given up");
            enter(s, expect::command);
            break;
        case expect::time_block:
        case expect::ota_control:
            s.core.log.note(link_name, "incomplete block given up");
            enter(s, expect::command);
            break;
        case expect::image:
            if (may_end_when_quiet(s.update.receive, verify_block)) {
                end_transfer_with_verify(s);
                return;
            }
            s.core.log.note(link_name, "transfer abandoned after " + std::to_string(s.update.receive.received) + " bytes");
            s.update.controlled = false;
            enter(s, expect::command);
            break;
    }
}

// ---- the line ----------------------------------------------------------------------

void make_raw(int fd) {
    termios tty{};
    if (::tcgetattr(fd, &tty) != 0) return;
    ::cfmakeraw(&tty);
    tty.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tty.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB);
    tty.c_cflag |= CLOCAL | CREAD | CS8;
    ::cfsetispeed(&tty, B57600);
    ::cfsetospeed(&tty, B57600);
    ::tcsetattr(fd, TCSANOW, &tty);
}

// Opens a fresh raw pseudo-terminal and links its slave as the COM name.
// With `replace` the name exists already (the old line): the new link is
// made beside it and renamed over it, so the name never goes missing, and
// the caller closes the old line only after that.
bool open_line(box_core& core, bool replace, std::string* error) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char slave_name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slave_name, sizeof slave_name) != 0) {
        *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0) ::close(master);
        return false;
    }
    const int slave = ::open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        *error = std::string("cannot open ") + slave_name + ": " + std::strerror(errno);
        ::close(master);
        return false;
    }
    make_raw(slave);
    const std::string link = replace ? core.com_link + ".replug" : core.com_link;
    if (replace) ::unlink(link.c_str());  // a leftover of an earlier run
    if (::symlink(slave_name, link.c_str()) != 0 ||
        (replace && ::rename(link.c_str(), core.com_link.c_str()) != 0)) {
        *error = "cannot link " + core.com_link + ": " + std::strerror(errno);
        ::unlink(link.c_str());
        ::close(slave);
        ::close(master);
        return false;
    }
    core.pty_master = master;
    core.pty_slave = slave;
    core.log.note(link_name, core.com_link + " -> " + slave_name);
    return true;
}

void close_pty(int slave, int master) {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
}

void close_line(box_core& core) {
    if (!core.com_link.empty()) ::unlink(core.com_link.c_str());
    close_pty(core.pty_slave, core.pty_master);
    core.pty_slave = -1;
    core.pty_master = -1;
}

// The host sees the line hang up; a fresh line is then in its place, as
// when a cable is pulled and plugged in again. The new line takes the name
// first and the old one hangs up after, so a host that reopens the moment
// it sees the hang-up finds the new line.
bool replug_line(box_core& core) {
    core.log.note(link_name, "line dropped");
    const int old_slave = core.pty_slave;
    const int old_master = core.pty_master;
    std::string error;
    if (!open_line(core, true, &error)) {
        core.log.note(link_name, error);
        close_line(core);
        return false;
    }
    close_pty(old_slave, old_master);
    return true;
}

}  // namespace

bool open_serial_link(box_core& core, std::string* error) {
    core.com_link = core.cfg.com_dir + "/COM" + std::to_string(core.cfg.com_port);
    std::error_code ec;
    if (std::filesystem::symlink_status(core.com_link, ec).type() != std::filesystem::file_type::not_found) {
        *error = core.com_link + " exists already (another box, or a stale link to remove)";
        core.com_link.clear();
        return false;
    }
    if (!open_line(core, false, error)) {
        core.com_link.clear();
        return false;
    }
    return true;
}

void close_serial_link(box_core& core) {
    close_line(core);
    core.com_link.clear();
}

void run_serial_link(box_core& core) {
    auto s = std::make_unique<session>(core);
    unsigned char buffer[read_chunk];
    for (;;) {
        const wait_result w = wait_for(core, core.pty_master, POLLIN, quiet_deadline(*s));
        if (w == wait_result::stopping) return;
        if (w == wait_result::timeout) {
            on_quiet(*s);
        } else {
            const ssize_t n = ::read(core.pty_master, buffer, inbound_slice(s->io, sizeof buffer));
            if (n <= 0) {
                if (!sleep_until(core, steady::now() + 10ms)) return;
                continue;
            }
            if (!pace_inbound(s->io, static_cast<std::size_t>(n))) return;
            core.log.traffic(link_name, true, buffer, static_cast<std::size_t>(n));
            feed(*s, buffer, static_cast<std::size_t>(n));
            s->last_byte = steady::now();  // quiet times count from our answer on
        }
        if (s->drop_requested) {
            if (!replug_line(core)) return;
            s = std::make_unique<session>(core);
        }
    }
}

}  // namespace wqbox
