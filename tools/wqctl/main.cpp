// wqctl: the library's operations from the command line, for service
// technicians, scripts and newcomers.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "cli.h"
#include "commands.h"
#include "link.h"
#include "report.h"
#include "sim.h"

namespace {

using namespace wqctl;

std::string command_name(const command_line& line, const invocation& call) {
    if (call.command) return call.command->name;
    return line.words.empty() ? std::string() : line.words[0];
}

int finish(const command_line& line, const invocation& call, const report& r) {
    const std::string name = command_name(line, call);
    if (r.result == outcome::usage) {
        std::fprintf(stderr, "wqctl: %s (see wqctl %s--help)\n", r.summary.c_str(),
                     call.command ? (name + " ").c_str() : "");
    }
    if (line.json) {
        print_json(stdout, name, r);
    } else if (r.result != outcome::usage) {
        print_human(stdout, stderr, r);
    }
    return static_cast<int>(r.result);
}

bool wants_help(const command_line& line) {
    return line.help || (!line.words.empty() && line.words[0] == "help");
}

int show_help(command_line line) {
    if (!line.words.empty() && line.words[0] == "help") line.words.erase(line.words.begin());
    if (line.words.empty()) {
        print_overview(stdout);
        return 0;
    }
    if (print_help(stdout, line.words)) return 0;
    std::fprintf(stderr, "wqctl: unknown command %s (see wqctl --help)\n", line.words[0].c_str());
    return static_cast<int>(outcome::usage);
}

sim_options sim_options_for(const command_line& line) {
    sim_options options;
    if (line.port) parse_port(*line.port, &options.com_port);
    BTH_ADDR address = 0;
    if (line.bt && parse_bt_address(*line.bt, &address)) options.bt_address = format_bt_address(address);
    if (line.name) options.name = *line.name;
    options.trace = line.trace;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    command_line line;
    invocation call;
    if (auto error = parse_command_line(argc, argv, &line)) return finish(line, call, *error);
    if (wants_help(line)) return show_help(line);
    if (auto error = select_command(line, &call)) return finish(line, call, *error);
    if (line.trace && !line.sim) return finish(line, call, usage_error("--trace goes with --sim"));
    call.progress = isatty(STDERR_FILENO);

    std::unique_ptr<simulation> sim;
    if (line.sim) {
        std::string error;
        sim = simulation::start(sim_options_for(line), &error);
        if (!sim) {
            report r;
            r.result = outcome::failed;
            r.summary = "the emulated box did not start: " + error;
            return finish(line, call, r);
        }
    }
    if (auto error = resolve_link(line, call, &call.target)) return finish(line, call, *error);
    return finish(line, call, call.command->run(call));
}
