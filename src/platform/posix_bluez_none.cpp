// Built without libsystemd: there is no bluetoothd to ask, so there is no
// device list (a host without a Bluetooth stack has none either); the
// connection needs no daemon and works as it does with one.
#include <cerrno>

#include "platform/posix_bluez.h"

namespace {
// What a lookup reports on a host without a Bluetooth stack.
constexpr int wsaservice_not_found = 10108;
constexpr int wsaenetunreach = 10051;
}  // namespace

bool bluez_known_devices(std::vector<bluez_device>*) {
    errno = wsaservice_not_found;
    return false;
}

int bluez_unreachable_code() { return wsaenetunreach; }
