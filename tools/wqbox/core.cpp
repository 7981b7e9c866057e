#include "core.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace wqbox {
namespace {

constexpr std::uint32_t bits_per_byte = 10;  // start bit, eight data bits, stop bit
// How long a write may wait for room (a host that stopped reading) before
// the rest of the answer is given up.
constexpr std::chrono::milliseconds write_patience{1000};
// A paced link moves bytes in slices of this much line time: few enough
// wake-ups to keep pace on a busy machine, short enough that a host writing
// at line rate never waits on the box.
constexpr std::chrono::milliseconds line_slice_time{4};
// A box answers the moment a request is through; the emulator's thread wakes
// later than that, and up to this much of its lateness is taken back from
// the answer, so its own wake-ups are not counted as line time.
constexpr std::chrono::milliseconds wake_allowance{1};
// A paced answer is through when its last slice is written, and a timer
// fires 50 to 100 us late on a quiet machine: each slice is slept towards,
// and the last stretch is waited out on the clock. That costs a little CPU
// (under 2 % of a core while a serial answer is paced) and keeps the box's
// own lateness out of what a host measures.
constexpr std::chrono::microseconds timer_lateness{150};

// Sleeps until shortly before `until`, then watches the clock to it.
bool sleep_until_exactly(box_core& core, steady::time_point until) {
    if (!sleep_until(core, until - timer_lateness)) return false;
    while (steady::now() < until) {
        if (core.stopping) return false;
    }
    return true;
}

// Writes everything, waiting for room; false when the link failed or stayed
// full.
sent write_all(link_io& io, const unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = io.is_socket ? ::send(io.fd, data + done, size - done, MSG_NOSIGNAL)
                                       : ::write(io.fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return sent::failed;
        const wait_result w = wait_for(io.core, io.fd, POLLOUT, steady::now() + write_patience);
        if (w == wait_result::stopping) return sent::stopping;
        if (w == wait_result::timeout) return sent::failed;
    }
    return sent::ok;
}

// Writes one piece, at line rate from `start` when the line is paced, and
// records it. A serial line carries it in slices of a few ms; a Bluetooth
// link in a packet, which the host receives whole once its line time has
// passed (the host takes a usage record with one receive call).
sent write_piece(link_io& io, const unsigned char* data, std::size_t size, steady::time_point start) {
    sent result = sent::ok;
    if (io.byte_time.count() == 0) {
        result = write_all(io, data, size);
    } else if (io.is_socket) {
        const auto line_time = io.byte_time * static_cast<std::int64_t>(size);
        if (!sleep_until_exactly(io.core, start + line_time)) return sent::stopping;
        result = write_all(io, data, size);
    } else {
        // A serial line delivers each slice once its last byte is through.
        const std::size_t slice = std::max<std::size_t>(1, line_slice_time / io.byte_time);
        auto next = start;
        for (std::size_t at = 0; at < size && result == sent::ok; at += slice) {
            const std::size_t count = std::min(slice, size - at);
            next += io.byte_time * static_cast<std::int64_t>(count);
            if (!sleep_until_exactly(io.core, next)) return sent::stopping;
            result = write_all(io, data + at, count);
        }
    }
    io.core.log.traffic(io.name, false, data, size);
    return result;
}

}  // namespace

box_core::box_core(const config& c) : cfg(c), log(c.transcript), state(initial_state(c)),
                                      faults(c.faults) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read = ends[0];
        wake_write = ends[1];
    }
}

box_core::~box_core() {
    if (wake_read >= 0) ::close(wake_read);
    if (wake_write >= 0) ::close(wake_write);
}

std::optional<fault> take_fault(box_core& core, std::string_view request) {
    std::lock_guard<std::mutex> guard(core.lock);
    auto& faults = core.faults;
    const auto match = std::find_if(faults.begin(), faults.end(), [&](const fault& f) {
        return f.request == request || f.request == any_request;
    });
    if (match == faults.end()) return std::nullopt;
    fault f = *match;
    if (match->times > 0 && --match->times == 0) faults.erase(match);
    return f;
}

// Sleeps are kept to the microsecond: a paced link sleeps after every few
// milliseconds of line time, and whole-millisecond sleeps would slow it down.
bool sleep_until(box_core& core, steady::time_point until) {
    for (;;) {
        if (core.stopping) return false;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - steady::now());
        if (left.count() <= 0) return true;
        pollfd p{core.wake_read, POLLIN, 0};
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        ::ppoll(&p, 1, &wait, nullptr);
    }
}

