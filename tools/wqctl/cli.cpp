#include "cli.h"

#include <CLI/CLI.hpp>

#include "command_table.h"

namespace wqctl {
namespace {

constexpr char program_description[] =
    "Talks to the box over a serial COM port or Bluetooth, through libwq. Every command runs the\n"
    "library's operations for one job and reports their status and message.";

const std::vector<help_section> program_sections = {
    {"Examples", R"(  wqctl --sim find                         try it without a box
  wqctl find                               which COM port has a box?
  wqctl ports                              the serial devices and their COM numbers
  wqctl --device /dev/ttyUSB0 settings read
  wqctl --name "WQ Box" settings write --text-1 Lobby --number 120
  wqctl --bt 00:11:22:33:44:AA log --csv usage.csv
  wqctl --port 3 --json firmware update box-2.1.bin)"},
    {"Environment", R"(  WQ_COM_DIR  COMn is $WQ_COM_DIR/COMn, else as `wqctl ports` lists
  WQ_BT_DIR   emulated Bluetooth: the devices file and sockets of wqbox; unset, the system's Bluetooth)"},
    {"Exit status", R"(  0  success
  1  the operation, or a file, failed (the message says why)
  2  usage error
  128+N  ended by signal N)"},
};

std::string program_footer() {
    std::string footer;
    for (const help_section& section : program_sections)
        footer += (footer.empty() ? "" : "\n\n") + std::string(section.title) + ":\n" + section.text;
    return footer;
}

constexpr char any_link_footer[] =
    "Link: --port N or --device PATH (serial), --bt ADDRESS or --name NAME (Bluetooth).";
constexpr char bt_link_footer[] = "Link: --bt ADDRESS or --name NAME (Bluetooth only).";

bool bt_address_text(std::string& text) {
    BTH_ADDR address = 0;
    return parse_bt_address(text, &address);
}

void add_global_options(CLI::App& app, command_line* line) {
    CLI::Option* port = app.add_option("--port", line->port, "serial: COM port N (1..15)")
                            ->type_name("N")->transform(number_in(lowest_port, highest_port));
    CLI::Option* device =
        app.add_option("--device", line->device, "serial: the device at PATH (/dev/ttyUSB0), whatever its COM number")
            ->type_name("PATH");
    CLI::Option* bt = app.add_option_function<std::string>(
                             "--bt", [line](const std::string& a) { parse_bt_address(a, &line->bt.emplace()); },
                             "Bluetooth: the box's address, XX:XX:XX:XX:XX:XX")
                          ->type_name("ADDRESS")
                          ->check(value_check("takes a Bluetooth address XX:XX:XX:XX:XX:XX", bt_address_text));
    CLI::Option* name =
        app.add_option("--name", line->name, "Bluetooth: the box's name, turned into its address by the connect check")
            ->type_name("NAME")
            ->check(value_check("takes a name", [](std::string& text) { return !text.empty(); }));
    const std::vector<CLI::Option*> links = {port, device, bt, name};
    for (std::size_t i = 0; i < links.size(); ++i)
        for (std::size_t j = i + 1; j < links.size(); ++j) links[i]->excludes(links[j]);
    app.add_flag("--json", line->json,
                 "print one JSON object on every outcome: {command, status, message, failed_at, hint, "
                 "values}");
    app.add_flag("--german", line->german,
                 "the library's messages in German (those of the socket layer have one text in both)");
    CLI::Option* sim = app.add_flag("--sim", line->sim,
                                    "run against an emulated box in a temporary directory: serial on COM1 (or "
                                    "--port N), Bluetooth as \"WQ Box\" 00:11:22:33:44:AA (or --bt/--name)");
    device->excludes(sim);
    app.add_flag("--trace", line->trace, "with --sim: the emulator's transcript on stderr")->needs(sim);
    app.add_option("--retry", line->retries,
                   "try again up to N times, 1 s apart, while the box is in use: it answers so, or another "
                   "program holds its Bluetooth channel (10048)")
        ->type_name("N")->transform(number_in(0, 100));
    app.add_flag_callback("--generate-completion", [line] { line->generate = "completion"; })->group("");
    app.add_flag_callback("--generate-man", [line] { line->generate = "man"; })->group("");
}

void add_command_options(CLI::App& sub, const command_spec& entry, command_line* line) {
    if (*entry.operand) sub.add_option(entry.operand, line->operand, entry.operand_help)->required();
    if (entry.options) entry.options(sub, line->options);
    // The command's own help: what it does, then how to reach the box.
    std::string footer = entry.help;
    if (entry.needs == link_need::any) footer += std::string("\n\n") + any_link_footer;
    if (entry.needs == link_need::bluetooth) footer += std::string("\n\n") + bt_link_footer;
    sub.footer(footer);
}

std::string subcommands_of(std::string_view group) {
    std::string list;
    for (const command_spec& c : commands()) {
        const std::string_view name = c.name;
        if (name.size() > group.size() && name.substr(0, group.size()) == group && name[group.size()] == ' ')
            list += (list.empty() ? "" : ", ") + std::string(name.substr(group.size() + 1));
    }
    return list;
}

CLI::App* group_of(CLI::App& app, const std::string& group, command_line* line) {
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        if (sub->get_name() == group) return sub;
    CLI::App* sub = app.add_subcommand(group, "one of: " + subcommands_of(group));
    sub->footer("");  // not the program's examples: `wqctl GROUP COMMAND --help` explains each
    sub->callback([line, group] { line->group = group; });
    return sub;
}

// The command the parser had reached: "settings write", or "" before any.
std::string reached_command(const CLI::App& app) {
    std::string name;
    for (const CLI::App* at = &app; !at->get_subcommands().empty(); at = at->get_subcommands().front())
        name += (name.empty() ? "" : " ") + at->get_subcommands().front()->get_name();
    return name;
}

// The parser stops at --version or at the first bad value, perhaps before
// it took --json; the answer is still owed as JSON.
bool asks_for_json(int argc, char** argv) {
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i)
        if (std::string_view(argv[i]) == "--json") return true;
    return false;
}

}  // namespace

const std::vector<help_section>& program_help_sections() { return program_sections; }

std::unique_ptr<CLI::App> make_app(command_line* line) {
    auto app = std::make_unique<CLI::App>(program_description, "wqctl");
    app->fallthrough();  // global options after the command too; inherited by every command
    app->footer(program_footer());
    app->set_version_flag("--version", std::string("wqctl ") + WQ_VERSION, "Print the version and exit");
    add_global_options(*app, line);
    for (const command_spec& entry : commands()) {
        const std::string name = entry.name;
        const std::size_t space = name.find(' ');
        CLI::App* parent = space == std::string::npos ? app.get() : group_of(*app, name.substr(0, space), line);
        CLI::App* sub = parent->add_subcommand(name.substr(space + 1), entry.summary);
        add_command_options(*sub, entry, line);
        sub->callback([line, &entry] { line->command = &entry; });
    }
    return app;
}

parsed parse_command_line(int argc, char** argv, command_line* line, report* error) {
    const std::unique_ptr<CLI::App> app = make_app(line);
    try {
        app->parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app->exit(e);
        return parsed::printed;
    } catch (const CLI::CallForAllHelp& e) {
        app->exit(e);
        return parsed::printed;
    } catch (const CLI::CallForVersion&) {
        line->json = line->json || asks_for_json(argc, argv);
        return parsed::version;
    } catch (const CLI::ParseError& e) {
        line->json = line->json || asks_for_json(argc, argv);
        line->group = reached_command(*app);
        *error = usage_error(e.what());
        return parsed::usage;
    }
    if (!line->generate.empty()) return parsed::run;
    if (!line->command && line->group.empty()) {
        *error = usage_error("no command given");
        return parsed::usage;
    }
    if (!line->command) {
        *error = usage_error(line->group + " takes one of: " + subcommands_of(line->group));
        return parsed::usage;
    }
    return parsed::run;
}

invocation make_invocation(const command_line& line) {
    invocation call;
    call.command = line.command;
    call.options = line.options;
    call.operand = line.operand;
    call.language = line.german ? german : english;
    call.sim = line.sim;
    call.json = line.json;
    call.retries = line.retries;
    return call;
}

}  // namespace wqctl
