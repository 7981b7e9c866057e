// One round trip per Bluetooth command family on the real POSIX backend,
// the test playing the box on an AF_UNIX socket in a temporary WQ_BT_DIR.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "text/messages.h"
#include "unix_box.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr BTH_ADDR box_address = 0x0011223344AAull;

bytes as_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }
std::string as_text(const bytes& data) { return std::string(data.begin(), data.end()); }

class BtCommandsIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    unix_box box{dir.path(), box_address};
    char message[wq_message_size];
    unsigned int socket = 0;
    void SetUp() override {
        std::memset(message, 'M', sizeof message - 1);
        message[sizeof message - 1] = '\0';
    }
    // The host's kept connection, accepted by the box.
    void connect_kept() {
        ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
        ASSERT_TRUE(box.accept(2s));
    }
    // The box's side of one exchange: reads a request of `size` bytes and
    // answers with `answer` (nothing when empty).
    bytes exchange(std::size_t size, const bytes& answer = {}) {
        bytes request = box.read(size, 5s);
        if (!answer.empty()) box.write(answer);
        return request;
    }
    // True when the library closed its end: the read ends at once, empty.
    bool library_closed() {
        const auto start = steady::now();
        return box.read(1, 2s).empty() && steady::now() - start < 1500ms;
    }
};

// Whatever follows the record is drained before the socket is closed.
TEST_F(BtCommandsIntegration, ReadsTheSettings) {
    std::string record(380, '\0');
    record.replace(0, 7, "Kitchen");
    record.replace(328, 16, "10.0.0.1%%%%%%%%");
    record.replace(364, 2, "\x39\x30");  // 12345
    auto played = std::async(std::launch::async, [&] {
        EXPECT_TRUE(box.accept(5s));
        EXPECT_EQ(as_text(exchange(14, as_bytes("$$" + record + "##$$late##"))), "$$BTREAD_REQ##");
        return library_closed();
    });
    char t1[32], t2[32], t3[32], t4[64], number[12], choice_number[6], t5[32], t6[32], t7[48],
        t8[32], mode[12], a1[15] = {}, a2[15] = {}, a3[15] = {};
    EXPECT_EQ(wq_bt_read_settings(box_address, t1, t2, t3, t4, number, choice_number, t5, t6, t7,
                                  t8, mode, a1, a2, a3, message, 0, 0), 0) << message;
    EXPECT_STREQ(message, "Read User Settings Success!");
    EXPECT_EQ(std::string(t1) + "|" + number + "|" + a1, "Kitchen|12345|10.0.0.1");
    EXPECT_TRUE(played.get()) << "the socket is closed after the read";
}

TEST_F(BtCommandsIntegration, SyncTimeSendsTheRequestThenTheTimeFrame) {
    auto played = std::async(std::launch::async, [&] {
        EXPECT_TRUE(box.accept(5s));
        EXPECT_EQ(as_text(box.read(14, 5s)), "$$BTSYNC_TIM##");
        EXPECT_EQ(as_text(box.read(24, 5s)), "$$18446744073709551615##");
        EXPECT_TRUE(box.read(1, 5s).empty()) << "then the library closes its end";
    });
    const auto start = steady::now();
    EXPECT_EQ(wq_bt_sync_time(box_address, 18446744073709551615ull, message, 0), 0) << message;
    EXPECT_GE(steady::now() - start, 100ms);
    EXPECT_EQ(std::string(message), std::string(127, 'M')) << "success writes no message";
    played.get();
}

TEST_F(BtCommandsIntegration, UsageSettingsAreWrittenAfterTheBoxAgrees) {
    const std::string block("u$#\0v", 5);
    auto played = std::async(std::launch::async, [&] {
        EXPECT_TRUE(box.accept(5s));
        EXPECT_EQ(as_text(exchange(14, as_bytes("$$BTUSET_WAC##"))), "$$BTUSET_WRQ##");
        EXPECT_EQ(as_text(exchange(block.size() + 4, as_bytes("$$BTUSET_WDN##"))),
                  "$$" + block + "##");
    });
    EXPECT_EQ(wq_bt_write_usage_settings(box_address, static_cast<int>(block.size()), 64,
                                         block.data(), message, 1), 0) << message;
    EXPECT_STREQ(message, "");
    played.get();
}

