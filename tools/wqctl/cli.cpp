#include "cli.h"

#include <CLI/CLI.hpp>
#include <charconv>

#include "commands.h"

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

const std::vector<option_spec> record_options = {
    {"--short", nullptr, "serial: the short 344-byte record (default: long, 380)"},
    {"--safe", nullptr, "Bluetooth: the safe record layout"},
};

std::vector<option_spec> settings_write_options() {
    std::vector<option_spec> options = record_options;
    const std::vector<option_spec> fields = {
        {"--text-1", "TEXT", "text field 1: 31 Latin-1 characters"},
        {"--text-2", "TEXT", "text field 2: 31 Latin-1 characters"},
        {"--text-3", "TEXT", "text field 3: 31 bytes"},
        {"--text-4", "TEXT", "text field 4: 63 Latin-1 characters"},
        {"--text-5", "TEXT", "text field 5: 31 Latin-1 characters"},
        {"--text-6", "TEXT", "text field 6: 31 bytes"},
        {"--text-7", "TEXT", "text field 7: 47 bytes, 39 with --safe"},
        {"--text-8", "TEXT", "text field 8: 31 bytes; long record and Bluetooth only"},
        {"--number", "N", "0..65535 (0..999 with --safe)"},
        {"--mode", "N", "-999999..9999999; long record and Bluetooth only; 3 is address mode"},
        {"--choice", "0..4", "the choice, always applied when given"},
        {"--choice-byte", "0..255", "with --choice 4 only"},
        {"--choice-number", "0..65535", "with --choice 4 only"},
        {"--address-1", "A", "Bluetooth address mode (sets mode 3): up to 15 digits and dots, "
                             "written with --address-2 in place of --text-8"},
        {"--address-2", "A", "the second address, written with --address-1"},
        {"--address-3", "A", "the third address in address mode, written with --text-7"},
    };
    options.insert(options.end(), fields.begin(), fields.end());
    return options;
}

const std::vector<command_spec> command_table = {
    {"find", "", "", {}, link_need::none, run_find, "probe COM1..COM15 for a box",
     "Probes the serial ports COM1 to COM15 and reports the first box that answers,\n"
     "with its identification text. With --port N the box must answer on COM N."},
    {"ports", "", "", {}, link_need::none, run_ports, "list the serial devices and their COM numbers",
     "Lists the serial devices present and the COM number each one is reached by:\n"
     "$WQ_COM_DIR/COMn when WQ_COM_DIR is set; else ttyS<n-1> for a UART port, and\n"
     "one of COM5..COM15 for a USB adapter, made from its serial number (or, without\n"
     "one, the USB socket it is in), so it keeps its number. A number two devices\n"
     "claim reaches neither; --device PATH reaches any device."},
    {"devices", "", "", {}, link_need::none, run_devices, "list the known Bluetooth devices",
     "Lists the names of the Bluetooth devices the system knows."},
    {"connect", "NAME", "the box's Bluetooth name, as `wqctl devices` lists it", {}, link_need::none, run_connect,
     "check a Bluetooth box by name, print its address",
     "Finds the box called NAME, runs the connect handshake and prints its Bluetooth\n"
     "address and greeting. Other commands take the address with --bt, or the name\n"
     "with --name."},
    {"settings read", "", "", record_options, link_need::any, run_settings_read, "read the user settings",
     "Reads the box's user settings and prints every field."},
    {"settings write", "", "", settings_write_options(), link_need::any, run_settings_write,
     "write selected user settings",
     "Writes the fields given and leaves the others as they are. Texts 1, 2, 4 and 5\n"
     "take Latin-1 characters and are stored as single bytes; the others are stored\n"
     "as given."},
    {"settings defaults", "", "", {}, link_need::any, run_settings_defaults,
     "restore the default user settings", "Asks the box to restore its default user settings."},
    {"clock sync", "", "", {{"--time", "T", "seconds since 1970-01-01 00:00 UTC (default: now); serial carries "
                                        "0..4294967295"}},
     link_need::any, run_clock_sync, "set the box's clock", "Sets the box's clock."},
    {"identify", "", "", {}, link_need::bluetooth, run_identify, "make the box identify itself",
     "Asks the box to identify itself (Bluetooth)."},
    {"reset", "", "", {}, link_need::bluetooth, run_reset, "reset the box", "Asks the box to reset (Bluetooth)."},
    {"battery", "", "", {}, link_need::bluetooth, run_battery, "read the battery level (10 s)",
     "Reads the battery level (Bluetooth). The box is given 10 seconds to measure\n"
     "before it answers."},
    {"flush", "", "", {}, link_need::bluetooth, run_flush, "start a stagnation flush",
     "Asks the box to run a stagnation flush now (Bluetooth); a box in use refuses\n"
     "(see --retry)."},
    {"usage-settings count", "", "", {}, link_need::bluetooth, run_usage_settings_count,
     "read the usage-setting count", "Reads the usage-setting count (Bluetooth)."},
    {"usage-settings read", "", "",
     {{"--size", "N", "bytes to read, 1..65536 (default 64)"},
      {"--out", "FILE", "write the bytes to FILE instead of printing them"}},
     link_need::bluetooth, run_usage_settings_read, "read the usage-settings block",
     "Reads the usage-settings block (Bluetooth) and prints it in hex."},
    {"usage-settings write", "", "",
     {{"--in", "FILE", "the block's bytes"}, {"--hex", "HEX", "the block as hex digits (blanks allowed)"}},
     link_need::bluetooth, run_usage_settings_write, "write the usage-settings block",
     "Writes a usage-settings block of 1 to 65536 bytes (Bluetooth), from a file or\n"
     "hex digits."},
    {"log", "", "",
     {{"--csv", "FILE", "write it to FILE as CSV with a header row instead of showing the table; "
                        "- is standard output"},
      {"--ambient-water", nullptr, "usage code 12 is \"Ambient Water\" (default: \"Carbonated Water\")"}},
     link_need::any, run_log, "download the usage log",
     "Downloads the usage log, one entry at a time, and prints it as a table. A\n"
     "progress bar goes to stderr when it is a terminal. Entry kinds: water, product,\n"
     "other (no values), empty (an empty slot), bad-number (the entry number was not\n"
     "all digits; Bluetooth)."},
    {"firmware update", "IMAGE", "the image file, 1 to 4294967295 bytes (its length travels as 32 bits)",
     {{"--reset", nullptr, "Bluetooth: restart the box when the update is done"}},
     link_need::any, run_firmware_update, "send a new firmware image",
     "Sends the firmware image IMAGE and has the box verify it: the image's length\n"
     "and CRC-32 go first as the two control values, then the image in chunks\n"
     "(serial 512 bytes, Bluetooth 1024), then the verify request. A progress bar\n"
     "goes to stderr when it is a terminal."},
    {"firmware reset", "", "", {}, link_need::bluetooth, run_firmware_reset, "restart the box after an update",
     "Connects and sends the firmware-update reset request (Bluetooth)."},
    {"convert", "TEXT", "a value text as the usage log shows it", {}, link_need::none, run_convert,
     "read a usage-log value as a number",
     "Prints the number the library reads from a usage-log value text (its first 7\n"
     "characters)."},
};

