// bluetoothd behind the POSIX backend's Bluetooth calls, used when
// WQ_BT_DIR is unset (see README, "Linux mapping"). Internal to the
// POSIX backend (posix_socket.cpp).
//
// Failures leave a Windows Sockets code in errno, the code a Windows host
// sees for the same cause:
//   10050 (network down)        bluetoothd is not running, or no system bus
//   10051 (network unreachable) no Bluetooth adapter, or it is switched off
//   10065 (host unreachable)    bluetoothd does not know the device
//   10060 (timed out)           the device did not answer
//   10061 (connection refused)  the device has no serial port service, or
//                               refused the connection
//   10013 (access denied)       the system bus's policy keeps the user
//                               from bluetoothd
//   10047 (family unsupported)  built without BlueZ support
#pragma once

#include <string>
#include <vector>

struct bluez_device {
    std::string address;  // "XX:XX:XX:XX:XX:XX", as bluetoothd spells it
    std::string name;     // empty: the device has no name
};

// The devices bluetoothd knows (paired or seen), in the order of their
// object paths. False with errno set when there is no bluetoothd or no
// adapter to ask.
bool bluez_known_devices(std::vector<bluez_device>* devices);

// Connects to the serial port service of the device with `address`
// (upper-case "XX:XX:XX:XX:XX:XX") and puts the connected stream socket in
// place of descriptor `fd`. 0, or -1 with errno set; `fd` is unchanged then.
int bluez_connect_serial_port(int fd, const char* address);
