// What a wqctl command hands back for printing: its outcome, the library's
// message and the values it found, printed as one JSON object or as text.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace wqctl {

// Objects keep their keys in the order a command adds them.
using json = nlohmann::ordered_json;

// The outcome of a command, which is also the program's exit code.
enum class outcome { ok = 0, failed = 1, usage = 2 };

struct report {
    outcome result = outcome::ok;
    std::string message;    // as the library wrote it: Latin-1
    std::string summary;    // wqctl's own line for people, UTF-8
    std::string failed_at;  // the library operation of a sequence that failed
    std::string hint;       // what the user can do about a failure, UTF-8
    json values = json::object();
    std::string table;  // a ready-made text block for people (e.g. the usage log)
    bool show_values = true;  // for people: false when a file already holds them
    bool data_on_stdout = false;  // the command's data went to stdout: its lines for people go to stderr

    void add(const std::string& key, json value) { values[key] = std::move(value); }
};

report usage_error(std::string text);
// A failure of wqctl's own (a file it cannot write), not of the library.
report own_failure(std::string text);
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
// A number the box sent as text, as a JSON number when the whole text is
// one; an empty text is null, anything else stays text.
json number_or_text(const std::string& text);
// A double as people write it: every digit it needs, no exponent for whole
// numbers up to 2^53 ("1234567", "0.1", "1e+300").
std::string number_text(double value);

void print_json(std::FILE* out, std::string_view command, const report& r);
void print_human(std::FILE* out, std::FILE* err, const report& r);

// A line on stderr for a wait people would otherwise sit through in
// silence; it goes there whether or not stderr is a terminal, so a log
// says why a run took long.
void notice(const std::string& text);

// A progress bar on stderr, for the commands that move many blocks:
// "label [#####.....]  40% 4/10 unit". Ends the line when done == total.
void show_progress(const char* label, std::size_t done, std::size_t total, const char* unit);

}  // namespace wqctl
