// The fake backend. See fake_platform.h.
#include "fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "platform/query_record.h"

namespace fake {
namespace {

constexpr int wsaeconnrefused = 10061;
constexpr int wsaeconnreset = 10054;
constexpr int wsaenotsock = 10038;
constexpr int wsa_invalid_handle = 6;

struct failure {
    int error = 0;
    std::optional<std::uint32_t> moved;  // a short write or send: the bytes it moves
};

struct known_device {
    std::optional<std::string> name;
    std::uint64_t address;
};

struct open_port {
    link* session;
    std::int64_t read_timeout_ms = 0;
};

struct open_socket {
    link* connection = nullptr;  // null until connected
    std::int64_t receive_timeout_ms = -1;
};

struct state {
    std::int64_t clock_ms = 0;
    std::map<call, int> calls_made;
    std::map<std::pair<call, int>, failure> failures;  // by call and its number
    // By device name, or "bt:" and the address (bt_name).
    std::map<std::string, std::deque<std::unique_ptr<link>>> scripts;
    std::vector<std::unique_ptr<link>> used_links;  // kept so tests can inspect
    std::vector<known_device> known_devices;
    std::map<plat_handle, open_port> ports;
    std::map<plat_socket, open_socket> sockets;
    std::map<plat_lookup_handle, std::size_t> lookups;  // the next known device of each
    std::set<void*> heap_blocks;
    plat_handle next_handle = 0x100;
    plat_socket next_socket = 0x200;
    plat_lookup_handle next_lookup = 0x300;
    int last_error = 0;
    record seen;
};

state& the() {
    static state instance;
    return instance;
}

void note_error(const std::string& what) { the().seen.errors.push_back(what); }

// The failure injected into this call of `c`, if any.
std::optional<failure> injected(call c) {
    state& s = the();
    auto it = s.failures.find({c, ++s.calls_made[c]});
    if (it == s.failures.end()) return std::nullopt;
    return it->second;
}

int fail_with(int error) {
    the().last_error = error;
    return plat_socket_error;
}

template <class Map>
auto* find_open(Map& open, typename Map::key_type key) {
    auto it = open.find(key);
    return it == open.end() ? nullptr : &it->second;
}
open_port* port_of(plat_handle handle) { return find_open(the().ports, handle); }
open_socket* socket_of(plat_socket socket) { return find_open(the().sockets, socket); }

// Bytes that have arrived by `until_ms`, up to `count`, taken from the inbox.
std::size_t take_arrived(link& l, unsigned char* out, std::size_t count, std::int64_t until_ms) {
    std::size_t taken = 0;
    while (taken < count && !l.inbox.empty() && l.inbox.front().at_ms <= until_ms) {
        out[taken++] = l.inbox.front().value;
        l.inbox.pop_front();
    }
    return taken;
}

bool dropped_by(const link& l, std::int64_t at_ms) {
    return l.hang_up_at >= 0 && l.hang_up_at <= at_ms;
}

std::string bt_name(std::uint64_t address) { return "bt:" + std::to_string(address); }

link& add_script(const std::string& name) {
    auto& scripts = the().scripts[name];
    scripts.push_back(std::make_unique<link>());
    scripts.back()->name = name;
    return *scripts.back();
}

// The next script of `name`, now running; nullptr when none is left.
link* take_script(const std::string& name) {
    state& s = the();
    auto scripts = s.scripts.find(name);
    if (scripts == s.scripts.end() || scripts->second.empty()) return nullptr;
    s.used_links.push_back(std::move(scripts->second.front()));
    scripts->second.pop_front();
    s.used_links.back()->schedule_replies(s.clock_ms);
    return s.used_links.back().get();
}

}  // namespace

// ---- test helpers ------------------------------------------------------------

void reset() {
    for (void* block : the().heap_blocks) std::free(block);
    the() = state{};
}
std::int64_t now_ms() { return the().clock_ms; }

void fail(call c, int nth, int error) {
    the().failures[{c, the().calls_made[c] + nth}] = {error, std::nullopt};
}
void short_write(call c, std::uint32_t count, int nth) {
    the().failures[{c, the().calls_made[c] + nth}] = {0, count};
}

link& serial_port(const std::string& device_name) { return add_script(device_name); }
link& bt_box(std::uint64_t address) { return add_script(bt_name(address)); }

void add_known_device(const char* name, std::uint64_t address) {
    the().known_devices.push_back({name ? std::make_optional<std::string>(name) : std::nullopt,
                                   address});
}

void next_handle(plat_handle value) { the().next_handle = value; }
const record& seen() { return the().seen; }

bool balanced() {
    const record& t = the().seen;
    return t.ports_opened == t.ports_closed && t.startups == t.cleanups &&
           t.sockets_opened == t.sockets_closed && t.heap_allocs == t.heap_frees &&
           t.lookups_begun == t.lookups_ended;
}

// ---- the scripted link ---------------------------------------------------------

link& link::add(const step& s) {
    steps_.push_back(s);
    return *this;
}
link& link::expect(const bytes& data) { return add({step::expect_bytes, data}); }
link& link::expect_any(std::size_t count) { return add({step::expect_count, {}, count}); }
link& link::reply(const bytes& data, std::int64_t after_ms) {
    return add({step::send_bytes, data, 0, after_ms});
}
link& link::hang_up(std::int64_t after_ms) { return add({step::drop, {}, 0, after_ms}); }

void link::schedule_replies(std::int64_t from_ms) {
    std::int64_t at = from_ms;
    while (next_step_ < steps_.size()) {
        const step& s = steps_[next_step_];
        if (s.what == step::expect_bytes || s.what == step::expect_count) return;
        at += s.after_ms;
        if (s.what == step::send_bytes) {
            for (unsigned char value : s.data) inbox.push_back({at, value});
        } else if (hang_up_at < 0) {
            hang_up_at = at;
        }
        ++next_step_;
    }
}

void link::on_write(const unsigned char* data, std::size_t count, std::int64_t at_ms) {
    writes_.emplace_back(data, data + count);
    for (std::size_t i = 0; i < count; ++i) {
        if (next_step_ >= steps_.size()) return;  // unscripted bytes are only recorded
        const step& s = steps_[next_step_];
        const std::size_t length = s.what == step::expect_bytes ? s.data.size() : s.count;
        if (s.what == step::expect_bytes && s.data[matched_in_step_] != data[i]) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "%s: byte %zu of expected write #%zu is 0x%02X, expected 0x%02X",
                          name.c_str(), matched_in_step_, next_step_, data[i],
                          s.data[matched_in_step_]);
            note_error(what);
        }
        if (++matched_in_step_ == length) {
            matched_in_step_ = 0;
            ++next_step_;
            schedule_replies(at_ms);
        }
    }
}

}  // namespace fake

