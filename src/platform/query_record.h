// The lookup result record of the POSIX and fake backends. Windows fills a
// WSAQUERYSETA; here the same 120-byte block carries a name (stored behind
// the block, so a long name asks for a larger record just as it does there)
// and the 30-byte remote Bluetooth socket address.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

struct portable_query_record {
    std::uint32_t size;         // dwSize
    std::uint32_t name_space;   // dwNameSpace
    std::uint32_t name_offset;  // 0: the result has no name
    std::uint32_t has_address;
    unsigned char remote_address[bth_address_size];
    unsigned char unused[plat_query_record_size - 16 - bth_address_size];
};
static_assert(sizeof(portable_query_record) == plat_query_record_size);

inline constexpr std::uint32_t portable_ns_bth = 16;

inline void portable_query_prepare(void* record) {
    auto* query = static_cast<portable_query_record*>(record);
    query->size = plat_query_record_size;
    query->name_space = portable_ns_bth;
}

// Fills one result into `record` of *size bytes. When it does not fit,
// stores the size it needs in *size and returns false.
inline bool portable_query_fill(void* record, std::uint32_t* size, const char* name,
                                std::size_t name_length, const unsigned char address[bth_address_size]) {
    const std::uint32_t needed = static_cast<std::uint32_t>(
        plat_query_record_size + (name ? name_length + 1 : 0));
    if (*size < needed) {
        *size = needed;
        return false;
    }
    std::memset(record, 0, *size);
    auto* query = static_cast<portable_query_record*>(record);
    query->size = plat_query_record_size;
    query->name_space = portable_ns_bth;
    query->has_address = 1;
    std::memcpy(query->remote_address, address, sizeof query->remote_address);
    if (name) {
        query->name_offset = plat_query_record_size;
        std::memcpy(static_cast<char*>(record) + plat_query_record_size, name, name_length);
    }
    return true;
}

inline const char* portable_query_name(const void* record) {
    const auto* query = static_cast<const portable_query_record*>(record);
    if (query->name_offset == 0) return nullptr;
    return static_cast<const char*>(record) + query->name_offset;
}

inline bool portable_query_remote_address(const void* record, unsigned char address[bth_address_size]) {
    const auto* query = static_cast<const portable_query_record*>(record);
    if (!query->has_address) return false;
    std::memcpy(address, query->remote_address, sizeof query->remote_address);
    return true;
}
