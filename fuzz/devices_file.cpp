// The POSIX backend's known-devices file: any bytes in $WQ_BT_DIR/devices,
// read by the device list and by the connect check's name lookup. The list
// slots stay terminated inside the host's buffer; no descriptor is left
// open (LeakSanitizer covers the heap).
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "harness.h"

namespace {

constexpr std::size_t slot_size = 32;

// The lowest free descriptor: the same after a run as before, unless the
// run left one open.
int lowest_free_descriptor() {
    const int probe = ::dup(0);
    ::close(probe);
    return probe;
}

// The devices file in a directory of our own, WQ_BT_DIR for the whole process.
std::string scratch_devices_file() {
    static char dir[] = "/tmp/wq-fuzz-XXXXXX";
    if (!::mkdtemp(dir)) fuzz::fail("no scratch directory");
    ::setenv("WQ_BT_DIR", dir, 1);
    return std::string(dir) + "/devices";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string devices = scratch_devices_file();
    // Measured per run: the sanitizers' symbolizer opens pipes of its own.
    const int free_descriptor = lowest_free_descriptor();
    FuzzedDataProvider in(data, size);
    const auto list_size = in.ConsumeIntegralInRange<int>(0, 300);
    const std::string name = in.ConsumeRandomLengthString(40);
    std::ofstream(devices, std::ios::binary) << in.ConsumeRemainingBytesAsString();

    fuzz::output message, list(static_cast<std::size_t>(std::max(list_size, 1)), false);
    unsigned int count = 0;
    if (wq_get_device_list(list.get(), list_size, &count, message.get(), 0) == 0) {
        if (count * slot_size > static_cast<std::size_t>(list_size)) fuzz::fail("slots past the list");
        for (unsigned int i = 0; i < count; ++i) {
            if (!std::memchr(list.get() + i * slot_size, 0, slot_size)) fuzz::fail("slot not terminated");
        }
    }
    message.must_be_terminated("message not terminated");
    BTH_ADDR address = 0;
    fuzz::output connect_message;
    wq_connect_to_bt_device(&address, name.c_str(), connect_message.get(), 0);
    connect_message.must_be_terminated("connect message not terminated");
    if (lowest_free_descriptor() != free_descriptor) fuzz::fail("a descriptor leaked");
    return 0;
}
