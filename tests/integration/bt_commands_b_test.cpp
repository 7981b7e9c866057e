// The usage-log download and the firmware update end to end on the real
// POSIX backend: a kept connection over an AF_UNIX socket, the test
// playing the box in a second thread.
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

constexpr BTH_ADDR box_address = 0x0011223344AA;

bytes as_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

class BtKeptConnectionIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    unix_box box{dir.path(), box_address};
    char message[wq_message_size] = {};
    unsigned int socket = 0;

    void SetUp() override {
        ASSERT_EQ(wq_bt_ota_connect(box_address, &socket, message, 0), 0) << message;
        ASSERT_TRUE(box.accept(2s));
    }
    // The box's side of one exchange: reads a request of `size` bytes,
    // keeps it, and answers with `answer` (nothing when empty).
    bytes exchange(std::size_t size, const bytes& answer) {
        bytes request = box.read(size, 5s);
        if (!answer.empty()) box.write(answer);
        return request;
    }
    // True when the library closed its end: the read ends at once, empty.
    bool library_closed() {
        const auto start = steady::now();
        const bool empty = box.read(1, 2s).empty();
        return empty && steady::now() - start < 1500ms;
    }
};

TEST_F(BtKeptConnectionIntegration, UsageLogDownload) {
    bytes record(128, 0);
    const std::string key(32, 'K');
    std::memcpy(record.data(), key.data(), key.size());
    std::memcpy(record.data() + 32, "7", 1);
    std::memcpy(record.data() + 64, "250", 3);
    std::memcpy(record.data() + 80, "11", 2);

    auto box_side = std::async(std::launch::async, [&] {
        std::vector<bytes> requests;
        requests.push_back(exchange(14, {'$', '$', 0x02, 0x00, 0x00, 0x00, '#', '#'}));
        requests.push_back(exchange(14, record));
        requests.push_back(exchange(14, record));
        requests.push_back(exchange(14, {}));
        return requests;
    });

    unsigned int count = 0;
    EXPECT_EQ(wq_bt_use_data_req(socket, &count, message, 0), 0) << message;
    EXPECT_EQ(count, 2u);
    char number[32], water[16], text[32], product_1[8], product_2[8], water_2[8], water_3[8],
        entry_key[40];
    for (int repeat : {0, 1}) {
        EXPECT_EQ(wq_bt_use_data_fetch(socket, 1, 0, number, water, text, product_1, product_2,
                                       water_2, water_3, entry_key, message, repeat, 1),
                  0)
            << message;
        EXPECT_STREQ(number, "7");
        EXPECT_STREQ(water, "250");
        EXPECT_STREQ(text, "Chilled Water");
        EXPECT_EQ(std::string(entry_key, 32), key);
    }
    EXPECT_EQ(wq_bt_use_data_done(socket, message, 0), 0);

    const std::vector<bytes> requests = box_side.get();
    EXPECT_EQ(requests, (std::vector<bytes>{as_bytes("$$BTUDAT_REQ##"), as_bytes("$$BTUDAT_STR##"),
                                            as_bytes("$$BTUDAT_RET##"),
                                            as_bytes("$$BTUDAT_END##")}));
    EXPECT_TRUE(library_closed()) << "the end request closes the connection";
}

TEST_F(BtKeptConnectionIntegration, FirmwareUpdate) {
    bytes image(2000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13);
    const bytes control = {0x24, 0x24, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23, 0x23};

    auto box_side = std::async(std::launch::async, [&] {
        std::vector<bytes> received;
        received.push_back(exchange(14, as_bytes("$$BT_OTA_ACK##")));
        received.push_back(exchange(control.size(), as_bytes("$$BT_OTA_CTL##")));
        received.push_back(exchange(14, as_bytes("$$BT_OTA_PRO##")));
        received.push_back(exchange(image.size(), {}));
        received.push_back(exchange(14, as_bytes("$$BT_OTA_CMP##")));
        received.push_back(exchange(14, {}));
        return received;
    });

    const char* data = reinterpret_cast<const char*>(image.data());
    EXPECT_EQ(wq_bt_ota_start(socket, 1, 258, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_start_xmit(socket, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, data, 1200, 0, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, data, 800, 1200, message, 0), 0) << message;
    EXPECT_EQ(wq_bt_ota_done(socket, message, 1), 0);
    EXPECT_STREQ(message, "OTA-Programmierung erfolgreich abgeschlossen!");
    EXPECT_EQ(wq_bt_ota_reset(socket, message, 0), 0);

    const std::vector<bytes> received = box_side.get();
    EXPECT_EQ(received, (std::vector<bytes>{as_bytes("$$BT_OTA_REQ##"), control,
                                            as_bytes("$$BT_OTA_STR##"), image,
                                            as_bytes("$$BT_OTA_DNE##"),
                                            as_bytes("$$BT_OTA_RST##")}));
    EXPECT_TRUE(library_closed()) << "the reset closes the connection";
}

}  // namespace
