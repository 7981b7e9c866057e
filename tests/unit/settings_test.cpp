// The user settings over both links: the exchanges, the record bytes a
// write sends in each layout, and the texts a read hands back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bt_fake_box.h"
#include "settings_calls.h"

namespace {

const bytes read_block = fake::repeat(0x2B, 32);
const bytes write_block = fake::repeat(0x3F, 32);
const bytes write_ack = fake::with_zero("DOWNLOAD_S");
const bytes write_done = fake::with_zero("DOWNLOAD_E");

const expected_message stored = {"Write Settings Successful!",
                                 "Speichern der Einstellungen erfolgreich!"};
const expected_message read_done = {"Read User Settings Success!",
                                    "Einstellungen erfolgreich gelesen!"};
const expected_message restored = {"Restore Default User Settings Success!",
                                   "Widerherstellung Standard Nutzereinstellungen erfolgreich!"};

// ---- the record in each layout --------------------------------------------------

enum class layout { serial_short, serial_long, bt_standard, bt_safe };

bool is_serial(layout l) { return l == layout::serial_short || l == layout::serial_long; }
// The calls' layout argument.
int short_or_safe(layout l) { return l == layout::serial_short || l == layout::bt_safe; }
std::size_t size_of(layout l) {
    return l == layout::serial_short ? 344 : l == layout::bt_safe ? 384 : 380;
}

using placed = std::pair<std::size_t, bytes>;  // bytes and where they stand in a record

bytes le32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}
// The present mask: binary, or the safe layout's decimal text.
placed mask(layout l, std::uint32_t bits) {
    if (l == layout::bt_safe) return {304, fake::text(std::to_string(bits))};
    return {l == layout::serial_short ? 336u : 372u, le32(bits)};
}
// A zero record with `one` set, as every record carries it, and `fields` in place.
bytes record_of(layout l, std::vector<placed> fields) {
    bytes record(size_of(l), 0);
    fields.insert(fields.begin(), l == layout::bt_safe      ? placed{368, fake::text("1")}
                                  : l == layout::serial_short ? placed{328, {1}}
                                                              : placed{360, {1}});
    for (const auto& [at, data] : fields) std::copy(data.begin(), data.end(), record.begin() + at);
    return record;
}

// A settings call's outcome and layout; a read hands the host nothing when
// it failed, else `texts` (read_outputs::texts()).
struct settings_row {
    outcome expected;
    int layout = 0;  // 1: the short serial record, the safe Bluetooth layout
    std::vector<std::string> texts = {};
};
int read_and_check(const settings_row& r, bool serial, char* message, int language) {
    read_outputs out;
    const int status = serial ? out.read_serial(1, message, r.layout, language)
                              : out.read_bt(test_box_address, message, r.layout, language);
    if (status == 0) {
        EXPECT_EQ(out.texts(), r.texts);
    } else {
        EXPECT_EQ(out.text_1.all(), std::string(32, 'X')) << "a failed read hands out nothing";
    }
    return status;
}

// The short record leaves text_8 and mode alone.
TEST(SerialSettings, ReadOutcomes) {
    const bytes long_record = record_of(
        layout::serial_long, {{0, fake::text("one \xF6")}, {96, fake::text("four")}, {280, fake::text("seven")},
                              {328, fake::text("eight")}, {202, {0xFF, 0xFF}}, {364, le32(0xFFFFFFFE)},
                              {368, le32(0x80000000)}});
    const bytes short_record =
        record_of(layout::serial_short, {{280, fake::text("7")}, {332, {0x70, 0x11}}});
    check_rows(std::vector<settings_row>{
        {{"port not opened", {}, 1, port_not_opened, 0}},
        {{"request not sent", failing(fake::call::write_file), 1,
          {"Error Occured While Sending Read Request", "Fehler beim Versenden der Leseanfrage"}, 0}},
        {{"record one byte short", answers(read_block, bytes(379)), 1,
          {"Error Occured While Reading Settings", "Fehler beim Lesen der Einstellungen"}, 200}},
        {{"long record", answers(read_block, long_record, 30), 0, read_done, 30}, 0,
         {"one \xF6", "", "", "four", "-2", "65535", "", "", "seven", "eight", "-2147483648", "", "", ""}},
        {{"short record", answers(read_block, short_record), 0, read_done, 0}, 1,
         {"", "", "", "", "4464", "0", "", "", "7", std::string(32, 'X'), std::string(12, 'X'), "", "", ""}},
    }, com1, [](const settings_row& r, char* message, int language) {
        return read_and_check(r, true, message, language);
    });
}

