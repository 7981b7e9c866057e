// The usage-setting count and the usage-settings block over Bluetooth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bt_command_checks.h"
#include "wq.h"

namespace {

using fake::bytes;

constexpr const char* read_timeout = "An Error Occurred During Reading: 10060";
constexpr unsigned int untouched_count = 0xDEADBEEF;

bytes bytes_of(const exact_buffer& buffer) {
    return bytes(buffer.bytes.get(), buffer.bytes.get() + buffer.length);
}

// Scripts a box that answers one request frame with `reply` (nullopt: it
// stays silent); a non-zero `send_error` makes the request's send fail.
void script_box(const char* request, const std::optional<bytes>& reply, int send_error) {
    fake::link& box = fake::bt_box(test_box_address);
    box.expect(fake::text(request));
    if (reply) box.reply(*reply);
    if (send_error) fake::fail(fake::call::send, 1, send_error);
}

std::vector<std::size_t> one_request(int size) { return {static_cast<std::size_t>(size)}; }

using BtUsageSettingsTest = FakePlatformTest;

TEST_F(BtUsageSettingsTest, CountOutcomes) {
    struct row {
        const char* what;
        std::optional<bytes> reply;
        int send_error;
        int status;
        unsigned int count;
        const char* english;
        const char* german;
        std::int64_t virtual_ms;
    };
    const row rows[] = {
        {"two bytes", frame(bytes{0x02, 0x01}), 0, 0, 258, "", "", 10},
        {"four bytes", frame(bytes{0x78, 0x56, 0x34, 0x12}), 0, 0, 0x12345678u, "", "", 10},
        {"empty payload", frame(""), 0, 0, 0, "", "", 10},
        {"longer than the area", frame(fake::repeat(0xFF, 40)), 0, 0, 0xFFFFFFFFu, "", "", 10},
        {"silent", std::nullopt, 0, 1, untouched_count, read_timeout, read_timeout, 1010},
        {"send fails", std::nullopt, 10054, 1, untouched_count,
         "Send READ USAGE SETTING REQ Failed.10054",
         "Senden READ USAGE SETTING REQ fehlgeschlagen.10054", 0},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            script_box("$$BTUSET_RRQ##", r.reply, r.send_error);
            exact_buffer message(wq_message_size, 'M');
            exact_value<unsigned int> count(untouched_count);
            EXPECT_EQ(wq_bt_get_usage_setting_cnt(test_box_address, count.get(), message.get(),
                                                  language),
                      r.status);
            EXPECT_EQ(count.value(), r.count);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::now_ms(), r.virtual_ms);
        });
    }
}

TEST_F(BtUsageSettingsTest, ReadOutcomes) {
    struct row {
        const char* what;
        int buffer_size;
        int data_size;
        std::optional<bytes> reply;
        int send_error;
        int status;
        bytes settings;  // the host's buffer afterwards, all buffer_size bytes
        const char* english;
        const char* german;
        std::int64_t virtual_ms;
    };
    const bytes payload = fake::text("ABCDEFGHIJ");
    const char* const read = "Read Usage Settings Success!";
    const char* const gelesen = "Nutzungseinstellungen erfolgreich gelesen!";
    const row rows[] = {
        {"block", 16, 8, frame(payload), 0, 0, fake::text("ABCDEFGH") + fake::repeat(0, 8), read,
         gelesen, 100},
        {"whole buffer", 12, 12, frame(payload), 0, 0, payload + fake::repeat(0, 2), read, gelesen,
         100},
        {"payload cut to the buffer", 8, 8, frame(payload), 0, 0, fake::text("ABCDEF") + bytes{0, 0},
         read, gelesen, 100},
        {"nothing to copy", 8, 0, frame(payload), 0, 0, fake::repeat(0, 8), read, gelesen, 100},
        {"silent", 8, 4, std::nullopt, 0, 1, fake::repeat(0, 8), read_timeout, read_timeout, 1100},
        {"send fails", 8, 4, std::nullopt, 10054, 1, fake::repeat(0, 8),
         "Send BT_USESETT_RBEGIN_WORD Failed: 10054", "Send BT_USESETT_RBEGIN_WORD Failed: 10054", 0},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            script_box("$$BTUSET_RBG##", r.reply, r.send_error);
            exact_buffer message(wq_message_size, 'M');
            exact_buffer settings(static_cast<std::size_t>(r.buffer_size), 'S');
            EXPECT_EQ(wq_bt_read_usage_settings(test_box_address, r.buffer_size, r.data_size,
                                                settings.get(), message.get(), language),
                      r.status);
            EXPECT_EQ(bytes_of(settings), r.settings);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::now_ms(), r.virtual_ms);
            EXPECT_EQ(fake::heap_requests(), one_request(r.buffer_size));
        });
    }
}

