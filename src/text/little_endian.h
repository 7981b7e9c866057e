// Wire numbers are little-endian on both links: one reader and one writer
// for every width the protocol uses.
#pragma once

#include <cstddef>
#include <cstdint>

inline std::uint64_t get_little_endian(const unsigned char* bytes, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = (value << 8) | bytes[i];
    return value;
}

inline void put_little_endian(unsigned char* bytes, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}
