// The command line of wqctl: the command table, the parsed arguments, and
// the link a command talks over.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"
#include "wq.h"

namespace wqctl {

// Which link a command talks over.
enum class link_need { none, any, bluetooth };

struct link {
    enum class kind { none, serial, bluetooth };
    kind type = kind::none;
    int port = 0;          // serial: COM port number
    BTH_ADDR address = 0;  // Bluetooth
    std::string label;     // "COM1" or "00:11:22:33:44:AA", for people
};

struct invocation;
using handler = report (*)(const invocation&);

struct command_spec {
    const char* name;      // "settings write"
    const char* operand;   // the one operand it takes ("NAME", "IMAGE"), or ""
    const char* options;   // its own options; a trailing '=' takes a value
    link_need needs;
    handler run;
    const char* summary;
    const char* help;
};

// The language flag of the library: non-zero selects German messages.
constexpr int english = 0;
constexpr int german = 1;

struct invocation {
    const command_spec* command = nullptr;
    std::map<std::string, std::string, std::less<>> options;  // flags map to ""
    std::string operand;
    int language = english;
    bool progress = false;  // stderr is a terminal: progress bars go there
    bool sim = false;
    link target;

    bool has(std::string_view option) const { return options.find(option) != options.end(); }
    bool serial() const { return target.type == link::kind::serial; }
    std::string value(std::string_view option) const;
};

// What the command line asked for, before the link is resolved.
struct command_line {
    bool json = false;
    bool german = false;
    bool sim = false;
    bool trace = false;
    bool help = false;
    std::optional<std::string> port, bt, name;
    std::vector<std::string> words;  // command, subcommand and operand
    std::map<std::string, std::string, std::less<>> options;
};

const std::vector<command_spec>& commands();

// Parses argv; a usage error report when it makes no sense.
std::optional<report> parse_command_line(int argc, char** argv, command_line* line);
// Finds the command the words name and checks its options and operand.
std::optional<report> select_command(const command_line& line, invocation* call);

void print_overview(std::FILE* out);
// Help for a command, or the list of a group's subcommands; false when
// `words` name neither.
bool print_help(std::FILE* out, const std::vector<std::string>& words);

// Numbers from option texts: the whole text must be a decimal number in
// [low, high].
bool parse_number(std::string_view text, long long low, long long high, long long* value);
bool parse_unsigned(std::string_view text, unsigned long long* value);
// A number option, or a usage error naming the option and its range.
std::optional<report> number_option(const invocation& call, std::string_view option, long long low,
                                    long long high, long long* value);

}  // namespace wqctl
