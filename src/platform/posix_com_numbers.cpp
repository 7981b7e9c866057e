// COM numbers for Linux serial devices.
//
// Windows gives every serial port a COM number that stays with it. Linux
// names ports in the order it found them (ttyUSB0 is whichever adapter came
// first), so a number here is made from what stays the same:
//
// - A UART port /dev/ttyS<n> is COM<n+1>, as a PC's own ports are COM1 and
//   COM2 on Windows. The kernel keeps ttyS nodes without a UART behind them;
//   their /sys/class/tty/ttyS<n>/type reads 0 (the serial core's
//   PORT_UNKNOWN), and they get no number.
// - A USB adapter (/dev/ttyUSB<n>, /dev/ttyACM<n>) is known by its USB
//   vendor and product ids, its serial number, and the interface and port
//   the tty sits on; that stays with the adapter in any socket. An adapter
//   without a serial number is known by where it is plugged in instead: the
//   path of its USB interface below /sys/devices (controller, hub ports,
//   interface, as /dev/serial/by-path names it) and the port. Its number is
//   5 + (the FNV-1a hash of that identity modulo 11), so one of COM5..COM15,
//   above the four numbers PCs give their own ports. Everything comes from
//   sysfs, so the rule holds with or without udev.
// - A number that two devices present claim reaches neither of them: a host
//   that knows its box as COM9 must never reach another device by that name
//   because of what else is plugged in. `wqctl ports` shows the clash;
//   --device or WQ_COM_DIR reach either device.
// - A ttyS port above ttyS14 has no number; the probe stops at COM15.
#include "platform/posix_com_numbers.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <tuple>

namespace com_numbers {
namespace {

namespace fs = std::filesystem;

constexpr char com_dir_variable[] = "WQ_COM_DIR";
constexpr char uart_prefix[] = "ttyS";
constexpr const char* adapter_prefixes[] = {"ttyUSB", "ttyACM"};
constexpr char no_uart_type[] = "0";  // PORT_UNKNOWN
constexpr int first_adapter_number = 5;
constexpr int adapter_numbers = highest - first_adapter_number + 1;

// The number behind `prefix` in a name such as ttyUSB12.
std::optional<int> index_after(std::string_view name, std::string_view prefix) {
    if (name.substr(0, prefix.size()) != prefix || name.size() == prefix.size() ||
        name.size() > prefix.size() + 4) {
        return std::nullopt;
    }
    int index = 0;
    for (const char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') return std::nullopt;
        index = index * 10 + (c - '0');
    }
    return index;
}

// The first line of a sysfs attribute; empty when there is none.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    return value;
}

std::uint32_t fnv1a(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

int adapter_number(const std::string& identity) {
    return first_adapter_number + static_cast<int>(fnv1a(identity) % adapter_numbers);
}

// An adapter's identity (see above); empty when sysfs does not say where it is.
std::string adapter_identity(const fs::path& sys_root, const std::string& name) {
    std::error_code ec;
    const fs::path device = fs::canonical(sys_root / "class/tty" / name / "device", ec);
    if (ec) return "";
    // A USB-serial port sits below its USB interface and says which port of
    // it it is; an ACM port's device is the interface itself.
    std::string port = attribute(device / "port_number");
    const fs::path interface = port.empty() ? device : device.parent_path();
    if (port.empty()) port = "0";
    const fs::path usb_device = interface.parent_path();
    if (const std::string serial = attribute(usb_device / "serial"); !serial.empty()) {
        return "usb " + attribute(usb_device / "idVendor") + ":" + attribute(usb_device / "idProduct") +
               " serial " + serial + " interface " + attribute(interface / "bInterfaceNumber") +
               " port " + port;
    }
    const fs::path devices = fs::canonical(sys_root / "devices", ec);
    if (ec) return "";
    return "usb at " + interface.lexically_relative(devices).string() + " port " + port;
}

void mark_shared_numbers(std::vector<serial_device>* devices) {
    for (serial_device& d : *devices) {
        const auto same = [&](const serial_device& other) { return other.claimed == d.claimed; };
        d.shared = d.claimed != 0 && std::count_if(devices->begin(), devices->end(), same) > 1;
    }
}

}  // namespace

std::vector<serial_device> serial_devices(const std::string& dev_root, const std::string& sys_root) {
    std::vector<serial_device> found;
    std::error_code ec;
    const fs::path ttys = fs::path(sys_root) / "class/tty";
    for (fs::directory_iterator it(ttys, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        serial_device d;
        if (const auto n = index_after(name, uart_prefix)) {
            if (attribute(it->path() / "type") == no_uart_type) continue;
            d.identity = name;
            d.claimed = *n + 1 <= highest ? *n + 1 : 0;
        } else if (std::any_of(std::begin(adapter_prefixes), std::end(adapter_prefixes),
                               [&](const char* prefix) { return index_after(name, prefix).has_value(); })) {
            d.identity = adapter_identity(sys_root, name);
            d.claimed = d.identity.empty() ? 0 : adapter_number(d.identity);
        } else {
            continue;
        }
        d.path = dev_root + "/" + name;
        found.push_back(std::move(d));
    }
    mark_shared_numbers(&found);
    // By number, the devices without one last.
    std::sort(found.begin(), found.end(), [](const serial_device& a, const serial_device& b) {
        return std::tuple(a.claimed == 0, a.claimed, a.path) < std::tuple(b.claimed == 0, b.claimed, b.path);
    });
    return found;
}

std::string device_path(int number) {
    if (const char* dir = std::getenv(com_dir_variable); dir && *dir) {
        return std::string(dir) + "/COM" + std::to_string(number);
    }
    if (number < lowest || number > highest) return "";
    for (const serial_device& d : serial_devices("/dev", "/sys")) {
        if (d.number() == number) return d.path;
    }
    return "";
}

}  // namespace com_numbers
