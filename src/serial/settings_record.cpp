#include "serial/settings_record.h"

#include <cstring>

#include "text/messages.h"

namespace {

// Host texts in UTF-8 are converted in a scratch buffer of this size. The
// conversion writes up to two bytes more than the text is long, so the text
// is taken at most this long; that is still more than any field holds.
constexpr std::uint32_t conversion_scratch_size = 140;
constexpr std::size_t conversion_input_max = conversion_scratch_size - 2;

// strlen that looks at no more than `limit` bytes.
std::size_t bounded_length(const char* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void settings_put_text(unsigned char* record, settings_field field, const char* text) {
    if (!settings_has(field)) return;
    std::memset(record + field.offset, 0, field.size);
    std::memcpy(record + field.offset, text, bounded_length(text, field.size - 1));
}

void settings_put_converted_text(unsigned char* record, settings_field field, const char* utf8) {
    char input[conversion_input_max + 1] = {};
    std::memcpy(input, utf8, bounded_length(utf8, conversion_input_max));
    char converted[conversion_scratch_size];
    util_convert_multibyte_char(converted, input, sizeof converted);
    settings_put_text(record, field, converted);
}

void settings_get_text(const unsigned char* record, settings_field field, char* out) {
    if (!settings_has(field)) return;
    const char* text = reinterpret_cast<const char*>(record + field.offset);
    const std::size_t length = bounded_length(text, field.size - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
}

void settings_put_number(unsigned char* record, settings_field field, std::uint32_t value) {
    for (std::size_t i = 0; i < field.size; ++i) {
        record[field.offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint32_t settings_get_number(const unsigned char* record, settings_field field) {
    std::uint32_t value = 0;
    for (std::size_t i = field.size; i > 0; --i) {
        value = (value << 8) | record[field.offset + i - 1];
    }
    return value;
}

void settings_copy_text_7_start(unsigned char* record, const settings_layout& layout) {
    const unsigned char* text_7 = record + layout.text_7.offset;
    std::memcpy(record + layout.text_7_head.offset, text_7, settings_text_7_head_copy);
    std::memset(record + layout.address_3.offset, 0, layout.address_3.size);
    std::memcpy(record + layout.address_3.offset, text_7, settings_address_3_copy);
}

std::uint32_t settings_put_choice(unsigned char* record, const settings_layout& layout,
                                  std::uint32_t choice, int choice_byte,
                                  const char* choice_number) {
    if (choice > settings_choice_last) return 0;
    settings_put_number(record, layout.choice, choice);
    if (choice == settings_choice_with_values) {
        settings_put_number(record, layout.choice_byte, static_cast<std::uint8_t>(choice_byte));
        settings_put_number(record, layout.choice_number, decimal_text_low_16(choice_number));
    } else {
        settings_put_number(record, layout.choice_byte, 0);
        settings_put_number(record, layout.choice_number, 0);
    }
    return settings_bit_choice;
}

// Digits are gathered modulo 2^32, which keeps the low 16 bits exact however
// long the text is, without the overflow a plain int would have.
std::uint16_t decimal_text_low_16(const char* text) {
    while (is_blank(*text)) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<std::uint16_t>(value);
}