TEST_F(BtUsageSettingsTest, WriteOutcomes) {
    struct row {
        const char* what;
        bytes block;
        int buffer_size;
        std::optional<bytes> request_reply;  // nullopt: silent
        std::optional<bytes> block_reply;
        int failing_send;  // 0: none; 1: the request; 2: the block
        int status;
        std::vector<bytes> sent;
        const char* english;
        const char* german;
        std::int64_t virtual_ms;
    };
    const bytes block = fake::text("a$#") + bytes{0x00, 0xFF};
    const bytes block_frame = fake::text("$$") + block + fake::text("##");
    const bytes request = fake::text("$$BTUSET_WRQ##");
    const bytes accepted = frame("BTUSET_WAC");
    const bytes done = frame("BTUSET_WDN");
    const char* const invalid_request = "Invalid WRITE USAGE SETTING REQ response.";
    const char* const invalid_done = "Invalid WRITE USAGE SETTING DONE response.";
    const row rows[] = {
        {"written", block, 9, accepted, done, 0, 0, {request, block_frame}, "", "", 20},
        {"larger work buffer", block, 64, accepted, done, 0, 0, {request, block_frame}, "", "", 20},
        {"empty block", {}, 4, accepted, done, 0, 0, {request, fake::text("$$##")}, "", "", 20},
        {"box busy", block, 9, frame("BTBUSY_XXX"), std::nullopt, 0, 1, {request},
         "Write setting denied. Reason: in-use.", "Schreibeinstellung verweigert. Grund: In Gebrauch.",
         10},
        {"leave plus a character", block, 9, frame("BTUSET_WACX"), std::nullopt, 0, 1, {request},
         invalid_request, invalid_request, 10},
        {"leave cut short", block, 9, frame("BTUSET_WA"), std::nullopt, 0, 1, {request},
         invalid_request, invalid_request, 10},
        {"no leave", block, 9, std::nullopt, std::nullopt, 0, 1, {request}, read_timeout,
         read_timeout, 1010},
        {"request not sent", block, 9, std::nullopt, std::nullopt, 1, 1, {},
         "Send WRITE USAGE SETTING REQ Failed.10054",
         "Senden WRITE USAGE SETTING REQ fehlgeschlagen.10054", 0},
        {"block not sent", block, 9, accepted, std::nullopt, 2, 1, {request},
         "Send USAGE SETTINGS Failed.10054", "Senden USAGE SETTINGS fehlgeschlagen.10054", 10},
        {"block not confirmed", block, 9, accepted, std::nullopt, 0, 1, {request, block_frame},
         read_timeout, read_timeout, 1020},
        {"busy after the block", block, 9, accepted, frame("BTBUSY_XXX"), 0, 1,
         {request, block_frame}, invalid_done, invalid_done, 20},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(request);
            if (r.request_reply) box.reply(*r.request_reply);
            box.expect_any(r.block.size() + 4);
            if (r.block_reply) box.reply(*r.block_reply);
            if (r.failing_send) fake::fail(fake::call::send, r.failing_send, 10054);
            exact_buffer message(wq_message_size, 'M');
            exact_buffer settings(r.block.size());
            std::copy(r.block.begin(), r.block.end(), settings.get());
            EXPECT_EQ(wq_bt_write_usage_settings(test_box_address, static_cast<int>(r.block.size()),
                                                 r.buffer_size, settings.get(), message.get(),
                                                 language),
                      r.status);
            EXPECT_EQ(box.writes(), r.sent);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::now_ms(), r.virtual_ms);
            EXPECT_EQ(fake::heap_requests(), one_request(r.buffer_size));
        });
    }
}

// Sizes the work buffer cannot safely serve fail before any socket is opened,
// like a failed allocation; the host's buffer is left alone.
TEST_F(BtUsageSettingsTest, RefusedWorkBuffers) {
    struct row {
        const char* what;
        bool write;
        int data_size;
        int buffer_size;
        bool allocation_fails;  // the heap refuses a request it was asked for
    };
    const row rows[] = {
        {"read, negative buffer size", false, 0, -1, false},
        {"read, more data than buffer", false, 9, 8, false},
        {"read, negative data size", false, -1, 8, false},
        {"read, heap exhausted", false, 4, 8, true},
        {"write, negative buffer size", true, 0, -16, false},
        {"write, no room for the markers", true, 8, 11, false},
        {"write, negative data size", true, -2, 8, false},
        {"write, heap exhausted", true, 4, 8, true},
    };
    for (const row& r : rows) {
        in_each_language(r.what, [&](int language) {
            fake::bt_box(test_box_address);
            if (r.allocation_fails) fake::fail(fake::call::heap_alloc);
            exact_buffer message(wq_message_size, 'M');
            exact_buffer settings(16, 'S');
            const int status =
                r.write ? wq_bt_write_usage_settings(test_box_address, r.data_size, r.buffer_size,
                                                     settings.get(), message.get(), language)
                        : wq_bt_read_usage_settings(test_box_address, r.buffer_size, r.data_size,
                                                    settings.get(), message.get(), language);
            EXPECT_EQ(status, 1);
            EXPECT_EQ(message.str(), "Mem-Alloc Fail.");
            EXPECT_EQ(settings.str(), std::string(16, 'S'));
            EXPECT_EQ(fake::calls(fake::call::socket_open), 0);
            EXPECT_EQ(fake::calls(fake::call::heap_alloc), r.allocation_fails ? 1 : 0);
            EXPECT_EQ(fake::counts().cleanups, 1) << "the socket layer is ended";
        });
    }
}

TEST_F(BtUsageSettingsTest, ConnectionFailuresFreeTheWorkBuffer) {
    exact_buffer settings(8);
    expect_connection_failures({"count", [](char* m, int l) {
                                    exact_value<unsigned int> count(untouched_count);
                                    const int status = wq_bt_get_usage_setting_cnt(
                                        test_box_address, count.get(), m, l);
                                    EXPECT_EQ(count.value(), untouched_count);
                                    return status;
                                }});
    expect_connection_failures({"read", [&settings](char* m, int l) {
                                    return wq_bt_read_usage_settings(test_box_address, 8, 4,
                                                                     settings.get(), m, l);
                                }});
    expect_connection_failures({"write", [&settings](char* m, int l) {
                                    return wq_bt_write_usage_settings(test_box_address, 4, 8,
                                                                      settings.get(), m, l);
                                }});
}

}  // namespace
