// The command line of wqctl: the program's options, and the parser made of
// them and of the command table.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "invocation.h"
#include "report.h"

namespace CLI {
class App;
}

namespace wqctl {

// What the command line asked for, before the link is resolved.
struct command_line {
    bool json = false;
    bool german = false;
    bool sim = false;
    bool trace = false;
    int retries = 0;  // --retry: further attempts after a busy reply
    std::optional<int> port;
    std::optional<std::string> device, name;
    std::optional<BTH_ADDR> bt;
    const command_spec* command = nullptr;
    std::string group;  // a command group named without one of its commands
    std::string operand;
    command_options options;
    std::string generate;  // hidden: "completion" or "man", printed at build time
};

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

}  // namespace wqctl
