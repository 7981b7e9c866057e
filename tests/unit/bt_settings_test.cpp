// Settings over Bluetooth: record bytes in both layouts, the exchanges, and
// the texts handed back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bt_fake_box.h"
#include "settings_calls.h"

namespace {

// The box agrees to a write and answers its data frame of `frame_length`
// bytes with `done`.
box_script accepts(std::size_t frame_length, const bytes& done = frame("BTWRTE_DNE")) {
    return [=](fake::link& box) {
        box.expect(frame("BTWRTE_REQ")).reply(frame("BTWRTE_ACK"));
        box.expect_any(frame_length).reply(done);
    };
}

// The record of the data frame a write sent, in one send.
bytes written_record(const write_args& a) {
    fake::reset();
    fake::link& box = bt_test_box();
    accepts(a.layout ? 388 : 384)(box);
    exact_buffer message(wq_message_size);
    EXPECT_EQ(a.write_bt(test_box_address, message.get()), 0) << message.str();
    expect_fake_clean();
    EXPECT_EQ(box.writes().size(), 2u);
    const bytes& data = box.writes().at(1);
    return bytes(data.begin() + 2, data.end() - 2);
}

bytes le32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}
// A zero record of `size` bytes with the given bytes put in place.
bytes record(std::size_t size, const std::vector<std::pair<std::size_t, bytes>>& patches) {
    bytes r(size, 0);
    for (const auto& [at, data] : patches) std::copy(data.begin(), data.end(), r.begin() + at);
    return r;
}
// A standard record: `one` = 1 and the mask, and the given bytes.
bytes standard(std::uint32_t mask, std::vector<std::pair<std::size_t, bytes>> patches = {}) {
    patches.push_back({360, le32(1)});
    patches.push_back({372, le32(mask)});
    return record(380, patches);
}

TEST(BtSettings, RecordBytesForEachExample) {
    struct row {
        const char* what;
        write_args args;
        bytes expected;
    };
    const row rows[] = {
        {"nothing selected, choice 7", {}, standard(0x0200)},
        {"choice 0", {.choice = 0}, standard(0x0240)},
        {"choice 4 with byte and number", {.choice_number = "300", .choice = 4, .choice_byte = 7},
         standard(0x0240, {{200, {4, 7, 0x2C, 0x01}}})},
        {"number 70000 keeps its low 16 bits", {.number = "70000", .fields = 0x0400},
         standard(0x0600, {{364, le32(4464)}})},
        {"text_7 of 17 characters", {.text_7 = "ABCDEFGHIJKLMNOPQ", .fields = 0x0800},
         standard(0x0A30, {{160, fake::text("ABCDEF")}, {168, fake::text("ABCDEFGHIJKLMN")},
                           {280, fake::text("ABCDEFGHIJKLMNOPQ")}})},
        {"safe layout, choice 4 and number",
         {.number = "123", .choice_number = "300", .choice = 4, .choice_byte = 7, .mode = -5,
          .fields = 0x2400, .layout = 1},
         record(384, {{288, {4, 7, 0x2C, 0x01}}, {304, fake::text("9792")},  // mask 0x2640
                      {368, fake::text("1")}, {372, fake::text("123")}, {376, fake::text("-5")}})},
        {"safe layout, address mode and texts",
         {.text_1 = "Gr\xC3\xB6\xC3\x9F" "e", .text_4 = "Four", .text_7 = "Seven",
          .address_1 = "1.2.3.4\0\0\0\0\0\0\0\0", .address_2 = "5;6;7;8\0\0\0\0\0\0\0\0",
          .address_3 = "9-8-7-6\0\0\0\0\0\0\0", .mode = 3,
          .fields = 0x1989, .layout = 1},
         record(384, {{0, fake::text("Four")}, {64, fake::text("Gr\xF6\xDF" "e")},
                      {128, fake::text("9.8.7.6")}, {192, fake::text("T5")},
                      {224, fake::text("T6")}, {256, fake::text("1.2.3.4%%%%%%%%%5.6.7.8%%%%%%%%")},
                      {304, fake::text("7097")},  // mask 0x1BB9
                      {320, fake::text("Seven")}, {360, fake::text("Seven")},
                      {368, fake::text("1")}})},
        // The pair replaces text_8, which is then never read: a host may
        // pass NULL for it, and for every text its fields leave out.
        {"address mode, the other texts NULL",
         {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
          "192,168,1,10\0\0\0", "10.0.0.1\0\0\0\0\0\0\0", nullptr, 7, 0, 3, 0x1000},
         standard(0x1200, {{328, fake::text("192.168.1.10%%%%10.0.0.1%%%%%%%")}})},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(written_record(r.args), r.expected);
    }
    fake::reset();
}

