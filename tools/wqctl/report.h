// What a wqctl command hands back for printing: its outcome, the library's
// message and the values it found, printed as one JSON object or as text.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wqctl {

// A JSON value: a plain structure, one member used per kind. Strings are
// UTF-8; objects keep their keys in insertion order.
struct json {
    using array = std::vector<json>;
    using object = std::vector<std::pair<std::string, json>>;
    enum class kind { null, boolean, integer, natural, number, text, list, members };

    json() = default;
    json(bool b) : type(kind::boolean), boolean(b) {}
    json(int n) : type(kind::integer), integer(n) {}
    json(long long n) : type(kind::integer), integer(n) {}
    json(unsigned n) : type(kind::natural), natural(n) {}
    json(unsigned long long n) : type(kind::natural), natural(n) {}
    json(double d) : type(kind::number), number(d) {}
    json(const char* s) : type(kind::text), text(s) {}
    json(std::string s) : type(kind::text), text(std::move(s)) {}
    json(array a) : type(kind::list), list(std::move(a)) {}
    json(object o) : type(kind::members), members(std::move(o)) {}

    kind type = kind::null;
    bool boolean = false;
    long long integer = 0;
    unsigned long long natural = 0;
    double number = 0;
    std::string text;
    array list;
    object members;
};

std::string to_json_text(const json& value);

// The outcome of a command, which is also the program's exit code.
enum class outcome { ok = 0, failed = 1, usage = 2 };

struct report {
    outcome result = outcome::ok;
    std::string message;    // as the library wrote it: Latin-1
    std::string summary;    // wqctl's own line for people, UTF-8
    std::string failed_at;  // the library operation of a sequence that failed
    json::object values;
    std::string table;  // a ready-made text block for people (e.g. the usage log)

    void add(std::string key, json value) { values.emplace_back(std::move(key), std::move(value)); }
};

report usage_error(std::string text);
// A report from the status code of the library operation `operation` and
// the message it wrote; a failure names the operation.
report from_status(const char* operation, int status, const char* message);

// Library messages are Latin-1.
std::string latin1_to_utf8(std::string_view text);
// Texts from the box: the box keeps what the host stored, which is single-byte
// text for the fields the library converts and the host's own bytes for the
// others. A text that is valid UTF-8 passes as it is, any other is Latin-1.
std::string box_text(std::string_view text);
// A zero-terminated text in a fixed buffer, never read past `size`.
std::string_view c_text(const char* buffer, std::size_t size);

void print_json(std::FILE* out, std::string_view command, const report& r);
void print_human(std::FILE* out, std::FILE* err, const report& r);

}  // namespace wqctl
