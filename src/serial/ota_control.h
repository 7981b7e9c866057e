// What the two links' firmware updates share: the control values as the box
// takes them, and the text of a completed update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/messages.h"

// Each 32-bit control value travels zero-extended to 8 bytes, little-endian.
inline constexpr std::size_t ota_control_value_bytes = 8;
inline constexpr std::size_t ota_control_block_size = 2 * ota_control_value_bytes;

inline void ota_put_control_block(unsigned char* block, std::uint32_t control1,
                                  std::uint32_t control2) {
    const std::uint64_t values[] = {control1, control2};
    for (std::size_t v = 0; v < 2; ++v) {
        for (std::size_t i = 0; i < ota_control_value_bytes; ++i) {
            block[v * ota_control_value_bytes + i] = static_cast<unsigned char>(values[v] >> (8 * i));
        }
    }
}

constexpr wq_text text_ota_done = {"OTA programming successfully done!",
                                   "OTA-Programmierung erfolgreich abgeschlossen!"};
