// Bluetooth through bluetoothd, without a radio: a mock bluetoothd
// (bluez_mock.py) on a private bus that the library reaches as the system
// bus, and wqbox behind the serial port profile's connection.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "box_fixture.h"
#include "text/messages.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

constexpr char dbus_daemon[] = "/usr/bin/dbus-daemon";
constexpr char python[] = "/usr/bin/python3";  // where Debian's python3-dbusmock lives
constexpr BTH_ADDR box_address = 0x0011223344AA;  // wqbox's default address

// A child process with its output in `log`, ended with SIGTERM at scope exit.
struct child {
    pid_t pid = -1;
    bool start(std::vector<std::string> args, const std::string& log) {
        pid = spawn(std::move(args), log, log);
        return pid > 0;
    }
    ~child() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
};

bool bus_has_owner(const char* name) {
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    int owned = 0;
    if (sd_bus_open_system(&bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", name) >= 0) {
        sd_bus_message_read(reply, "b", &owned);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return owned != 0;
}

class Bluez : public BoxTest {
protected:
    scoped_env emulated_bluetooth_off{"WQ_BT_DIR", ""};
    scoped_env system_bus{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path("bus")};
    child daemon, bluetoothd;
    char message[wq_message_size] = {};

    void SetUp() override {
        if (::access(dbus_daemon, X_OK) != 0 ||
            std::system((std::string(python) + " -c 'import dbusmock' 2>/dev/null").c_str()) != 0) {
            GTEST_SKIP() << "needs dbus-daemon (dbus) and python3-dbusmock";
        }
        ASSERT_TRUE(daemon.start({dbus_daemon, "--session", "--nofork",
                                  "--address=unix:path=" + path("bus")}, path("bus.log")));
    }
    // Starts the mock with its JSON parameters and waits until it serves.
    void start_bluetoothd(const std::string& parameters) {
        ASSERT_TRUE(bluetoothd.start({python, "-m", "dbusmock", "--template", BLUEZ_MOCK_TEMPLATE,
                                      "-p", parameters}, path("bluetoothd.log")));
        ASSERT_TRUE(eventually([] { return bus_has_owner("org.bluez"); }, 20s))
            << "mock bluetoothd did not start";
    }
    std::string box_parameters(const std::string& devices) {
        return R"({"adapters": [["hci1", true], ["hci0", false]], "box_dir": ")" + dir.path() +
               R"(", "devices": [)" + devices + "]}";
    }
};

constexpr char wq_box[] = R"(["hci1", "00:11:22:33:44:AA", "WQ Box", null])";

// Listed in object-path order, whatever order bluetoothd reports; a device
// without a name is not listed, one that two adapters know is listed once
// and reached through the adapter that is on.
TEST_F(Bluez, TheDeviceListIsBluetoothdsAndTheConnectCheckReachesTheBox) {
    start_box();
    start_bluetoothd(box_parameters(std::string(R"(["hci1", "CC:00:00:00:00:01", "Lobby sink", null],
        ["hci0", "0A:0B:0C:0D:0E:0F", null, null], ["hci0", "00:11:22:33:44:AA", "WQ Box", null],
        )") + wq_box));
    std::string list(96, 'X');
    unsigned int count = 0;
    EXPECT_EQ(wq_get_device_list(list.data(), 96, &count, message, 0), 0) << message;
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(list, "WQ Box" + std::string(26, '\0') + "Lobby sink" + std::string(54, '\0'));

    BTH_ADDR address = 0;
    EXPECT_EQ(wq_connect_to_bt_device(&address, "WQ Box", message, 0), 0) << message;
    EXPECT_EQ(address, box_address);
    EXPECT_STREQ(message, "WQBOX ready");
    EXPECT_EQ(wq_connect_to_bt_device(&address, "wq box", message, 0), 1);
    EXPECT_STREQ(message, "Device cannot be found!");
}

// The kept connection is the socket bluetoothd hands over: it must block as
// a Windows socket does, or the 1024-byte image chunks come back short.
TEST_F(Bluez, AFirmwareUpdateRunsThroughTheSerialPortProfile) {
    start_box();
    start_bluetoothd(box_parameters(wq_box));
    std::vector<unsigned char> image(5000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13 + 7);
    const auto size = static_cast<unsigned int>(image.size());
    unsigned int socket = 0;
    ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
    EXPECT_EQ(::fcntl(static_cast<int>(socket), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(wq_bt_ota_start(socket, size, wqbox::crc32(image.data(), size), message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_start_xmit(socket, message, 0), 0) << message;
    for (unsigned int offset = 0; offset < size; offset += 1024) {
        const int length = static_cast<int>(std::min(1024u, size - offset));
        EXPECT_EQ(wq_bt_ota_xmit_data(socket, reinterpret_cast<const char*>(image.data()), length,
                                      offset, message, 0), 0) << message;
    }
    EXPECT_EQ(wq_bt_ota_done(socket, message, 0), 0);
    EXPECT_STREQ(message, "OTA programming successfully done!");
    EXPECT_EQ(wq_bt_ota_disconnect(socket), 0);
    EXPECT_EQ(box->state().firmware.image, image);
}

// Each cause of a failed connection, with the code a Windows host reports.
struct failure_case {
    const char* name;
    const char* parameters;  // nullptr: no bluetoothd on the bus
    BTH_ADDR address;
    const char* connect_message;
    int list_status;
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class BluezFailure : public Bluez, public ::testing::WithParamInterface<failure_case> {};

TEST_P(BluezFailure, NamesItsCauseByItsCode) {
    const failure_case& c = GetParam();
    if (c.parameters) start_bluetoothd(c.parameters);
    std::string list(32, 'X');
    unsigned int count = 0;
    EXPECT_EQ(wq_get_device_list(list.data(), 32, &count, message, 0), c.list_status);
    if (c.list_status != 0) {
        EXPECT_STREQ(message, "Lookup Service Begin Error");
    }
    unsigned int socket = 0;
    EXPECT_EQ(wq_bt_ota_connect(c.address, &socket, message, 0), 1);
    EXPECT_STREQ(message, c.connect_message);
}

constexpr char devices_that_fail[] = R"({"adapters": [["hci0", true], ["hci1", false]], "devices": [
    ["hci0", "00:00:00:00:00:01", "Far away", ["org.bluez.Error.Failed", "br-connection-page-timeout"]],
    ["hci0", "00:00:00:00:00:02", "Headset", ["org.bluez.Error.Failed", "br-connection-profile-unavailable"]],
    ["hci1", "00:00:00:00:00:03", "Behind a radio that is off", null]]})";

const failure_case failure_cases[] = {
    {"no_bluetoothd", nullptr, 1, "Socket Call Failed: 10050", 1},
    {"no_adapter", "{}", 1, "Socket Call Failed: 10051", 1},
    {"adapter_off", devices_that_fail, 3, "Socket Call Failed: 10051", 0},
    {"unknown_device", devices_that_fail, 4, "Socket Call Failed: 10065", 0},
    {"no_answer", devices_that_fail, 1, "Socket Call Failed: 10060", 0},
    {"no_serial_port_service", devices_that_fail, 2, "Socket Call Failed: 10061", 0},
};

INSTANTIATE_TEST_SUITE_P(Library, BluezFailure, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