using namespace fake;

// ---- serial port ---------------------------------------------------------------

plat_handle plat_create_file(const char* device_name) {
    state& s = the();
    s.seen.open_attempts.emplace_back(device_name);
    fake::link* session = take_script(device_name);
    if (!session) return plat_invalid_handle;
    const plat_handle handle = s.next_handle;
    s.next_handle += 4;
    s.ports[handle] = open_port{session};
    ++s.seen.ports_opened;
    return handle;
}

bool plat_flush_file_buffers(plat_handle handle) {
    return !injected(call::flush_file_buffers) && port_of(handle);
}

bool plat_set_comm_timeouts(plat_handle handle, const plat_comm_timeouts& timeouts) {
    open_port* port = port_of(handle);
    if (injected(call::set_comm_timeouts) || !port) return false;
    port->read_timeout_ms = timeouts.read_total_constant;
    return true;
}

bool plat_get_comm_state(plat_handle handle, plat_line_settings* settings) {
    if (injected(call::get_comm_state) || !port_of(handle)) return false;
    if (settings->dcb_length != 28) note_error("GetCommState called without DCBlength 28");
    return true;
}

bool plat_set_comm_state(plat_handle handle, const plat_line_settings&) {
    return !injected(call::set_comm_state) && port_of(handle);
}

