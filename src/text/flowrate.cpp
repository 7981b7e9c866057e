// wq_convert_flowrate_to_double: the host's conversion of a value text.
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

}  // namespace

extern "C" double wq_convert_flowrate_to_double(const char* text, int length, int cut) noexcept {
    char working[working_copy_size] = {};
    const int taken = clamp_position(length);
    std::memcpy(working, text, static_cast<std::size_t>(taken));
    working[taken] = '\0';
    working[clamp_position(cut)] = '\0';
    // atof as the "C" locale reads it: a host that set another locale
    // must not turn "12.5" into 12.
    return plat_c_strtod(working);
}