// The box acknowledges the request, takes the record of `record_size`
// bytes and answers it with `done_reply`.
box_script serial_accepts(std::size_t record_size, const bytes& done_reply = write_done) {
    return [=](fake::link& box) {
        box.expect(write_block).reply(write_ack).expect_any(record_size).reply(done_reply);
    };
}

TEST(SerialSettings, WriteOutcomes) {
    check_outcomes({
        {"port not opened", {}, 1, port_not_opened, 0},
        {"request not sent", failing(fake::call::write_file), 1, send_failed("WRREQ"), 0},
        {"no acknowledgement", answers(write_block), 1, read_failed("WRACK"), 200},
        {"confirmation instead: no record follows", answers(write_block, write_done), 1,
         invalid_reply("WRACK"), 0, 1},
        {"record not sent", next_write_fails(write_block, write_ack), 1,
         {"Write Settings Failed. Please Check Connections",
          "Speichern der Einstellungen fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"},
         0},
        {"no confirmation", serial_accepts(380, {}), 1, read_failed("WRDONE"), 700},
        {"stray last byte", serial_accepts(380, fake::text("DOWNLOAD_E!")), 1,
         invalid_reply("WRDONE"), 500},
        {"stored", serial_accepts(380), 0, stored, 500},
    }, com1, [](char* message, int language) {
        return write_args{}.write_serial(1, message, language);
    });
}

TEST(SerialSettings, RestoreOutcomes) {
    const bytes restore_block = fake::repeat(0x26, 32);
    check_outcomes({
        {"port not opened", {}, 1, port_not_opened, 0},
        {"request not sent", failing(fake::call::write_file), 1,
         send_failed("'Restore Default'", "'Wiederherstellung Werkseinstellungen'"), 0},
        {"acknowledgement short", answers(restore_block, fake::text("DEF_ACK")), 1,
         read_failed("'DefaultACK'"), 200},
        {"wrong acknowledgement", answers(restore_block, fake::with_zero("DEF_NAK")), 1,
         invalid_reply("DefaulACK", "DefaultACK"), 0},
        {"restored", answers(restore_block, fake::with_zero("DEF_ACK"), 40), 0, restored, 40},
    }, com1, [](char* message, int language) {
        return wq_default_settings(1, message, language);
    });
}

// The box agrees to a write and answers its data frame of `frame_length`
// bytes with `done`.
box_script bt_accepts(std::size_t frame_length, const bytes& done = frame("BTWRTE_DNE")) {
    return [=](fake::link& box) {
        box.expect(frame("BTWRTE_REQ")).reply(frame("BTWRTE_ACK"));
        box.expect_any(frame_length).reply(done);
    };
}

// The request is sent again while it goes unanswered or unsent, five
// times at most; then the data frame, and the box's confirmation.
TEST(BtSettings, WriteOutcomes) {
    const expected_message invalid = same("Invalid BT_WRITE_ACK_WORD Response ");
    const auto request_answered = [](const char* reply) {
        return answers_tag("BTWRTE_REQ", frame(reply));
    };
    check_rows(with_connection_failures(std::vector<settings_row>{
        {{"stored", bt_accepts(384), 0, stored, 200, 2}},
        {{"stored in the safe layout", bt_accepts(388), 0,
          {"[Safe] Write Settings Successful!", "[Safe] Speichern der Einstellungen erfolgreich!"}, 200}, 1},
        {{"busy: no data frame", request_answered("BTBUSY_XXX"), 1,
          {"Write setting denied. Reason: in-use. ",
           "Schreibeinstellung verweigert. Grund: In Gebrauch. "}, 100, 1}},
        {{"other word", request_answered("BTWRTE_DNE"), 1, invalid, 100, 1}},
        {{"wrong completion", bt_accepts(384, frame("BTWRTE_DNEX")), 1, invalid, 200}},
        {{"no completion", bt_accepts(384, {}), 1, read_timeout, 200 + 10 * 100}},
        {{"data frame not sent",
          [&](fake::link& box) {
              request_answered("BTWRTE_ACK")(box);
              fake::fail(fake::call::send, 2, 10054);
          }, 1, same("Send Settings Failed: 10054"), 100, 1}},
        {{"first request unanswered",
          [](fake::link& box) {
              box.expect(frame("BTWRTE_REQ"));
              bt_accepts(384)(box);
          }, 0, stored, 1100 + 200, 3}},
        {{"never answered", [](fake::link&) {}, 1, read_timeout, 5 * (100 + 10 * 100), 5}},
        {{"never sent",
          [](fake::link&) {
              for (int nth = 1; nth <= 5; ++nth) fake::fail(fake::call::send, nth, 10049 + nth);
          }, 1, same("Send BT_WRITE_REQ_WORD Failed: 10054"), 0}},
    }), bt_test_box, [](const settings_row& r, char* message, int language) {
        return write_args{.layout = r.layout}.write_bt(test_box_address, message, language);
    });
}