bool plat_write_file(plat_handle handle, const void* data, std::uint32_t count,
                     std::uint32_t* done) {
    *done = 0;
    const std::optional<failure> f = injected(call::write_file);
    open_port* port = port_of(handle);
    if (!port || (f && !f->moved) || dropped_by(*port->session, the().clock_ms)) return false;
    *done = f ? std::min(count, *f->moved) : count;
    port->session->on_write(static_cast<const unsigned char*>(data), *done, the().clock_ms);
    return true;
}

bool plat_read_file(plat_handle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    state& s = the();
    open_port* port = port_of(handle);
    if (!port || dropped_by(*port->session, s.clock_ms)) return false;
    fake::link& session = *port->session;
    const std::int64_t deadline = s.clock_ms + port->read_timeout_ms;
    auto* out = static_cast<unsigned char*>(buffer);
    std::int64_t last_arrival = s.clock_ms;
    while (*done < count && !session.inbox.empty() && session.inbox.front().at_ms <= deadline) {
        last_arrival = std::max(last_arrival, session.inbox.front().at_ms);
        *done += static_cast<std::uint32_t>(take_arrived(session, out + *done, 1, deadline));
    }
    s.clock_ms = *done == count ? last_arrival : deadline;
    return true;
}

bool plat_close_handle(plat_handle handle) {
    state& s = the();
    if (s.ports.erase(handle) == 0) return false;
    ++s.seen.ports_closed;
    return true;
}

// ---- waits and heap -------------------------------------------------------------

void plat_sleep_ms(std::uint32_t milliseconds) { the().clock_ms += milliseconds; }
void plat_sleep_s(std::uint32_t seconds) { the().clock_ms += std::int64_t{seconds} * 1000; }

void* plat_heap_alloc(std::size_t bytes) {
    state& s = the();
    s.seen.heap_requests.push_back(bytes);
    if (injected(call::heap_alloc)) return nullptr;
    void* block = std::calloc(1, bytes ? bytes : 1);
    if (!block) return nullptr;
    s.heap_blocks.insert(block);
    ++s.seen.heap_allocs;
    return block;
}

void plat_heap_free(void* block) {
    state& s = the();
    if (!block) return;
    if (s.heap_blocks.erase(block) == 0) {
        note_error("HeapFree of a block the heap did not hand out");
        return;
    }
    std::free(block);
    ++s.seen.heap_frees;
}

// ---- socket layer ----------------------------------------------------------------

int plat_wsa_startup(std::uint16_t version) {
    if (const auto f = injected(call::wsa_startup)) return f->error;
    if (version != 0x0202) note_error("WSAStartup asked for a version other than 2.2");
    ++the().seen.startups;
    return 0;
}

int plat_wsa_cleanup() {
    state& s = the();
    if (s.seen.cleanups >= s.seen.startups) note_error("WSACleanup without WSAStartup");
    ++s.seen.cleanups;
    return 0;
}

int plat_wsa_get_last_error() { return the().last_error; }

void plat_query_prepare(void* record) { portable_query_prepare(record); }

int plat_lookup_begin(void* record, std::uint32_t flags, plat_lookup_handle* handle) {
    state& s = the();
    if (const auto f = injected(call::lookup_begin)) return fail_with(f->error);
    const auto* query = static_cast<const portable_query_record*>(record);
    if (query->size != plat_query_record_size || query->name_space != portable_ns_bth) {
        note_error("lookup begun with a query record not prepared for NS_BTH");
    }
    if (flags != 0x0112) note_error("lookup begun with flags other than 0x0112");
    *handle = s.next_lookup++;
    s.lookups[*handle] = 0;
    ++s.seen.lookups_begun;
    return 0;
}

int plat_lookup_next(plat_lookup_handle handle, std::uint32_t flags, std::uint32_t* size,
                     void* record) {
    state& s = the();
    if (const auto f = injected(call::lookup_next)) return fail_with(f->error);
    if (flags != 0x0112) note_error("lookup continued with flags other than 0x0112");
    std::size_t* next = find_open(s.lookups, handle);
    if (!next) return fail_with(wsa_invalid_handle);
    if (*next >= s.known_devices.size()) return fail_with(plat_wsa_e_no_more);
    const known_device& device = s.known_devices[*next];
    // A lookup result names the device only: the family and btAddr.
    unsigned char address[bth_address_size] = {};
    put_little_endian(address, bth_family, 2);
    put_little_endian(address + 2, device.address, 8);
    const char* name = device.name ? device.name->c_str() : nullptr;
    const std::size_t length = device.name ? device.name->size() : 0;
    if (!portable_query_fill(record, size, name, length, address)) return fail_with(plat_wsaefault);
    ++*next;
    return 0;
}

