// ports: the serial devices present and the COM number that reaches each.
#include <filesystem>
#include <fstream>

#include "commands.h"
#include "link.h"

namespace wqctl {
namespace {

namespace fs = std::filesystem;

// Serial devices that no COM number reaches without WQ_COM_DIR: USB
// adapters and modems, and bound Bluetooth serial ports.
constexpr const char* unnumbered_prefixes[] = {"ttyUSB", "ttyACM", "rfcomm"};
constexpr char sysfs_tty[] = "/sys/class/tty/";
constexpr char unknown_uart[] = "0";  // the serial core's PORT_UNKNOWN

// Every /dev/ttyS<n> exists, UART or not; the serial core tells its type.
bool has_uart(const fs::path& device) {
    std::ifstream type(std::string(sysfs_tty) + device.filename().string() + "/type");
    std::string value;
    return !(type >> value) || value != unknown_uart;
}

bool present(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    return path.rfind("/dev/ttyS", 0) != 0 || has_uart(path);
}

json port_entry(json com, const std::string& path) {
    std::error_code ec;
    const fs::path device = fs::is_symlink(path, ec) ? fs::canonical(path, ec) : fs::path(path);
    return {{"com", std::move(com)}, {"path", path}, {"device", ec ? path : device.string()}};
}

std::string table_line(const json& entry) {
    const std::string path = entry["path"], device = entry["device"];
    const std::string com = entry["com"].is_null() ? "-" : "COM" + std::to_string(entry["com"].get<int>());
    std::string line = com + std::string(7 - std::min<std::size_t>(com.size(), 6), ' ') + path;
    if (device != path) line += " -> " + device;
    if (entry["com"].is_null()) line += "  (use --device " + path + ")";
    return line + "\n";
}

}  // namespace

report run_ports(const invocation&) {
    json ports = json::array();
    for (int n = lowest_port; n <= highest_port; ++n) {
        const std::string path = com_device_path(n);
        if (present(path)) ports.push_back(port_entry(n, path));
    }
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/dev", ec)) {
        const std::string name = e.path().filename().string();
        for (const char* prefix : unnumbered_prefixes)
            if (name.rfind(prefix, 0) == 0) ports.push_back(port_entry(nullptr, e.path().string()));
    }
    report r;
    if (ports.empty()) r.summary = "no serial devices found";
    for (const json& entry : ports) r.table += table_line(entry);
    r.add("ports", std::move(ports));
    return r;
}

}  // namespace wqctl
