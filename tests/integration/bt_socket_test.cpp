// Emulated Bluetooth on the real POSIX backend: the devices file read by
// the lookup, and kernel AF_UNIX sockets behind the socket calls, the test
// playing the box.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bluetooth/bt_link.h"
#include "platform/platform.h"
#include "pty_peer.h"
#include "text/messages.h"
#include "unix_box.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr BTH_ADDR box_address = 0x0011223344AA;
constexpr int wsaetimedout = 10060;
constexpr int wsaeconnrefused = 10061;
constexpr int wsaeconnreset = 10054;
constexpr int wsaeafnosupport = 10047;

bytes as_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

std::string slotted(const std::vector<std::string>& names, std::size_t size) {
    std::string list(size, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        list.replace(i * bt_device_name_slot, names[i].size(), names[i]);
    }
    return list;
}

class BtSocketIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    char message[wq_message_size] = {};

    // The packed socket address of `address`, as discovery hands it over.
    static void socket_address(BTH_ADDR address, unsigned char out[bt_socket_address_size]) {
        std::memset(out, 0, bt_socket_address_size);
        out[0] = 32;  // AF_BTH
        for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<unsigned char>(address >> (8 * i));
    }

    // A socket connected to `address` and accepted by `box`, with the
    // options every Bluetooth command sets.
    plat_socket connect_to(unix_box& box, BTH_ADDR address) {
        unsigned char where[bt_socket_address_size];
        socket_address(address, where);
        const plat_socket socket = plat_socket_open();
        EXPECT_NE(socket, plat_invalid_socket);
        EXPECT_EQ(plat_connect(socket, where), 0) << plat_wsa_get_last_error();
        EXPECT_TRUE(box.accept(2s));
        EXPECT_EQ(plat_set_socket_option(socket, plat_socket_option::receive_timeout, 100), 0);
        EXPECT_EQ(plat_set_socket_option(socket, plat_socket_option::send_buffer, 4096), 0);
        EXPECT_EQ(plat_set_socket_option(socket, plat_socket_option::receive_buffer, 4096), 0);
        return socket;
    }

    // Receives until `count` bytes came or a receive fails or sees the end.
    static bytes receive(plat_socket socket, std::size_t count) {
        bytes got;
        unsigned char buffer[256];
        while (got.size() < count) {
            const int n = plat_recv(socket, buffer, sizeof buffer);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
};

TEST_F(BtSocketIntegration, TheDeviceListFollowsTheDevicesFile) {
    const std::string long_name(40, 'L');
    write_known_devices(dir.path(),
                        "00:11:22:33:44:AA Box One\r\n"
                        "\n"
                        "\r\n"
                        "not an address\n"
                        "00:11:22:33:44 short\n"
                        "00-11-22-33-44-55 dashes\n"
                        "00:11:22:33:44:GG bad hex\n"
                        "00:11:22:33:44:55x glued\n"
                        "AA:BB:CC:DD:EE:FF\n"
                        "AA:BB:CC:DD:EE:F0 \n"
                        "01:02:03:04:05:06 Second  box \r\n"
                        "0a:0b:0c:0d:0e:0f lower\n"
                        "10:20:30:40:50:60 " + long_name + "\n"
                        "11:22:33:44:55:66 Umlaut \xE4\xF6\xFC");
    std::string list(256, 'X');
    unsigned int count = 99;
    EXPECT_EQ(wq_get_device_list(list.data(), 256, &count, message, 0), wq_status_ok) << message;
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(list, slotted({"Box One", "Second  box ", "lower", std::string(32, 'L'),
                             "Umlaut \xE4\xF6\xFC"},
                            256));
}

TEST_F(BtSocketIntegration, AMissingDevicesFileMeansNoKnownDevices) {
    std::string list(64, 'X');
    unsigned int count = 99;
    EXPECT_EQ(wq_get_device_list(list.data(), 64, &count, message, 1), wq_status_ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(list, std::string(64, '\0'));
}

TEST_F(BtSocketIntegration, DiscoveryAndSocketsNeedTheBtDirectory) {
    scoped_env no_bt_dir{"WQ_BT_DIR", ""};
    std::string list(64, 'X');
    unsigned int count = 99;
    EXPECT_EQ(wq_get_device_list(list.data(), 64, &count, message, 0), wq_status_fail);
    EXPECT_STREQ(message, "Lookup Service Begin Error");
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(plat_socket_open(), plat_invalid_socket);
    EXPECT_EQ(plat_wsa_get_last_error(), wsaeafnosupport);
}

TEST_F(BtSocketIntegration, ANameLeadsToItsAddress) {
    write_known_devices(dir.path(), "01:02:03:04:05:06 Other\n00:11:22:33:44:AA Box One\n");
    unsigned char address[bt_socket_address_size];
    std::memset(address, 0xEE, sizeof address);
    ASSERT_EQ(bt_get_bt_addr(address, "Box One", message, 0), wq_status_ok);
    unsigned char expected[bt_socket_address_size];
    socket_address(box_address, expected);
    EXPECT_EQ(0, std::memcmp(address, expected, sizeof address));
    EXPECT_EQ(bt_address_of(address), box_address);
    EXPECT_EQ(bt_get_bt_addr(address, "box one", message, 0), wq_status_fail);
    EXPECT_STREQ(message, "Device cannot be found!");
}

TEST_F(BtSocketIntegration, FramesTravelBothWays) {
    unix_box box(dir.path(), box_address);
    const plat_socket socket = connect_to(box, box_address);
    EXPECT_EQ(plat_send(socket, "$$BTCONN_REQ##", 14), 14);
    EXPECT_EQ(box.read(14, 2s), as_bytes("$$BTCONN_REQ##"));
    box.write("$$BTCONN_ACK##");
    EXPECT_EQ(receive(socket, 14), as_bytes("$$BTCONN_ACK##"));
    EXPECT_EQ(plat_close_socket(socket), 0);
}

TEST_F(BtSocketIntegration, ALargeSendArrivesWhole) {
    unix_box box(dir.path(), box_address);
    const plat_socket socket = connect_to(box, box_address);
    bytes data(64 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    auto arrived = std::async(std::launch::async, [&] { return box.read(data.size(), 5s); });
    EXPECT_EQ(plat_send(socket, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    EXPECT_EQ(arrived.get(), data);
    plat_close_socket(socket);
}

TEST_F(BtSocketIntegration, AQuietLineTimesOutAfterTheReceiveTimeout) {
    unix_box box(dir.path(), box_address);
    const plat_socket socket = connect_to(box, box_address);
    for (std::uint32_t timeout_ms : {100u, 250u}) {
        ASSERT_EQ(plat_set_socket_option(socket, plat_socket_option::receive_timeout, timeout_ms), 0);
        unsigned char buffer[16];
        const auto start = steady::now();
        EXPECT_EQ(plat_recv(socket, buffer, sizeof buffer), plat_socket_error);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - start);
        EXPECT_EQ(plat_wsa_get_last_error(), wsaetimedout);
        EXPECT_GE(elapsed.count(), timeout_ms - 2) << timeout_ms;
        EXPECT_LT(elapsed.count(), timeout_ms + 500) << timeout_ms;
    }
    plat_close_socket(socket);
}

TEST_F(BtSocketIntegration, BytesWithinTheTimeoutAreReceived) {
    unix_box box(dir.path(), box_address);
    const plat_socket socket = connect_to(box, box_address);
    std::thread late([&] {
        std::this_thread::sleep_for(40ms);
        box.write("late");
    });
    const bytes got = receive(socket, 4);  // the first receive waits for them
    late.join();
    EXPECT_EQ(got, as_bytes("late")) << plat_wsa_get_last_error();
    plat_close_socket(socket);
}

TEST_F(BtSocketIntegration, ABoxThatHangsUpEndsTheReceiveAndFailsTheSend) {
    unix_box box(dir.path(), box_address);
    const plat_socket socket = connect_to(box, box_address);
    box.hang_up();
    unsigned char buffer[16];
    EXPECT_EQ(plat_recv(socket, buffer, sizeof buffer), 0);
    // No SIGPIPE: the failure comes back as a code.
    EXPECT_EQ(plat_send(socket, "$$BT_IDENTFY##", 14), plat_socket_error);
    EXPECT_EQ(plat_wsa_get_last_error(), wsaeconnreset);
    plat_close_socket(socket);
}

TEST_F(BtSocketIntegration, NobodyListeningIsConnectionRefused) {
    unix_box stopped(dir.path(), 0x0A0B0C0D0E0F);
    stopped.stop_listening();
    for (BTH_ADDR address : {BTH_ADDR{0x0A0B0C0D0E0F}, BTH_ADDR{0x665544332211}}) {
        unsigned char where[bt_socket_address_size];
        socket_address(address, where);
        const plat_socket socket = plat_socket_open();
        ASSERT_NE(socket, plat_invalid_socket);
        EXPECT_EQ(plat_connect(socket, where), plat_socket_error);
        EXPECT_EQ(plat_wsa_get_last_error(), wsaeconnrefused) << std::hex << address;
        EXPECT_EQ(plat_close_socket(socket), 0);
        EXPECT_EQ(plat_wsa_get_last_error(), wsaeconnrefused) << "a close keeps the last error";
    }
}

TEST(BtSocketErrors, SystemErrorsBecomeWindowsSocketsCodes) {
    struct row {
        int error;
        int code;
    };
    const row rows[] = {
        {EAGAIN, 10060},       {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061}, {ENOENT, 10061},
        {ECONNRESET, 10054},   {EPIPE, 10054},        {ECONNABORTED, 10053}, {EBADF, 10038},
        {ENOTSOCK, 10038},     {EINVAL, 10022},       {EAFNOSUPPORT, 10047}, {EMFILE, 10024},
        {ENOBUFS, 10055},      {ENETDOWN, 10050},     {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
        {EADDRINUSE, 10048},   {ENAMETOOLONG, 10063}, {EIO, 10022},
        {10110, 10110},  // a code of the backend's own passes through
    };
    for (const row& r : rows) {
        errno = r.error;
        EXPECT_EQ(plat_wsa_get_last_error(), r.code) << "errno " << r.error;
    }
}

}  // namespace
