// Fault injection: how the box misbehaves towards one kind of request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wqbox {

enum class fault_kind {
    silent,  // the request is ignored: no answer, no effect
    word,    // a wrong word instead of the answer; no effect
    busy,    // "in use" instead of the answer; no effect
    split,   // the answer in pieces of `amount` bytes (0: halves), `pause_ms` apart
    shorten, // the record or payload `amount` bytes short
    extend,  // the record or payload `amount` bytes over-long
    cut,     // only the first `amount` bytes of the answer, the link stays up
    drop,    // the first `amount` bytes of the answer, then the link is dropped
    delay,   // the answer `pause_ms` late
};

// Matches every request.
inline constexpr std::string_view any_request = "*";

struct fault {
    std::string request;  // a request name (see request_names()) or "*"
    fault_kind kind = fault_kind::silent;
    std::string word;     // for word; empty: "WRONG_WORD"
    std::size_t amount = 1;
    std::uint32_t pause_ms = 250;
    int times = -1;       // how many matching requests it affects; -1: all
};

// The names requests go by: serial ones in lower case, Bluetooth ones by
// the tag the host sends, and the Bluetooth data frames as "bt-...".
const std::vector<std::string_view>& request_names();

// Parses REQUEST:KIND[:ARG][@TIMES], e.g. "read-settings:shorten:1",
// "BTREAD_BAT:split:2/300", "BTWRTE_REQ:silent@1", "probe:word:NOPE".
bool parse_fault(std::string_view spelling, fault* out, std::string* error);

// ---- shaping an answer -----------------------------------------------------------

// An answer as the box means it: one or more parts, each a Bluetooth frame's
// payload (framed) or raw bytes.
struct answer {
    std::vector<std::vector<unsigned char>> parts;
    bool framed = false;
};

answer raw_answer(std::vector<unsigned char> bytes);
answer raw_answer(std::string_view bytes);
answer frame_answer(std::string_view payload);
answer frame_answer(std::vector<unsigned char> payload);

// The answer with a word, busy, shorten or extend fault applied (the others
// act on the bytes as they go out). Serial words are padded or cut to the
// length of the part they replace, so the host reads as many bytes as ever.
answer shape_answer(const answer& proper, const fault* f);
// The bytes on the wire.
std::vector<unsigned char> answer_bytes(const answer& a);

}  // namespace wqbox
