#include "usage_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace wqbox {
namespace {

struct field_place {
    std::size_t offset;
    std::size_t width;
};

// Indexed by usage_field.
constexpr field_place field_places[] = {
    {0, 32}, {32, 32}, {64, 16}, {80, 16}, {96, 8}, {104, 8}, {112, 8}, {120, 8},
};
constexpr std::size_t key_size = 32;
constexpr char empty_key_digit = '0';
constexpr std::size_t empty_slot_period = 10;
constexpr int usage_code_count = highest_usage_code + 1;

enum class entry_group { water, product, other };

entry_group group_of(int code) {
    switch (code) {
        case 0: case 1: case 2: case 11: case 12: case 17: case 18: return entry_group::water;
        case 3: case 6: case 9: case 10: return entry_group::product;
        default: return entry_group::other;
    }
}

const field_place& place(usage_field field) { return field_places[static_cast<int>(field)]; }

// Writes a text field with its terminating zero, never past width - 1
// characters.
void put_field(usage_record& record, usage_field field, const std::string& text) {
    const field_place& p = place(field);
    std::memcpy(record.data() + p.offset, text.data(), std::min(text.size(), p.width - 1));
}

// A small deterministic generator, so that every run logs the same values.
unsigned next_random(unsigned& seed) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
}

std::string entry_key(std::size_t entry_number, unsigned& seed) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string key;
    // A serial of the fitting, then the entry's own part.
    for (std::size_t i = 0; i < key_size; ++i) key += hex[next_random(seed) & 0xF];
    key[0] = 'W';
    key[1] = 'Q';
    key[key_size - 1] = hex[entry_number & 0xF];
    return key;
}

std::string decimal(unsigned whole, unsigned tenths) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u", whole, tenths % 10);
    return text;
}

usage_record used_entry(std::size_t entry_number, int code, unsigned& seed) {
    usage_record record{};
    const std::string key = entry_key(entry_number, seed);
    std::memcpy(record.data(), key.data(), key_size);  // the key has no terminator
    put_field(record, usage_field::entry_number, std::to_string(entry_number));
    put_field(record, usage_field::usage_code, std::to_string(code));
    switch (group_of(code)) {
        case entry_group::water:
            // litres drawn, seconds open, water temperature
            put_field(record, usage_field::water_value, decimal(next_random(seed) % 3, next_random(seed)));
            put_field(record, usage_field::water_value_2, std::to_string(2 + next_random(seed) % 60));
            put_field(record, usage_field::water_value_3, decimal(8 + next_random(seed) % 60, next_random(seed)));
            break;
        case entry_group::product:
            // millilitres dosed, strokes
            put_field(record, usage_field::product_value_1, decimal(1 + next_random(seed) % 5, next_random(seed)));
            put_field(record, usage_field::product_value_2, std::to_string(1 + next_random(seed) % 4));
            break;
        case entry_group::other:
            break;
    }
    return record;
}

}  // namespace

usage_record empty_slot_record(std::size_t entry_number) {
    usage_record record{};
    std::memset(record.data(), empty_key_digit, key_size);
    put_field(record, usage_field::entry_number, std::to_string(entry_number));
    put_field(record, usage_field::usage_code, "0");
    return record;
}

bool is_empty_slot(const usage_record& record) {
    return std::all_of(record.begin(), record.begin() + key_size,
                       [](unsigned char b) { return b == empty_key_digit; });
}

std::vector<usage_record> make_usage_log(std::size_t count) {
    std::vector<usage_record> log;
    unsigned seed = 20240607u;
    int code = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry_number = i + 1;
        if (i % empty_slot_period == empty_slot_period - 1) {
            log.push_back(empty_slot_record(entry_number));
            continue;
        }
        log.push_back(used_entry(entry_number, code, seed));
        code = (code + 1) % usage_code_count;
    }
    return log;
}

std::string usage_field_text(const usage_record& record, usage_field field) {
    const field_place& p = place(field);
    const auto begin = record.begin() + static_cast<std::ptrdiff_t>(p.offset);
    const auto end = begin + static_cast<std::ptrdiff_t>(p.width);
    return std::string(begin, std::find(begin, end, 0));
}

}  // namespace wqbox