// A whole number in [low, high], said so whatever the text was.
CLI::Validator number_from(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            long long value = 0;
            if (parse_number(text, low, high, &value)) return std::string();
            return "takes a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" +
                   text + "'";
        },
        "");
}

void add_global_options(CLI::App& app, command_line* line) {
    app.add_option_function<int>("--port", [line](const int& n) { line->port = n; },
                                 "serial: COM port N (1..15)")
        ->type_name("N")->check(number_from(1, 15));
    app.add_option_function<std::string>("--device", [line](const std::string& p) { line->device = p; },
                                         "serial: the device at PATH (/dev/ttyUSB0), whatever its COM number")
        ->type_name("PATH");
    app.add_option_function<std::string>("--bt", [line](const std::string& a) { line->bt = a; },
                                         "Bluetooth: the box's address, XX:XX:XX:XX:XX:XX")
        ->type_name("ADDRESS");
    app.add_option_function<std::string>("--name", [line](const std::string& n) { line->name = n; },
                                         "Bluetooth: the box's name, turned into its address by the "
                                         "connect check")
        ->type_name("NAME");
    app.add_flag("--json", line->json,
                 "print one JSON object on every outcome: {command, status, message, failed_at, hint, "
                 "values}");
    app.add_flag("--german", line->german,
                 "the library's messages in German (those of the socket layer have one text in both)");
    app.add_flag("--sim", line->sim,
                 "run against an emulated box in a temporary directory: serial on COM1 (or --port N), "
                 "Bluetooth as \"WQ Box\" 00:11:22:33:44:AA (or --bt/--name)");
    app.add_flag("--trace", line->trace, "with --sim: the emulator's transcript on stderr");
    app.add_option("--retry", line->retries, "try again up to N times, 1 s apart, while the box answers "
                                             "that it is in use")
        ->type_name("N")->check(number_from(0, 100));
    app.add_flag_callback("--generate-completion", [line] { line->generate = "completion"; })->group("");
    app.add_flag_callback("--generate-man", [line] { line->generate = "man"; })->group("");
}

void add_command_options(CLI::App& sub, const command_spec& entry, command_line* line) {
    if (*entry.operand) sub.add_option(entry.operand, line->operand, entry.operand_help)->required();
    for (const option_spec& o : entry.options) {
        const std::string name = o.name;
        if (o.value) {
            sub.add_option_function<std::string>(
                   name, [line, name](const std::string& v) { line->options[name] = v; }, o.help)
                ->type_name(o.value);
        } else {
            sub.add_flag_callback(name, [line, name] { line->options[name] = ""; }, o.help);
        }
    }
    // The command's own help: what it does, then how to reach the box.
    std::string footer = entry.help;
    if (entry.needs == link_need::any) footer += std::string("\n\n") + any_link_footer;
    if (entry.needs == link_need::bluetooth) footer += std::string("\n\n") + bt_link_footer;
    sub.footer(footer);
}

std::string subcommands_of(std::string_view group) {
    std::string list;
    for (const command_spec& c : command_table) {
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

std::string invocation::value(std::string_view option) const {
    const auto found = options.find(option);
    return found == options.end() ? std::string() : found->second;
}

const std::vector<command_spec>& commands() { return command_table; }

const std::vector<help_section>& program_help_sections() { return program_sections; }

std::unique_ptr<CLI::App> make_app(command_line* line) {
    auto app = std::make_unique<CLI::App>(program_description, "wqctl");
    app->fallthrough();  // global options after the command too; inherited by every command
    app->footer(program_footer());
    app->set_version_flag("--version", std::string("wqctl ") + WQ_VERSION, "Print the version and exit");
    add_global_options(*app, line);
    for (const command_spec& entry : command_table) {
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

bool parse_number(std::string_view text, long long low, long long high, long long* value) {
    long long number = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size())
        return false;
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

bool parse_unsigned(std::string_view text, unsigned long long* value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::optional<report> number_option(const invocation& call, std::string_view option, long long low,
                                    long long high, long long* value) {
    if (parse_number(call.value(option), low, high, value)) return std::nullopt;
    return usage_error(std::string(option) + " takes a number from " + std::to_string(low) + " to " +
                       std::to_string(high));
}

}  // namespace wqctl
