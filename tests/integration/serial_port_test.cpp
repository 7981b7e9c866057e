// The serial link on the real POSIX backend, the test playing the box on the
// master side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "pty_peer.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

class SerialIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
};

// Answers one probe the way a box does.
void answer_probe(pty_peer& box, const std::string& identification) {
    const auto probe = box.read(32, 5s);
    ASSERT_EQ(probe, std::vector<unsigned char>(32, 0x7D));
    std::string answer(32, '\x2B');
    answer += '\x01';
    answer += identification;
    answer += '\0';
    box.write(answer);
}

TEST_F(SerialIntegration, FindsABoxOnComThree) {
    pty_peer box(dir.path(), "COM3");
    auto played = std::async(std::launch::async, [&] { answer_probe(box, "WQ BOX 2.1"); });
    auto text = std::make_unique<char[]>(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 3);
    EXPECT_STREQ(text.get(), "WQ BOX 2.1");
    played.get();
}

TEST_F(SerialIntegration, DeviceNamespaceNameReachesComTwelve) {
    pty_peer box(dir.path(), "COM12");
    auto played = std::async(std::launch::async, [&] { answer_probe(box, "TWELVE"); });
    auto text = std::make_unique<char[]>(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 12);
    EXPECT_STREQ(text.get(), "TWELVE");
    played.get();
}

TEST_F(SerialIntegration, AHeldPortIsRefused) {
    pty_peer box(dir.path(), "COM2");
    const plat_handle first = wq_open_serial_port("COM2", 57600);
    ASSERT_NE(first, plat_invalid_handle);
    EXPECT_EQ(wq_open_serial_port("\\\\.\\COM2", 57600), plat_invalid_handle);
    plat_close_handle(first);
    const plat_handle again = wq_open_serial_port("COM2", 57600);
    EXPECT_NE(again, plat_invalid_handle) << "closing must release the port";
    plat_close_handle(again);
}

TEST_F(SerialIntegration, AShortReadEndsAfterTheReadTimeout) {
    pty_peer box(dir.path(), "COM1");
    const plat_handle port = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(port, plat_invalid_handle);
    box.write("abc");
    unsigned char buffer[8] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wq_read_port(port, buffer, sizeof buffer), 3);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);

    EXPECT_EQ(wq_write_port(port, "hello", 5), 0);
    const auto echoed = box.read(5, 2s);
    EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "hello");
    plat_close_handle(port);
}

TEST_F(SerialIntegration, BinaryBytesPassUntranslated) {
    pty_peer box(dir.path(), "COM1");
    const plat_handle port = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(port, plat_invalid_handle);
    const std::vector<unsigned char> all = [] {
        std::vector<unsigned char> v;
        for (int i = 0; i < 256; ++i) v.push_back(static_cast<unsigned char>(i));
        return v;
    }();
    box.write(all);
    std::vector<unsigned char> got(256);
    EXPECT_EQ(wq_read_port(port, got.data(), 256), 256);
    EXPECT_EQ(got, all) << "CR, LF, XON, XOFF and NUL must arrive as sent";
    EXPECT_EQ(wq_write_port(port, all.data(), 256), 0);
    EXPECT_EQ(box.read(256, 2s), all);
    plat_close_handle(port);
}

}  // namespace
