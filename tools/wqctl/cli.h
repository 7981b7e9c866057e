// The command line of wqctl: the command table, the parsed arguments, and
// the link a command talks over.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"
#include "wq.h"

namespace CLI {
class App;
}

namespace wqctl {

// Which link a command talks over.
enum class link_need { none, any, bluetooth };

struct link {
    enum class kind { none, serial, bluetooth };
    kind type = kind::none;
    int port = 0;             // serial: COM port number
    std::string device_path;  // serial: the device the port number stands for
    BTH_ADDR address = 0;     // Bluetooth
    std::string label;        // "COM1" or "00:11:22:33:44:AA", for people
};

struct invocation;
using handler = report (*)(const invocation&);

// An option of one command; a flag when `value` is null.
struct option_spec {
    const char* name;   // "--text-1"
    const char* value;  // the value's name in the help ("TEXT"), or nullptr
    const char* help;
};

struct command_spec {
    const char* name;     // "settings write"
    const char* operand;  // the one operand it takes ("NAME", "IMAGE"), or ""
    const char* operand_help;
    std::vector<option_spec> options;
    link_need needs;
    handler run;
    const char* summary;
    const char* help;
};

// The language flag of the library: non-zero selects German messages.
constexpr int english = 0;
constexpr int german = 1;

using option_values = std::map<std::string, std::string, std::less<>>;

struct invocation {
    const command_spec* command = nullptr;
    option_values options;  // flags map to ""
    std::string operand;
    int language = english;
    bool progress = false;  // stderr is a terminal: progress bars go there
    bool sim = false;
    bool json = false;  // the report goes to stdout as JSON
    int retries = 0;    // --retry: further attempts after a busy reply
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
    int retries = 0;  // --retry: further attempts after a busy reply
    std::optional<int> port;
    std::optional<std::string> device, bt, name;
    const command_spec* command = nullptr;
    std::string group;  // a command group named without one of its commands
    std::string operand;
    option_values options;
    std::string generate;  // hidden: "completion" or "man", printed at build time
};

const std::vector<command_spec>& commands();

// The parts of the program's help after its options: "Examples",
// "Environment", "Exit status"; the man page gives each its own section.
struct help_section {
    const char* title;
    const char* text;
};
const std::vector<help_section>& program_help_sections();

// The whole command line as CLI11 knows it, bound to `line`: the source of
// the parser, the help, the man page and the bash completion.
std::unique_ptr<CLI::App> make_app(command_line* line);

enum class parsed { run, printed, version, usage };
// Parses argv. `printed`: the help went to stdout; `version`: the version is
// asked for; `usage`: the error is in *error.
parsed parse_command_line(int argc, char** argv, command_line* line, report* error);
// The invocation of the parsed command, before the link is resolved.
invocation make_invocation(const command_line& line);

// Documents generated from make_app (docs.cpp).
void print_bash_completion(std::FILE* out);
void print_man_page(std::FILE* out);

// Numbers from option texts: the whole text must be a decimal number in
// [low, high].
bool parse_number(std::string_view text, long long low, long long high, long long* value);
bool parse_unsigned(std::string_view text, unsigned long long* value);
// A number option, or a usage error naming the option and its range.
std::optional<report> number_option(const invocation& call, std::string_view option, long long low,
                                    long long high, long long* value);

}  // namespace wqctl
