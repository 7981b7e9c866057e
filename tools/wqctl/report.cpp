#include "report.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace wqctl {
namespace {

constexpr int progress_width = 40;

// The length of the UTF-8 sequence at `at`, or 0 when it is not one.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned long code = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
    else return 0;
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    const unsigned long lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < lowest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8_sequence(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// A value on one line for people: texts without quotes, the rest as JSON.
std::string human_value(const json& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

void print_values(std::FILE* out, const json& values) {
    std::size_t width = 0;
    for (const auto& [key, value] : values.items()) width = std::max(width, key.size());
    for (const auto& [key, value] : values.items()) {
        if (value.is_array()) {
            std::fprintf(out, "%s:\n", key.c_str());
            for (const json& item : value) std::fprintf(out, "  %s\n", human_value(item).c_str());
            continue;
        }
        std::fprintf(out, "%-*s  %s\n", static_cast<int>(width + 1), (key + ":").c_str(),
                     human_value(value).c_str());
    }
}

}  // namespace

report usage_error(std::string text) {
    report r;
    r.result = outcome::usage;
    r.summary = std::move(text);
    return r;
}

report own_failure(std::string text) {
    report r;
    r.result = outcome::failed;
    r.summary = std::move(text);
    return r;
}

report from_status(const char* operation, int status, const char* message) {
    report r;
    r.result = status == 0 ? outcome::ok : outcome::failed;
    r.message = message;
    if (status != 0) r.failed_at = operation;
    return r;
}

std::string latin1_to_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

std::string box_text(std::string_view text) {
    return is_utf8(text) ? std::string(text) : latin1_to_utf8(text);
}

std::string_view c_text(const char* buffer, std::size_t size) {
    return std::string_view(buffer, strnlen(buffer, size));
}

json number_or_text(const std::string& text) {
    if (text.empty()) return nullptr;
    const char* end = text.data() + text.size();
    long long whole = 0;
    if (const auto r = std::from_chars(text.data(), end, whole); r.ec == std::errc() && r.ptr == end)
        return whole;
    double number = 0;
    if (const auto r = std::from_chars(text.data(), end, number, std::chars_format::fixed);
        r.ec == std::errc() && r.ptr == end)
        return number;
    return text;
}

std::string number_text(double value) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, value);
    return std::string(text, r.ptr);
}

void print_json(std::FILE* out, std::string_view command, const report& r) {
    json top = json::object();
    top["command"] = command;
    top["status"] = static_cast<int>(r.result);
    // The library's message where it failed or spoke; wqctl's own line where
    // the failure is wqctl's or the library wrote nothing.
    const bool own = r.result != outcome::ok && r.failed_at.empty();
    top["message"] = own || r.message.empty() ? r.summary : latin1_to_utf8(r.message);
    if (!r.failed_at.empty()) top["failed_at"] = r.failed_at;
    if (!r.hint.empty()) top["hint"] = r.hint;
    top["values"] = r.values;
    // Box texts that are neither UTF-8 nor converted are replaced, never
    // allowed to stop the output.
    std::fprintf(out, "%s\n", top.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
}

void print_human(std::FILE* out, std::FILE* err, const report& r) {
    const std::string message = latin1_to_utf8(r.message);
    if (r.result == outcome::ok) {
        std::FILE* said = r.data_on_stdout ? err : out;
        if (!message.empty()) std::fprintf(said, "%s\n", message.c_str());
        if (!r.summary.empty()) std::fprintf(said, "%s\n", r.summary.c_str());
    } else {
        std::string why = r.failed_at.empty() ? "" : r.failed_at + " failed";
        for (const std::string* part : {&message, &r.summary}) {
            if (!part->empty()) why += (why.empty() ? "" : ": ") + *part;
        }
        std::fprintf(err, "wqctl: %s\n", why.empty() ? "failed without a message" : why.c_str());
        if (!r.hint.empty()) std::fprintf(err, "wqctl: %s\n", r.hint.c_str());
    }
    // A table, where there is one; else the values, unless a summary line
    // already said all people need.
    if (r.data_on_stdout) return;
    if (!r.table.empty()) std::fputs(r.table.c_str(), out);
    else if (r.show_values && (r.result != outcome::ok || r.summary.empty())) print_values(out, r.values);
}

void notice(const std::string& text) { std::fprintf(stderr, "wqctl: %s\n", text.c_str()); }

void show_progress(const char* label, std::size_t done, std::size_t total, const char* unit) {
    if (total == 0) return;
    const int filled = static_cast<int>(done * progress_width / total);
    std::fprintf(stderr, "\r%s [%s%s] %3zu%% %zu/%zu %s", label, std::string(filled, '#').c_str(),
                 std::string(progress_width - filled, '.').c_str(), done * 100 / total, done, total, unit);
    if (done == total) std::fputc('\n', stderr);
}

}  // namespace wqctl
