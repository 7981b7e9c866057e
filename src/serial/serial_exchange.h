// Shapes the serial command families share: a fixed-size reply compared with
// the text the box is expected to send, and a read repeated a fixed number of
// times.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "text/messages.h"

// Opens the port by number for one command; when it cannot be opened the
// message buffer says so and the result is plat_invalid_handle.
plat_handle open_command_port(int port, char* message, int language);

// How a fixed-size reply turned out.
enum class reply_outcome {
    matched,    // all bytes arrived and equal the expected ones
    not_read,   // the read failed or fewer bytes arrived before the time-out
    different,  // all bytes arrived but they are not the expected ones
};

// Reads `size` bytes in one read and compares all of them with `expected`
// (terminating zero bytes included, so a reply that only starts right is
// still a wrong one).
reply_outcome read_expected_reply(plat_handle handle, const char* expected, std::uint32_t size);

// Reads a reply as above: the success status when it matched; otherwise the
// failure status with `not_read` or `different` in the message buffer.
int expect_reply(plat_handle handle, const char* expected, std::uint32_t size,
                 const wq_text& not_read, const wq_text& different, char* message,
                 int language);

// Writes `text` into the message buffer and returns the failure status.
int fail_with_message(char* message, const wq_text& text, int language);