wait_result wait_for(box_core& core, int fd, short events,
                     std::optional<steady::time_point> deadline) {
    for (;;) {
        if (core.stopping) return wait_result::stopping;
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - steady::now());
            if (left.count() <= 0) return wait_result::timeout;
            timeout = static_cast<int>(left.count());
        }
        pollfd p[2] = {{fd, events, 0}, {core.wake_read, POLLIN, 0}};
        const int ready = ::poll(p, 2, timeout);
        if (ready < 0 && errno != EINTR) return wait_result::stopping;
        if (p[1].revents) return wait_result::stopping;
        if (ready > 0 && p[0].revents) return wait_result::ready;
    }
}

std::chrono::nanoseconds byte_time_of(std::uint32_t baud) {
    if (baud == 0) return std::chrono::nanoseconds{0};
    return std::chrono::nanoseconds{std::int64_t{1000000000} * bits_per_byte / baud};
}

// Bytes that were already queued when the last ones were through follow
// them on the line without a gap, however late the box woke up to read them;
// a box that did not catch up would fall behind a host writing at line rate.
bool pace_inbound(link_io& io, std::size_t count) {
    if (io.byte_time.count() == 0) return true;
    const auto start = io.inbound_backlog ? io.inbound_clear : std::max(io.inbound_clear, steady::now());
    io.inbound_clear = start + io.byte_time * static_cast<std::int64_t>(count);
    if (!sleep_until(io.core, io.inbound_clear)) return false;
    int queued = 0;
    io.inbound_backlog = ::ioctl(io.fd, FIONREAD, &queued) == 0 && queued > 0;
    return true;
}

std::size_t inbound_slice(const link_io& io, std::size_t buffer_size) {
    if (io.byte_time.count() == 0) return buffer_size;
    auto line_time = std::chrono::duration_cast<std::chrono::nanoseconds>(line_slice_time);
    if (io.inbound_backlog) line_time += std::max(steady::now() - io.inbound_clear, steady::duration::zero());
    const auto bytes = static_cast<std::size_t>(line_time / io.byte_time);
    return std::clamp<std::size_t>(bytes, 1, buffer_size);
}

sent send_answer(link_io& io, const answer& a, const fault* f) {
    const std::vector<unsigned char> bytes = answer_bytes(shape_answer(a, f));
    const fault_kind kind = f ? f->kind : fault_kind::silent;
    if (f && kind == fault_kind::delay && !sleep_until(io.core, steady::now() + std::chrono::milliseconds(f->pause_ms))) {
        return sent::stopping;
    }
    std::size_t limit = bytes.size();
    if (f && (kind == fault_kind::cut || kind == fault_kind::drop)) limit = std::min(limit, f->amount);
    std::size_t piece = limit;
    if (f && kind == fault_kind::split) piece = f->amount ? f->amount : (limit + 1) / 2;
    // The answer starts when the request is through, unless a fault held it back.
    auto start = std::max(io.inbound_clear, steady::now() - wake_allowance);
    if (f && kind == fault_kind::delay) start = steady::now();
    for (std::size_t offset = 0; offset < limit; offset += piece) {
        if (offset > 0) {
            if (!sleep_until(io.core, steady::now() + std::chrono::milliseconds(f->pause_ms))) {
                return sent::stopping;
            }
            start = steady::now();
        }
        const sent result = write_piece(io, bytes.data() + offset, std::min(piece, limit - offset), start);
        if (result != sent::ok) return result;
    }
    return f && kind == fault_kind::drop ? sent::dropped : sent::ok;
}

sent serve_request(link_io& io, std::string_view request, const reply& r) {
    const std::optional<fault> f = take_fault(io.core, request);
    const std::string name(request);
    if (f && f->kind == fault_kind::silent) {
        io.core.log.note(io.name, name + ": ignored (silent fault)");
        return sent::ok;
    }
    if (f && (f->kind == fault_kind::word || f->kind == fault_kind::busy)) {
        io.core.log.note(io.name, name + ": refused (" +
                                      (f->kind == fault_kind::busy ? "busy" : "wrong word") + " fault)");
        return r.ans ? send_answer(io, *r.ans, &*f) : sent::ok;
    }
    if (r.effect) r.effect();
    io.core.log.note(io.name, name + (r.what.empty() ? "" : ": " + r.what));
    if (r.ans) return send_answer(io, *r.ans, f ? &*f : nullptr);
    if (f && f->kind == fault_kind::drop) return sent::dropped;
    return sent::ok;
}

std::uint64_t read_le(const unsigned char* at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = (value << 8) | at[i];
    return value;
}

