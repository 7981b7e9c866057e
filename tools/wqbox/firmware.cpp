#include "firmware.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace wqbox {
namespace {

constexpr std::uint32_t crc_polynomial = 0xEDB88320u;
// Enough to spot the longest request that ends a transfer (a command block).
constexpr std::size_t recent_kept = 32;

std::array<std::uint32_t, 256> make_crc_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < table.size(); ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? crc_polynomial ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

}  // namespace

std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t previous) {
    static const std::array<std::uint32_t, 256> table = make_crc_table();
    std::uint32_t c = ~previous;
    for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

firmware_receive start_receive(std::uint32_t length, std::uint32_t crc) {
    firmware_receive r;
    r.length = length;
    r.crc = crc;
    return r;
}

void add_image_bytes(firmware_receive& r, const unsigned char* data, std::size_t size,
                     std::size_t capacity) {
    const std::size_t room = r.image.size() < capacity ? capacity - r.image.size() : 0;
    r.image.insert(r.image.end(), data, data + std::min(size, room));
    r.received += size;
    r.recent.insert(r.recent.end(), data, data + size);
    if (r.recent.size() > recent_kept) {
        r.recent.erase(r.recent.begin(),
                       r.recent.begin() + static_cast<std::ptrdiff_t>(r.recent.size() - recent_kept));
    }
}

std::size_t add_transfer_bytes(firmware_receive& r, const unsigned char* data, std::size_t size,
                               std::size_t request_size, std::size_t capacity) {
    const std::uint64_t end = std::uint64_t{r.length} + request_size;
    std::size_t take = size;
    if (r.received < end) take = static_cast<std::size_t>(std::min<std::uint64_t>(size, end - r.received));
    add_image_bytes(r, data, take, capacity);
    return take;
}

bool ends_on_time(const firmware_receive& r, const std::vector<unsigned char>& request) {
    return r.received == std::uint64_t{r.length} + request.size() &&
           image_ends_with(r, request.data(), request.size());
}

bool may_end_when_quiet(const firmware_receive& r, const std::vector<unsigned char>& request) {
    return r.received != r.length && image_ends_with(r, request.data(), request.size());
}

bool image_ends_with(const firmware_receive& r, const unsigned char* tail, std::size_t size) {
    return r.recent.size() >= size &&
           std::memcmp(r.recent.data() + r.recent.size() - size, tail, size) == 0;
}

void drop_image_tail(firmware_receive& r, std::size_t size) {
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, r.received));
    r.received -= size;
    if (r.image.size() > r.received) r.image.resize(static_cast<std::size_t>(r.received));
    r.recent.resize(r.recent.size() - std::min(size, r.recent.size()));
}

bool image_verifies(const firmware_receive& r) {
    return r.length > 0 && r.received == r.length && r.image.size() == r.length &&
           crc32(r.image.data(), r.image.size()) == r.crc;
}

}  // namespace wqbox
