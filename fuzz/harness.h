// Shared by the fuzz targets: a failed check stops the run, and outputs are
// heap blocks of exactly their size (so AddressSanitizer stops any write
// past them) that the targets check for a terminator.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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
class output {
public:
    explicit output(std::size_t size = wq_message_size, bool empty = true)
        : bytes_(new char[size]), size_(size) {
        std::memset(bytes_.get(), 'X', size);
        if (empty) bytes_[0] = '\0';
    }
    char* get() { return bytes_.get(); }
    void must_be_terminated(const char* what) const {
        if (!std::memchr(bytes_.get(), 0, size_)) fail(what);
    }

private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

}  // namespace fuzz
