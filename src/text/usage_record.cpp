#include "text/usage_record.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <cstring>


namespace {

// Field offsets and widths inside the record.
struct field {
    std::size_t offset;
    std::size_t width;
};
constexpr field entry_key_field = {0, 32};
constexpr field entry_number_field = {32, 32};
constexpr field water_value_field = {64, 16};
constexpr field usage_code_field = {80, 16};
constexpr field product_value_1_field = {96, 8};
constexpr field product_value_2_field = {104, 8};
constexpr field water_value_2_field = {112, 8};
constexpr field water_value_3_field = {120, 8};

constexpr char empty_slot_digit = '0';
constexpr int water_variant_ambient = 2;
constexpr int product_mode_expected = 1;

constexpr const char* usage_texts[] = {
    "Usage",                 // 0
    "Stagnation Flush",      // 1
    "Thermal disinfection",  // 2
    "Soap",                  // 3
    "Soap Flush",            // 4
    "Soap Prime",            // 5
    "Disinfectant",          // 6
    "Disinfectant Flush",    // 7
    "Disinfectant Prime",    // 8
    "Syrup 1",               // 9
    "Syrup 2",               // 10
    "Chilled Water",         // 11
    "Carbonated Water",      // 12 (ambient in the other water variant)
    "Unsupported Usage",     // 13
    "Unsupported Usage",     // 14
    "Unsupported Usage",     // 15
    "Unsupported Usage",     // 16
    "Stagnation Flush",      // 17
};
constexpr const char* usage_text_ambient_water = "Ambient Water";
constexpr const char* usage_text_unsupported = "Unsupported Usage";
constexpr int usage_code_water_variant = 12;

enum class entry_group { water, product, other };

entry_group group_of(int usage_code) {
    switch (usage_code) {
        case 0: case 1: case 2: case 11: case 12: case 17: case 18:
            return entry_group::water;
        case 3: case 6: case 9: case 10:
            return entry_group::product;
        default:
            return entry_group::other;
    }
}

// Copies a text field into an output of at least the field's width. A field
// that fills its width without a zero byte is cut to width - 1 characters so
// the output always stays terminated.
void copy_text_field(char* out, const unsigned char* record, field f) {
    const char* text = reinterpret_cast<const char*>(record + f.offset);
    std::size_t length = 0;
    while (length < f.width - 1 && text[length] != '\0') ++length;
    std::memcpy(out, text, length);
}

// The usage code as atoi reads it, but never reading past its own field and
// with a value beyond int's range held at its end instead of undefined.
int read_usage_code(const unsigned char* record) {
    char text[usage_code_field.width + 1] = {};
    std::memcpy(text, record + usage_code_field.offset, usage_code_field.width);
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

bool entry_number_is_digits(const unsigned char* record) {
    const unsigned char* number = record + entry_number_field.offset;
    for (std::size_t i = 0; i < entry_number_field.width && number[i] != '\0'; ++i) {
        if (number[i] < '0' || number[i] > '9') return false;
    }
    return true;
}

bool is_empty_slot(const unsigned char* record) {
    for (std::size_t i = 0; i < entry_key_field.width; ++i) {
        if (record[entry_key_field.offset + i] != empty_slot_digit) return false;
    }
    return true;
}

void clear_outputs(const usage_outputs& out) {
    std::memset(out.entry_number, 0, usage_entry_number_size);
    std::memset(out.water_value, 0, usage_water_value_size);
    std::memset(out.usage_text, 0, usage_text_size);
    std::memset(out.product_value_1, 0, usage_small_value_size);
    std::memset(out.product_value_2, 0, usage_small_value_size);
    std::memset(out.water_value_2, 0, usage_small_value_size);
    std::memset(out.water_value_3, 0, usage_small_value_size);
    std::memset(out.entry_key, 0, usage_entry_key_size);
}

}  // namespace

void util_get_tapusage_string(char* text_out, int usage_code, int water_variant) {
    // Compared unsigned, so every negative code falls to the default text.
    const auto index = static_cast<unsigned int>(usage_code);
    const char* text = usage_text_unsupported;
    if (index < std::size(usage_texts)) text = usage_texts[index];
    if (usage_code == usage_code_water_variant && water_variant == water_variant_ambient) {
        text = usage_text_ambient_water;
    }
    std::memcpy(text_out, text, std::strlen(text) + 1);
}

int util_unpack_usage_record(const unsigned char* record, int product_mode, int water_variant,
                             const usage_outputs& out, bool number_check) {
    clear_outputs(out);

    bool number_failed = false;
    if (number_check && !entry_number_is_digits(record)) {
        std::memcpy(out.entry_number, "0", 2);
        number_failed = true;
    } else {
        copy_text_field(out.entry_number, record, entry_number_field);
    }

    const int usage_code = read_usage_code(record);
    util_get_tapusage_string(out.usage_text, usage_code, water_variant);

    int status = usage_status_other;
    switch (group_of(usage_code)) {
        case entry_group::water:
            copy_text_field(out.water_value, record, water_value_field);
            copy_text_field(out.water_value_2, record, water_value_2_field);
            copy_text_field(out.water_value_3, record, water_value_3_field);
            std::memcpy(out.product_value_1, "0", 2);
            std::memcpy(out.product_value_2, "0", 2);
            status = usage_status_entry;
            break;
        case entry_group::product:
            copy_text_field(out.product_value_1, record, product_value_1_field);
            copy_text_field(out.product_value_2, record, product_value_2_field);
            std::memcpy(out.water_value, "0", 2);
            std::memcpy(out.water_value_2, "0", 2);
            std::memcpy(out.water_value_3, "0", 2);
            status = product_mode == product_mode_expected ? usage_status_entry
                                                           : usage_status_product;
            break;
        case entry_group::other:
            break;
    }

    if (is_empty_slot(record)) return usage_status_empty_slot;
    if (number_failed) return usage_status_bad_number;
    std::memcpy(out.entry_key, record + entry_key_field.offset, entry_key_field.width);
    return status;
}
