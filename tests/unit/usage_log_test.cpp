// The usage log: a record unpacked into the host's eight outputs, and its
// download over the serial link (on a held port) and over Bluetooth (on a
// kept connection): entry count, records, end.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bt_fake_box.h"
#include "text/usage_record.h"

namespace {

const std::string sample_key = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
const std::string empty_slot_key(32, '0');

struct record_fields {
    std::string key = sample_key;
    std::string number = "42";
    std::string water = "1.25";
    std::string code = "0";
    std::string product_1 = "3.5";
    std::string product_2 = "7";
    std::string water_2 = "20";
    std::string water_3 = "31";
};

// A usage record as the box sends it.
bytes usage_record(const record_fields& f = {}) {
    bytes r(usage_record_size, 0);
    const std::pair<std::size_t, const std::string*> fields[] = {
        {0, &f.key}, {32, &f.number}, {64, &f.water}, {80, &f.code},
        {96, &f.product_1}, {104, &f.product_2}, {112, &f.water_2}, {120, &f.water_3}};
    for (const auto& [at, text] : fields) std::memcpy(r.data() + at, text->data(), text->size());
    return r;
}

// The host's eight entry outputs, each exactly as large as the host makes
// it so ASan sees any write past it.
struct entry_outputs {
    exact_buffer number{32}, water{16}, text{32}, product_1{8}, product_2{8}, water_2{8},
        water_3{8}, key{40};
    usage_outputs view() {
        return {number.get(), water.get(), text.get(), product_1.get(),
                product_2.get(), water_2.get(), water_3.get(), key.get()};
    }
    int fetch_serial(int port, char* message, int language) {
        return wq_use_data_fetch(port, 1, 1, number.get(), water.get(), text.get(),
                                 product_1.get(), product_2.get(), water_2.get(), water_3.get(),
                                 key.get(), message, language);
    }
    int fetch_bt(unsigned int socket, int repeat, char* message, int language) {
        return wq_bt_use_data_fetch(socket, 1, 0, number.get(), water.get(), text.get(),
                                    product_1.get(), product_2.get(), water_2.get(),
                                    water_3.get(), key.get(), message, repeat, language);
    }
    std::string all() const {
        return number.all() + water.all() + text.all() + product_1.all() + product_2.all() +
               water_2.all() + water_3.all() + key.all();
    }
    // The seven texts before the key, '|'-separated, to compare in one go.
    std::string texts() const {
        return number.str() + "|" + water.str() + "|" + text.str() + "|" + product_1.str() + "|" +
               product_2.str() + "|" + water_2.str() + "|" + water_3.str();
    }
    // What a fetch of the sample record with `status` leaves: nothing when it
    // failed, else its texts with `entry_number`, and `entry_key` (or none).
    void expect_fetched(int status, const std::string& entry_number,
                        const std::string& entry_key) {
        if (status == 1) {
            EXPECT_EQ(all(), entry_outputs().all()) << "a failed fetch touches no output";
            return;
        }
        EXPECT_EQ(texts(), entry_number + "|1.25|Usage|0|0|20|31");
        EXPECT_EQ(key.all(), entry_key + std::string(40 - entry_key.size(), '\0'));
    }
};

// ---- the record ---------------------------------------------------------------

// The table itself is data; what is decided around it: the water variant,
// the gap before 17, and codes outside the table either way.
TEST(UsageText, TheWaterVariantAndCodesOutsideTheTable) {
    const std::tuple<int, int, const char*> rows[] = {
        {12, 2, "Ambient Water"}, {12, 1, "Carbonated Water"}, {2, 2, "Thermal disinfection"},
        {0, 0, "Usage"}, {13, 0, "Unsupported Usage"}, {17, 0, "Stagnation Flush"},
        {18, 0, "Unsupported Usage"}, {-1, 0, "Unsupported Usage"}};
    for (const auto& [code, variant, expected] : rows) {
        exact_buffer text(32);
        util_get_tapusage_string(text.get(), code, variant);
        EXPECT_EQ(text.str(), expected) << code << "/" << variant;
    }
}

// The usage code's group decides which values travel; an empty slot beats
// the entry-number check, which withholds the key and hands out "0".
TEST(UsageRecord, WhatTravelsOfARecord) {
    struct row {
        record_fields record;
        int product_mode;
        bool number_check;
        int status;
        std::string texts;  // number|water|usage text|product 1|product 2|water 2|water 3
        std::string key = sample_key;  // then zero bytes to the output's end
    };
    const std::string soap = "42|0|Soap|3.5|7|0|0", usage = "|1.25|Usage|0|0|20|31";
    const row rows[] = {
        {{.code = "0"}, 1, false, 0, "42" + usage},
        {{.code = "18"}, 1, false, 0, "42|1.25|Unsupported Usage|0|0|20|31"},  // water, no text
        {{.code = "3"}, 1, false, 0, soap},
        {{.code = "3"}, 0, false, 3, soap},
        {{.code = "9"}, 2, false, 3, "42|0|Syrup 1|3.5|7|0|0"},
        {{.code = "4"}, 1, false, 1, "42||Soap Flush||||"},
        {{.code = ""}, 1, false, 0, "42" + usage},  // no digits read as 0
        {{.code = " 3"}, 1, false, 0, soap},
        {{.code = "3x"}, 1, false, 0, soap},
        {{.code = std::string(16, '7')}, 1, false, 1, "42||Unsupported Usage||||"},  // no zero byte
        {{.number = "12a"}, 1, true, 9, "0" + usage, ""},
        {{.number = "12a"}, 1, false, 0, "12a" + usage},
        {{.key = empty_slot_key, .number = "12a"}, 1, true, 2, "0" + usage, ""},
        {{.number = ""}, 1, true, 0, usage},  // an empty number passes
        // A field that fills its width without a zero byte is cut to width - 1.
        {{.number = std::string(32, '4'), .water = std::string(16, '5'),
          .water_3 = std::string(8, '6')}, 1, true, 0,
         std::string(31, '4') + "|" + std::string(15, '5') + "|Usage|0|0|20|6666666"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &r - rows);
        entry_outputs out;
        const bytes record = usage_record(r.record);
        EXPECT_EQ(util_unpack_usage_record(record.data(), r.product_mode, 0, out.view(),
                                           r.number_check),
                  r.status);
        EXPECT_EQ(out.texts(), r.texts);
        EXPECT_EQ(out.key.all(), r.key + std::string(40 - r.key.size(), '\0'));
    }
}

const bytes count_block = fake::repeat(0x60, 32);
const bytes start_request = fake::with_zero("USEDATA_START");

// Each of the 20 attempts waits 10 ms and then reads the whole answer; a
// short read is dropped, and the next attempt reads afresh.
TEST(SerialUsageLog, EntryCountOutcomes) {
    const expected_message not_read = read_failed("'Use Data Entry Count'");
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1,
         send_failed("'Use Data Entry Count Req'"), 0},
        {"silent box", answers(count_block), 1, not_read, 20 * (10 + 200)},
        {"count", answers(count_block, {4, 3, 2, 1}), 0, no_message, 10},
        {"three bytes, then four fresh ones: the failure stays reported",
         [](fake::link& box) { box.expect(count_block).reply({9, 9, 9}).reply({4, 3, 2, 1}, 300); },
         0, not_read, 300},
    }, com1, [](char* message, int language) {
        const auto count = std::make_unique<unsigned int>(77);
        const int status = wq_use_data_req(held_port(), count.get(), message, language);
        EXPECT_EQ(*count, status == 0 ? 0x01020304u : 77u) << "written only on success";
        return status;
    }, host_link::kept);
}

