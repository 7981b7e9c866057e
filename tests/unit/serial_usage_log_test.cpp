// Downloading the usage log over the serial link on a held port.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial_outcomes.h"

namespace {

using fake::bytes;

class SerialUsageLogTest : public FakePlatformTest {};

const bytes count_block = fake::repeat(0x60, 32);
const bytes start_request = fake::with_zero("USEDATA_START");
const auto write_fails = [](fake::link&) { fake::fail(fake::call::write_file); };
const auto reads_fail = [](const bytes& request) {
    return [=](fake::link& box) {
        box.expect(request);
        for (int nth = 1; nth <= 20; ++nth) fake::fail(fake::call::read_file, nth);
    };
};

// A water entry: key, number 42, value 1.25, usage code 0, further values.
bytes usage_record(const std::string& key = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345") {
    bytes r(128, 0);
    for (const auto& [at, text] : {std::pair<std::size_t, std::string>{0, key}, {32, "42"},
                                   {64, "1.25"}, {80, "0"}, {112, "20"}, {120, "31"}}) {
        std::memcpy(r.data() + at, text.data(), text.size());
    }
    return r;
}

struct entry_outputs {
    exact_buffer number{32}, water{16}, text{32}, product_1{8}, product_2{8}, water_2{8},
        water_3{8}, key{40};
    int fetch(int handle, char* message, int language) {
        return wq_use_data_fetch(handle, 1, 1, number.get(), water.get(), text.get(),
                                 product_1.get(), product_2.get(), water_2.get(), water_3.get(),
                                 key.get(), message, language);
    }
};

TEST_F(SerialUsageLogTest, EntryCountOutcomes) {
    const both_texts not_read = {
        "Read 'Use Data Entry Count' Failed. Please Check Connections",
        "Lesen 'Use Data Entry Count' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
    const auto answers = [](bytes first, bytes then = {}) {
        return [=](fake::link& box) { box.expect(count_block).reply(first).reply(then, 300); };
    };
    unsigned int count = 0;
    check_outcomes({
        {"request not sent", write_fails, 1,
         {"Send 'Use Data Entry Count Req' Failed. Please Check Connections",
          "Senden 'Use Data Entry Count Req' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"silent box", answers({}), 1, not_read, 20 * 210},
        {"failing reads", reads_fail(count_block), 1, not_read, 20 * 10},
        {"count of zero", answers({0, 0, 0, 0}), 0, no_message, 10},
        {"three bytes, then four fresh ones", answers({9, 9, 9}, {0, 0, 0, 0}), 0, not_read, 300},
    }, port_after::open, [&](char* message, int language) {
        count = 77;
        const int status = wq_use_data_req(held_port(), &count, message, language);
        EXPECT_EQ(count, status == 0 ? 0u : 77u) << "the count is written only on success";
        return status;
    });
    fake::serial_port("COM1").expect(count_block).reply({4, 3, 2, 1});
    char message[128];
    EXPECT_EQ(wq_use_data_req(held_port(), &count, message, 0), 0);
    EXPECT_EQ(count, 0x01020304u);
    fake::reset();
}

TEST_F(SerialUsageLogTest, FetchOutcomes) {
    const both_texts not_read = {
        "Read 'Use Data' Failed. Please Check Connections",
        "Lesen 'Use Data' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
    const auto answers = [](bytes first, bytes then = {}) {
        return [=](fake::link& box) { box.expect(start_request).reply(first).reply(then, 500); };
    };
    const bytes record = usage_record();
    check_outcomes({
        {"request not sent", write_fails, 1,
         {"Send 'Use Data Start' Failed. Please Check Connections",
          "Senden 'Use Data Start' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"silent box", answers({}), 1, not_read, 20 * 210},
        {"failing reads", reads_fail(start_request), 1, not_read, 20 * 10},
        {"record", answers(record), 0, no_message, 10},
        {"record split by a pause: the first part is lost",
         answers(bytes(record.begin(), record.begin() + 64), record), 0, not_read, 500},
        {"empty slot", answers(usage_record(std::string(32, '0'))), 2, no_message, 10},
    }, port_after::open, [](char* message, int language) {
        entry_outputs out;
        const int status = out.fetch(held_port(), message, language);
        EXPECT_EQ(out.number.str(), status == 1 ? std::string(32, 'X') : "42");
        return status;
    });
}

TEST_F(SerialUsageLogTest, EveryFetchAsksAgainAndHandsOutTheWholeEntry) {
    fake::link& box = fake::serial_port("COM1").expect(start_request).expect(start_request)
                          .reply(usage_record());
    const int handle = held_port();
    entry_outputs out;
    exact_buffer message(128);
    EXPECT_EQ(out.fetch(handle, message.get(), 0), 1) << "nothing came the first time";
    EXPECT_EQ(out.number.str(), std::string(32, 'X')) << "a failed fetch touches no output";
    EXPECT_EQ(out.fetch(handle, message.get(), 0), 0);
    EXPECT_EQ(box.writes().size(), 2u);
    EXPECT_EQ(out.number.str() + out.water.str() + out.text.str() + out.water_3.str() +
                  out.product_1.str(),
              "421.25Usage310");
    EXPECT_EQ(out.key.str(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    wq_force_close_handle(0, nullptr, 0, handle);
}

TEST_F(SerialUsageLogTest, DoneSendsTheEndRequestAndReadsNothing) {
    check_outcomes({
        {"end not sent", write_fails, 1,
         {"Send 'Use Data End'. Please Check Connections",
          "Senden 'Use Data End' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"end sent", [](fake::link& box) { box.expect(fake::with_zero("USEDATA_END__")); }, 0,
         no_message, 0},
    }, port_after::open, [](char* message, int language) {
        const int status = wq_use_data_done(held_port(), message, language);
        EXPECT_EQ(fake::calls(fake::call::read_file), 0);
        return status;
    });
}

}  // namespace
