// The serial link and one round trip per command family on the real POSIX
// backend, the test playing the box on the master side of a pseudo-terminal
// linked as $WQ_COM_DIR/COM1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

class SerialIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    pty_peer box{dir.path(), "COM1"};
    char message[128] = {};
    // Reads what the library sends next and checks it.
    void expect_from_host(const bytes& expected) {
        EXPECT_EQ(box.read(expected.size(), 5s), expected);
    }
};

bytes block_of(unsigned char command) { return bytes(32, command); }
std::string with_zero(const char* text) { return std::string(text, std::strlen(text) + 1); }

// COM1 stays silent; the box on COM12 is reached under "\\.\COM12".
TEST_F(SerialIntegration, TheProbeFindsABoxOnComTwelve) {
    pty_peer com12(dir.path(), "COM12");
    auto played = std::async(std::launch::async, [&] {
        EXPECT_EQ(com12.read(32, 5s), block_of(0x7D));
        com12.write(std::string(32, '\x2B') + '\x01' + with_zero("TWELVE"));
    });
    auto text = std::make_unique<char[]>(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 12);
    EXPECT_STREQ(text.get(), "TWELVE");
    played.get();
}

TEST_F(SerialIntegration, AHeldPortIsRefused) {
    const plat_handle first = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(first, plat_invalid_handle);
    EXPECT_EQ(wq_open_serial_port("\\\\.\\COM1", 57600), plat_invalid_handle);
    plat_close_handle(first);
    const plat_handle again = wq_open_serial_port("COM1", 57600);
    EXPECT_NE(again, plat_invalid_handle) << "closing must release the port";
    plat_close_handle(again);
}

// Every byte passes untranslated both ways, and a read one byte short ends
// after the 200 ms read time-out.
TEST_F(SerialIntegration, TheLineIsRawAndAShortReadEndsAfterTheTimeout) {
    const plat_handle port = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(port, plat_invalid_handle);
    bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
    box.write(all);
    bytes got(257);
    const auto start = steady::now();
    EXPECT_EQ(wq_read_port(port, got.data(), 257), 256);
    const auto took = steady::now() - start;
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 1000ms);
    got.resize(256);
    EXPECT_EQ(got, all) << "CR, LF, XON, XOFF and NUL arrive as sent";
    EXPECT_EQ(wq_write_port(port, all.data(), 256), 0);
    EXPECT_EQ(box.read(256, 2s), all);
    plat_close_handle(port);
}

TEST_F(SerialIntegration, ReadsTheLongSettingsRecord) {
    auto played = std::async(std::launch::async, [&] {
        expect_from_host(block_of(0x2B));
        bytes record(380, 0);
        std::memcpy(record.data(), "Kitchen", 7);
        std::memcpy(record.data() + 328, "eight", 5);
        std::memcpy(record.data() + 364, "\x39\x30\0\0\xFF\xFF\xFF\xFF", 8);  // 12345, -1
        box.write(record);
    });
    char text_1[32], text_2[32], text_3[32], text_4[64], number[12], choice_number[6],
        text_5[32], text_6[32], text_7[48], text_8[32], mode[12];
    EXPECT_EQ(wq_read_settings(1, text_1, text_2, text_3, text_4, number, choice_number, text_5,
                               text_6, text_7, text_8, mode, message, 0, 0), 0);
    played.get();
    EXPECT_STREQ(message, "Read User Settings Success!");
    EXPECT_EQ(std::string(text_1) + "|" + text_8 + "|" + number + "|" + mode,
              "Kitchen|eight|12345|-1");
}

