#include "records/settings_record.h"

#include <cstring>

#include "text/messages.h"
#include "text/little_endian.h"

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
    put_little_endian(record + field.offset, value, field.size);
}

std::uint32_t settings_get_number(const unsigned char* record, settings_field field) {
    return static_cast<std::uint32_t>(get_little_endian(record + field.offset, field.size));
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

namespace {

// The plain text fields: their mask bit, their place, the host text that
// fills them, and whether the host keeps that text in UTF-8 (stored as single
// bytes) or already in the box's single bytes (stored as passed).
struct text_field_rule {
    std::uint32_t bit;
    settings_field settings_layout::*field;
    const char* settings_input::*text;
    bool from_utf8;
};
constexpr text_field_rule text_field_rules[] = {
    {settings_bit_text_1, &settings_layout::text_1, &settings_input::text_1, true},
    {settings_bit_text_2, &settings_layout::text_2, &settings_input::text_2, true},
    {settings_bit_text_3, &settings_layout::text_3, &settings_input::text_3, false},
    {settings_bit_text_4, &settings_layout::text_4, &settings_input::text_4, true},
    {settings_bit_text_5, &settings_layout::text_5, &settings_input::text_5, true},
    {settings_bit_text_6, &settings_layout::text_6, &settings_input::text_6, false},
    {settings_bit_text_8, &settings_layout::text_8, &settings_input::text_8, false},
};

// Room for a 16-bit value in decimal and its zero byte.
constexpr std::size_t choice_number_text_size = 6;
// Room for any decimal 64-bit value with its sign and zero byte; a text
// longer than its field is cut to the field minus its zero byte.
constexpr std::size_t value_text_size = 24;

// A number as the layout carries it: binary, or its signed decimal text.
void put_value(unsigned char* record, const settings_layout& layout, settings_field field,
               long long value) {
    if (!layout.numbers_as_text) {
        settings_put_number(record, field, static_cast<std::uint32_t>(value));
        return;
    }
    char text[value_text_size] = {};
    decimal_text(value, text, sizeof text);
    settings_put_text(record, field, text);
}

}  // namespace

std::uint32_t settings_put_texts(unsigned char* record, const settings_layout& layout,
                                 const settings_input& in) {
    std::uint32_t mask = 0;
    for (const text_field_rule& rule : text_field_rules) {
        const settings_field field = layout.*rule.field;
        if ((in.fields & rule.bit) == 0 || !settings_has(field)) continue;
        if (rule.from_utf8) {
            settings_put_converted_text(record, field, in.*rule.text);
        } else {
            settings_put_text(record, field, in.*rule.text);
        }
        mask |= rule.bit;
    }
    if ((in.fields & settings_bit_text_7) != 0) {
        settings_put_text(record, layout.text_7, in.text_7);
        settings_copy_text_7_start(record, layout);
        mask |= settings_bit_text_7 | settings_bit_text_7_head | settings_bit_address_3;
    }
    return mask;
}

std::uint32_t settings_put_numbers(unsigned char* record, const settings_layout& layout,
                                   const settings_input& in, std::uint32_t mask) {
    const auto selected = [&](std::uint32_t bit, settings_field field) {
        const bool take = (in.fields & bit) != 0 && settings_has(field);
        if (take) mask |= bit;
        return take;
    };
    if (selected(settings_bit_number, layout.number)) {
        if (layout.numbers_as_text) {
            settings_put_text(record, layout.number, in.number);
        } else {
            settings_put_number(record, layout.number, decimal_text_low_16(in.number));
        }
    }
    if (selected(settings_bit_mode, layout.mode)) put_value(record, layout, layout.mode, in.mode);
    mask |= settings_put_choice(record, layout, in.choice, in.choice_byte, in.choice_number);
    put_value(record, layout, layout.one, 1);
    mask |= settings_bit_one;
    put_value(record, layout, layout.mask, mask);
    return mask;
}

void settings_get_texts(const unsigned char* record, const settings_layout& layout,
                        const settings_output& out) {
    settings_get_text(record, layout.text_1, out.text_1);
    settings_get_text(record, layout.text_2, out.text_2);
    settings_get_text(record, layout.text_3, out.text_3);
    settings_get_text(record, layout.text_4, out.text_4);
    settings_get_text(record, layout.text_5, out.text_5);
    settings_get_text(record, layout.text_6, out.text_6);
    settings_get_text(record, layout.text_7, out.text_7);
    settings_get_text(record, layout.text_8, out.text_8);  // nothing when the layout has none
    decimal_text(settings_get_number(record, layout.choice_number), out.choice_number,
                 choice_number_text_size);
}
