// Built without libsystemd: there is no bluetoothd to ask, so the POSIX
// backend has Bluetooth only through WQ_BT_DIR, and otherwise fails as a
// host without a Bluetooth stack does.
#include <cerrno>

#include "platform/posix_bluez.h"

namespace {
// What a lookup reports on a host without a Bluetooth stack.
constexpr int wsaservice_not_found = 10108;
}  // namespace

bool bluez_known_devices(std::vector<bluez_device>*) {
    errno = wsaservice_not_found;
    return false;
}

int bluez_connect_serial_port(int, const char*) {
    errno = EAFNOSUPPORT;
    return -1;
}