TEST(SerialUsageLog, FetchOutcomes) {
    const expected_message not_read = read_failed("'Use Data'");
    const bytes record = usage_record();
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1,
         send_failed("'Use Data Start'"), 0},
        {"silent box", answers(start_request), 1, not_read, 20 * (10 + 200)},
        {"record", answers(start_request, record), 0, no_message, 10},
        {"record split by a pause: the first part is lost",
         [&](fake::link& box) {
             box.expect(start_request).reply(bytes(record.begin(), record.begin() + 64));
             box.reply(record, 500);
         }, 0, not_read, 500},
        {"empty slot", answers(start_request, usage_record({.key = empty_slot_key})), 2,
         no_message, 10},
    }, com1, [](char* message, int language) {
        entry_outputs out;
        const int status = out.fetch_serial(held_port(), message, language);
        out.expect_fetched(status, "42", status == 2 ? "" : sample_key);  // an empty slot: none
        return status;
    }, host_link::kept);
}

TEST(SerialUsageLog, DoneSendsTheEndRequestAndReadsNothing) {
    check_outcomes({
        {"end not sent", failing(fake::call::write_file), 1,
         {"Send 'Use Data End'. Please Check Connections",
          "Senden 'Use Data End' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"end sent", answers(fake::with_zero("USEDATA_END__")), 0, no_message, 0, 1},
    }, com1, [](char* message, int language) {
        return wq_use_data_done(held_port(), message, language);
    }, host_link::kept);
}

// The count is awaited 100 ms after the request, with the slow attempts.
TEST(BtUsageData, EntryCountOutcomes) {
    const auto replies = [](const bytes& payload) {
        return answers_tag("BTUDAT_REQ", frame(payload));
    };
    struct row {
        outcome expected;
        unsigned int count;
    };
    const std::vector<row> rows = {
        {{"four bytes", replies({0xE8, 0x03, 0x01, 0x80}), 0, no_message, 100}, 0x800103E8u},
        {{"one byte", replies({0x05}), 0, no_message, 100}, 5},
        {{"silent box", answers_tag("BTUDAT_REQ"), 1, read_timeout, 100 + 100 * 100}, 0xDEAD},
        {{"send fails", failing(fake::call::send, 1, 10054), 1,
          bt_send_failed("'Use Data Entry Count'", 10054), 0}, 0xDEAD},
    };
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        const auto count = std::make_unique<unsigned int>(0xDEAD);
        const int status = wq_bt_use_data_req(open_test_socket(), count.get(), message, language);
        EXPECT_EQ(*count, r.count);
        return status;
    }, host_link::kept);
}

