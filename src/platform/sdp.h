// The box's service discovery, as far as a connect needs it: one
// ServiceSearchAttribute request for the serial port service's protocol
// descriptor list, its answers taken piece by piece, and the RFCOMM channel
// read from them. Pure functions over bytes: the POSIX backend moves them
// over an L2CAP socket (posix_rfcomm.cpp), the tests and the fuzzer feed
// them directly. Every byte of an answer is the box's, so every length in it
// is checked against the bytes that came and against our buffers.
#pragma once

#include <cstddef>
#include <cstdint>

// The AttributeLists bytes gathered so far, and what the box asked us to
// send back to continue.
struct sdp_search {
    static constexpr std::size_t lists_capacity = 4096;
    static constexpr std::size_t continuation_capacity = 16;

    std::uint16_t transaction = 0;  // of the request last built
    std::size_t responses = 0;
    std::size_t continuation_length = 0;
    unsigned char continuation[continuation_capacity] = {};
    std::size_t lists_length = 0;
    unsigned char lists[lists_capacity] = {};
};

// The largest request sdp_build_request makes.
inline constexpr std::size_t sdp_request_capacity = 34;

// Builds the next request of the search (the first, or one that continues)
// into `request`; its length. Each request gets a transaction number of its
// own.
std::size_t sdp_build_request(sdp_search* search, unsigned char (&request)[sdp_request_capacity]);

enum class sdp_step {
    more,       // a part came; send the next request for the rest
    complete,   // all attribute lists are in search->lists
    refused,    // the box answered with an SDP error
    malformed,  // not an answer to our request, or lengths that do not add up
};

// Takes one answer PDU of `length` bytes.
sdp_step sdp_take_response(sdp_search* search, const unsigned char* pdu, std::size_t length);

// The RFCOMM channel (1..30) of the first service record in `lists` (a
// ServiceSearchAttribute response's AttributeLists) whose protocol
// descriptor list names RFCOMM; 0 when none does or the bytes do not parse.
int sdp_rfcomm_channel(const unsigned char* lists, std::size_t length);
