// The packed SOCKADDR_BTH, the Bluetooth socket address that plat_connect
// takes and a device lookup's result carries: the family AF_BTH (2 bytes),
// btAddr (8), the service class id (16, in GUID byte order) and the port (4),
// all little-endian. The library and every backend pack and read it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/little_endian.h"

inline constexpr std::size_t bth_address_size = 30;
inline constexpr std::uint16_t bth_family = 32;  // AF_BTH

namespace bth_layout {
inline constexpr std::size_t family_width = 2;
inline constexpr std::size_t radio_offset = 2;
inline constexpr std::size_t radio_width = 8;
inline constexpr std::size_t service_class_offset = 10;
// RFCOMM_PROTOCOL_UUID {00000003-0000-1000-8000-00805F9B34FB}.
inline constexpr unsigned char rfcomm_service_class[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                           0x00, 0x10, 0x80, 0x00, 0x00, 0x80,
                                                           0x5F, 0x9B, 0x34, 0xFB};
}  // namespace bth_layout

// The address of `radio` as a connect takes it: the RFCOMM service class and
// port 0, so the platform finds the channel through the class.
inline void bth_address_pack(std::uint64_t radio, unsigned char out[bth_address_size]) {
    using namespace bth_layout;
    std::memset(out, 0, bth_address_size);
    put_little_endian(out, bth_family, family_width);
    put_little_endian(out + radio_offset, radio, radio_width);
    std::memcpy(out + service_class_offset, rfcomm_service_class, sizeof rfcomm_service_class);
}

// btAddr, all 64 bits of it.
inline std::uint64_t bth_address_radio(const unsigned char address[bth_address_size]) {
    return get_little_endian(address + bth_layout::radio_offset, bth_layout::radio_width);
}

inline std::uint16_t bth_address_family(const unsigned char address[bth_address_size]) {
    return static_cast<std::uint16_t>(get_little_endian(address, bth_layout::family_width));
}