int plat_lookup_end(plat_lookup_handle handle) {
    state& s = the();
    if (s.lookups.erase(handle) == 0) return fail_with(wsa_invalid_handle);
    ++s.seen.lookups_ended;
    return 0;
}

const char* plat_query_name(const void* record) { return portable_query_name(record); }
bool plat_query_remote_address(const void* record, unsigned char address[bth_address_size]) {
    return portable_query_remote_address(record, address);
}

plat_socket plat_socket_open() {
    state& s = the();
    if (const auto f = injected(call::socket_open)) {
        s.last_error = f->error;
        return plat_invalid_socket;
    }
    if (s.seen.startups <= s.seen.cleanups) note_error("socket() without WSAStartup");
    const plat_socket socket = s.next_socket++;
    s.sockets[socket] = open_socket{};
    ++s.seen.sockets_opened;
    return socket;
}

int plat_connect(plat_socket socket, const unsigned char address[bth_address_size]) {
    the().seen.last_connect_address.assign(address, address + bth_address_size);
    if (const auto f = injected(call::connect)) return fail_with(f->error);
    open_socket* open = socket_of(socket);
    if (!open) return fail_with(wsaenotsock);
    open->connection = take_script(bt_name(bth_address_radio(address)));
    return open->connection ? 0 : fail_with(wsaeconnrefused);
}

int plat_set_socket_option(plat_socket socket, plat_socket_option option, std::uint32_t value) {
    if (const auto f = injected(call::set_socket_option)) return fail_with(f->error);
    open_socket* open = socket_of(socket);
    if (!open) return fail_with(wsaenotsock);
    if (option == plat_socket_option::receive_timeout) open->receive_timeout_ms = value;
    return 0;
}

int plat_send(plat_socket socket, const void* data, int length) {
    const std::optional<failure> f = injected(call::send);
    if (f && !f->moved) return fail_with(f->error);
    open_socket* open = socket_of(socket);
    if (!open || !open->connection) return fail_with(wsaenotsock);
    if (dropped_by(*open->connection, the().clock_ms)) return fail_with(wsaeconnreset);
    const int moved = f ? std::min(length, static_cast<int>(*f->moved)) : length;
    open->connection->on_write(static_cast<const unsigned char*>(data),
                               static_cast<std::size_t>(moved), the().clock_ms);
    return moved;
}

int plat_recv(plat_socket socket, void* buffer, int length) {
    state& s = the();
    open_socket* open = socket_of(socket);
    if (!open || !open->connection) return fail_with(wsaenotsock);
    fake::link& connection = *open->connection;
    if (open->receive_timeout_ms < 0) {
        note_error("recv on a socket without a receive time-out would block forever");
        return fail_with(plat_wsaetimedout);
    }
    const std::int64_t start = s.clock_ms, deadline = start + open->receive_timeout_ms;
    // Bytes queued before the box hung up are still delivered.
    const std::int64_t first_at = connection.inbox.empty() ? -1 : connection.inbox.front().at_ms;
    if (first_at >= 0 && first_at <= deadline &&
        !(dropped_by(connection, deadline) && connection.hang_up_at < first_at)) {
        s.clock_ms = std::max(start, first_at);
        return static_cast<int>(take_arrived(connection, static_cast<unsigned char*>(buffer),
                                             static_cast<std::size_t>(length), s.clock_ms));
    }
    if (dropped_by(connection, deadline)) {
        s.clock_ms = std::max(start, connection.hang_up_at);
        return 0;
    }
    s.clock_ms = deadline;
    return fail_with(plat_wsaetimedout);
}

int plat_close_socket(plat_socket socket) {
    state& s = the();
    if (s.sockets.erase(socket) == 0) return fail_with(wsaenotsock);
    ++s.seen.sockets_closed;
    return 0;
}
