// The usage-log download over a kept connection: entry count, records, end.
#include <gtest/gtest.h>

#include <string>

#include "bt_kept_connection.h"
#include "wq.h"

namespace {

using fake::bytes;


// A 128-byte record of zero-terminated text fields.
bytes usage_record(const std::string& key, const std::string& number, const std::string& code,
                   const std::string& water = "", const std::string& product_1 = "",
                   const std::string& product_2 = "", const std::string& water_2 = "",
                   const std::string& water_3 = "") {
    bytes record(128, 0);
    const auto put = [&](std::size_t offset, const std::string& text) {
        std::copy(text.begin(), text.end(), record.begin() + static_cast<long>(offset));
    };
    put(0, key);
    put(32, number);
    put(64, water);
    put(80, code);
    put(96, product_1);
    put(104, product_2);
    put(112, water_2);
    put(120, water_3);
    return record;
}

const std::string sample_key = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
const std::string empty_key(32, '0');

// The eight entry outputs, each exactly as large as the host's.
struct entry_outputs {
    exact_buffer number{32}, water{16}, text{32}, product_1{8}, product_2{8}, water_2{8},
        water_3{8}, key{40};
    std::string key_bytes() const { return std::string(key.bytes.get(), key.length); }
};

class BtUsageDataTest : public BtKeptConnectionTest {
protected:
    entry_outputs out;
    int fetch(int product_mode, int water_variant, int repeat, int language) {
        return wq_bt_use_data_fetch(socket, product_mode, water_variant, out.number.get(),
                                    out.water.get(), out.text.get(), out.product_1.get(),
                                    out.product_2.get(), out.water_2.get(), out.water_3.get(),
                                    out.key.get(), message.get(), repeat, language);
    }
};

// ---- entry count ---------------------------------------------------------------------

TEST_F(BtUsageDataTest, EntryCountOutcomes) {
    struct row {
        const char* what;
        bytes answer;
        std::int64_t answer_after_ms;
        int send_error;  // 0: the request goes out
        int status;
        unsigned int count;  // 0xDEAD: left alone
        std::string english;
        std::string german;
        std::int64_t virtual_ms;
    };
    const row rows[] = {
        {"four bytes", frame(bytes{0xE8, 0x03, 0x01, 0x80}), 0, 0, 0, 0x800103E8u, "", "", 100},
        {"one byte", frame(bytes{0x05}), 0, 0, 0, 5, "", "", 100},
        {"empty payload", frame(""), 0, 0, 0, 0, "", "", 100},
        {"five bytes, the first four count", frame(bytes{0x01, 0x02, 0x00, 0x00, 0x7F}), 0, 0, 0,
         0x0201, "", "", 100},
        {"slow box within the attempts", frame(bytes{0x07}), 9000, 0, 0, 7, "", "", 9000},
        {"silent box", {}, 0, 0, 1, 0xDEAD, bt_read_timeout_message, bt_read_timeout_message, 100 + 100 * 100},
        {"send fails", {}, 0, 10054, 1, 0xDEAD, "Send 'Use Data Entry Count' Failed.10054",
         "Senden 'Use Data Entry Count' fehlgeschlagen.10054", 0},
    };
    for (const row& r : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (de)" : " (en)"));
            fake::reset();
            fake::bt_box(test_box_address)
                .expect(fake::text("$$BTUDAT_REQ##"))
                .reply(r.answer, r.answer_after_ms);
            connect();
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            set_message("earlier");
            unsigned int count = 0xDEAD;
            EXPECT_EQ(wq_bt_use_data_req(socket, &count, message.get(), language), r.status);
            EXPECT_EQ(count, r.count);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(elapsed(), r.virtual_ms);
            EXPECT_EQ(fake::counts().sockets_closed, 0) << "the connection stays";
            finish_row();
        }
    }
}

// A '#' among the count bytes ends the payload early; the frame's last '#'
// then stays on the line and the next record starts one byte early.
TEST_F(BtUsageDataTest, HashInTheCountShiftsTheNextRecord) {
    const bytes record = usage_record(sample_key, "17", "11", "250");
    fake::bt_box(test_box_address)
        .expect(fake::text("$$BTUDAT_REQ##"))
        .reply(frame(bytes{0x23, 0x00, 0x00, 0x00}))
        .expect(fake::text("$$BTUDAT_STR##"))
        .reply(record);
    connect();
    unsigned int count = 0xDEAD;
    ASSERT_EQ(wq_bt_use_data_req(socket, &count, message.get(), 0), 0);
    EXPECT_EQ(count, 0u) << "35 arrives as 0";
    EXPECT_EQ(fetch(1, 0, 0, 0), 0);
    EXPECT_EQ(out.key_bytes(), "#" + sample_key.substr(0, 31) + std::string(8, '\0'));
    EXPECT_EQ(out.number.str(), "517") << "the key's last character leads the number";
    EXPECT_EQ(out.text.str(), "Usage") << "the code field now starts with a zero byte";
}

// ---- fetching records ------------------------------------------------------------------

TEST_F(BtUsageDataTest, RepeatSelectsTheRecordRequest) {
    const bytes record = usage_record(sample_key, "1", "0", "5");
    fake::link& box = fake::bt_box(test_box_address);
    box.expect(fake::text("$$BTUDAT_STR##")).reply(record);
    box.expect(fake::text("$$BTUDAT_RET##")).reply(record);
    box.expect(fake::text("$$BTUDAT_RET##")).reply(record);
    box.expect(fake::text("$$BTUDAT_STR##")).reply(record);
    connect();
    for (int repeat : {0, 1, -3, 0}) EXPECT_EQ(fetch(1, 0, repeat, 0), 0) << repeat;
    ASSERT_EQ(box.writes().size(), 4u) << "every fetch sends its request again";
    EXPECT_TRUE(box.finished());
}

