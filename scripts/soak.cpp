// The soak host (scripts/soak builds and runs it): mixed operations over
// both links against a healthy emulated box, then failure cycles against a
// faulty one, stale handles and absent boxes. Every 1,000 operations it
// prints its open descriptors and resident memory, which must stay flat.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "wq.h"

namespace {

constexpr BTH_ADDR healthy_box = 0x0011223344AAull;
constexpr BTH_ADDR faulty_box = 0x0011223344BBull;
constexpr BTH_ADDR absent_box = 0x0011223344CCull;
constexpr int healthy_port = 1;
constexpr int faulty_port = 2;
constexpr int absent_port = 9;

int open_descriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count - 1;  // the directory's own
}

long rss_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

struct texts {
    char t[11][64] = {};
    char address[3][16] = {};
    char message[128] = {};
};

int read_settings_serial(int port, texts& x) {
    return wq_read_settings(port, x.t[0], x.t[1], x.t[2], x.t[3], x.t[4], x.t[5], x.t[6], x.t[7],
                            x.t[8], x.t[9], x.t[10], x.message, 0, 0);
}

int read_settings_bt(BTH_ADDR box, texts& x) {
    return wq_bt_read_settings(box, x.t[0], x.t[1], x.t[2], x.t[3], x.t[4], x.t[5], x.t[6],
                               x.t[7], x.t[8], x.t[9], x.t[10], x.address[0], x.address[1],
                               x.address[2], x.message, 0, 0);
}

// A usage-log download of two entries on a kept serial port or socket.
int serial_log(texts& x) {
    int handle = 0;
    if (wq_ota_open_port(healthy_port, x.message, 0, &handle) != 0) return 1;
    unsigned int entries = 0;
    int status = wq_use_data_req(handle, &entries, x.message, 0);
    for (int i = 0; i < 2 && status == 0; ++i) {
        status = wq_use_data_fetch(handle, 1, 0, x.t[0], x.t[1], x.t[2], x.t[3], x.t[4], x.t[5],
                                   x.t[6], x.t[7], x.message, 0) == 1;
    }
    wq_use_data_done(handle, x.message, 0);
    wq_force_close_handle(0, nullptr, 0, handle);
    return status;
}

int bt_log(texts& x) {
    unsigned int socket = 0;
    if (wq_bt_ota_connect(healthy_box, &socket, x.message, 0) != 0) return 1;
    unsigned int entries = 0;
    int status = wq_bt_use_data_req(socket, &entries, x.message, 0);
    for (int i = 0; i < 2 && status == 0; ++i) {
        status = wq_bt_use_data_fetch(socket, 1, 0, x.t[0], x.t[1], x.t[2], x.t[3], x.t[4],
                                      x.t[5], x.t[6], x.t[7], x.message, 0, 0) == 1;
    }
    wq_bt_use_data_done(socket, x.message, 0);
    return status;
}

// One operation of the healthy mix; non-zero when it failed.
int healthy_operation(int n, texts& x) {
    char list[32 * 8] = {};
    unsigned int count = 0;
    BTH_ADDR address = 0;
    switch (n % 8) {
        case 0: return read_settings_serial(healthy_port, x);
        case 1: return wq_sync_time(healthy_port, 1.7e9 + n, x.message, 0);
        case 2: return wq_get_device_list(list, sizeof list, &count, x.message, 0);
        case 3: return wq_bt_get_usage_setting_cnt(healthy_box, &count, x.message, 0);
        case 4: return serial_log(x);
        case 5: return n % 40 == 5 ? read_settings_bt(healthy_box, x)
                                   : wq_connect_to_bt_device(&address, "WQ Box", x.message, 0);
        case 6: return n % 40 == 6 ? bt_log(x) : read_settings_serial(healthy_port, x);
        default: return wq_bt_sync_time(healthy_box, 1700000000ull + n, x.message, 0);
    }
}

// One failure cycle: each step must fail, and release what it took.
int failure_cycle(int n, texts& x) {
    int failed = 0;
    failed += read_settings_serial(faulty_port, x) != 0;   // the line drops
    failed += read_settings_serial(absent_port, x) != 0;   // no such port
    failed += wq_bt_identify(absent_box, x.message, 0) != 0;  // nobody listens
    if (n % 10 == 0) failed += read_settings_bt(faulty_box, x) != 0;  // the link drops
    else ++failed;
    int handle = 0;  // a port closed, then used again
    wq_ota_open_port(healthy_port, x.message, 0, &handle);
    wq_force_close_handle(0, nullptr, 0, handle);
    unsigned int entries = 0;
    failed += wq_use_data_req(handle, &entries, x.message, 0) != 0;
    wq_force_close_handle(0, nullptr, 0, handle);
    unsigned int socket = 0;  // a socket closed, then used again
    wq_bt_ota_connect(healthy_box, &socket, x.message, 0);
    wq_bt_ota_disconnect(socket);
    failed += wq_bt_use_data_req(socket, &entries, x.message, 0) != 0;
    wq_bt_ota_disconnect(socket);
    return failed == 6 ? 0 : 1;
}

void report(const char* phase, int done, int unexpected) {
    std::printf("%-18s %6d  %3d open descriptors  %6ld KiB RSS  %d unexpected\n", phase, done,
                open_descriptors(), rss_kib(), unexpected);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int operations = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 1000;
    texts x;
    report("start", 0, 0);
    int unexpected = 0;
    for (int n = 1; n <= operations; ++n) {
        unexpected += healthy_operation(n, x) != 0;
        if (n % 1000 == 0) report("healthy operations", n, unexpected);
    }
    if (operations % 1000 != 0) report("healthy operations", operations, unexpected);
    const int healthy_failures = unexpected;
    unexpected = 0;
    for (int n = 1; n <= cycles; ++n) {
        unexpected += failure_cycle(n, x);
        if (n % 100 == 0) report("failure cycles", n, unexpected);  // 11 or 12 calls each
    }
    if (cycles % 100 != 0) report("failure cycles", cycles, unexpected);
    return healthy_failures + unexpected == 0 ? 0 : 1;
}
