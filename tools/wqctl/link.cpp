// Which box a command talks to: a COM port number, a serial device, a
// Bluetooth address, or a Bluetooth name that the connect check turns into
// the address.
#include "link.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "platform/posix_com_numbers.h"

namespace wqctl {
namespace {

constexpr std::size_t bt_address_text_size = 17;  // "XX:XX:XX:XX:XX:XX"
constexpr int bt_address_bytes = 6;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
    return -1;
}

void serial_link(int port, std::string device, link* target) {
    target->type = link::kind::serial;
    target->port = port;
    target->label = device.empty() ? "COM" + std::to_string(port) : device;
    const std::string path = device.empty() ? com_numbers::device_path(port) : std::move(device);
    target->device_path = path.empty() ? target->label : path;  // no device has that number
}

void bt_link(BTH_ADDR address, link* target) {
    target->type = link::kind::bluetooth;
    target->address = address;
    target->label = format_bt_address(address);
}

std::optional<report> named_link(const std::string& name, int language, link* target) {
    BTH_ADDR address = 0;
    report check = connect_by_name(name, language, &address);
    if (check.result != outcome::ok) return check;
    bt_link(address, target);
    return std::nullopt;
}

bool any_link_option(const command_line& line) { return line.port || line.device || line.bt || line.name; }

}  // namespace

std::optional<report> check_link_options(const command_line& line) {
    const command_spec& c = *line.command;
    const bool serial_given = line.port || line.device;
    if (c.needs == link_need::bluetooth && serial_given)
        return usage_error(std::string(c.name) + " works over Bluetooth only: give --bt or --name");
    // A command without a link takes link options only where they mean
    // something: where the emulated box is, and the port find expects.
    const bool expected_port = std::string_view(c.name) == "find" && serial_given;
    if (c.needs == link_need::none && any_link_option(line) && !line.sim && !expected_port)
        return usage_error(std::string(c.name) + " takes no link option");
    return std::nullopt;
}

std::string format_bt_address(BTH_ADDR address) {
    char text[bt_address_text_size + 1];
    std::snprintf(text, sizeof text, "%02llX:%02llX:%02llX:%02llX:%02llX:%02llX",
                  (address >> 40) & 0xFF, (address >> 32) & 0xFF, (address >> 24) & 0xFF,
                  (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

bool parse_bt_address(std::string_view text, BTH_ADDR* address) {
    if (text.size() != bt_address_text_size) return false;
    BTH_ADDR value = 0;
    for (int i = 0; i < bt_address_bytes; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * 3;
        const int high = hex_digit(text[at]);
        const int low = hex_digit(text[at + 1]);
        if (high < 0 || low < 0 || (i + 1 < bt_address_bytes && text[at + 2] != ':')) return false;
        value = (value << 8) | static_cast<BTH_ADDR>(high * 16 + low);
    }
    *address = value;
    return true;
}

report connect_by_name(const std::string& name, int language, BTH_ADDR* address) {
    char message[message_size] = {};
    return from_status("wq_connect_to_bt_device",
                       wq_connect_to_bt_device(address, name.c_str(), message, language), message);
}

report open_serial_handle(const invocation& call, int* handle) {
    char message[message_size] = {};
    return from_status("wq_ota_open_port", wq_ota_open_port(call.target.port, message, call.language, handle),
                       message);
}

report open_kept_connection(const invocation& call, unsigned* socket) {
    char message[message_size] = {};
    return from_status("wq_bt_ota_connect",
                       wq_bt_ota_connect(call.target.address, socket, message, call.language), message);
}

std::optional<report> resolve_link(const command_line& line, const invocation& call, link* target) {
    const command_spec& c = *call.command;
    if (auto error = check_link_options(line)) return error;
    if (c.needs == link_need::none) {
        // find: where the box must answer, unless --sim places it there
        if (line.device) serial_link(device_port, *line.device, target);
        else if (line.port && !line.sim) serial_link(*line.port, "", target);
        return std::nullopt;
    }
    if (line.port || line.device) {
        serial_link(line.port.value_or(device_port), line.device.value_or(""), target);
        return std::nullopt;
    }
    if (line.bt) {
        bt_link(*line.bt, target);
        return std::nullopt;
    }
    if (line.name) return named_link(*line.name, call.language, target);
    if (!line.sim) {
        return usage_error(std::string(c.name) + " needs a link: " +
                           (c.needs == link_need::bluetooth
                                ? "--bt ADDRESS or --name NAME"
                                : "--port N, --device PATH, --bt ADDRESS or --name NAME"));
    }
    // The emulated box: serial COM1 where the command has a serial form.
    if (c.needs == link_need::bluetooth) bt_link(sim_bt_address, target);
    else serial_link(lowest_port, "", target);
    return std::nullopt;
}

}  // namespace wqctl
