// The settings calls against the box emulator, over real ptys and sockets:
// every record format and layout written and read back. The other commands
// run end to end through wqctl (wqctl_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_fixture.h"
#include "settings_calls.h"
#include "text/messages.h"
#include "wq.h"

namespace {

constexpr int box_port = 1;                       // wqbox serves COM1 unless told otherwise
constexpr BTH_ADDR box_address = 0x0011223344AA;  // and listens as 00:11:22:33:44:AA

using EndToEnd = BoxTest;

constexpr int address_mode = 3;
constexpr int plain_mode = 5;

// What the host writes: every field (0x3FFF), choice 4 with its byte and
// number. text_1 holds two-byte UTF-8 letters, which reach the box as
// Latin-1; text_3 travels unconverted, so its UTF-8 stays as it is. The
// addresses are padded to what the library reads.
const write_args every_field_written = {
    "Gr\xC3\xB6\xC3\x9F" "e", "Lobby", "Caf\xC3\xA9", "Chilled water and soap", "123", "1000",
    "Night shift", "tech", "10.1.2.3 lobby", "Eighth", "192,168,1,10\0\0\0",
    "10.0.0.1\0\0\0\0\0\0\0", "172.16.0.1\0\0\0\0", 4, 7, 0, 0x3FFF};

// A record written over each link, in each format and layout, and read back
// over the same: the box's own reading of it agrees with the library's bytes.
TEST_F(EndToEnd, SettingsWrittenReadBackOverEveryFormat) {
    const struct {
        bool serial;
        int layout;  // 1: the short serial format, the safe Bluetooth layout
        int mode;
    } cases[] = {
        {true, 0, plain_mode},  {true, 1, plain_mode},  {false, 0, plain_mode},
        {false, 1, plain_mode}, {false, 0, address_mode}, {false, 1, address_mode},
    };
    char message[wq_message_size] = {};
    for (const auto& [serial, layout, mode] : cases) {
        SCOPED_TRACE(testing::Message() << "serial " << serial << ", layout " << layout << ", mode " << mode);
        start_box();
        write_args w = every_field_written;
        w.mode = mode;
        w.layout = layout;
        EXPECT_EQ(serial ? w.write_serial(box_port, message) : w.write_bt(box_address, message), 0) << message;
        EXPECT_EQ(box->state().count.settings_writes, 1u);

        // The box answers a read in the format or layout it is set to; the
        // host has to know which one that is.
        box->update([layout](wqbox::box_state& b) {
            b.serial_read_format =
                layout ? wqbox::serial_format::short_record : wqbox::serial_format::long_record;
            b.bt_read_layout = layout ? wqbox::bt_layout::safe : wqbox::bt_layout::standard;
        });
        read_outputs r;
        EXPECT_EQ(serial ? r.read_serial(box_port, message, layout) : r.read_bt(box_address, message, layout), 0)
            << message;
        const std::vector<std::string> texts = r.texts();
        EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 9),
                  (std::vector<std::string>{"Gr\xF6\xDF" "e", "Lobby", "Caf\xC3\xA9",
                                            "Chilled water and soap", "123", "1000",
                                            "Night shift", "tech", "10.1.2.3 lobby"}));
        const bool addresses = mode == address_mode;
        if (serial && layout) {
            EXPECT_EQ(r.text_8.all() + r.mode.all(), std::string(32 + 12, 'X')) << "left alone";
        } else {
            EXPECT_EQ(r.text_8.str(), addresses ? "192.168.1.10%%%%10.0.0.1%%%%%%%" : "Eighth");
            EXPECT_EQ(r.mode.str(), std::to_string(mode));
        }
        if (!serial) {
            EXPECT_EQ(r.address_1.str(), addresses ? "192.168.1.10" : "");
            EXPECT_EQ(r.address_2.str(), addresses ? "10.0.0.1" : "");
            // Outside address mode the third address is the start of text_7.
            EXPECT_EQ(r.address_3.str(), addresses ? "172.16.0.1" : "10.1.2.3");
        }
    }
}

}  // namespace