// A record is read 100 ms after the request; a short one reads as zero
// behind its end, fields without a zero byte are cut inside the host's
// buffers, and the line is drained either way. The address pair comes back
// from text_8, the third address from where text_7's start is copied.
TEST(BtSettings, ReadOutcomes) {
    bytes short_record(200, 0);
    std::copy_n("Short", 5, short_record.begin());
    const std::string z31(31, 'Z');
    const auto record_read = [](const bytes& record) {
        return answers_tag("BTREAD_REQ", frame(record) + frame("late"));
    };
    const bytes address_mode =
        record_of(layout::bt_standard, {{168, fake::text("172.16.0.1")}, {368, le32(3)},
                                        {328, fake::text("192.168.1.10%%%%10.0.0.1%%%%%%%")}});
    check_rows(with_connection_failures(std::vector<settings_row>{
        {{"short record", record_read(short_record), 0, read_done, 200}, 0,
         {"Short", "", "", "", "0", "0", "", "", "", "", "0", "", "", ""}},
        {{"no zero byte", record_read(bytes(384, 'Z')), 0,
          {"[SAFE] Read User Settings Success!", "[SAFE] Einstellungen erfolgreich gelesen!"}, 200}, 1,
         {z31, z31, z31, std::string(63, 'Z'), "ZZZZ", "23130", z31, z31, std::string(39, 'Z'), z31,
          "ZZZZZZZZ", "", "", ""}},
        {{"address mode", record_read(address_mode), 0, read_done, 200}, 0,
         {"", "", "", "", "0", "0", "", "", "", "192.168.1.10%%%%10.0.0.1%%%%%%%", "3", "192.168.1.10",
          "10.0.0.1", "172.16.0.1"}},
        {{"silent", answers_tag("BTREAD_REQ"), 1, read_timeout, 100 + 10 * 100 + 100}},
        {{"request not sent", failing(fake::call::send, 1, 10054), 1,
          same("Send BT_READ_REQ_WORD Failed: 10054"), 100}},
    }), bt_test_box, [](const settings_row& r, char* message, int language) {
        return read_and_check(r, false, message, language);
    });
}

TEST(BtSettings, RestoreDefaults) {
    check_outcomes(with_connection_failures({
        {"restored", answers_tag("BTDEFL_REQ", frame("BTDEFL_ACK")), 0, restored, 100},
        {"busy", answers_tag("BTDEFL_REQ", frame("BTBUSY_XXX")), 1,
         {"Restore factory settings denied. Reason: in-use. ",
          "Wiederherstellen der Werkseinstellungen abgelehnt. Grund: In Gebrauch. "}, 100},
        {"other word", answers_tag("BTDEFL_REQ", frame("BTDEFL_AC")), 1,
         same("Invalid BT_DEFAULT_ACK_WORD Response "), 100},
        {"silent", answers_tag("BTDEFL_REQ"), 1, read_timeout, 100 + 10 * 100},
        {"request not sent", failing(fake::call::send, 1, 10054), 1,
         same("Send BT_DEFAULT_REQ_WORD Failed: 10054"), 0},
    }), bt_test_box, on_test_box(wq_bt_default_settings));
}

// ---- the record written in each layout ------------------------------------------

// The record one write over `l` sent.
bytes record_written(layout l, write_args a) {
    fake::reset();
    a.layout = short_or_safe(l);
    fake::link& box = is_serial(l) ? com1() : bt_test_box();
    (is_serial(l) ? serial_accepts(size_of(l)) : bt_accepts(size_of(l) + 4))(box);
    exact_buffer message(wq_message_size);
    const int status = is_serial(l) ? a.write_serial(1, message.get())
                                    : a.write_bt(test_box_address, message.get());
    EXPECT_EQ(status, 0) << message.str();
    expect_fake_clean();
    if (box.writes().size() != 2) return {};
    const bytes& sent = box.writes()[1];
    return is_serial(l) ? sent : bytes(sent.begin() + 2, sent.end() - 2);  // without "$$", "##"
}

