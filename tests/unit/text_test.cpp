// Messages and the text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "text/messages.h"
#include "wq.h"

namespace {

std::string as_string(const char* buffer, std::size_t length) { return std::string(buffer, length); }

TEST(DeuCharFix, MapsTheSixDosLettersAndNothingElse) {
    struct row {
        const char* source;
        const char* expected;
    };
    const row rows[] = {
        {"", ""},
        {"\x81\x84\x8E\x94\x99\x9A", "\xFC\xE4\xC4\xF6\xD6\xDC"},
        {"\xE1", "\xE1"},  // the DOS sharp s is not in the table
        {"Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen",
         "Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen"},
        {"a\x81z", "a\xFCz"},
    };
    for (const row& r : rows) {
        char out[128];
        std::memset(out, 'X', sizeof out);
        util_deu_char_fix(out, r.source);
        EXPECT_STREQ(out, r.expected);
        EXPECT_EQ(out[std::strlen(r.expected) + 1], 'X') << "wrote past the terminator";
    }
}

TEST(ConvertMultibyte, PairsBytesAndEndsWithTwoZeros) {
    struct row {
        std::string source;
        std::string expected;  // including the two trailing zeros
    };
    const row rows[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e", std::string("Gr\xFC\xDF" "e\0\0", 7)},
        {"ABC", std::string("ABC\0\0", 5)},
        {"", std::string("\0\0", 2)},
        // A lead byte last: combined with the terminator, and the walk stops.
        {"A\xC3", std::string("A\xC0\0\0", 4)},
        // Beyond U+00FF: bytes are paired off, two making one.
        {"\xE2\x82\xAC", std::string("\x82\0\0\0", 4)},
    };
    for (const row& r : rows) {
        char out[140];
        std::memset(out, 'X', sizeof out);
        util_convert_multibyte_char(out, r.source.c_str(), sizeof out);
        EXPECT_EQ(as_string(out, r.expected.size()), r.expected) << r.source;
        for (std::size_t i = r.expected.size(); i < sizeof out; ++i) ASSERT_EQ(out[i], 0);
    }
}

TEST(ConvertMultibyte, ReadsNothingBeyondTheTerminator) {
    // Exactly sized source: ASan reports a read past its end.
    char* source = new char[2]{'\xC3', '\0'};
    char out[4];
    util_convert_multibyte_char(out, source, sizeof out);
    EXPECT_EQ(out[0], '\xC0');
    delete[] source;
}

TEST(MemFill, FillsCountBytesAndNothingForZeroOrLess) {
    char buffer[8];
    std::memset(buffer, 'a', sizeof buffer);
    util_mem_fill(buffer, 3, 'b');
    util_mem_fill(buffer + 4, 0, 'c');
    util_mem_fill(buffer + 4, -5, 'c');
    EXPECT_EQ(as_string(buffer, 8), "bbbaaaaa");
}

TEST(Messages, ReplaceAppendAndStayInsideTheBuffer) {
    char message[wq_message_size];
    std::memset(message, 'X', sizeof message);
    write_message(message, "A long earlier message");
    write_message(message, "Short");
    EXPECT_STREQ(message, "Short");

    write_message(message, wq_text_port_open_failed, 1);
    EXPECT_STREQ(message, "Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen");
    write_message(message, wq_text_port_open_failed, 0);
    EXPECT_STREQ(message, "Unable Open Port. Please Check Connections");

    write_message(message, "Socket Call Failed: ");
    append_error_code(message, 10061);
    EXPECT_STREQ(message, "Socket Call Failed: 10061");

    const std::string long_text(300, 'y');
    write_message(message, "x");
    append_message(message, long_text.c_str());
    EXPECT_EQ(std::strlen(message), wq_message_size - 1);
    write_message(message, long_text.c_str());
    EXPECT_EQ(std::strlen(message), wq_message_size - 1);
}

TEST(Flowrate, ReadsTheLeadingNumberOfTheCutText) {
    struct row {
        const char* text;
        int length;
        int cut;
        double expected;
    };
    const row rows[] = {
        {"12.5", 4, 7, 12.5}, {"12.5", 4, 2, 12.0}, {"12.5", 0, 7, 0.0},
        {"1.5e2", 5, 5, 150.0}, {"abc", 3, 3, 0.0}, {" -3.25", 6, 7, -3.25},
        {"+7", 2, 7, 7.0}, {"--7", 3, 7, 0.0}, {"4.5xyz", 6, 7, 4.5},
        // Outside 0..7: clamped, never copied past the working copy.
        {"123456789", 9, 9, 1234567.0}, {"12", -1, 5, 0.0},
    };
    for (const row& r : rows) {
        EXPECT_DOUBLE_EQ(wq_convert_flowrate_to_double(r.text, r.length, r.cut), r.expected)
            << r.text << " " << r.length << " " << r.cut;
    }
}

}  // namespace
