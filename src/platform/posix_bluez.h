// bluetoothd behind the POSIX backend's real Bluetooth, used when WQ_BT_DIR
// is unset (see README, "Linux mapping"): the devices it knows, and whether
// it is there at all. Internal to the POSIX backend.
#pragma once

#include <string>
#include <vector>

struct bluez_device {
    std::string address;  // "XX:XX:XX:XX:XX:XX", as bluetoothd spells it
    std::string name;     // empty: the device has no name
};

// The BR/EDR devices bluetoothd knows (paired or seen), in the order of
// their object paths; LE-only devices are left out, as a Windows inquiry
// never finds them. False with a Windows Sockets code in errno when there
// is no bluetoothd or no adapter to ask.
bool bluez_known_devices(std::vector<bluez_device>* devices);

// Why no adapter could reach a device: 10050 (network down) when
// bluetoothd is not there, or its activation fails; else 10051 (network
// unreachable): its adapters are switched off, or there are none.
int bluez_unreachable_code();
