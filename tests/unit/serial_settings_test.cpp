// Reading, writing and restoring the settings over the serial link.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "fake_fixture.h"
#include "settings_calls.h"

namespace {

const bytes read_block = fake::repeat(0x2B, 32);
const bytes write_block = fake::repeat(0x3F, 32);
const bytes write_ack = fake::with_zero("DOWNLOAD_S");
const bytes write_done = fake::with_zero("DOWNLOAD_E");

TEST(SerialSettings, ReadOutcomes) {
    check_outcomes({
        {"port not opened", {}, 1, port_not_opened, 0},
        {"request not sent", failing(fake::call::write_file), 1,
         {"Error Occured While Sending Read Request", "Fehler beim Versenden der Leseanfrage"}, 0},
        {"record one byte short", answers(read_block, bytes(379)), 1,
         {"Error Occured While Reading Settings", "Fehler beim Lesen der Einstellungen"}, 200},
        {"record read", answers(read_block, bytes(380), 30), 0,
         {"Read User Settings Success!", "Einstellungen erfolgreich gelesen!"}, 30},
    }, com1, [](char* message, int language) {
        return read_outputs().read_serial(1, message, 0, language);
    });
}

TEST(SerialSettings, WriteOutcomes) {
    const auto acked = [](const bytes& done_reply = {}) {
        return [=](fake::link& box) {
            box.expect(write_block).reply(write_ack).expect_any(380).reply(done_reply);
        };
    };
    check_outcomes({
        {"port not opened", {}, 1, port_not_opened, 0},
        {"request not sent", failing(fake::call::write_file), 1, send_failed("WRREQ"), 0},
        {"no acknowledgement", answers(write_block), 1, read_failed("WRACK"), 200},
        {"confirmation instead: no record follows", answers(write_block, write_done), 1,
         invalid_reply("WRACK"), 0, 1},
        {"record not sent",
         [](fake::link& box) {
             box.expect(write_block).reply(write_ack);
             fake::fail(fake::call::write_file, 2);
         }, 1,
         {"Write Settings Failed. Please Check Connections",
          "Speichern der Einstellungen fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"},
         0},
        {"no confirmation", acked(), 1, read_failed("WRDONE"), 700},
        {"stray last byte", acked(fake::text("DOWNLOAD_E!")), 1, invalid_reply("WRDONE"), 500},
        {"stored", acked(write_done), 0,
         {"Write Settings Successful!", "Speichern der Einstellungen erfolgreich!"}, 500},
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
        {"restored", answers(restore_block, fake::with_zero("DEF_ACK"), 40), 0,
         {"Restore Default User Settings Success!",
          "Widerherstellung Standard Nutzereinstellungen erfolgreich!"}, 40},
    }, com1, [](char* message, int language) {
        return wq_default_settings(1, message, language);
    });
}

bytes record_written(const write_args& a) {
    fake::reset();
    fake::link& box = com1().expect(write_block).reply(write_ack)
                          .expect_any(a.layout ? 344 : 380).reply(write_done);
    char message[wq_message_size];
    EXPECT_EQ(a.write_serial(1, message), 0);
    expect_fake_clean();
    return box.writes().size() == 2 ? box.writes()[1] : bytes{};
}

// A zero record with `one` set and the given bytes put in place.
bytes record_with(bool short_format, std::vector<std::pair<std::size_t, bytes>> patches) {
    bytes record(short_format ? 344 : 380, 0);
    patches.insert(patches.begin(), {short_format ? 328u : 360u, {1}});
    for (const auto& [at, data] : patches) std::copy(data.begin(), data.end(), record.begin() + at);
    return record;
}

TEST(SerialSettings, RecordsWritten) {
    const std::size_t mask = 336;  // short format
    const char* utf8 = "Gr\xC3\xB6\xC3\x9F" "e";
    struct row {
        const char* what;
        write_args args;
        std::vector<std::pair<std::size_t, bytes>> expected;
    } const rows[] = {
        {"nothing selected", {.layout = 1}, {{mask, {0x00, 0x02}}}},
        {"text_5 and text_6", {.fields = 0x0180, .layout = 1},
         {{216, fake::text("T5")}, {248, fake::text("T6")}, {mask, {0x80, 0x03}}}},
        {"text_7 and its copies", {.text_7 = "ABC", .fields = 0x0800, .layout = 1},
         {{280, fake::text("ABC")}, {160, fake::text("ABC")}, {168, fake::text("ABC")},
          {mask, {0x30, 0x0A}}}},
        {"choice 4", {.choice_number = "1000", .choice = 4, .choice_byte = 0x107, .layout = 1},
         {{200, {4, 7, 0xE8, 0x03}}, {mask, {0x40, 0x02}}}},
        {"choice 2", {.choice_number = "1000", .choice = 2, .choice_byte = 7, .layout = 1},
         {{200, {2}}, {mask, {0x40, 0x02}}}},
        {"choice 5", {.choice_number = "1000", .choice = 5, .choice_byte = 7, .layout = 1},
         {{mask, {0x00, 0x02}}}},
        {"number -1", {.number = " -1x", .fields = 0x0400, .layout = 1},
         {{332, {0xFF, 0xFF}}, {mask, {0x00, 0x06}}}},
        {"UTF-8 converted for text_1 only",
         {.text_1 = utf8, .text_3 = utf8, .fields = 0x0005, .layout = 1},
         {{0, {0x47, 0x72, 0xF6, 0xDF, 0x65}}, {64, fake::text(utf8)}, {mask, {0x05, 0x02}}}},
        {"long-only bits in the short format",
         {.text_8 = "EIGHT", .mode = 5, .fields = 0x3000, .layout = 1}, {{mask, {0x00, 0x02}}}},
        {"text_8 and mode in the long format", {.text_8 = "EIGHT", .mode = -2, .fields = 0x3000},
         {{328, fake::text("EIGHT")}, {368, {0xFE, 0xFF, 0xFF, 0xFF}}, {372, {0x00, 0x32}}}},
        {"over-long texts cut to their field",
         {.text_1 = "1234567890123456789012345678901234567890",
          .text_7 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", .fields = 0x1801},
         {{0, fake::text("1234567890123456789012345678901")},
          {280, fake::text("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstu")},
          {160, fake::text("ABCDEF")}, {168, fake::text("ABCDEFGHIJKLMN")},
          {328, fake::text("T8")}, {372, {0x31, 0x1A}}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const bytes written = record_written(r.args);
        const bytes expected = record_with(r.args.layout, r.expected);
        ASSERT_EQ(written.size(), expected.size());
        const auto differ = std::mismatch(written.begin(), written.end(), expected.begin());
        EXPECT_TRUE(differ.first == written.end()) << "offset " << differ.first - written.begin();
    }
    fake::reset();
}

TEST(SerialSettings, RecordsReadBackIntoHostTexts) {
    struct row {
        const char* what;
        bytes record;
        int short_format;
        int status;
        // text_1, text_4, text_7, number, choice_number, text_8, mode
        std::vector<std::string> texts;
    } const rows[] = {
        {"long", record_with(false, {{0, fake::text("one \xF6")}, {96, fake::text("four")},
                                     {280, fake::text("seven")}, {328, fake::text("eight")},
                                     {202, {0xFF, 0xFF}}, {364, {0xFE, 0xFF, 0xFF, 0xFF}},
                                     {368, {0, 0, 0, 0x80}}}),
         0, 0, {"one \xF6", "four", "seven", "-2", "65535", "eight", "-2147483648"}},
        {"short leaves text_8 and mode",
         record_with(true, {{280, fake::text("7")}, {332, {0x70, 0x11}}}),
         1, 0, {"", "", "7", "4464", "0", std::string(32, 'X'), std::string(12, 'X')}},
        // No zero byte anywhere: every text is cut at its field.
        {"garbage", bytes(380, 'A'), 0, 0,
         {std::string(31, 'A'), std::string(63, 'A'), std::string(47, 'A'), "1094795585", "16705",
          std::string(31, 'A'), "1094795585"}},
        {"cut short: nothing handed out", bytes(200, 'B'), 0, 1,
         {std::string(32, 'X'), std::string(64, 'X'), std::string(48, 'X'), std::string(12, 'X'),
          std::string(6, 'X'), std::string(32, 'X'), std::string(12, 'X')}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        com1().expect(read_block).reply(r.record);
        read_outputs out;
        exact_buffer message(wq_message_size);
        EXPECT_EQ(out.read_serial(1, message.get(), r.short_format), r.status);
        EXPECT_EQ((std::vector<std::string>{out.text_1.str(), out.text_4.str(), out.text_7.str(),
                                            out.number.str(), out.choice_number.str(),
                                            out.text_8.str(), out.mode.str()}),
                  r.texts);
        expect_fake_clean();
    }
    fake::reset();
}

}  // namespace