TEST_F(BtCommandsIntegration, BusyBoxRefusesTheFlushAfterOneSecond) {
    auto played = std::async(std::launch::async, [&] {
        EXPECT_TRUE(box.accept(5s));
        EXPECT_EQ(as_text(exchange(14, as_bytes("$$BTBUSY_XXX##"))), "$$BT_TAP_SPL##");
    });
    const auto start = steady::now();
    EXPECT_EQ(wq_bt_force_flush(box_address, message, 1), 1);
    const auto took = steady::now() - start;
    EXPECT_STREQ(message,
                 "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz.");
    EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 4000ms);
    played.get();
}

TEST_F(BtCommandsIntegration, UsageLogDownload) {
    connect_kept();
    bytes record(128, 0);
    const std::string key(32, 'K');
    std::memcpy(record.data(), key.data(), key.size());
    std::memcpy(record.data() + 32, "7", 1);
    std::memcpy(record.data() + 64, "250", 3);
    std::memcpy(record.data() + 80, "11", 2);
    auto box_side = std::async(std::launch::async, [&] {
        return std::vector<bytes>{exchange(14, {'$', '$', 0x02, 0x00, 0x00, 0x00, '#', '#'}),
                                  exchange(14, record), exchange(14, record), exchange(14)};
    });
    unsigned int count = 0;
    EXPECT_EQ(wq_bt_use_data_req(socket, &count, message, 0), 0) << message;
    EXPECT_EQ(count, 2u);
    char number[32], water[16], text[32], product_1[8], product_2[8], water_2[8], water_3[8],
        entry_key[40];
    for (int repeat : {0, 1}) {
        EXPECT_EQ(wq_bt_use_data_fetch(socket, 1, 0, number, water, text, product_1, product_2,
                                       water_2, water_3, entry_key, message, repeat, 1),
                  0) << message;
        EXPECT_EQ(std::string(number) + "|" + water + "|" + text + "|" + std::string(entry_key, 32),
                  "7|250|Chilled Water|" + key);
    }
    EXPECT_EQ(wq_bt_use_data_done(socket, message, 0), 0);
    EXPECT_EQ(box_side.get(), (std::vector<bytes>{as_bytes("$$BTUDAT_REQ##"),
                                                  as_bytes("$$BTUDAT_STR##"),
                                                  as_bytes("$$BTUDAT_RET##"),
                                                  as_bytes("$$BTUDAT_END##")}));
    EXPECT_TRUE(library_closed()) << "the end request closes the connection";
}

TEST_F(BtCommandsIntegration, FirmwareUpdate) {
    connect_kept();
    bytes image(2000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13);
    const bytes control = {0x24, 0x24, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23, 0x23};
    auto box_side = std::async(std::launch::async, [&] {
        return std::vector<bytes>{exchange(14, as_bytes("$$BT_OTA_ACK##")),
                                  exchange(control.size(), as_bytes("$$BT_OTA_CTL##")),
                                  exchange(14, as_bytes("$$BT_OTA_PRO##")), exchange(image.size()),
                                  exchange(14, as_bytes("$$BT_OTA_CMP##")), exchange(14)};
    });
    const char* data = reinterpret_cast<const char*>(image.data());
    EXPECT_EQ(wq_bt_ota_start(socket, 1, 258, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_start_xmit(socket, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, data, 1200, 0, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, data, 800, 1200, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_done(socket, message, 1), 0);
    EXPECT_STREQ(message, "OTA-Programmierung erfolgreich abgeschlossen!");
    EXPECT_EQ(wq_bt_ota_reset(socket, message, 0), 0);
    EXPECT_EQ(box_side.get(),
              (std::vector<bytes>{as_bytes("$$BT_OTA_REQ##"), control, as_bytes("$$BT_OTA_STR##"),
                                  image, as_bytes("$$BT_OTA_DNE##"), as_bytes("$$BT_OTA_RST##")}));
    EXPECT_TRUE(library_closed()) << "the reset closes the connection";
}

}  // namespace
