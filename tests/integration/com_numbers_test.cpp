// The COM-number rule on made-up /sys trees. The numbers are pinned: they
// were worked out from the rule as the README writes it, and a user's
// adapter must keep its number from one release to the next.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/posix_com_numbers.h"
#include "pty_peer.h"

namespace {

namespace fs = std::filesystem;

constexpr char controller[] = "pci0000:00/0000:00:14.0/usb1/";

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A UART port ("ttyS3" and its type), or an adapter: its tty name, the USB
// device's place below the controller, and its serial number ("": none).
struct device {
    std::string name, type_or_place, serial = "";
};

std::map<std::string, int> numbers_of(const std::vector<device>& devices) {
    temp_dir dir;
    const fs::path sys = dir.path() + "/sys";
    for (const device& d : devices) {
        const fs::path tty = sys / "class/tty" / d.name;
        if (d.name.rfind("ttyS", 0) == 0) {
            put(tty / "type", d.type_or_place);
            continue;
        }
        const fs::path usb = sys / "devices" / (controller + d.type_or_place);
        put(usb / "idVendor", "0403");
        put(usb / "idProduct", "6001");
        if (!d.serial.empty()) put(usb / "serial", d.serial);
        fs::path port = usb / (usb.filename().string() + ":1.0");  // the interface
        put(port / "bInterfaceNumber", "00");
        if (d.name.rfind("ttyUSB", 0) == 0) put((port /= d.name) / "port_number", "0");
        fs::create_directories(tty);
        fs::create_directory_symlink(port, tty / "device");
    }
    std::map<std::string, int> numbers;
    for (const auto& found : com_numbers::serial_devices("/dev", sys.string())) numbers[found.path] = found.number();
    return numbers;
}

TEST(ComNumbers, StayWithTheDeviceAndAClashReachesNeither) {
    struct row {
        const char* what;
        std::vector<device> devices;
        std::map<std::string, int> expected;
    };
    const row rows[] = {
        {"UART ports by their kernel number; none without a UART, none past COM15",
         {{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS3", "4"}, {"ttyS15", "4"}},
         {{"/dev/ttyS0", 1}, {"/dev/ttyS3", 4}, {"/dev/ttyS15", 0}}},
        {"an adapter by its serial number, whatever its socket and name",
         {{"ttyUSB2", "1-3", "A50285BI"}}, {{"/dev/ttyUSB2", 7}}},
        {"one without a serial number by its socket, whatever its name", {{"ttyACM1", "1-2"}}, {{"/dev/ttyACM1", 7}}},
        {"two adapters claiming COM7, a UART and an adapter COM5",
         {{"ttyUSB0", "1-4", "A50285BI"}, {"ttyACM0", "1-2", ""}, {"ttyS4", "4"}, {"ttyUSB1", "1-3", "W27"}},
         {{"/dev/ttyUSB0", 0}, {"/dev/ttyACM0", 0}, {"/dev/ttyS4", 0}, {"/dev/ttyUSB1", 0}}},
    };
    for (const row& r : rows) EXPECT_EQ(numbers_of(r.devices), r.expected) << r.what;
}

}  // namespace
