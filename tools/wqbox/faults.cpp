#include "faults.h"

#include <algorithm>
#include <charconv>

#include "wire.h"

namespace wqbox {
namespace {

constexpr std::string_view default_wrong_word = "WRONG_WORD";
constexpr unsigned char filler = 'X';

struct kind_name {
    std::string_view name;
    fault_kind kind;
};
constexpr kind_name kind_names[] = {
    {"silent", fault_kind::silent}, {"word", fault_kind::word},     {"busy", fault_kind::busy},
    {"split", fault_kind::split},   {"shorten", fault_kind::shorten}, {"extend", fault_kind::extend},
    {"cut", fault_kind::cut},       {"drop", fault_kind::drop},     {"delay", fault_kind::delay},
};

bool parse_number(std::string_view text, std::uint64_t* value) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool known_request(std::string_view name) {
    const auto& names = request_names();
    return name == any_request || std::find(names.begin(), names.end(), name) != names.end();
}

// The argument of a kind: a word, a byte count, "pieces/pause" or a pause.
bool parse_argument(fault* f, std::string_view arg, std::string* error) {
    std::uint64_t number = 0;
    switch (f->kind) {
        case fault_kind::silent:
        case fault_kind::busy:
            if (arg.empty()) return true;
            *error = "this fault takes no argument";
            return false;
        case fault_kind::word:
            f->word = std::string(arg);
            return true;
        case fault_kind::split: {
            if (arg.empty()) {
                f->amount = 0;
                return true;
            }
            const auto slash = arg.find('/');
            std::uint64_t pause = f->pause_ms;
            if (!parse_number(arg.substr(0, slash), &number) ||
                (slash != std::string_view::npos && !parse_number(arg.substr(slash + 1), &pause))) {
                *error = "split takes BYTES or BYTES/MILLISECONDS";
                return false;
            }
            f->amount = number;
            f->pause_ms = static_cast<std::uint32_t>(pause);
            return true;
        }
        case fault_kind::delay:
            if (arg.empty()) return true;
            if (!parse_number(arg, &number)) {
                *error = "delay takes MILLISECONDS";
                return false;
            }
            f->pause_ms = static_cast<std::uint32_t>(number);
            return true;
        case fault_kind::shorten:
        case fault_kind::extend:
        case fault_kind::cut:
        case fault_kind::drop:
            if (arg.empty()) {
                // shorten and extend default to one byte, cut and drop to none
                if (f->kind == fault_kind::cut || f->kind == fault_kind::drop) f->amount = 0;
                return true;
            }
            if (!parse_number(arg, &number)) {
                *error = "this fault takes a number of BYTES";
                return false;
            }
            f->amount = number;
            return true;
    }
    return false;
}

std::vector<unsigned char> bytes_of(std::string_view text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace

const std::vector<std::string_view>& request_names() {
    static const std::vector<std::string_view> names = {
        // serial
        "probe", "read-settings", "write-settings", "settings-record", "defaults", "clock",
        "time-block", "ota-request", "ota-control", "ota-start", "ota-verify", "usage-count",
        "usage-start", "usage-end",
        // Bluetooth requests
        wire::tag_connect, wire::tag_write_settings, wire::tag_read_settings, wire::tag_defaults,
        wire::tag_sync_time, wire::tag_identify, wire::tag_device_reset,
        wire::tag_usage_settings_count, wire::tag_usage_settings_read,
        wire::tag_usage_settings_write, wire::tag_usage_count, wire::tag_usage_next,
        wire::tag_usage_repeat, wire::tag_usage_end, wire::tag_ota_request, wire::tag_ota_start,
        wire::tag_ota_done, wire::tag_ota_reset, wire::tag_battery, wire::tag_flush,
        // Bluetooth data frames
        "bt-settings-frame", "bt-usage-settings-frame", "bt-time-frame", "bt-ota-control",
    };
    return names;
}

bool parse_fault(std::string_view spelling, fault* out, std::string* error) {
    fault f;
    const auto at = spelling.rfind('@');
    if (at != std::string_view::npos) {
        std::uint64_t times = 0;
        if (!parse_number(spelling.substr(at + 1), &times) || times == 0) {
            *error = "@ takes a positive number of requests";
            return false;
        }
        f.times = static_cast<int>(times);
        spelling = spelling.substr(0, at);
    }
    const auto first = spelling.find(':');
    if (first == std::string_view::npos) {
        *error = "expected REQUEST:KIND[:ARG][@TIMES]";
        return false;
    }
    f.request = std::string(spelling.substr(0, first));
    if (!known_request(f.request)) {
        *error = "unknown request '" + f.request + "'";
        return false;
    }
    const std::string_view rest = spelling.substr(first + 1);
    const auto second = rest.find(':');
    const std::string_view kind = rest.substr(0, second);
    const auto match = std::find_if(std::begin(kind_names), std::end(kind_names),
                                    [&](const kind_name& k) { return k.name == kind; });
    if (match == std::end(kind_names)) {
        *error = "unknown fault '" + std::string(kind) + "'";
        return false;
    }
    f.kind = match->kind;
    const std::string_view arg =
        second == std::string_view::npos ? std::string_view{} : rest.substr(second + 1);
    if (!parse_argument(&f, arg, error)) return false;
    *out = f;
    return true;
}

answer raw_answer(std::vector<unsigned char> bytes) { return answer{{std::move(bytes)}, false}; }
answer raw_answer(std::string_view bytes) { return raw_answer(bytes_of(bytes)); }
answer frame_answer(std::vector<unsigned char> payload) { return answer{{std::move(payload)}, true}; }
answer frame_answer(std::string_view payload) { return frame_answer(bytes_of(payload)); }

answer shape_answer(const answer& proper, const fault* f) {
    answer shaped = proper;
    if (!f || shaped.parts.empty()) return shaped;
    auto& first = shaped.parts.front();
    auto& last = shaped.parts.back();
    switch (f->kind) {
        case fault_kind::word:
        case fault_kind::busy: {
            const std::string_view word = f->kind == fault_kind::busy ? wire::reply_busy
                                          : f->word.empty()           ? default_wrong_word
                                                                      : std::string_view(f->word);
            std::vector<unsigned char> replacement = bytes_of(word);
            // A raw answer keeps its length: the host reads a fixed count.
            if (!shaped.framed) replacement.resize(first.size(), 0);
            first = replacement;
            break;
        }
        case fault_kind::shorten:
            last.resize(last.size() - std::min(f->amount, last.size()));
            break;
        case fault_kind::extend:
            last.insert(last.end(), f->amount, filler);
            break;
        default:
            break;
    }
    return shaped;
}

std::vector<unsigned char> answer_bytes(const answer& a) {
    std::vector<unsigned char> bytes;
    for (const auto& part : a.parts) {
        if (a.framed) bytes.insert(bytes.end(), wire::frame_marker_size, wire::frame_start);
        bytes.insert(bytes.end(), part.begin(), part.end());
        if (a.framed) bytes.insert(bytes.end(), wire::frame_marker_size, wire::frame_end);
    }
    return bytes;
}

}  // namespace wqbox
