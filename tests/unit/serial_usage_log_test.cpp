// Downloading the usage log over the serial link on a held port.
#include <gtest/gtest.h>

#include <string>

#include "usage_entry.h"

namespace {

const bytes count_block = fake::repeat(0x60, 32);
const bytes start_request = fake::with_zero("USEDATA_START");

// Each of the 20 attempts waits 10 ms and then reads the whole answer; a
// short read is dropped, and the next attempt reads afresh.
TEST(SerialUsageLog, EntryCountOutcomes) {
    const expected_message not_read = read_failed("'Use Data Entry Count'");
    const auto answers_later = [](const bytes& first, const bytes& then = {}) {
        return [=](fake::link& box) { box.expect(count_block).reply(first).reply(then, 300); };
    };
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1,
         send_failed("'Use Data Entry Count Req'"), 0},
        {"silent box", answers(count_block), 1, not_read, 20 * (10 + 200)},
        {"count", answers(count_block, {4, 3, 2, 1}), 0, no_message, 10},
        {"three bytes, then four fresh ones: the failure stays reported",
         answers_later({9, 9, 9}, {4, 3, 2, 1}), 0, not_read, 300},
    }, com1, [](char* message, int language) {
        exact_value<unsigned int> count(77);
        const int status = wq_use_data_req(held_port(), count.get(), message, language);
        EXPECT_EQ(count.value(), status == 0 ? 0x01020304u : 77u) << "written only on success";
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
        const int status = wq_use_data_fetch(
            held_port(), 1, 1, out.number.get(), out.water.get(), out.text.get(),
            out.product_1.get(), out.product_2.get(), out.water_2.get(), out.water_3.get(),
            out.key.get(), message, language);
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

}  // namespace
