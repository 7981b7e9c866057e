// Arguments a host may legally leave out, and calls that must fail rather
// than quietly succeed: regressions of the hardening review.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "bt_fake_box.h"

namespace {

class Hardening : public FakePlatformTest {};

// In address mode the address pair replaces `text_8`, which is not read:
// a host may pass NULL for it (and for every text its fields leave out).
TEST_F(Hardening, AddressModeNeverReadsText8) {
    fake::link& box = bt_test_box();
    box.expect(frame("BTWRTE_REQ")).reply(frame("BTWRTE_ACK"));
    box.expect_any(384).reply(frame("BTWRTE_DNE"));
    exact_buffer message(wq_message_size);
    char address_1[16] = "192,168,1,10";
    char address_2[16] = "10.0.0.1";
    ASSERT_EQ(wq_bt_write_settings(test_box_address, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, address_1,
                                   address_2, nullptr, message.get(), 7, 0, 3, 0x1000, 0, 0),
              0)
        << message.str();
    const bytes& data = box.writes().at(1);
    const std::string pair(data.begin() + 2 + 328, data.begin() + 2 + 360);
    EXPECT_EQ(pair, std::string("192.168.1.10%%%%10.0.0.1%%%%%%%") + '\0');
}

// A chunk of no bytes is still one write: on a handle that is no port it
// fails, as a zero-byte WriteFile on an invalid handle does.
TEST_F(Hardening, EmptyChunkStillMakesItsWrite) {
    exact_buffer message(wq_message_size);
    const unsigned char image[1] = {0};
    EXPECT_EQ(wq_ota_xmit_data(0, message.get(), 0, 0x7777, image, 0, 0), 1);
    EXPECT_EQ(message.str(), "Send OTA-Data Failed. Please Check Connections");
    EXPECT_EQ(fake::calls(fake::call::write_file), 1);
}

// Exactly atof in the "C" locale, hex, infinities and range errors included.
TEST(HardeningFlowrate, IsAtofOfTheCLocale) {
    for (const char* text : {"0x10", "2e308", "-2e308", "1e-400", "inf", "-nan", "0x1p4", " +.5e1",
                             "0X.8", "1e", "--1", "12,5"}) {
        const double expected = std::atof(text);
        const double got = wq_convert_flowrate_to_double(text, static_cast<int>(std::strlen(text)), 7);
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got)) << text;
        } else {
            EXPECT_EQ(got, expected) << text;
        }
    }
}

}  // namespace