TEST_F(SerialIntegration, WritesTheShortSettingsRecord) {
    bytes record;
    auto played = std::async(std::launch::async, [&] {
        expect_from_host(block_of(0x3F));
        box.write(with_zero("DOWNLOAD_S"));
        record = box.read(344, 5s);
        box.write(with_zero("DOWNLOAD_E"));
    });
    const auto start = steady::now();
    EXPECT_EQ(wq_write_settings(1, "Gr\xC3\xBC\xC3\x9F" "e", "", "", "", "300", "", "", "", "", "",
                                message, 3, 0, 0, 1, 0x0401, 1), 0);
    EXPECT_GE(steady::now() - start, 450ms);
    played.get();
    EXPECT_STREQ(message, "Speichern der Einstellungen erfolgreich!");
    ASSERT_EQ(record.size(), 344u);
    EXPECT_EQ(bytes(record.begin(), record.begin() + 6), (bytes{'G', 'r', 0xFC, 0xDF, 'e', 0}));
    EXPECT_EQ(record[200], 3);
    EXPECT_EQ(bytes(record.begin() + 328, record.end()),
              (bytes{1, 0, 0, 0, 0x2C, 0x01, 0, 0, 0x41, 0x06, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SerialIntegration, SetsTheClock) {
    auto played = std::async(std::launch::async, [&] {
        expect_from_host(block_of(0x7E));
        bytes time_block = {0x00, 0xF1, 0x53, 0x65};
        time_block.resize(32, 0x7E);
        expect_from_host(time_block);
    });
    std::strcpy(message, "untouched");
    EXPECT_EQ(wq_sync_time(1, 1700000000.9, message, 0), 0);
    played.get();
    EXPECT_STREQ(message, "untouched");
}

TEST_F(SerialIntegration, UpdatesTheFirmwareInChunks) {
    bytes image(300);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7);
    auto played = std::async(std::launch::async, [&] {
        expect_from_host(block_of(0x2A));
        box.write(with_zero("OTA_REQ_ACKN"));
        expect_from_host({0x2C, 1, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0});
        box.write(with_zero("OTA_RCV_CTRL"));
        expect_from_host(block_of(0x7C));
        box.write(with_zero("OTA_DNL_STRT"));
        expect_from_host(image);
        expect_from_host(block_of(0x2D));
        box.write(with_zero("OTA_DNL_DONE"));
    });
    int handle = 0;
    ASSERT_EQ(wq_ota_open_port(1, message, 0, &handle), 0);
    EXPECT_EQ(wq_ota_start(0, message, 0, handle, 300, 7), 0);
    EXPECT_EQ(wq_ota_start_xmit(0, message, 0, handle), 0);
    for (unsigned int offset = 0; offset < image.size(); offset += 64) {
        const int length = static_cast<int>(std::min<std::size_t>(64, image.size() - offset));
        EXPECT_EQ(wq_ota_xmit_data(0, message, 0, handle, image.data(), length, offset), 0);
    }
    EXPECT_EQ(wq_ota_confirm_done(0, message, 0, handle), 0);
    played.get();
    EXPECT_STREQ(message, "OTA programming successfully done!");
    ASSERT_EQ(wq_ota_open_port(1, message, 0, &handle), 0) << "the update closed the port";
    wq_force_close_handle(0, nullptr, 0, handle);
}

TEST_F(SerialIntegration, DownloadsTheUsageLog) {
    auto played = std::async(std::launch::async, [&] {
        expect_from_host(block_of(0x60));
        box.write(bytes{2, 0, 0, 0});
        for (char number : {'1', '2'}) {
            expect_from_host({'U', 'S', 'E', 'D', 'A', 'T', 'A', '_', 'S', 'T', 'A', 'R', 'T', 0});
            std::string record = std::string(32, 'K') + number + std::string(31, '\0') + "2.5";
            record.resize(128, '\0');
            record[80] = '0';
            box.write(record);
        }
        expect_from_host({'U', 'S', 'E', 'D', 'A', 'T', 'A', '_', 'E', 'N', 'D', '_', '_', 0});
    });
    int handle = 0;
    ASSERT_EQ(wq_ota_open_port(1, message, 0, &handle), 0);
    unsigned int count = 0;
    ASSERT_EQ(wq_use_data_req(handle, &count, message, 0), 0);
    ASSERT_EQ(count, 2u);
    for (unsigned int i = 1; i <= count; ++i) {
        char number[32], water[16], text[32], p1[8], p2[8], w2[8], w3[8], key[40];
        EXPECT_EQ(wq_use_data_fetch(handle, 1, 1, number, water, text, p1, p2, w2, w3, key,
                                    message, 0), 0);
        EXPECT_EQ(std::string(number) + "|" + water, std::to_string(i) + "|2.5");
        EXPECT_EQ(std::string(key, 32), std::string(32, 'K'));
    }
    EXPECT_EQ(wq_use_data_done(handle, message, 0), 0);
    played.get();
    wq_force_close_handle(0, nullptr, 0, handle);
}

}  // namespace
