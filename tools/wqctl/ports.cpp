// ports: the serial devices present and the COM number that reaches each.
#include <cstdlib>
#include <filesystem>

#include "commands.h"
#include "platform/posix_com_numbers.h"

namespace wqctl {
namespace {

namespace fs = std::filesystem;

// Bound Bluetooth serial ports have no COM number; --device reaches them.
constexpr char rfcomm_prefix[] = "rfcomm";

json port_entry(json com, const std::string& path, const std::string& note = "") {
    std::error_code ec;
    const fs::path device = fs::is_symlink(path, ec) ? fs::canonical(path, ec) : fs::path(path);
    json entry = {{"com", std::move(com)}, {"path", path}, {"device", ec ? path : device.string()}};
    if (!note.empty()) entry["note"] = note;
    return entry;
}

// What the rule made a device's number from (an adapter's USB identity),
// and a clash that leaves it without one.
std::string note_on(const com_numbers::serial_device& d) {
    std::string note = d.identity == fs::path(d.path).filename() ? "" : d.identity;
    if (d.shared) note += (note.empty() ? "" : "; ") + ("COM" + std::to_string(d.claimed)) + " claimed twice";
    return note;
}

std::string table_line(const json& entry) {
    const std::string path = entry["path"], device = entry["device"];
    const std::string com = entry["com"].is_null() ? "-" : "COM" + std::to_string(entry["com"].get<int>());
    std::string line = com + std::string(7 - std::min<std::size_t>(com.size(), 6), ' ') + path;
    if (device != path) line += " -> " + device;
    if (entry.contains("note")) line += "  " + entry["note"].get<std::string>();
    if (entry["com"].is_null()) line += "  (use --device " + path + ")";
    return line + "\n";
}

}  // namespace

report run_ports(const invocation&) {
    const char* com_dir = std::getenv("WQ_COM_DIR");
    const bool numbered_by_dir = com_dir && *com_dir;  // then the devices keep none
    json ports = json::array();
    std::error_code ec;
    for (int n = com_numbers::lowest; numbered_by_dir && n <= com_numbers::highest; ++n) {
        const std::string path = com_numbers::device_path(n);
        if (fs::exists(path, ec)) ports.push_back(port_entry(n, path));
    }
    for (const auto& d : com_numbers::serial_devices("/dev", "/sys")) {
        const int n = numbered_by_dir ? 0 : d.number();
        ports.push_back(port_entry(n ? json(n) : json(nullptr), d.path, note_on(d)));
    }
    for (const fs::directory_entry& e : fs::directory_iterator("/dev", ec)) {
        if (e.path().filename().string().rfind(rfcomm_prefix, 0) == 0)
            ports.push_back(port_entry(nullptr, e.path().string()));
    }
    report r;
    if (ports.empty()) r.summary = "no serial devices found";
    for (const json& entry : ports) r.table += table_line(entry);
    r.add("ports", std::move(ports));
    return r;
}

}  // namespace wqctl
