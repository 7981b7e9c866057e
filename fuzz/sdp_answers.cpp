// A box's SDP server answering the serial port service search with any
// bytes: answers of any length, one after another while the search asks
// for more, then the channel read from what was gathered. Each answer and
// the gathered lists are heap blocks of exactly their size, so a read past
// what the box sent stops the run; the channel is a real one or none.
#include <vector>

#include "harness.h"
#include "platform/sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    sdp_search search;
    unsigned char request[sdp_request_capacity];
    sdp_step step = sdp_step::more;
    while (step == sdp_step::more && in.remaining_bytes() > 0) {
        if (sdp_build_request(&search, request) > sizeof request) fuzz::fail("a request past its buffer");
        const std::vector<unsigned char> answer =
            in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 700));
        step = sdp_take_response(&search, answer.data(), answer.size());
        if (search.lists_length > sdp_search::lists_capacity ||
            search.continuation_length > sdp_search::continuation_capacity) {
            fuzz::fail("gathered past the search's buffers");
        }
    }
    const std::vector<unsigned char> lists(search.lists, search.lists + search.lists_length);
    const int channel = sdp_rfcomm_channel(lists.data(), lists.size());
    if (channel < 0 || channel > 30) fuzz::fail("a channel outside 0..30");
    return 0;
}
