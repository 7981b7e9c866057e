#include "settings.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace wqbox {
namespace {

constexpr std::size_t absent = ~std::size_t{0};
constexpr std::size_t layout_count = 3;

std::size_t index_of(record_layout layout) { return static_cast<std::size_t>(layout); }

// Where a byte field stands in each layout (short, standard, safe).
struct text_slot {
    text_id id;
    std::uint32_t bit;
    std::size_t offset[layout_count];
    std::size_t width[layout_count];
};

constexpr text_slot text_slots[] = {
    {text_1, 0x0001, {0, 0, 64}, {32, 32, 32}},
    {text_2, 0x0002, {32, 32, 96}, {32, 32, 32}},
    {text_3, 0x0004, {64, 64, 160}, {32, 32, 32}},
    {text_4, 0x0008, {96, 96, 0}, {64, 64, 64}},
    {text_7_head, 0x0010, {160, 160, 360}, {6, 6, 6}},
    {address_3, 0x0020, {168, 168, 128}, {32, 32, 32}},
    {text_5, 0x0080, {216, 216, 192}, {32, 32, 32}},
    {text_6, 0x0100, {248, 248, 224}, {32, 32, 32}},
    {text_7, 0x0800, {280, 280, 320}, {48, 48, 40}},
    {text_8, 0x1000, {absent, 328, 256}, {0, 32, 32}},
};

// The choice fields are binary in every layout.
constexpr std::size_t choice_offset[layout_count] = {200, 200, 288};
constexpr std::size_t choice_byte_step = 1;
constexpr std::size_t choice_number_step = 2;

// A number: binary little-endian 32-bit in the serial formats and the
// standard layout, decimal text of the field's width in the safe layout.
struct number_slot {
    std::uint32_t bit;
    std::size_t offset[layout_count];
    std::size_t width[layout_count];
};
constexpr number_slot one_field = {bit_one, {328, 360, 368}, {4, 4, 4}};
constexpr number_slot number_field = {bit_number, {332, 364, 372}, {4, 4, 4}};
constexpr number_slot mode_field = {bit_mode, {absent, 368, 376}, {0, 4, 8}};
constexpr number_slot mask_field = {0, {336, 372, 304}, {4, 4, 16}};

constexpr std::uint32_t short_mask = 0x0FFF;
constexpr std::uint32_t long_mask = 0x3FFF;

bool is_text_layout(record_layout layout) { return layout == record_layout::safe; }

void put_le32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t get_le32(const unsigned char* at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

// Decimal text cut to the field: a value too long for it loses its last
// digits (the safe `number` field holds four characters, so 10000 and above
// cannot travel whole in that layout).
void put_decimal(unsigned char* at, std::size_t width, std::int64_t value) {
    const std::string digits = std::to_string(value);
    std::memcpy(at, digits.data(), std::min(width, digits.size()));
}

// Reads a decimal text the way atoi does, never past the field.
std::int64_t get_decimal(const unsigned char* at, std::size_t width) {
    std::size_t i = 0;
    while (i < width && (at[i] == ' ' || at[i] == '\t')) ++i;
    bool negative = false;
    if (i < width && (at[i] == '-' || at[i] == '+')) negative = at[i++] == '-';
    std::int64_t value = 0;
    for (; i < width && at[i] >= '0' && at[i] <= '9'; ++i) {
        value = value * 10 + (at[i] - '0');
        if (value > 0xFFFFFFFFLL) break;
    }
    return negative ? -value : value;
}

void put_number(unsigned char* record, record_layout layout, const number_slot& slot,
                std::int64_t value) {
    const std::size_t offset = slot.offset[index_of(layout)];
    if (offset == absent) return;
    if (is_text_layout(layout)) {
        put_decimal(record + offset, slot.width[index_of(layout)], value);
    } else {
        put_le32(record + offset, static_cast<std::uint32_t>(value));
    }
}

std::int64_t get_number(const unsigned char* record, record_layout layout,
                        const number_slot& slot) {
    const std::size_t offset = slot.offset[index_of(layout)];
    if (is_text_layout(layout)) return get_decimal(record + offset, slot.width[index_of(layout)]);
    return get_le32(record + offset);
}

bool carries(record_layout layout, const number_slot& slot) {
    return slot.offset[index_of(layout)] != absent;
}

}  // namespace

std::size_t record_size(record_layout layout) {
    switch (layout) {
        case record_layout::serial_short: return wire::short_record_size;
        case record_layout::standard: return wire::standard_record_size;
        case record_layout::safe: return wire::safe_record_size;
    }
    return wire::standard_record_size;
}

std::uint32_t full_mask(record_layout layout) {
    return layout == record_layout::serial_short ? short_mask : long_mask;
}

std::vector<unsigned char> encode_settings(const box_settings& settings, record_layout layout) {
    std::vector<unsigned char> record(record_size(layout), 0);
    const std::size_t l = index_of(layout);
    for (const text_slot& slot : text_slots) {
        if (slot.offset[l] == absent) continue;
        std::memcpy(record.data() + slot.offset[l], settings.text[slot.id].data(), slot.width[l]);
    }
    record[choice_offset[l]] = settings.choice;
    record[choice_offset[l] + choice_byte_step] = settings.choice_byte;
    record[choice_offset[l] + choice_number_step] = static_cast<unsigned char>(settings.choice_number);
    record[choice_offset[l] + choice_number_step + 1] =
        static_cast<unsigned char>(settings.choice_number >> 8);
    put_number(record.data(), layout, one_field, settings.one);
    put_number(record.data(), layout, number_field, settings.number);
    put_number(record.data(), layout, mode_field, settings.mode);
    put_number(record.data(), layout, mask_field, full_mask(layout));
    return record;
}

std::uint32_t apply_settings_record(box_settings& settings, const unsigned char* record,
                                    record_layout layout) {
    const std::size_t l = index_of(layout);
    const auto mask = static_cast<std::uint32_t>(get_number(record, layout, mask_field));
    for (const text_slot& slot : text_slots) {
        if (slot.offset[l] == absent || !(mask & slot.bit)) continue;
        auto& field = settings.text[slot.id];
        field.fill(0);
        std::memcpy(field.data(), record + slot.offset[l], slot.width[l]);
    }
    if (mask & bit_choice) {
        settings.choice = record[choice_offset[l]];
        settings.choice_byte = record[choice_offset[l] + choice_byte_step];
        settings.choice_number = static_cast<std::uint16_t>(
            record[choice_offset[l] + choice_number_step] |
            (record[choice_offset[l] + choice_number_step + 1] << 8));
    }
    if (mask & one_field.bit) {
        settings.one = static_cast<std::uint32_t>(get_number(record, layout, one_field));
    }
    if (mask & number_field.bit) {
        settings.number = static_cast<std::uint32_t>(get_number(record, layout, number_field));
    }
    if ((mask & mode_field.bit) && carries(layout, mode_field)) {
        settings.mode = static_cast<std::int32_t>(get_number(record, layout, mode_field));
    }
    return mask;
}

std::string field_text(const box_settings& settings, text_id id) {
    const auto& field = settings.text[id];
    const auto end = std::find(field.begin(), field.end(), 0);
    return std::string(field.begin(), end);
}

void set_field_text(box_settings& settings, text_id id, const std::string& text) {
    auto& field = settings.text[id];
    field.fill(0);
    std::memcpy(field.data(), text.data(), std::min(text.size(), field.size() - 1));
}

box_settings default_settings() {
    // Factory values of a freshly installed fitting.
    constexpr std::size_t head_size = 6;
    constexpr std::size_t address_copy_size = 14;
    box_settings s;
    set_field_text(s, text_1, "Kitchen tap");
    set_field_text(s, text_2, "Building A");
    set_field_text(s, text_3, "Floor 2");
    set_field_text(s, text_4, "Chilled and sparkling water, soap");
    set_field_text(s, text_5, "Facility service");
    set_field_text(s, text_6, "service");
    set_field_text(s, text_7, "192.168.10.20");
    set_field_text(s, text_8, "default");
    std::memcpy(s.text[text_7_head].data(), s.text[text_7].data(), head_size);
    std::memcpy(s.text[address_3].data(), s.text[text_7].data(), address_copy_size);
    s.choice = 1;
    s.number = 300;
    s.mode = 0;
    return s;
}

}  // namespace wqbox
