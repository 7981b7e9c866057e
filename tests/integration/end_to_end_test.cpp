// The library's exported operations against the box emulator, over real
// ptys and sockets: settings across both links and every record format, and
// the flush's wait. The other commands run end to end through wqctl
// (wqctl_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "box_fixture.h"
#include "text/messages.h"
#include "wq.h"

namespace {

using namespace std::chrono_literals;

constexpr int box_port = 1;                       // wqbox serves COM1 unless told otherwise
constexpr BTH_ADDR box_address = 0x0011223344AA;  // and listens as 00:11:22:33:44:AA

class EndToEnd : public BoxTest {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    char message[wq_message_size] = {};
};

// ---- settings --------------------------------------------------------------------------

enum class link { serial_short, serial_long, bt_standard, bt_safe };

bool is_serial(link l) { return l == link::serial_short || l == link::serial_long; }

constexpr unsigned int every_field = 0x3FFF;
constexpr unsigned int choice_with_number = 4;
constexpr unsigned char choice_byte = 7;
constexpr int address_mode = 3;
constexpr int plain_mode = 5;

// What the host writes. text_1 holds two-byte UTF-8 letters, which reach the
// box as Latin-1; text_3 travels unconverted, so its UTF-8 stays as it is.
struct written {
    const char* text_1 = "Gr\xC3\xB6\xC3\x9F" "e";
    const char* text_2 = "Lobby";
    const char* text_3 = "Caf\xC3\xA9";
    const char* text_4 = "Chilled water and soap";
    const char* number = "123";
    const char* choice_number = "1000";
    const char* text_5 = "Night shift";
    const char* text_6 = "tech";
    const char* text_7 = "10.1.2.3 lobby";
    const char* text_8 = "Eighth";
    // Buffers, not literals: the library takes 16 bytes of the first two
    // addresses and 15 of the third, whatever their texts' lengths.
    char address_1[16] = "192,168,1,10";
    char address_2[16] = "10.0.0.1";
    char address_3[15] = "172.16.0.1";
};

// What a read hands out; "-" marks an output the read must leave alone.
struct read_back {
    char text_1[32] = {}, text_2[32] = {}, text_3[32] = {}, text_4[64] = {}, number[12] = {},
         choice_number[6] = {}, text_5[32] = {}, text_6[32] = {}, text_7[48] = {},
         text_8[32] = "-", mode[12] = "-", address_1[16] = {}, address_2[16] = {},
         address_3[16] = {};
};

int write_settings(link over, int mode, char* message) {
    const written w;
    if (is_serial(over)) {
        return wq_write_settings(box_port, w.text_1, w.text_2, w.text_3, w.text_4, w.number,
                                 w.choice_number, w.text_5, w.text_6, w.text_7, w.text_8, message,
                                 choice_with_number, choice_byte, mode, over == link::serial_short,
                                 every_field, 0);
    }
    return wq_bt_write_settings(box_address, w.text_1, w.text_2, w.text_3, w.text_4, w.number,
                                w.choice_number, w.text_5, w.text_6, w.text_7, w.text_8,
                                w.address_1, w.address_2, w.address_3, message,
                                choice_with_number, choice_byte, mode, every_field,
                                over == link::bt_safe, 0);
}

int read_settings(link over, read_back& r, char* message) {
    if (is_serial(over)) {
        return wq_read_settings(box_port, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                                r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                                message, over == link::serial_short, 0);
    }
    return wq_bt_read_settings(box_address, r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                               r.choice_number, r.text_5, r.text_6, r.text_7, r.text_8, r.mode,
                               r.address_1, r.address_2, r.address_3, message,
                               over == link::bt_safe, 0);
}

// The box answers a read in the format or layout it is set to; the host
// has to know which one that is.
void answer_reads_in(wqbox::emulator& box, link reader) {
    box.update([reader](wqbox::box_state& b) {
        b.serial_read_format = reader == link::serial_short ? wqbox::serial_format::short_record
                                                            : wqbox::serial_format::long_record;
        b.bt_read_layout = reader == link::bt_safe ? wqbox::bt_layout::safe
                                                   : wqbox::bt_layout::standard;
    });
}

// Every writer's record read back by every kind of reader that matters: the
// same link and layout, and across links, formats and address mode.
TEST_F(EndToEnd, SettingsWrittenReadBackOverEveryFormat) {
    const struct {
        link writer, reader;
        int mode;
    } cases[] = {
        {link::serial_long, link::serial_long, plain_mode},
        {link::serial_short, link::serial_short, plain_mode},
        {link::bt_standard, link::bt_standard, plain_mode},
        {link::bt_safe, link::bt_safe, plain_mode},
        {link::bt_standard, link::bt_standard, address_mode},
        {link::bt_safe, link::bt_safe, address_mode},
        {link::serial_long, link::bt_safe, plain_mode},
        {link::serial_short, link::bt_standard, plain_mode},
        {link::bt_safe, link::serial_long, plain_mode},
        {link::bt_standard, link::serial_long, address_mode},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "writer " << int(c.writer) << ", reader "
                                        << int(c.reader) << ", mode " << c.mode);
        start_box();
        EXPECT_EQ(write_settings(c.writer, c.mode, message), 0) << message;
        EXPECT_STREQ(message, c.writer == link::bt_safe ? "[Safe] Write Settings Successful!"
                                                        : "Write Settings Successful!");
        EXPECT_EQ(box->state().count.settings_writes, 1u);

        answer_reads_in(*box, c.reader);
        read_back r;
        EXPECT_EQ(read_settings(c.reader, r, message), 0) << message;
        EXPECT_STREQ(message, c.reader == link::bt_safe ? "[SAFE] Read User Settings Success!"
                                                        : "Read User Settings Success!");
        EXPECT_EQ((std::vector<std::string>{r.text_1, r.text_2, r.text_3, r.text_4, r.number,
                                            r.choice_number, r.text_5, r.text_6, r.text_7}),
                  (std::vector<std::string>{"Gr\xF6\xDF" "e", "Lobby", "Caf\xC3\xA9",
                                            "Chilled water and soap", "123", "1000",
                                            "Night shift", "tech", "10.1.2.3 lobby"}));
        const bool addresses = c.mode == address_mode;
        if (c.reader == link::serial_short) {
            EXPECT_STREQ(r.text_8, "-");
            EXPECT_STREQ(r.mode, "-");
        } else if (c.writer == link::serial_short) {
            EXPECT_STREQ(r.text_8, "default") << "a short record leaves it alone";
            EXPECT_STREQ(r.mode, "0");
        } else {
            EXPECT_STREQ(r.text_8, addresses ? "192.168.1.10%%%%10.0.0.1%%%%%%%" : "Eighth");
            EXPECT_STREQ(r.mode, std::to_string(c.mode).c_str());
        }
        if (!is_serial(c.reader)) {
            EXPECT_STREQ(r.address_1, addresses ? "192.168.1.10" : "");
            EXPECT_STREQ(r.address_2, addresses ? "10.0.0.1" : "");
            // Outside address mode the third address is the start of text_7.
            EXPECT_STREQ(r.address_3, addresses ? "172.16.0.1" : "10.1.2.3");
        }
    }
}

// ---- flush ---------------------------------------------------------------------------

// The box is given a whole second before its reply is read: the real
// wait may run long under load, never short.
TEST_F(EndToEnd, FlushAcceptedAndRefusedWhileInUse) {
    start_box();
    std::strcpy(message, "earlier");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wq_bt_force_flush(box_address, message, 0), 0) << message;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_STREQ(message, "");
    box->update([](wqbox::box_state& b) { b.in_use = true; });
    EXPECT_EQ(wq_bt_force_flush(box_address, message, 1), 1);
    EXPECT_STREQ(message, "Benutzerinitiierte Stagnationssp\xFClung verweigert. Grund: im Einsatz.");
    EXPECT_EQ(box->state().count.flushes, 1u);
    EXPECT_EQ(box->state().count.flushes_refused, 1u);
}

}  // namespace
