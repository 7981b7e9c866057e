// Which serial device each COM number reaches on Linux. The library opens
// ports by this rule and `wqctl ports` lists it; wqctl reaches nothing of
// libwq but its exported calls, so this file is compiled into both.
#pragma once

#include <string>
#include <vector>

namespace com_numbers {

inline constexpr int lowest = 1;
inline constexpr int highest = 15;

struct serial_device {
    std::string path;      // the device node, such as /dev/ttyUSB0
    std::string identity;  // what its number is made from
    int claimed = 0;       // the number its identity gives it; 0: none
    bool shared = false;   // another device present claims it too
    int number() const { return shared ? 0 : claimed; }
};

// The serial devices present (UART ports, USB adapters) with the COM number
// each has, ordered by number; `dev_root` and `sys_root` stand for /dev and
// /sys. The rule is written down in posix_com_numbers.cpp.
std::vector<serial_device> serial_devices(const std::string& dev_root, const std::string& sys_root);

// The device COM `number` opens: $WQ_COM_DIR/COM<number> when WQ_COM_DIR is
// set, else the device present that has that number; empty when none has.
std::string device_path(int number);

}  // namespace com_numbers
