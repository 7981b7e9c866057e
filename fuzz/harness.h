// Shared by the fuzz targets: a failed check stops the run, and outputs are
// heap blocks of exactly their size (so AddressSanitizer stops any write
// past them) that the targets check for a terminator.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exact_buffer.h"
#include "text/messages.h"
#include "wq.h"

namespace fuzz {

inline constexpr BTH_ADDR box_address = 0x0011223344AAull;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// A host buffer of exactly `size` bytes, filled with a byte no output ends
// in; `empty` starts it as an empty text, as a host passes a message buffer.
struct output : exact_buffer {
    explicit output(std::size_t size = wq_message_size, bool empty = true) : exact_buffer(size) {
        if (empty) bytes[0] = '\0';
    }
    void must_be_terminated(const char* what) const {
        if (!std::memchr(bytes.get(), 0, length)) fail(what);
    }
};

}  // namespace fuzz
