// The serial port service search against what a box's SDP server may
// answer: the channel taken from the right place, continuations followed,
// and every length the box states held against the bytes that came.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "platform/sdp.h"

namespace {

using bytes = std::vector<unsigned char>;

bytes join(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}
bytes sequence(std::initializer_list<bytes> parts) {
    bytes out = join(parts);
    out.insert(out.begin(), {0x35, static_cast<unsigned char>(out.size())});
    return out;
}
bytes alternative(std::initializer_list<bytes> parts) {
    bytes out = sequence(parts);
    out[0] = 0x3D;
    return out;
}
bytes uuid16(unsigned value) { return {0x19, static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)}; }
bytes uint8(unsigned value) { return {0x08, static_cast<unsigned char>(value)}; }
const bytes protocol_list_id = {0x09, 0x00, 0x04};
const bytes l2cap = sequence({uuid16(0x0100)});
bytes rfcomm(unsigned channel) { return sequence({uuid16(0x0003), uint8(channel)}); }
bytes record(const bytes& protocol_list) { return sequence({protocol_list_id, protocol_list}); }

// An answer to request number `transaction`.
bytes answer(unsigned transaction, const bytes& lists, const bytes& continuation = {}) {
    const std::size_t parameters = 2 + lists.size() + 1 + continuation.size();
    return join({{0x07, 0x00, static_cast<unsigned char>(transaction), 0x00,
                  static_cast<unsigned char>(parameters), 0x00, static_cast<unsigned char>(lists.size())},
                 lists, {static_cast<unsigned char>(continuation.size())}, continuation});
}

const bytes one_service = sequence({record(sequence({l2cap, rfcomm(3)}))});

struct search_case {
    const char* name;
    std::vector<bytes> answers;  // the box's answers to requests 1, 2, ...
    sdp_step last;
    int channel;
};

std::vector<bytes> endless_continuation() {
    std::vector<bytes> answers;
    for (unsigned i = 1; i <= 65; ++i) answers.push_back(answer(i, {}, {0x01}));
    return answers;
}

const search_case search_cases[] = {
    {"one_service", {answer(1, one_service)}, sdp_step::complete, 3},
    {"uuid_in_128_bits",
     {answer(1, sequence({record(sequence({l2cap, sequence({{0x1C, 0, 0, 0, 3, 0, 0, 0x10, 0, 0x80, 0, 0,
                                                              0x80, 0x5F, 0x9B, 0x34, 0xFB},
                                                             uint8(5)})}))}))},
     sdp_step::complete, 5},
    {"first_record_without_rfcomm",
     {answer(1, sequence({record(sequence({l2cap})), record(sequence({l2cap, rfcomm(7)}))}))},
     sdp_step::complete, 7},
    {"alternative_protocol_lists",
     {answer(1, sequence({record(alternative({sequence({l2cap}), sequence({l2cap, rfcomm(9)})}))}))},
     sdp_step::complete, 9},
    {"lists_split_by_continuation",
     {answer(1, bytes(one_service.begin(), one_service.begin() + 8), {0xAB, 0xCD}),
      answer(2, bytes(one_service.begin() + 8, one_service.end()))},
     sdp_step::complete, 3},
    {"no_service", {answer(1, sequence({}))}, sdp_step::complete, 0},
    {"channels_out_of_range",
     {answer(1, sequence({record(sequence({l2cap, rfcomm(0)})), record(sequence({rfcomm(31)}))}))},
     sdp_step::complete, 0},
    {"element_longer_than_the_lists",
     {answer(1, join({{0x35, 0x40}, bytes(one_service.begin() + 2, one_service.end())}))},
     sdp_step::complete, 0},
    {"error_answer", {{0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}}, sdp_step::refused, 0},
    {"another_transaction", {answer(2, one_service)}, sdp_step::malformed, 0},
    {"byte_count_beyond_the_answer",
     {join({{0x07, 0x00, 0x01, 0x00, 0x04, 0x00, 0x10}, {0x35, 0x00}})}, sdp_step::malformed, 0},
    {"parameter_length_beyond_the_answer",
     {join({{0x07, 0x00, 0x01, 0x00, 0x30, 0x00, 0x02}, {0x35, 0x00, 0x00}})}, sdp_step::malformed, 0},
    {"continuation_over_16_bytes", {answer(1, one_service, bytes(17, 0x01))}, sdp_step::malformed, 0},
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
    const bytes first = {0x06, 0x00, 0x01, 0x00, 0x0D, 0x35, 0x03, 0x19, 0x11, 0x01,
                         0x02, 0x00, 0x35, 0x03, 0x09, 0x00, 0x04, 0x00};
    ASSERT_EQ(sdp_build_request(&search, request), first.size());
    EXPECT_EQ(bytes(request, request + first.size()), first);
    const bytes part = answer(1, {0x35}, {0xAB, 0xCD});
    ASSERT_EQ(sdp_take_response(&search, part.data(), part.size()), sdp_step::more);
    const std::size_t length = sdp_build_request(&search, request);
    EXPECT_EQ(bytes(request + 2, request + 5), (bytes{0x02, 0x00, 0x0F}));
    EXPECT_EQ(bytes(request + length - 3, request + length), (bytes{0x02, 0xAB, 0xCD}));
}

}  // namespace