// The record arrives unframed, 1 ms after the request, with up to 100
// receives; the entry number is checked, and a failed fetch touches no
// output. A non-zero `repeat` asks for the same record again.
TEST(BtUsageData, FetchOutcomes) {
    struct row {
        outcome expected;
        int repeat = 0;
    };
    const bytes record = usage_record();
    const std::vector<row> rows = {
        {{"record", answers_tag("BTUDAT_STR", record), 0, earlier_message, 1}},
        {{"repeated", answers_tag("BTUDAT_RET", record), 0, earlier_message, 1}, 1},
        {{"repeated, any non-zero", answers_tag("BTUDAT_RET", record), 0, earlier_message, 1}, -3},
        {{"number with a letter", answers_tag("BTUDAT_STR", usage_record({.number = "12a"})), 9,
          earlier_message, 1}},
        {{"short deliveries are dropped",
          [&](fake::link& box) {
              box.expect(frame("BTUDAT_STR")).reply(bytes(record.begin(), record.begin() + 60));
              box.reply(bytes(record.begin() + 60, record.end()), 50).reply(record, 50);
          }, 0, read_overflow, 100}},
        {{"silent box", answers_tag("BTUDAT_STR"), 1, read_timeout, 1 + 100 * 100}},
        {{"send fails", failing(fake::call::send, 1, 10053), 1,
          bt_send_failed("'Use Data Start'", 10053), 0}},
    };
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        entry_outputs out;
        const int status = out.fetch_bt(open_test_socket(), r.repeat, message, language);
        // A bad number is handed out as "0", and the key is withheld.
        out.expect_fetched(status, status == 9 ? "0" : "42", status == 9 ? "" : sample_key);
        return status;
    }, host_link::kept);
}

// The end request also ends the connection, whether or not it went out.
TEST(BtUsageData, DoneClosesTheConnection) {
    check_outcomes({
        {"sent", answers_tag("BTUDAT_END"), 0, earlier_message, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10054), 1,
         {"Send 'Use Data Done' Failed. 10054", "Senden 'Use Data Done' fehlgeschlagen. 10054"}, 0},
    }, bt_test_box, on_kept_connection(wq_bt_use_data_done));
}

}  // namespace