TEST(SettingsRecord, BytesWrittenInEachLayout) {
    const layout s = layout::serial_short, l = layout::serial_long, b = layout::bt_standard,
                 safe = layout::bt_safe;
    const char* utf8 = "Gr\xC3\xB6\xC3\x9F" "e";
    struct row {
        const char* what;
        layout over;
        write_args args;
        std::vector<placed> fields;
    } const rows[] = {
        {"text_5, text_6 and choice 2, which carries no values", s,
         {.choice_number = "1000", .choice = 2, .choice_byte = 7, .fields = 0x0180},
         {{200, {2}}, {216, fake::text("T5")}, {248, fake::text("T6")}, mask(s, 0x03C0)}},
        {"choice 4", s, {.choice_number = "1000", .choice = 4, .choice_byte = 0x107},
         {{200, {4, 7, 0xE8, 0x03}}, mask(s, 0x0240)}},
        {"number -1", s, {.number = " -1x", .fields = 0x0400},
         {{332, {0xFF, 0xFF}}, mask(s, 0x0600)}},
        {"UTF-8 converted for text_1 only", s, {.text_1 = utf8, .text_3 = utf8, .fields = 0x0005},
         {{0, {0x47, 0x72, 0xF6, 0xDF, 0x65}}, {64, fake::text(utf8)}, mask(s, 0x0205)}},
        {"choice 5 and the long-only bits in the short format", s,
         {.choice_number = "1000", .text_8 = "EIGHT", .choice = 5, .mode = 5, .fields = 0x3000},
         {mask(s, 0x0200)}},
        {"text_8 and mode in the long format", l, {.text_8 = "EIGHT", .mode = -2, .fields = 0x3000},
         {{328, fake::text("EIGHT")}, {368, le32(0xFFFFFFFE)}, mask(l, 0x3200)}},
        {"over-long texts cut to their field", l,
         {.text_1 = "1234567890123456789012345678901234567890",
          .text_7 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", .fields = 0x1801},
         {{0, fake::text("1234567890123456789012345678901")},
          {280, fake::text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstu")},
          {160, fake::text("ABCDEF")}, {168, fake::text("ABCDEFGHIJKLMN")},
          {328, fake::text("T8")}, mask(l, 0x1A31)}},
        {"number 70000 keeps its low 16 bits", b, {.number = "70000", .fields = 0x0400},
         {{364, le32(4464)}, mask(b, 0x0600)}},
        // The pair replaces text_8, which is then never read: a host may
        // pass NULL for it, and for every text its fields leave out.
        {"address mode, the other texts NULL", b,
         {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
          "192,168,1,10\0\0\0", "10.0.0.1\0\0\0\0\0\0\0", nullptr, 7, 0, 3, 0x1000},
         {{328, fake::text("192.168.1.10%%%%10.0.0.1%%%%%%%")}, mask(b, 0x1200)}},
        {"choice 4 and numbers as texts", safe,
         {.number = "123", .choice_number = "300", .choice = 4, .choice_byte = 7, .mode = -5,
          .fields = 0x2400},
         {{288, {4, 7, 0x2C, 0x01}}, {372, fake::text("123")}, {376, fake::text("-5")},
          mask(safe, 0x2640)}},
        {"address mode and texts", safe,
         {.text_1 = utf8, .text_4 = "Four", .text_7 = "Seven",
          .address_1 = "1.2.3.4\0\0\0\0\0\0\0\0", .address_2 = "5;6;7;8\0\0\0\0\0\0\0\0",
          .address_3 = "9-8-7-6\0\0\0\0\0\0\0", .mode = 3, .fields = 0x1989},
         {{0, fake::text("Four")}, {64, fake::text("Gr\xF6\xDF" "e")}, {128, fake::text("9.8.7.6")},
          {192, fake::text("T5")}, {224, fake::text("T6")},
          {256, fake::text("1.2.3.4%%%%%%%%%5.6.7.8%%%%%%%%")}, {320, fake::text("Seven")},
          {360, fake::text("Seven")}, mask(safe, 0x1BB9)}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(record_written(r.over, r.args), record_of(r.over, r.fields));
    }
    fake::reset();
}

}  // namespace
