// The 128-byte usage-log entry and how it is handed to the host.
#pragma once

#include <cstddef>

inline constexpr std::size_t usage_record_size = 128;

// Per-entry status returned by the download operations.
inline constexpr int usage_status_entry = 0;         // water or expected product entry
inline constexpr int usage_status_other = 1;         // only number and text carry data
inline constexpr int usage_status_empty_slot = 2;    // key is 32 '0' characters
inline constexpr int usage_status_product = 3;       // product entry, not expected
inline constexpr int usage_status_bad_number = 9;    // number check failed

// Sizes the host's eight entry outputs have, in parameter order.
inline constexpr std::size_t usage_entry_number_size = 32;
inline constexpr std::size_t usage_water_value_size = 16;
inline constexpr std::size_t usage_text_size = 32;
inline constexpr std::size_t usage_small_value_size = 8;
inline constexpr std::size_t usage_entry_key_size = 40;

struct usage_outputs {
    char* entry_number;     // 32 bytes
    char* water_value;      // 16 bytes
    char* usage_text;       // 32 bytes
    char* product_value_1;  // 8 bytes
    char* product_value_2;  // 8 bytes
    char* water_value_2;    // 8 bytes
    char* water_value_3;    // 8 bytes
    char* entry_key;        // 40 bytes
};

// Writes the English usage text of `usage_code` with its zero byte.
void util_get_tapusage_string(char* text_out, int usage_code, int water_variant);

// Unpacks one record into the outputs and returns the per-entry status.
// `number_check` makes a non-digit entry number read "0" with status 9.
int util_unpack_usage_record(const unsigned char* record, int product_mode, int water_variant,
                             const usage_outputs& outputs, bool number_check);
