// Clock sync, usage settings and the stagnation flush on the real POSIX
// backend, the test playing the box on an AF_UNIX socket in a temporary
// WQ_BT_DIR.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "unix_box.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr BTH_ADDR box_address = 0x0011223344AAull;

std::string as_text(const std::vector<unsigned char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class BtCommandsIntegration : public ::testing::Test {
protected:
    temp_dir dir;
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    unix_box box{dir.path(), box_address};
    char message[128];
    void SetUp() override {
        std::memset(message, 'M', sizeof message - 1);
        message[sizeof message - 1] = '\0';
    }
};

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
        EXPECT_EQ(as_text(box.read(14, 5s)), "$$BTUSET_WRQ##");
        box.write("$$BTUSET_WAC##");
        EXPECT_EQ(as_text(box.read(block.size() + 4, 5s)), "$$" + block + "##");
        box.write("$$BTUSET_WDN##");
    });
    EXPECT_EQ(wq_bt_write_usage_settings(box_address, static_cast<int>(block.size()), 64,
                                         block.data(), message, 1),
              0)
        << message;
    EXPECT_STREQ(message, "");
    played.get();
}

TEST_F(BtCommandsIntegration, BusyBoxRefusesTheFlushAfterOneSecond) {
    auto played = std::async(std::launch::async, [&] {
        EXPECT_TRUE(box.accept(5s));
        EXPECT_EQ(as_text(box.read(14, 5s)), "$$BT_TAP_SPL##");
        box.write("$$BTBUSY_XXX##");
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

}  // namespace
