// Settings over Bluetooth: record bytes in both layouts, the exchanges, and
// the texts handed back.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "bluetooth_commands/bt_settings.h"
#include "bt_fake_box.h"
#include "wq.h"

namespace {

using fake::bytes;

// The host's arguments of a write, defaulted to "nothing selected".
struct write_args {
    std::string text_1 = "T1", text_2 = "T2", text_3 = "T3", text_4 = "T4";
    std::string number = "12", choice_number = "0";
    std::string text_5 = "T5", text_6 = "T6", text_7 = "T7", text_8 = "T8";
    std::string address_1 = std::string(16, '\0'), address_2 = std::string(16, '\0');
    std::string address_3 = std::string(15, '\0');
    unsigned int choice = 7;
    unsigned char choice_byte = 0;
    int mode = 0;
    unsigned int fields = 0;
    int safe = 0;
};

int write_settings(const write_args& a, char* message, int language = 0) {
    return wq_bt_write_settings(test_box_address, a.text_1.c_str(), a.text_2.c_str(),
                                a.text_3.c_str(), a.text_4.c_str(), a.number.c_str(),
                                a.choice_number.c_str(), a.text_5.c_str(), a.text_6.c_str(),
                                a.text_7.c_str(), a.text_8.c_str(), a.address_1.data(),
                                a.address_2.data(), a.address_3.data(), message, a.choice,
                                a.choice_byte, a.mode, a.fields, a.safe, language);
}

// A box that takes a write.
fake::link& accepting_box(std::size_t frame_length) {
    fake::link& box = fake::bt_box(test_box_address);
    box.expect(fake::text("$$BTWRTE_REQ##")).reply(frame("BTWRTE_ACK"));
    box.expect_any(frame_length).reply(frame("BTWRTE_DNE"));
    return box;
}

// The record of the data frame the box received.
bytes written_record(const fake::link& box) {
    const bytes& data = box.writes().at(1);
    return bytes(data.begin() + 2, data.end() - 2);
}

void put(bytes& record, std::size_t offset, const bytes& value) {
    std::copy(value.begin(), value.end(), record.begin() + static_cast<long>(offset));
}
bytes le32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

class BtSettingsTest : public FakePlatformTest {
protected:
    exact_buffer message{128, 'M'};
};

TEST_F(BtSettingsTest, RecordBytesForEachExample) {
    struct row {
        const char* what;
        write_args args;
        bytes (*expected)();
    };
    const row rows[] = {
        {"nothing selected, choice 7", {}, [] {
             bytes r(380, 0);
             put(r, 360, le32(1));
             put(r, 372, le32(0x0200));
             return r;
         }},
        {"choice 0", [] { write_args a; a.choice = 0; return a; }(), [] {
             bytes r(380, 0);
             put(r, 360, le32(1));
             put(r, 372, le32(0x0240));
             return r;
         }},
        {"choice 4 with byte and number", [] {
             write_args a; a.choice = 4; a.choice_byte = 7; a.choice_number = "300"; return a; }(),
         [] {
             bytes r(380, 0);
             put(r, 200, {4, 7, 0x2C, 0x01});
             put(r, 360, le32(1));
             put(r, 372, le32(0x0240));
             return r;
         }},
        {"number 70000 keeps its low 16 bits", [] {
             write_args a; a.fields = 0x0400; a.number = "70000"; return a; }(),
         [] {
             bytes r(380, 0);
             put(r, 360, le32(1));
             put(r, 364, le32(4464));
             put(r, 372, le32(0x0600));
             return r;
         }},
        {"address mode pair, mode not selected", [] {
             write_args a; a.fields = 0x1000; a.mode = 3;
             a.address_1 = std::string("192,168,1,10") + std::string(4, '\0');
             a.address_2 = std::string("10.0.0.1") + std::string(8, '\0');
             a.text_8 = "unused"; return a; }(),
         [] {
             bytes r(380, 0);
             put(r, 328, fake::text("192.168.1.10%%%%10.0.0.1%%%%%%%") + bytes{0});
             put(r, 360, le32(1));
             put(r, 372, le32(0x1200));
             return r;
         }},
        {"text_7 of 17 characters", [] {
             write_args a; a.fields = 0x0800; a.text_7 = "ABCDEFGHIJKLMNOPQ"; return a; }(),
         [] {
             bytes r(380, 0);
             put(r, 160, fake::text("ABCDEF"));
             put(r, 168, fake::text("ABCDEFGHIJKLMN"));
             put(r, 280, fake::text("ABCDEFGHIJKLMNOPQ"));
             put(r, 360, le32(1));
             put(r, 372, le32(0x0A30));
             return r;
         }},
        {"safe layout, choice 4 and number", [] {
             write_args a; a.safe = 1; a.fields = 0x2400; a.number = "123"; a.mode = -5;
             a.choice = 4; a.choice_byte = 7; a.choice_number = "300"; return a; }(),
         [] {
             bytes r(384, 0);
             put(r, 288, {4, 7, 0x2C, 0x01});
             put(r, 304, fake::text("9792"));  // 0x2640
             put(r, 368, fake::text("1"));
             put(r, 372, fake::text("123"));
             put(r, 376, fake::text("-5"));
             return r;
         }},
        {"safe layout, address mode and texts", [] {
             write_args a; a.safe = 1; a.fields = 0x1000 | 0x0800 | 0x0001 | 0x0008; a.mode = 3;
             a.text_1 = "Gr\xC3\xB6\xC3\x9F" "e"; a.text_4 = "Four"; a.text_7 = "Seven";
             a.address_1 = std::string("1.2.3.4") + std::string(9, '\0');
             a.address_2 = std::string("5;6;7;8") + std::string(9, '\0');
             a.address_3 = "9-8-7-6" + std::string(8, '\0'); return a; }(),
         [] {
             bytes r(384, 0);
             put(r, 0, fake::text("Four"));
             put(r, 64, fake::text("Gr\xF6\xDF" "e"));
             put(r, 128, fake::text("9.8.7.6"));
             put(r, 256, fake::text("1.2.3.4%%%%%%%%%5.6.7.8%%%%%%%%") + bytes{0});
             put(r, 304, fake::text("6713"));  // 0x1A39
             put(r, 320, fake::text("Seven"));
             put(r, 360, fake::text("Seven") + bytes{0});
             put(r, 368, fake::text("1"));
             return r;
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        const std::size_t frame_length = r.args.safe ? 388 : 384;
        fake::link& box = accepting_box(frame_length);
        ASSERT_EQ(write_settings(r.args, message.get()), 0) << message.str();
        ASSERT_EQ(box.writes().size(), 2u);
        EXPECT_EQ(box.writes()[0].size(), 14u);
        EXPECT_EQ(box.writes()[1].size(), frame_length);
        EXPECT_EQ(written_record(box), r.expected());
        EXPECT_EQ(message.str(), r.args.safe ? "[Safe] Write Settings Successful!"
                                             : "Write Settings Successful!");
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(BtSettingsTest, WriteOutcomes) {
    struct row {
        const char* what;
        bytes request_reply;
        bytes done_reply;
        int language;
        int status;
        std::string message;
        std::size_t sends;
    };
    const row rows[] = {
        {"busy, English", frame("BTBUSY_XXX"), {}, 0, 1, "Write setting denied. Reason: in-use. ", 1},
        {"busy, German", frame("BTBUSY_XXX"), {}, 1, 1,
         "Schreibeinstellung verweigert. Grund: In Gebrauch. ", 1},
        {"other word", frame("BTWRTE_DNE"), {}, 0, 1, "Invalid BT_WRITE_ACK_WORD Response ", 1},
        {"wrong completion", frame("BTWRTE_ACK"), frame("BTWRTE_DNEX"), 1, 1,
         "Invalid BT_WRITE_ACK_WORD Response ", 2},
        {"no completion", frame("BTWRTE_ACK"), {}, 0, 1, "An Error Occurred During Reading: 10060", 2},
        {"success, German", frame("BTWRTE_ACK"), frame("BTWRTE_DNE"), 1, 0,
         "Speichern der Einstellungen erfolgreich!", 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::link& box = fake::bt_box(test_box_address);
        box.expect(fake::text("$$BTWRTE_REQ##")).reply(r.request_reply);
        box.expect_any(384).reply(r.done_reply);
        EXPECT_EQ(write_settings({}, message.get(), r.language), r.status);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(box.writes().size(), r.sends);
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(BtSettingsTest, AnUnansweredRequestIsSentAgain) {
    fake::link& box = fake::bt_box(test_box_address);
    box.expect(fake::text("$$BTWRTE_REQ##"));
    box.expect(fake::text("$$BTWRTE_REQ##")).reply(frame("BTWRTE_ACK"));
    box.expect_any(384).reply(frame("BTWRTE_DNE"));
    EXPECT_EQ(write_settings({}, message.get()), 0);
    EXPECT_EQ(box.writes().size(), 3u);
    EXPECT_EQ(fake::now_ms(), 100 + 1000 + 100 + 100);
}

TEST_F(BtSettingsTest, RequestRepetitionsAreBounded) {
    fake::bt_box(test_box_address);  // never answers
    EXPECT_EQ(write_settings({}, message.get()), 1);
    EXPECT_EQ(message.str(), "An Error Occurred During Reading: 10060");
    EXPECT_EQ(fake::calls(fake::call::send), 5);
    EXPECT_EQ(fake::now_ms(), 5 * (100 + 1000));

    fake::reset();
    fake::bt_box(test_box_address);
    fake::fail(fake::call::send, 1, 10054);
    fake::fail(fake::call::send, 2, 10054);
    fake::fail(fake::call::send, 3, 10054);
    fake::fail(fake::call::send, 4, 10054);
    fake::fail(fake::call::send, 5, 10053);
    EXPECT_EQ(write_settings({}, message.get()), 1);
    EXPECT_EQ(message.str(), "Send BT_WRITE_REQ_WORD Failed: 10053");
}

TEST_F(BtSettingsTest, DataFrameSendFailure) {
    fake::bt_box(test_box_address).expect(fake::text("$$BTWRTE_REQ##")).reply(frame("BTWRTE_ACK"));
    fake::fail(fake::call::send, 2, 10054);
    EXPECT_EQ(write_settings({}, message.get()), 1);
    EXPECT_EQ(message.str(), "Send Settings Failed: 10054");
}

struct read_outputs {
    exact_buffer text_1{32}, text_2{32}, text_3{32}, text_4{64}, number{12}, choice_number{6},
        text_5{32}, text_6{32}, text_7{48}, text_8{32}, mode{12}, address_1{15, 0},
        address_2{15, 0}, address_3{15, 0};
};

int read_settings(read_outputs& o, char* message, int safe, int language = 0) {
    return wq_bt_read_settings(test_box_address, o.text_1.get(), o.text_2.get(), o.text_3.get(),
                               o.text_4.get(), o.number.get(), o.choice_number.get(),
                               o.text_5.get(), o.text_6.get(), o.text_7.get(), o.text_8.get(),
                               o.mode.get(), o.address_1.get(), o.address_2.get(),
                               o.address_3.get(), message, safe, language);
}

TEST_F(BtSettingsTest, WrittenSettingsReadBackInBothLayouts) {
    for (int safe : {0, 1}) {
        SCOPED_TRACE(safe ? "safe" : "standard");
        fake::reset();
        write_args a;
        a.safe = safe;
        a.fields = 0x3FFF;
        a.mode = 3;
        a.text_1 = "Name";
        a.text_2 = "Place";
        a.text_3 = "Three";
        a.text_4 = "A longer fourth text";
        a.text_5 = "Five";
        a.text_6 = "Six";
        a.text_7 = "Seventh";
        a.number = "321";
        a.choice = 4;
        a.choice_number = "1000";
        a.address_1 = std::string("192.168.1.10") + std::string(4, '\0');
        a.address_2 = std::string("10.0.0.1") + std::string(8, '\0');
        a.address_3 = "172.16.0.1" + std::string(5, '\0');
        fake::link& writer = accepting_box(safe ? 388 : 384);
        ASSERT_EQ(write_settings(a, message.get()), 0);
        const bytes record = written_record(writer);

        fake::bt_box(test_box_address).expect(fake::text("$$BTREAD_REQ##")).reply(frame(record));
        read_outputs o;
        ASSERT_EQ(read_settings(o, message.get(), safe), 0) << message.str();
        EXPECT_EQ(message.str(), safe ? "[SAFE] Read User Settings Success!"
                                      : "Read User Settings Success!");
        EXPECT_EQ(o.text_1.str(), "Name");
        EXPECT_EQ(o.text_2.str(), "Place");
        EXPECT_EQ(o.text_3.str(), "Three");
        EXPECT_EQ(o.text_4.str(), "A longer fourth text");
        EXPECT_EQ(o.text_5.str(), "Five");
        EXPECT_EQ(o.text_6.str(), "Six");
        EXPECT_EQ(o.text_7.str(), "Seventh");
        EXPECT_EQ(o.number.str(), "321");
        EXPECT_EQ(o.choice_number.str(), "1000");
        EXPECT_EQ(o.mode.str(), "3");
        EXPECT_EQ(o.address_1.str(), "192.168.1.10");
        EXPECT_EQ(o.address_2.str(), "10.0.0.1");
        EXPECT_EQ(o.address_3.str(), "172.16.0.1");
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(BtSettingsTest, ShortAndFramedRecords) {
    // 200 bytes: the rest of the record reads as zero.
    bytes short_record(200, 0);
    put(short_record, 0, fake::text("Short"));
    fake::bt_box(test_box_address).expect(fake::text("$$BTREAD_REQ##")).reply(frame(short_record));
    read_outputs o;
    ASSERT_EQ(read_settings(o, message.get(), 0), 0);
    EXPECT_EQ(o.text_1.str(), "Short");
    EXPECT_EQ(o.text_8.str(), "");
    EXPECT_EQ(o.number.str(), "0");
    EXPECT_EQ(o.mode.str(), "0");

    // A binary number holding '$': the byte is dropped and what follows moves
    // up; one holding '#' ends the record early. Nothing overflows either way.
    for (unsigned char marker : {0x24, 0x23}) {
        fake::reset();
        bytes record(380, 0);
        put(record, 364, le32(0x00000100u | marker));  // number
        put(record, 368, le32(7));                      // mode
        fake::bt_box(test_box_address).expect(fake::text("$$BTREAD_REQ##")).reply(frame(record));
        read_outputs r;
        ASSERT_EQ(read_settings(r, message.get(), 0), 0);
        // '$': the number's bytes 01 00 00 and mode's 07 move up one place.
        EXPECT_EQ(r.number.str(), marker == 0x24 ? "117440513" : "0");
        EXPECT_EQ(r.mode.str(), "0");
    }
}

TEST_F(BtSettingsTest, ReadFailuresLeaveTheOutputsAndDrainTheLine) {
    struct row {
        const char* what;
        int send_error;
        const char* message;
    };
    const row rows[] = {
        {"send fails", 10054, "Send BT_READ_REQ_WORD Failed: 10054"},
        {"silent", 0, "An Error Occurred During Reading: 10060"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::bt_box(test_box_address);
        if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
        read_outputs o;
        EXPECT_EQ(read_settings(o, message.get(), 1, 1), 1);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_EQ(std::string(o.text_1.get(), 32), std::string(32, 'X'));
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(BtSettingsTest, OverlongFieldsStayInsideHostBuffers) {
    bytes record(384, 'Z');  // no zero byte anywhere
    fake::bt_box(test_box_address).expect(fake::text("$$BTREAD_REQ##")).reply(frame(record) + frame("X"));
    read_outputs o;
    ASSERT_EQ(read_settings(o, message.get(), 1), 0);
    EXPECT_EQ(o.text_1.str(), std::string(31, 'Z'));
    EXPECT_EQ(o.text_4.str(), std::string(63, 'Z'));
    EXPECT_EQ(o.text_7.str(), std::string(39, 'Z'));
    EXPECT_EQ(o.number.str(), "ZZZZ");
    EXPECT_EQ(o.mode.str(), "ZZZZZZZZ");
}

TEST_F(BtSettingsTest, RestoreDefaults) {
    struct row {
        bytes reply;
        int language;
        int status;
        std::string message;
    };
    const row rows[] = {
        {frame("BTDEFL_ACK"), 0, 0, "Restore Default User Settings Success!"},
        {frame("BTDEFL_ACK"), 1, 0, "Widerherstellung Standard Nutzereinstellungen erfolgreich!"},
        {frame("BTBUSY_XXX"), 0, 1, "Restore factory settings denied. Reason: in-use. "},
        {frame("BTBUSY_XXX"), 1, 1,
         "Wiederherstellen der Werkseinstellungen abgelehnt. Grund: In Gebrauch. "},
        {frame("BTDEFL_AC"), 1, 1, "Invalid BT_DEFAULT_ACK_WORD Response "},
        {{}, 0, 1, "An Error Occurred During Reading: 10060"},
    };
    for (const row& r : rows) {
        fake::reset();
        fake::bt_box(test_box_address).expect(fake::text("$$BTDEFL_REQ##")).reply(r.reply);
        EXPECT_EQ(wq_bt_default_settings(test_box_address, message.get(), r.language), r.status);
        EXPECT_EQ(message.str(), r.message);
        EXPECT_TRUE(fake::balanced());
    }
}

TEST(AddressTexts, Helpers) {
    char text[] = "192,168;1 10\0x";
    util_fix_ipaddr(text, 14, '\0');
    EXPECT_EQ(std::string(text, 14), std::string("192.168.1.10\0.", 14));
    char keep[] = "1a%2";
    util_fix_ipaddr(keep, 4, '%');
    EXPECT_EQ(std::string(keep), "1.%2");
    char holes[] = {'1', 0, '2', 0};
    util_remove_null_char(holes, '%', 4);
    EXPECT_EQ(std::string(holes, 4), "1%2%");
    char out[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    util_get_ipaddr(out, "1.%x9", 5);
    EXPECT_EQ(std::string(out, 6), "1.cd9f");
}

}  // namespace
