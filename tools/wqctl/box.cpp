// Discovery, the connect check, and the one-call commands: clock, identify,
// reset, battery, flush, and the value conversion.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "commands.h"
#include "link.h"
#include "platform/posix_com_numbers.h"

namespace wqctl {
namespace {

constexpr std::size_t identification_size = 64;
constexpr std::size_t device_slot_size = 32;  // one name per slot, no terminator
constexpr std::size_t device_slots = 64;
constexpr unsigned long long serial_time_limit = 0xFFFFFFFFull;  // the serial clock block carries 32 bits
constexpr int value_text_limit = 7;  // the conversion reads at most 7 characters

std::string utc_text(unsigned long long seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32] = "";
    if (gmtime_r(&t, &parts)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::optional<report> clock_time(const invocation& call, unsigned long long* seconds) {
    *seconds = call.options.time.value_or(static_cast<unsigned long long>(std::time(nullptr)));
    if (call.serial() && *seconds > serial_time_limit)
        return usage_error("over the serial link --time takes at most 4294967295");
    return std::nullopt;
}

using address_operation = int (*)(BTH_ADDR, char*, int);

// A Bluetooth command that takes only the address: its report, with `done`
// for people when it went through.
report address_command(const invocation& call, const char* name, address_operation operation,
                       const char* done) {
    char message[message_size] = {};
    report r = from_status(name, operation(call.target.address, message, call.language), message);
    if (r.result == outcome::ok) r.summary = done;
    return r;
}

}  // namespace

// The ports find looked at that the library could not open, and why: a
// port another program holds or this user may not open is worth naming, a
// port that is not there is not. With --port N or --device PATH, that one.
std::string unopenable_ports(const invocation& call) {
    if (call.target.type == link::kind::serial) {
        const device_check check = check_device(call.target.device_path);
        return check.problem == device_check::opens ? "" : "; " + check.text;
    }
    std::string list;
    for (int n = lowest_port; n <= highest_port; ++n) {
        const std::string path = com_numbers::device_path(n);
        if (path.empty()) continue;  // no device has that number
        const device_check check = check_device(path);
        if (check.problem != device_check::opens && check.problem != device_check::missing)
            list += "; COM" + std::to_string(n) + " " + check.text;
    }
    return list;
}

// With --port N or --device PATH the probe sees that device alone, as COM1
// of a directory of its own (or, with --sim, the emulated box placed there).
report run_find(const invocation& call) {
    char text[identification_size] = {};
    const int port = wq_connect_to_box(text);
    const bool one = call.target.type == link::kind::serial;
    report r;
    if (port == 0) {
        r.result = outcome::failed;
        r.failed_at = "wq_connect_to_box";
        r.message = std::string(c_text(text, sizeof text));
        r.summary = "no box answered on " + (one ? call.target.label : std::string("COM1 to COM15")) +
                    unopenable_ports(call);
        return r;
    }
    const std::string identification = box_text(c_text(text, sizeof text));
    r.summary = "box on " + (one ? call.target.label : "COM" + std::to_string(port)) + ": " + identification;
    r.add("port", one ? call.target.port : port);
    r.add("identification", identification);
    return r;
}

report run_devices(const invocation& call) {
    std::vector<char> list(device_slot_size * device_slots);
    unsigned count = 0;
    char message[message_size] = {};
    report r = from_status("wq_get_device_list",
                           wq_get_device_list(list.data(), static_cast<int>(list.size()), &count,
                                              message, call.language),
                           message);
    if (r.result != outcome::ok) return r;
    json names = json::array();
    for (std::size_t i = 0; i < std::min<std::size_t>(count, device_slots); ++i)
        names.push_back(box_text(c_text(list.data() + i * device_slot_size, device_slot_size)));
    if (count == 0) r.summary = "no known Bluetooth devices";
    r.add("count", count);
    r.add("devices", std::move(names));
    return r;
}

report run_connect(const invocation& call) {
    BTH_ADDR address = 0;
    report r = connect_by_name(call.operand, call.language, &address);
    if (r.result != outcome::ok) return r;
    // On success the message is the box's greeting: the box's text.
    const std::string greeting = box_text(r.message);
    r.message.clear();
    r.summary = box_text(call.operand) + " is " + format_bt_address(address) + ": " + greeting;
    r.add("name", box_text(call.operand));
    r.add("address", format_bt_address(address));
    r.add("greeting", greeting);
    return r;
}

report run_clock_sync(const invocation& call) {
    unsigned long long seconds = 0;
    if (auto error = clock_time(call, &seconds)) return *error;
    char message[message_size] = {};
    report r = call.serial()
                   ? from_status("wq_sync_time",
                                 wq_sync_time(call.target.port, static_cast<double>(seconds),
                                              message, call.language),
                                 message)
                   : from_status("wq_bt_sync_time",
                                 wq_bt_sync_time(call.target.address, seconds, message, call.language),
                                 message);
    if (r.result != outcome::ok) return r;
    const std::string utc = utc_text(seconds);
    r.summary = "clock set to " + std::to_string(seconds) + (utc.empty() ? "" : " (" + utc + ")");
    r.add("time", seconds);
    r.add("utc", utc);
    return r;
}

report run_identify(const invocation& call) {
    return address_command(call, "wq_bt_identify", wq_bt_identify, "identify request sent");
}

report run_reset(const invocation& call) {
    return address_command(call, "wq_bt_reset_device", wq_bt_reset_device, "reset request sent");
}

report run_battery(const invocation& call) {
    notice("reading the battery level takes about 10 s ...");
    int level = 0;
    char message[message_size] = {};
    report r = from_status("wq_bt_read_batt",
                           wq_bt_read_batt(call.target.address, &level, message, call.language),
                           message);
    if (r.result != outcome::ok) return r;
    r.add("level", level);
    return r;
}

report run_flush(const invocation& call) {
    return address_command(call, "wq_bt_force_flush", wq_bt_force_flush, "stagnation flush started");
}

report run_convert(const invocation& call) {
    const std::string& text = call.operand;
    const int length = std::min(static_cast<int>(text.size()), value_text_limit);
    const double value = wq_convert_flowrate_to_double(text.c_str(), length, value_text_limit);
    report r;
    r.summary = number_text(value);
    r.add("text", box_text(text));
    r.add("value", value);
    return r;
}

}  // namespace wqctl
