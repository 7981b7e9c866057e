// What the two links' firmware updates share: the control values as the box
// takes them, and the text of a completed update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/messages.h"
#include "text/little_endian.h"

// Each 32-bit control value travels zero-extended to 8 bytes, little-endian.
inline constexpr std::size_t ota_control_value_bytes = 8;
inline constexpr std::size_t ota_control_block_size = 2 * ota_control_value_bytes;

inline void ota_put_control_block(unsigned char* block, std::uint32_t control1,
                                  std::uint32_t control2) {
    put_little_endian(block, control1, ota_control_value_bytes);
    put_little_endian(block + ota_control_value_bytes, control2, ota_control_value_bytes);
}

constexpr wq_text text_ota_done = {"OTA programming successfully done!",
                                   "OTA-Programmierung erfolgreich abgeschlossen!"};
