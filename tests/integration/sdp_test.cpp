// The serial port service search against what a box's SDP server may
// answer: the channel taken from the right place, continuations followed,
// and every length the box states held against the bytes that came.
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
    {"one_service", {answer(1, one_service)}, sdp_step::complete, 3},
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
    {"no_service", {answer(1, sequence({}))}, sdp_step::complete, 0},
    {"channels_out_of_range",
     {answer(1, sequence({record(sequence({rfcomm(0)})), record(sequence({rfcomm(31)}))}))},
     sdp_step::complete, 0},
    {"element_longer_than_the_lists", {answer(1, {0x35, 0x40, 0x35, 0x11})}, sdp_step::complete, 0},
    {"error_answer", {{0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}}, sdp_step::refused, 0},
    {"another_transaction", {answer(2, one_service)}, sdp_step::malformed, 0},
    {"byte_count_beyond_the_answer", {{0x07, 0, 1, 0, 4, 0, 0x10, 0x35, 0}}, sdp_step::malformed, 0},
    {"continuation_over_16_bytes", {answer(1, one_service, bytes(17, 1))}, sdp_step::malformed, 0},
    {"endless_continuation", endless_continuation(), sdp_step::malformed, 0},
};

class SdpSearch : public ::testing::TestWithParam<search_case> {};

TEST_P(SdpSearch, FindsTheChannelOrSaysWhyNot) {
    const search_case& c = GetParam();
    sdp_search search;
    unsigned char request[sdp_request_capacity];
    sdp_step step = sdp_step::more;
    for (const bytes& pdu : c.answers) {
        ASSERT_EQ(step, sdp_step::more);
        sdp_build_request(&search, request);
        step = sdp_take_response(&search, pdu.data(), pdu.size());
    }
    EXPECT_EQ(step, c.last);
    EXPECT_EQ(sdp_rfcomm_channel(search.lists, search.lists_length), c.channel);
}

INSTANTIATE_TEST_SUITE_P(Answers, SdpSearch, ::testing::ValuesIn(search_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// The request a box's SDP server reads: the serial port class, attribute
// 0x0004, and the continuation state handed back byte for byte.
TEST(SdpRequest, AsksForTheProtocolListAndContinues) {
    sdp_search search;
    unsigned char request[sdp_request_capacity];
    const bytes first = {0x06, 0, 1, 0, 13, 0x35, 3, 0x19, 0x11, 0x01, 0x02, 0x00, 0x35, 3, 0x09, 0, 4, 0};
    ASSERT_EQ(sdp_build_request(&search, request), first.size());
    EXPECT_EQ(bytes(request, request + first.size()), first);
    const bytes part = answer(1, {0x35}, {0xAB, 0xCD});
    ASSERT_EQ(sdp_take_response(&search, part.data(), part.size()), sdp_step::more);
    const std::size_t length = sdp_build_request(&search, request);
    EXPECT_EQ(bytes(request + 1, request + 5), (bytes{0, 2, 0, 15}));
    EXPECT_EQ(bytes(request + length - 3, request + length), (bytes{2, 0xAB, 0xCD}));
}

}  // namespace
