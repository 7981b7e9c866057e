#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace wqctl {
namespace {

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_json(std::string& out, const json& value);

void append_number(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";  // JSON has no infinities
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", d);
    out += text;
}

void append_array(std::string& out, const json::array& items) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        append_json(out, items[i]);
    }
    out += ']';
}

void append_object(std::string& out, const json::object& members) {
    out += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i) out += ',';
        append_json_string(out, members[i].first);
        out += ':';
        append_json(out, members[i].second);
    }
    out += '}';
}

void append_json(std::string& out, const json& value) {
    switch (value.type) {
        case json::kind::null: out += "null"; break;
        case json::kind::boolean: out += value.boolean ? "true" : "false"; break;
        case json::kind::integer: out += std::to_string(value.integer); break;
        case json::kind::natural: out += std::to_string(value.natural); break;
        case json::kind::number: append_number(out, value.number); break;
        case json::kind::text: append_json_string(out, value.text); break;
        case json::kind::list: append_array(out, value.list); break;
        case json::kind::members: append_object(out, value.members); break;
    }
}

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
    return value.type == json::kind::text ? value.text : to_json_text(value);
}

void print_values(std::FILE* out, const json::object& values) {
    std::size_t width = 0;
    for (const auto& [key, value] : values) width = std::max(width, key.size());
    for (const auto& [key, value] : values) {
        if (value.type == json::kind::list) {
            std::fprintf(out, "%s:\n", key.c_str());
            for (const json& item : value.list) std::fprintf(out, "  %s\n", human_value(item).c_str());
            continue;
        }
        std::fprintf(out, "%-*s  %s\n", static_cast<int>(width + 1), (key + ":").c_str(),
                     human_value(value).c_str());
    }
}

}  // namespace

std::string to_json_text(const json& value) {
    std::string out;
    append_json(out, value);
    return out;
}

report usage_error(std::string text) {
    report r;
    r.result = outcome::usage;
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

void print_json(std::FILE* out, std::string_view command, const report& r) {
    json::object top;
    top.emplace_back("command", std::string(command));
    top.emplace_back("status", static_cast<int>(r.result));
    // The library's message; wqctl's own line where the library wrote none.
    top.emplace_back("message", r.message.empty() ? r.summary : latin1_to_utf8(r.message));
    if (!r.failed_at.empty()) top.emplace_back("failed_at", r.failed_at);
    top.emplace_back("values", r.values);
    std::fprintf(out, "%s\n", to_json_text(top).c_str());
}

void print_human(std::FILE* out, std::FILE* err, const report& r) {
    const std::string message = latin1_to_utf8(r.message);
    if (r.result == outcome::ok) {
        if (!message.empty()) std::fprintf(out, "%s\n", message.c_str());
        if (!r.summary.empty()) std::fprintf(out, "%s\n", r.summary.c_str());
    } else {
        std::string why = r.failed_at.empty() ? "" : r.failed_at + " failed";
        for (const std::string* part : {&message, &r.summary}) {
            if (!part->empty()) why += (why.empty() ? "" : ": ") + *part;
        }
        std::fprintf(err, "wqctl: %s\n", why.empty() ? "failed without a message" : why.c_str());
    }
    // A table, where there is one; else the values, unless a summary line
    // already said all people need.
    if (!r.table.empty()) std::fputs(r.table.c_str(), out);
    else if (r.result != outcome::ok || r.summary.empty()) print_values(out, r.values);
}

}  // namespace wqctl
