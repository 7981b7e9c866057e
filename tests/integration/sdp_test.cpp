// The serial port service search against what a box's SDP server may
// answer beyond what bluetoothd's does in tests/real_stacks/bluetooth.sh (one
// record, or none): a UUID in 128 bits, a record without RFCOMM,
// continuations, an error, and answers to another request or without end.
// Lengths past the bytes that came, and channels outside 1..30, are the fuzz
// target's (fuzz/sdp_answers.cpp).
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "platform/sdp.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes sequence(std::initializer_list<bytes> parts) {
    bytes out = {0x35, 0};
    for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    out[1] = static_cast<unsigned char>(out.size() - 2);
    return out;
}
const bytes l2cap = sequence({{0x19, 0x01, 0x00}});
bytes rfcomm(unsigned char channel) { return sequence({{0x19, 0x00, 0x03}, {0x08, channel}}); }
bytes record(const bytes& protocol_list) { return sequence({{0x09, 0x00, 0x04}, protocol_list}); }
const bytes one_service = sequence({record(sequence({l2cap, rfcomm(3)}))});

// An answer to request number `transaction`.
bytes answer(unsigned char transaction, const bytes& lists, const bytes& continuation = {}) {
    bytes out = {0x07, 0, transaction, 0, static_cast<unsigned char>(2 + lists.size() + 1 + continuation.size()),
                 0, static_cast<unsigned char>(lists.size())};
    out.insert(out.end(), lists.begin(), lists.end());
    out.push_back(static_cast<unsigned char>(continuation.size()));
    out.insert(out.end(), continuation.begin(), continuation.end());
    return out;
}

struct search_case {
    const char* name;
    std::vector<bytes> answers;  // the box's answers to requests 1, 2, ...
    sdp_step last;
    int channel;
};

std::vector<bytes> endless_continuation() {
    std::vector<bytes> answers;
    for (unsigned char i = 1; i <= 65; ++i) answers.push_back(answer(i, {}, {0x01}));
    return answers;
}

const search_case search_cases[] = {
    {"uuid_in_128_bits",
     {answer(1, sequence({record(sequence({sequence({{0x1C, 0, 0, 0, 3, 0, 0, 0x10, 0, 0x80, 0, 0, 0x80,
                                                       0x5F, 0x9B, 0x34, 0xFB},
                                                      {0x08, 5}})}))}))},
     sdp_step::complete, 5},
    {"first_record_without_rfcomm",
     {answer(1, sequence({record(sequence({l2cap})), record(sequence({l2cap, rfcomm(7)}))}))},
     sdp_step::complete, 7},
    {"lists_split_by_continuation",
     {answer(1, bytes(one_service.begin(), one_service.begin() + 8), {0xAB, 0xCD}),
      answer(2, bytes(one_service.begin() + 8, one_service.end()))},
     sdp_step::complete, 3},
    {"error_answer", {{0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}}, sdp_step::refused, 0},
    {"another_transaction", {answer(2, one_service)}, sdp_step::malformed, 0},
    {"endless_continuation", endless_continuation(), sdp_step::malformed, 0},
};

// Each request has a transaction number of its own, its parameter length,
// and hands back byte for byte the continuation state the last answer gave.
TEST(SdpSearch, FindsTheChannelOrSaysWhyNot) {
    for (const search_case& c : search_cases) {
        SCOPED_TRACE(c.name);
        sdp_search search;
        unsigned char request[sdp_request_capacity];
        sdp_step step = sdp_step::more;
        bytes state = {0};  // its length byte first
        for (std::size_t n = 1; n <= c.answers.size(); ++n) {
            ASSERT_EQ(step, sdp_step::more);
            const std::size_t length = sdp_build_request(&search, request);
            EXPECT_EQ(bytes(request + 1, request + 5), (bytes{0, static_cast<unsigned char>(n), 0,
                                                              static_cast<unsigned char>(length - 5)}));
            EXPECT_EQ(bytes(request + length - state.size(), request + length), state);
            const bytes& pdu = c.answers[n - 1];
            step = sdp_take_response(&search, pdu.data(), pdu.size());
            if (step == sdp_step::more) state.assign(pdu.begin() + 7 + pdu[6], pdu.end());
        }
        EXPECT_EQ(step, c.last);
        EXPECT_EQ(sdp_rfcomm_channel(search.lists, search.lists_length), c.channel);
    }
}

}  // namespace
