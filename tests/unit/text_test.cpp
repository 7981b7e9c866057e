// Messages and the text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_fixture.h"

namespace {

TEST(ConvertMultibyte, PairsBytesAndEndsWithTwoZeros) {
    const std::pair<std::string, std::string> rows[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e", std::string("Gr\xFC\xDF" "e\0\0", 7)},
        {"ABC", std::string("ABC\0\0", 5)},
        {"", std::string("\0\0", 2)},
        // A lead byte last: combined with the terminator, nothing read past it.
        {"A\xC3", std::string("A\xC0\0\0", 4)},
        // Beyond U+00FF: bytes are paired off, two making one.
        {"\xE2\x82\xAC", std::string("\x82\0\0\0", 4)},
    };
    for (const auto& [source, expected] : rows) {
        exact_buffer exact_source(source.size() + 1);  // ASan sees a read past its zero
        std::memcpy(exact_source.get(), source.c_str(), source.size() + 1);
        exact_buffer out(140);
        util_convert_multibyte_char(out.get(), exact_source.get(), 140);
        EXPECT_EQ(out.all(), expected + std::string(140 - expected.size(), '\0')) << source;
    }
}

TEST(Messages, ReplaceAppendAndStayInsideTheBuffer) {
    exact_buffer message(wq_message_size);
    write_message(message.get(), "A long earlier message");
    write_message(message.get(), "Socket Call Failed: ");
    append_error_code(message.get(), 10061);
    EXPECT_EQ(message.str(), "Socket Call Failed: 10061") << "nothing of the earlier text left";

    const std::string long_text(300, 'y');
    write_message(message.get(), "x");
    append_message(message.get(), long_text.c_str());
    EXPECT_EQ(message.str(), "x" + std::string(126, 'y'));
    write_message(message.get(), long_text.c_str());
    EXPECT_EQ(message.str(), std::string(127, 'y'));
}

// The box's number: digits, a '.' fraction and an 'e' exponent, with white
// space and a sign before it; it ends at anything else, a decimal comma too.
// Hex, inf, nan and a 'd' exponent, which one C runtime or another reads,
// end it as anything else does, on Linux and under Wine alike.
TEST(Flowrate, ReadsTheLeadingNumberOfTheCutText) {
    struct row {
        const char* text;
        int length;
        int cut;
        double expected;
    };
    const row rows[] = {
        {"12.5", 4, 7, 12.5}, {"12.5", 4, 2, 12.0}, {"12.5", 0, 7, 0.0}, {"1.5e2", 5, 5, 150.0},
        {"abc", 3, 3, 0.0}, {" -3.25", 6, 7, -3.25}, {"+2.5", 4, 4, 2.5}, {"12,5", 4, 7, 12.0},
        {"0x1A", 4, 4, 0.0}, {"inf", 3, 3, 0.0}, {"nan", 3, 3, 0.0}, {"1d2", 3, 3, 1.0},
        {"1e", 2, 2, 1.0}, {"1e+", 3, 3, 1.0}, {"e5", 2, 2, 0.0}, {".5", 2, 2, 0.5},
        // Outside 0..7: clamped, never copied past the working copy.
        {"123456789", 9, 9, 1234567.0}, {"12", -1, 5, 0.0},
    };
    for (const row& r : rows) {
        EXPECT_DOUBLE_EQ(wq_convert_flowrate_to_double(r.text, r.length, r.cut), r.expected)
            << r.text << " " << r.length << " " << r.cut;
    }
}

}  // namespace