TEST_F(BtUsageDataTest, RecordStatusesWithTheNumberCheck) {
    struct row {
        const char* what;
        bytes record;
        int product_mode;
        int status;
        std::string number;
        std::string text;
        std::string water;
        std::string product_1;
        std::string key;  // without the 8 zero bytes behind it
    };
    const std::string no_key(32, '\0');
    const row rows[] = {
        {"water entry", usage_record(sample_key, "42", "11", "250", "", "", "7", "8"), 1, 0, "42",
         "Chilled Water", "250", "0", sample_key},
        {"product entry, not expected", usage_record(sample_key, "43", "3", "", "12", "3"), 0, 3,
         "43", "Soap", "0", "12", sample_key},
        {"other entry", usage_record(sample_key, "44", "4", "9"), 1, 1, "44", "Soap Flush", "", "",
         sample_key},
        {"number with a letter", usage_record(sample_key, "12a", "11", "250"), 1, 9, "0",
         "Chilled Water", "250", "0", no_key},
        {"empty slot beats the number check", usage_record(empty_key, "12a", "11", "250"), 1, 2,
         "0", "Chilled Water", "250", "0", no_key},
        {"empty slot", usage_record(empty_key, "45", "0", "1"), 1, 2, "45", "Usage", "1", "0",
         no_key},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::bt_box(test_box_address).expect(fake::text("$$BTUDAT_STR##")).reply(r.record);
        connect();
        set_message("kept");
        EXPECT_EQ(fetch(r.product_mode, 0, 0, 1), r.status);
        EXPECT_EQ(out.number.str(), r.number);
        EXPECT_EQ(out.text.str(), r.text);
        EXPECT_EQ(out.water.str(), r.water);
        EXPECT_EQ(out.product_1.str(), r.product_1);
        EXPECT_EQ(out.key_bytes(), r.key + std::string(8, '\0'));
        EXPECT_EQ(message.str(), "kept") << "a clean fetch leaves the message alone";
        EXPECT_EQ(elapsed(), 1);
        finish_row();
    }
}

TEST_F(BtUsageDataTest, FetchLinkFailuresTouchNoOutput) {
    struct row {
        const char* what;
        int send_error;
        bool hang_up;
        std::string english;
        std::string german;
        std::int64_t virtual_ms;
    };
    const row rows[] = {
        {"send fails", 10053, false, "Send 'Use Data Start' Failed.10053",
         "Senden 'Use Data Start' fehlgeschlagen.10053", 0},
        {"silent box", 0, false, bt_read_timeout_message, bt_read_timeout_message, 1 + 100 * 100},
        {"box hangs up", 0, true, "Read Overflow", "Read Overflow", 30},
    };
    for (const row& r : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (de)" : " (en)"));
            fake::reset();
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(fake::text("$$BTUDAT_RET##"));
            if (r.hang_up) box.hang_up(30);
            connect();
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            out = entry_outputs{};
            EXPECT_EQ(fetch(1, 0, 1, language), 1);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(elapsed(), r.virtual_ms);
            for (const exact_buffer* b : {&out.number, &out.water, &out.text, &out.product_1,
                                          &out.product_2, &out.water_2, &out.water_3, &out.key}) {
                EXPECT_EQ(b->str(), std::string(b->length, 'X'));
            }
            finish_row();
        }
    }
}

// A record in two short deliveries is not put together: each is a failed
// receive, and only a later full delivery counts.
TEST_F(BtUsageDataTest, ShortDeliveriesAreDropped) {
    const bytes record = usage_record(sample_key, "99", "2", "3", "", "", "4", "5");
    const bytes first(record.begin(), record.begin() + 60);
    const bytes second(record.begin() + 60, record.end());
    fake::bt_box(test_box_address)
        .expect(fake::text("$$BTUDAT_STR##"))
        .reply(first)
        .reply(second, 50)
        .reply(record, 50);
    connect();
    EXPECT_EQ(fetch(1, 0, 0, 0), 0);
    EXPECT_EQ(out.number.str(), "99");
    EXPECT_EQ(out.text.str(), "Thermal disinfection");
    EXPECT_EQ(out.water_3.str(), "5");
    EXPECT_EQ(out.key_bytes(), sample_key + std::string(8, '\0'));
    EXPECT_EQ(message.str(), "Read Overflow") << "the short deliveries' message stays";
    EXPECT_EQ(elapsed(), 100);
}

// ---- ending the download -------------------------------------------------------------

TEST_F(BtUsageDataTest, DoneClosesTheConnectionOnEveryOutcome) {
    const bt_ending_outcome outcomes[] = {
        {0, 0, "earlier", "earlier"},
        {10054, 1, "Send 'Use Data Done' Failed. 10054",
         "Senden 'Use Data Done' fehlgeschlagen. 10054"},
    };
    for (const bt_ending_outcome& outcome : outcomes) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(outcome.english + (language ? " (de)" : " (en)"));
            const unsigned int ended = run_ending_call(wq_bt_use_data_done, "$$BTUDAT_END##", outcome, language);
            unsigned int count = 0xDEAD;
            EXPECT_EQ(wq_bt_use_data_req(ended, &count, message.get(), 0), 1);
            EXPECT_EQ(message.str(), "Send 'Use Data Entry Count' Failed.10038")
                << "a later call on the ended connection fails at its send";
            finish_row();
        }
    }
}

}  // namespace
