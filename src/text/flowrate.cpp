// wq_convert_flowrate_to_double: the host's conversion of a value text.
#include <cctype>
#include <charconv>
#include <cstring>

#include "wq.h"

namespace {

// A value field holds at most 7 characters; the working copy has room for
// them and a zero byte.
constexpr int working_copy_size = 8;
constexpr int max_characters = working_copy_size - 1;

int clamp_position(int position) {
    // Positions outside 0..7 are outside the interface; clamping keeps the
    // copy and the two terminators inside the working copy.
    if (position < 0) return 0;
    if (position > max_characters) return max_characters;
    return position;
}

// Reads the number at the start of `text` as atof does, but always with '.'
// as the decimal point, whatever locale the host program has set.
double leading_number(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (*text == '+' || *text == '-') return 0.0;  // one sign at most
    double value = 0.0;
    const char* end = text + std::strlen(text);
    const auto result = std::from_chars(text, end, value, std::chars_format::general);
    if (result.ec != std::errc{}) return 0.0;
    return negative ? -value : value;
}

}  // namespace

extern "C" double wq_convert_flowrate_to_double(const char* text, int length, int cut) noexcept {
    char working[working_copy_size] = {};
    const int taken = clamp_position(length);
    std::memcpy(working, text, static_cast<std::size_t>(taken));
    working[taken] = '\0';
    working[clamp_position(cut)] = '\0';
    return leading_number(working);
}
