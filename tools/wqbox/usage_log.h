// The box's usage log: one 128-byte record of text fields per use.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "wire.h"

namespace wqbox {

using usage_record = std::array<unsigned char, wire::usage_record_size>;

// The usage codes the box logs, 0 to 18 (13 to 16 and 18 have no name of
// their own on the host side, but the box logs them all the same).
inline constexpr int highest_usage_code = 18;

// A log of `count` entries, the same every run: the codes 0 to 18 in turn,
// with every tenth slot empty, so 21 entries or more cover every code.
std::vector<usage_record> make_usage_log(std::size_t count);
// The record of an empty slot: an entry key of 32 '0' characters.
usage_record empty_slot_record(std::size_t entry_number);
bool is_empty_slot(const usage_record& record);

// A field of a record as text, up to its first zero byte (or its width).
enum class usage_field { key, entry_number, water_value, usage_code, product_value_1,
                         product_value_2, water_value_2, water_value_3 };
std::string usage_field_text(const usage_record& record, usage_field field);

}  // namespace wqbox