std::vector<unsigned char> le32_bytes(std::uint32_t value) {
    std::vector<unsigned char> bytes(sizeof value);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

std::size_t collect_bytes(std::vector<unsigned char>& pending, const unsigned char* data,
                          std::size_t size, std::size_t wanted) {
    const std::size_t taken = std::min(size, wanted - std::min(wanted, pending.size()));
    pending.insert(pending.end(), data, data + taken);
    return taken;
}

ota_control read_ota_control(const unsigned char* values) {
    constexpr std::size_t value_size = 8;
    return {static_cast<std::uint32_t>(read_le(values, value_size)),
            static_cast<std::uint32_t>(read_le(values + value_size, value_size))};
}

void accept_control(box_core& core, ota_progress& update, const ota_control& control) {
    update.receive = start_receive(control.length, control.crc);
    update.controlled = true;
    with_state(core, [&](box_state& b) {
        b.firmware.announced_length = control.length;
        b.firmware.announced_crc = control.crc;
    });
}

void begin_transfer(ota_progress& update) {
    update.receive = start_receive(update.receive.length, update.receive.crc);
}

bool transfer_verifies(const ota_progress& update) {
    return update.controlled && image_verifies(update.receive);
}

void conclude_update(box_core& core, ota_progress& update, bool good) {
    update.controlled = false;
    with_state(core, [&](box_state& b) {
        b.firmware.received = update.receive.received;
        if (good) {
            ++b.firmware.verified;
            b.firmware.image = update.receive.image;
        } else {
            ++b.firmware.rejected;
        }
    });
}

std::string verify_note(const ota_progress& update, bool good) {
    return std::to_string(update.receive.received) + " bytes " +
           (good ? "verified" : "do not match the control values");
}

std::uint32_t usage_entry_count(box_core& core) {
    return with_state(core, [](box_state& b) { return static_cast<std::uint32_t>(b.usage_log.size()); });
}

void rewind_usage(box_state& b) {
    b.usage_cursor = 0;
    b.usage_sent = false;
}

usage_record next_usage_record(box_state& b, bool advance) {
    const usage_record record = b.usage_cursor < b.usage_log.size()
                                    ? b.usage_log[b.usage_cursor]
                                    : empty_slot_record(b.usage_cursor + 1);
    if (advance) {
        ++b.usage_cursor;
        b.usage_sent = true;
        b.last_usage = record;
    }
    return record;
}

usage_record repeated_usage_record(box_state& b) {
    return b.usage_sent ? b.last_usage : next_usage_record(b, false);
}

// ---- the emulator ----------------------------------------------------------------

box_state initial_state(const config& cfg) {
    box_state s;
    s.serial_read_format = cfg.serial_read_format;
    s.bt_read_layout = cfg.bt_read_layout;
    s.usage_log = make_usage_log(cfg.usage_entries);
    s.battery = cfg.battery;
    s.usage_setting_count = cfg.usage_setting_count;
    // An opaque block with neither '$' nor '#', which a framed read cannot carry.
    for (std::size_t i = 0; i < cfg.usage_settings_size; ++i) {
        auto b = static_cast<unsigned char>(0x30 + (i * 7) % 0x4F);
        if (b == '$' || b == '#') b = '_';
        s.usage_settings.push_back(b);
    }
    s.in_use = cfg.in_use;
    return s;
}

emulator::emulator(std::unique_ptr<box_core> core) : core_(std::move(core)) {}

emulator::~emulator() { stop(); }

std::unique_ptr<emulator> emulator::start(const config& cfg, std::string* error) {
    auto core = std::make_unique<box_core>(cfg);
    if (core->wake_read < 0) {
        *error = "cannot create the stop pipe";
        return nullptr;
    }
    if (cfg.com_dir.empty() && cfg.bt_dir.empty()) {
        *error = "neither a COM directory nor a Bluetooth directory is given";
        return nullptr;
    }
    std::unique_ptr<emulator> box(new emulator(std::move(core)));
    box_core& c = *box->core_;
    if (!cfg.com_dir.empty() && !open_serial_link(c, error)) return nullptr;
    if (!cfg.bt_dir.empty() && !open_bt_link(c, error)) {
        close_serial_link(c);
        return nullptr;
    }
    if (!cfg.com_dir.empty()) c.serial_thread = std::thread(run_serial_link, std::ref(c));
    if (!cfg.bt_dir.empty()) c.bt_thread = std::thread(run_bt_link, std::ref(c));
    return box;
}

void emulator::stop() {
    if (!core_ || core_->stopping.exchange(true)) return;
    const char wake = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(core_->wake_write, &wake, 1);
    if (core_->serial_thread.joinable()) core_->serial_thread.join();
    if (core_->bt_thread.joinable()) core_->bt_thread.join();
    close_serial_link(*core_);
    close_bt_link(*core_);
}

void emulator::add_fault(const fault& f) {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->faults.push_back(f);
}

void emulator::clear_faults() {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->faults.clear();
}

box_state emulator::state() const {
    std::lock_guard<std::mutex> guard(core_->lock);
    return core_->state;
}

void emulator::update(const std::function<void(box_state&)>& change) {
    std::lock_guard<std::mutex> guard(core_->lock);
    change(core_->state);
}

std::string emulator::com_link() const { return core_->com_link; }
std::string emulator::bt_socket() const { return core_->bt_socket; }

}  // namespace wqbox
