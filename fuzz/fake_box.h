// The fuzz targets on the fake platform: the input becomes the box's side
// of the link, and every run ends with the check that nothing leaked.
#pragma once

#include "harness.h"
#include "platform/fake.h"

namespace fuzz {

// The box's side, step by step from the input: it waits for some of the
// library's bytes, sends a piece after a while, or hangs up.
inline void script_box(fake::link& box, FuzzedDataProvider& in) {
    while (in.remaining_bytes() > 0) {
        const auto delay = in.ConsumeIntegralInRange<std::int64_t>(0, 1200);
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                box.expect_any(in.ConsumeIntegralInRange<std::size_t>(1, 64));
                break;
            case 1:
                box.hang_up(delay);
                return;
            default:
                box.reply(in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(1, 600)),
                          delay);
                break;
        }
    }
}

// After every run: the message is terminated inside its 128 bytes and
// every port, socket, lookup, heap block and start-up was given back.
inline void check_run(const output& message) {
    message.must_be_terminated("message not terminated");
    if (!fake::balanced()) fail("a port, socket, lookup, heap block or start-up leaked");
}

}  // namespace fuzz
