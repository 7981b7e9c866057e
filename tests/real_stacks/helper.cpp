// What the Bluetooth checks of the real-stack stage need besides wqctl:
//   box CHANNEL SOCKET           the box's RFCOMM side: listens on CHANNEL
//                                and relays each connection to wqbox's
//                                socket SOCKET
//   bluetoothd-client HCI SECONDS  another program: a serial-port profile
//                                registered with bluetoothd until killed,
//                                and a BR/EDR inquiry of adapter HCI first
//   kept-socket ADDRESS SECONDS  a host that opens a kept connection, waits,
//                                then reads the usage-log count through it
//   hold PORT                    a host that holds serial COM PORT, as a
//                                firmware update does, until it is killed
// Prints "ready" once it serves (box, bluetoothd-client, hold) or its results.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wq.h"

namespace {

constexpr int btproto_rfcomm = 3;

struct rfcomm_address {
    sa_family_t family;
    unsigned char radio[6];  // all zero: any adapter
    unsigned char channel;
};

int fail(const char* what) {
    std::perror(what);
    return 1;
}

void say_ready() {
    std::printf("ready\n");
    std::fflush(stdout);
}

// Copies bytes both ways until either side closes.
void relay(int a, int b) {
    pollfd ends[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[4096];
    while (::poll(ends, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (!ends[i].revents) continue;
            const ssize_t n = ::read(ends[i].fd, buffer, sizeof buffer);
            if (n <= 0 || ::write(ends[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n) return;
        }
    }
}

int serve_box(int channel, const char* socket_path) {
    const int listener = ::socket(AF_BLUETOOTH, SOCK_STREAM, btproto_rfcomm);
    rfcomm_address address{AF_BLUETOOTH, {}, static_cast<unsigned char>(channel)};
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0) {
        return fail("RFCOMM listen");
    }
    ::signal(SIGCHLD, SIG_IGN);
    say_ready();
    for (;;) {
        const int host = ::accept(listener, nullptr, nullptr);
        if (host < 0) continue;
        if (::fork() == 0) {
            const int box = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un box_address{};
            box_address.sun_family = AF_UNIX;
            std::snprintf(box_address.sun_path, sizeof box_address.sun_path, "%s", socket_path);
            if (::connect(box, reinterpret_cast<sockaddr*>(&box_address), sizeof box_address) == 0) {
                relay(host, box);
            }
            std::_Exit(0);
        }
        ::close(host);
    }
}

// Calls `method` of bluetoothd's object `path`: false, with bluetoothd's
// error on stderr, when it failed.
bool call(sd_bus* bus, const char* path, const char* interface, const char* method, const char* types, ...) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    va_list arguments;
    va_start(arguments, types);
    const int r = sd_bus_call_methodv(bus, "org.bluez", path, interface, method, &error, nullptr, types, arguments);
    va_end(arguments);
    if (r < 0) std::fprintf(stderr, "%s: %s\n", method, error.message ? error.message : std::strerror(-r));
    sd_bus_error_free(&error);
    return r >= 0;
}

// Answers what comes over the bus until `until`.
void serve_bus(sd_bus* bus, std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        sd_bus_wait(bus, 100000);
    }
}

// Another program on the host, as a serial-port manager is: it keeps a
// serial-port profile registered with bluetoothd, and runs one BR/EDR
// inquiry of `adapter` for `seconds` before it says it is ready.
int bluetoothd_client(const char* adapter, int seconds) {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return fail("system bus");
    const std::string path = std::string("/org/bluez/") + adapter;
    constexpr char adapter_interface[] = "org.bluez.Adapter1";
    if (!call(bus, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile", "osa{sv}", "/wq/foreign",
              "00001101-0000-1000-8000-00805f9b34fb", 1, "Role", "s", "client") ||
        !call(bus, path.c_str(), adapter_interface, "SetDiscoveryFilter", "a{sv}", 1, "Transport", "s", "bredr") ||
        !call(bus, path.c_str(), adapter_interface, "StartDiscovery", "")) {
        return 1;
    }
    serve_bus(bus, std::chrono::steady_clock::now() + std::chrono::seconds(seconds));
    call(bus, path.c_str(), adapter_interface, "StopDiscovery", "");
    say_ready();
    serve_bus(bus, std::chrono::steady_clock::time_point::max());
    return 0;
}

int kept_socket(const char* address, int seconds) {
    char message[128] = "";
    unsigned int socket = 0;
    const int connected = wq_bt_ota_connect(std::strtoull(address, nullptr, 16), &socket, message, 0);
    std::printf("connect %d %s\n", connected, message);
    std::fflush(stdout);
    if (connected != 0) return 1;
    ::sleep(static_cast<unsigned>(seconds));
    unsigned int count = 0;
    const int asked = wq_bt_use_data_req(socket, &count, message, 0);
    std::printf("after the pause %d %u %s\n", asked, count, message);
    wq_bt_use_data_done(socket, message, 0);
    return asked;
}

int hold(int port) {
    char message[128] = "";
    int handle = 0;
    if (wq_ota_open_port(port, message, 0, &handle) != 0) {
        std::printf("not held: %s\n", message);
        return 1;
    }
    say_ready();
    ::pause();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "box" && argc == 4) return serve_box(std::atoi(argv[2]), argv[3]);
    if (command == "bluetoothd-client" && argc == 4) return bluetoothd_client(argv[2], std::atoi(argv[3]));
    if (command == "kept-socket" && argc == 4) return kept_socket(argv[2], std::atoi(argv[3]));
    if (command == "hold" && argc == 3) return hold(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: see the comment at the top of helper.cpp\n");
    return 2;
}