// The request is sent again while it goes unanswered or unsent, five
// times at most; then the data frame, and the box's confirmation.
TEST(BtSettings, WriteOutcomes) {
    const expected_message stored = {"Write Settings Successful!",
                                     "Speichern der Einstellungen erfolgreich!"};
    const expected_message invalid = same("Invalid BT_WRITE_ACK_WORD Response ");
    const auto request_answered = [](const char* reply) {
        return answers_tag("BTWRTE_REQ", frame(reply));
    };
    check_outcomes(with_connection_failures({
        {"stored", accepts(384), 0, stored, 200, 2},
        {"busy: no data frame", request_answered("BTBUSY_XXX"), 1,
         {"Write setting denied. Reason: in-use. ",
          "Schreibeinstellung verweigert. Grund: In Gebrauch. "}, 100, 1},
        {"other word", request_answered("BTWRTE_DNE"), 1, invalid, 100, 1},
        {"wrong completion", accepts(384, frame("BTWRTE_DNEX")), 1, invalid, 200},
        {"no completion", accepts(384, {}), 1, read_timeout, 200 + 10 * 100},
        {"data frame not sent",
         [&](fake::link& box) {
             request_answered("BTWRTE_ACK")(box);
             fake::fail(fake::call::send, 2, 10054);
         }, 1, same("Send Settings Failed: 10054"), 100, 1},
        {"first request unanswered",
         [](fake::link& box) {
             box.expect(frame("BTWRTE_REQ"));
             accepts(384)(box);
         }, 0, stored, 1100 + 200, 3},
        {"never answered", [](fake::link&) {}, 1, read_timeout, 5 * (100 + 10 * 100), 5},
        {"never sent",
         [](fake::link&) {
             for (int nth = 1; nth <= 5; ++nth) fake::fail(fake::call::send, nth, 10049 + nth);
         }, 1, same("Send BT_WRITE_REQ_WORD Failed: 10054"), 0},
    }), bt_test_box, [](char* message, int language) {
        return write_args{}.write_bt(test_box_address, message, language);
    });
    check_outcomes({{"stored in the safe layout", accepts(388), 0,
                     {"[Safe] Write Settings Successful!",
                      "[Safe] Speichern der Einstellungen erfolgreich!"}, 200}},
                   bt_test_box, [](char* message, int language) {
                       return write_args{.layout = 1}.write_bt(test_box_address, message,
                                                               language);
                   });
}

// A record is read 100 ms after the request; a short one reads as zero
// behind its end, a failed read leaves the outputs as they were, and the
// line is drained either way.
TEST(BtSettings, ReadOutcomes) {
    bytes short_record(200, 0);
    std::copy_n("Short", 5, short_record.begin());
    const std::vector<std::string> short_texts = {"Short", "", "", "", "0", "0", "",
                                                  "",      "", "", "0", "", "", ""};
    check_outcomes(with_connection_failures({
        {"short record", answers_tag("BTREAD_REQ", frame(short_record) + frame("late")), 0,
         {"Read User Settings Success!", "Einstellungen erfolgreich gelesen!"}, 200},
        {"silent", answers_tag("BTREAD_REQ"), 1, read_timeout, 100 + 10 * 100 + 100},
        {"request not sent", failing(fake::call::send, 1, 10054), 1,
         same("Send BT_READ_REQ_WORD Failed: 10054"), 100},
    }), bt_test_box, [&](char* message, int language) {
        read_outputs out;
        const int status = out.read_bt(test_box_address, message, 0, language);
        if (status == 0) {
            EXPECT_EQ(out.texts(), short_texts);
        } else {
            EXPECT_EQ(out.text_1.all(), std::string(32, 'X')) << "a failed read hands out nothing";
        }
        return status;
    });
}

// Fields the box filled without a zero byte are cut inside the host's buffers.
TEST(BtSettings, OverlongFieldsStayInsideHostBuffers) {
    fake::reset();
    answers_tag("BTREAD_REQ", frame(bytes(384, 'Z')) + frame("X"))(bt_test_box());
    read_outputs out;
    exact_buffer message(wq_message_size);
    ASSERT_EQ(out.read_bt(test_box_address, message.get(), 1), 0);
    const std::string z31(31, 'Z');
    EXPECT_EQ(out.texts(), (std::vector<std::string>{z31, z31, z31, std::string(63, 'Z'), "ZZZZ",
                                                     "23130", z31, z31, std::string(39, 'Z'), z31,
                                                     "ZZZZZZZZ", "", "", ""}));
    expect_fake_clean();
    fake::reset();
}

TEST(BtSettings, RestoreDefaults) {
    check_outcomes(with_connection_failures({
        {"restored", answers_tag("BTDEFL_REQ", frame("BTDEFL_ACK")), 0,
         {"Restore Default User Settings Success!",
          "Widerherstellung Standard Nutzereinstellungen erfolgreich!"}, 100},
        {"busy", answers_tag("BTDEFL_REQ", frame("BTBUSY_XXX")), 1,
         {"Restore factory settings denied. Reason: in-use. ",
          "Wiederherstellen der Werkseinstellungen abgelehnt. Grund: In Gebrauch. "}, 100},
        {"other word", answers_tag("BTDEFL_REQ", frame("BTDEFL_AC")), 1,
         same("Invalid BT_DEFAULT_ACK_WORD Response "), 100},
        {"silent", answers_tag("BTDEFL_REQ"), 1, read_timeout, 100 + 10 * 100},
        {"request not sent", failing(fake::call::send, 1, 10054), 1,
         same("Send BT_DEFAULT_REQ_WORD Failed: 10054"), 0},
    }), bt_test_box, [](char* message, int language) {
        return wq_bt_default_settings(test_box_address, message, language);
    });
}

}  // namespace
