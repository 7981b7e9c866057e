// The usage-log download over a kept connection: entry count, records, end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bt_fake_box.h"
#include "usage_entry.h"

namespace {

int fetch(entry_outputs& out, char* message, int repeat, int language) {
    return wq_bt_use_data_fetch(open_test_socket(), 1, 0, out.number.get(), out.water.get(),
                                out.text.get(), out.product_1.get(), out.product_2.get(),
                                out.water_2.get(), out.water_3.get(), out.key.get(), message,
                                repeat, language);
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
        exact_value<unsigned int> count(0xDEAD);
        const int status = wq_bt_use_data_req(open_test_socket(), count.get(), message, language);
        EXPECT_EQ(count.value(), r.count);
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
        const int status = fetch(out, message, r.repeat, language);
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
    }, bt_test_box, [](char* message, int language) {
        return wq_bt_use_data_done(open_test_socket(), message, language);
    });
}

}  // namespace
