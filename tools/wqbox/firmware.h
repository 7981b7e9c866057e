// The firmware receive: what the box keeps of an image while it arrives.
//
// The two control values the host sends with its request are, by agreement
// between the host program and this box, the image's length in bytes and
// its CRC-32 (the zlib/IEEE polynomial). The box checks both when the host
// asks it to verify, and confirms only an image that matches them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wqbox {

// CRC-32, reflected polynomial 0xEDB88320, initial and final XOR all ones:
// crc32 of "123456789" is 0xCBF43926. Pass the previous result to continue.
std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t previous = 0);

struct firmware_receive {
    std::uint32_t length = 0;  // control value 1
    std::uint32_t crc = 0;     // control value 2
    std::vector<unsigned char> image;  // what was kept of the transfer
    std::uint64_t received = 0;        // what arrived, kept or not
    std::vector<unsigned char> recent; // the last bytes, whatever was kept
};

// Starts a transfer for the announced control values.
firmware_receive start_receive(std::uint32_t length, std::uint32_t crc);
// Adds transfer bytes; at most `capacity` of them are kept.
void add_image_bytes(firmware_receive& r, const unsigned char* data, std::size_t size,
                     std::size_t capacity);
// Adds transfer bytes, but none past the point where an image of the
// announced length is followed by a request of `request_size` bytes that
// ends the transfer; returns how many it took.
std::size_t add_transfer_bytes(firmware_receive& r, const unsigned char* data, std::size_t size,
                               std::size_t request_size, std::size_t capacity);
// True when the transfer stands at that point and ends in `request`.
bool ends_on_time(const firmware_receive& r, const std::vector<unsigned char>& request);
// True when `request` may end the transfer once the line goes quiet: the
// transfer ends in it, and it is not the last bytes of an image of the
// announced length (the real request is still to come then).
bool may_end_when_quiet(const firmware_receive& r, const std::vector<unsigned char>& request);
// True when the transfer so far ends with `tail` (a request that ends it).
bool image_ends_with(const firmware_receive& r, const unsigned char* tail, std::size_t size);
// Removes the request that ended the transfer from its end.
void drop_image_tail(firmware_receive& r, std::size_t size);
// True when the image has the announced length and CRC, all of it kept.
bool image_verifies(const firmware_receive& r);

}  // namespace wqbox
