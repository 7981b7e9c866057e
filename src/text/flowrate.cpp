// wq_convert_flowrate_to_double: the host's conversion of a value text.
#include <cstddef>
#include <cstring>

#include "platform/c_locale.h"
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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_sign(char c) { return c == '+' || c == '-'; }

const char* skip_digits(const char* p) {
    while (is_digit(*p)) ++p;
    return p;
}

// How many characters of `text` the box's number takes: white space, an
// optional sign, digits with an optional '.' fraction (a digit on at least
// one side of the point), and an optional exponent 'e' or 'E' with its own
// optional sign and at least one digit. 0 when no number starts the text.
// The C runtimes read more than that, each its own way (glibc hex, "inf"
// and "nan"; msvcrt a 'd' exponent), so the number is cut out first and
// the runtime only converts what every platform reads alike.
std::size_t number_length(const char* text) {
    const char* p = text;
    while (is_space(*p)) ++p;
    if (is_sign(*p)) ++p;
    const char* integer_end = skip_digits(p);
    const char* end = integer_end;
    if (*end == '.') end = skip_digits(end + 1);
    const bool has_digits = integer_end > p || end > integer_end + 1;
    if (!has_digits) return 0;
    if (*end == 'e' || *end == 'E') {
        const char* exponent = end + 1;
        if (is_sign(*exponent)) ++exponent;
        if (is_digit(*exponent)) end = skip_digits(exponent);
    }
    return static_cast<std::size_t>(end - text);
}

}  // namespace

extern "C" double wq_convert_flowrate_to_double(const char* text, int length, int cut) noexcept {
    char working[working_copy_size] = {};
    const int taken = clamp_position(length);
    std::memcpy(working, text, static_cast<std::size_t>(taken));
    working[taken] = '\0';
    working[clamp_position(cut)] = '\0';
    working[number_length(working)] = '\0';
    // Converted as the "C" locale reads it: a host that set another locale
    // must not turn "12.5" into 12.
    return plat_c_strtod(working);
}
