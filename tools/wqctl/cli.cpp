#include "cli.h"

#include <charconv>
#include <cstring>

#include "commands.h"

namespace wqctl {
namespace {

constexpr char overview_text[] = R"(Usage: wqctl [options] COMMAND [SUBCOMMAND] [ARGUMENT] [command options]

Talks to the box over a serial COM port or Bluetooth, through libwq. Every
command runs the library's operations for one job and reports their status
and message.

Link, for the commands that talk to one box:
  --port N          serial: COM port N (1..15)
  --bt ADDRESS      Bluetooth: the box's address, XX:XX:XX:XX:XX:XX
  --name NAME       Bluetooth: the box's name, turned into its address by the
                    connect check

Output and language:
  --json            print one JSON object: {"command", "status", "message",
                    "failed_at" (a sequence that broke off), "values"}
  --german          the library's messages in German
  --sim             run against an emulated box in a temporary directory, so
                    that everything works without a box: serial on COM1 (or
                    --port N), Bluetooth as "WQ Box" 00:11:22:33:44:AA (or
                    --bt/--name); without a link option a command uses serial
                    COM1, or Bluetooth when it exists only there
  --trace           with --sim: the emulator's transcript of the traffic on
                    stderr
  -h, --help        this text; `wqctl COMMAND --help` explains a command

Commands:
%s
Examples:
  wqctl --sim find                         try it without a box
  wqctl find                               which COM port has a box?
  wqctl --port 3 settings read
  wqctl --name "WQ Box" settings write --text-1 Lobby --number 120
  wqctl --bt 00:11:22:33:44:AA log --csv usage.csv
  wqctl --port 3 --json firmware update box-2.1.bin

Exit status: 0 success, 1 the operation failed (the message says why),
2 usage error.
)";

constexpr char settings_fields_help[] = R"(
Fields (each one given is written, the others are left as they are):
  --text-1 .. --text-8 TEXT   the text fields (31 characters; --text-4: 63;
                              --text-7: 47, 39 with --safe); --text-8: long
                              record and Bluetooth only
  --number N                  0..65535 (0..999 with --safe)
  --mode N                    long record and Bluetooth only
  --choice 0..4               always applied when given
  --choice-byte 0..255, --choice-number 0..65535
                              with --choice 4 only
  --address-1, --address-2 A  Bluetooth address mode (mode 3): two addresses
                              of up to 15 digits and dots, stored in place of
                              --text-8
  --address-3 A               Bluetooth address mode: the third address,
                              written together with --text-7
Texts 1, 2, 4 and 5 take Latin-1 characters and are stored as single bytes;
the others are stored as given.
)";

const std::vector<command_spec> command_table = {
    {"find", "", "", link_need::none, run_find, "probe COM1..COM15 for a box",
     "Probes the serial ports COM1 to COM15 and reports the first box that\n"
     "answers, with its identification text.\n"},
    {"devices", "", "", link_need::none, run_devices, "list the known Bluetooth devices",
     "Lists the names of the Bluetooth devices the system knows.\n"},
    {"connect", "NAME", "", link_need::none, run_connect,
     "check a Bluetooth box by name, print its address",
     "Finds the box called NAME, runs the connect handshake and prints its\n"
     "Bluetooth address and greeting. Other commands take the address with\n"
     "--bt, or the name with --name.\n"},
    {"settings read", "", "--short --safe", link_need::any, run_settings_read,
     "read the user settings",
     "Reads the box's user settings and prints every field.\n"
     "  --short   serial: the short 344-byte record (default: long, 380)\n"
     "  --safe    Bluetooth: the safe record layout\n"},
    {"settings write", "",
     "--short --safe --text-1= --text-2= --text-3= --text-4= --text-5= --text-6= --text-7= "
     "--text-8= --number= --mode= --choice= --choice-byte= --choice-number= --address-1= "
     "--address-2= --address-3=",
     link_need::any, run_settings_write, "write selected user settings",
     "Writes the fields given below and leaves the others as they are.\n"
     "  --short   serial: the short 344-byte record (default: long, 380)\n"
     "  --safe    Bluetooth: the safe record layout\n"},
    {"settings defaults", "", "", link_need::any, run_settings_defaults,
     "restore the default user settings", "Asks the box to restore its default user settings.\n"},
    {"clock sync", "", "--time=", link_need::any, run_clock_sync, "set the box's clock",
     "Sets the box's clock.\n"
     "  --time T  seconds since 1970-01-01 00:00 UTC (default: now); serial\n"
     "            carries 0..4294967295\n"},
    {"identify", "", "", link_need::bluetooth, run_identify, "make the box identify itself",
     "Asks the box to identify itself (Bluetooth).\n"},
    {"reset", "", "", link_need::bluetooth, run_reset, "reset the box",
     "Asks the box to reset (Bluetooth).\n"},
    {"battery", "", "", link_need::bluetooth, run_battery, "read the battery level (10 s)",
     "Reads the battery level (Bluetooth). The box is given 10 seconds to\n"
     "measure before it answers.\n"},
    {"flush", "", "", link_need::bluetooth, run_flush, "start a stagnation flush",
     "Asks the box to run a stagnation flush now (Bluetooth); a box in use\n"
     "refuses.\n"},
    {"usage-settings count", "", "", link_need::bluetooth, run_usage_settings_count,
     "read the usage-setting count", "Reads the usage-setting count (Bluetooth).\n"},
    {"usage-settings read", "", "--size= --out=", link_need::bluetooth, run_usage_settings_read,
     "read the usage-settings block",
     "Reads the usage-settings block (Bluetooth) and prints it in hex.\n"
     "  --size N    bytes to read (default 64)\n"
     "  --out FILE  write the bytes to FILE instead\n"},
    {"usage-settings write", "", "--in= --hex=", link_need::bluetooth, run_usage_settings_write,
     "write the usage-settings block",
     "Writes a usage-settings block (Bluetooth), from a file or hex digits.\n"
     "  --in FILE   the block's bytes\n"
     "  --hex HEX   the block as hex digits (blanks allowed)\n"},
    {"log", "", "--csv= --ambient-water", link_need::any, run_log, "download the usage log",
     "Downloads the usage log, one entry at a time, and prints it.\n"
     "  --csv FILE       also write it to FILE as CSV, with a header row\n"
     "  --ambient-water  usage code 12 is \"Ambient Water\" (default:\n"
     "                   \"Carbonated Water\")\n"
     "Entry kinds: water, product, other (no values), empty (an empty slot),\n"
     "bad-number (the entry number was not all digits; Bluetooth).\n"},
    {"firmware update", "IMAGE", "--reset", link_need::any, run_firmware_update,
     "send a new firmware image",
     "Sends the firmware image IMAGE and has the box verify it: the image's\n"
     "length and CRC-32 go first as the two control values, then the image in\n"
     "chunks (serial 512 bytes, Bluetooth 1024), then the verify request. A\n"
     "progress bar goes to stderr when it is a terminal.\n"
     "  --reset  Bluetooth: restart the box when the update is done\n"},
    {"firmware reset", "", "", link_need::bluetooth, run_firmware_reset,
     "restart the box after an update",
     "Connects and sends the firmware-update reset request (Bluetooth).\n"},
    {"convert", "TEXT", "", link_need::none, run_convert, "read a usage-log value as a number",
     "Prints the number the library reads from a usage-log value text (its\n"
     "first 7 characters).\n"},
};

constexpr const char* global_value_options[] = {"--port", "--bt", "--name"};

bool is_group(std::string_view word) {
    for (const command_spec& c : command_table) {
        const std::string_view name = c.name;
        if (name.size() > word.size() && name.substr(0, word.size()) == word && name[word.size()] == ' ')
            return true;
    }
    return false;
}

// Where `option` stands in `list` (space-separated, '=' marks a value).
enum class option_kind { unknown, flag, value };

option_kind kind_in(std::string_view list, std::string_view option) {
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(' '), list.size());
        std::string_view item = list.substr(0, end);
        list.remove_prefix(std::min(end + 1, list.size()));
        const bool value = !item.empty() && item.back() == '=';
        if (value) item.remove_suffix(1);
        if (item == option) return value ? option_kind::value : option_kind::flag;
    }
    return option_kind::unknown;
}

option_kind command_option_kind(std::string_view option) {
    for (const command_spec& c : command_table) {
        if (const option_kind k = kind_in(c.options, option); k != option_kind::unknown) return k;
    }
    return option_kind::unknown;
}

bool apply_global_flag(command_line* line, std::string_view option) {
    if (option == "--json") line->json = true;
    else if (option == "--german") line->german = true;
    else if (option == "--sim") line->sim = true;
    else if (option == "--trace") line->trace = true;
    else if (option == "--help" || option == "-h") line->help = true;
    else return false;
    return true;
}

void apply_value(command_line* line, std::string_view option, std::string value) {
    if (option == "--port") line->port = std::move(value);
    else if (option == "--bt") line->bt = std::move(value);
    else if (option == "--name") line->name = std::move(value);
    else line->options[std::string(option)] = std::move(value);
}

bool takes_value(std::string_view option) {
    for (const char* global : global_value_options) {
        if (option == global) return true;
    }
    return command_option_kind(option) == option_kind::value;
}

const command_spec* find_command(const std::vector<std::string>& words, std::size_t* used) {
    for (const command_spec& c : command_table) {
        if (words.size() >= 2 && c.name == words[0] + " " + words[1]) return *used = 2, &c;
        if (!words.empty() && c.name == words[0]) return *used = 1, &c;
    }
    return nullptr;
}

std::string subcommands_of(std::string_view group) {
    std::string list;
    for (const command_spec& c : command_table) {
        const std::string_view name = c.name;
        if (name.substr(0, group.size() + 1) == std::string(group) + " ")
            list += (list.empty() ? "" : ", ") + std::string(name.substr(group.size() + 1));
    }
    return list;
}

std::optional<report> check_options(const command_line& line, const command_spec& c) {
    for (const auto& [option, value] : line.options) {
        if (kind_in(c.options, option) == option_kind::unknown)
            return usage_error(std::string(c.name) + " does not take " + option);
    }
    return std::nullopt;
}

}  // namespace

std::string invocation::value(std::string_view option) const {
    const auto found = options.find(option);
    return found == options.end() ? std::string() : found->second;
}

const std::vector<command_spec>& commands() { return command_table; }

std::optional<report> parse_command_line(int argc, char** argv, command_line* line) {
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (options_end || argument.empty() || argument[0] != '-' || argument == "-") {
            line->words.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            options_end = true;
            continue;
        }
        if (apply_global_flag(line, argument)) continue;
        std::string_view option = argument;
        std::optional<std::string> value;
        if (const auto eq = argument.find('='); eq != std::string_view::npos) {
            option = argument.substr(0, eq);
            value = std::string(argument.substr(eq + 1));
        }
        if (takes_value(option)) {
            if (!value && i + 1 >= argc) return usage_error(std::string(option) + " needs a value");
            apply_value(line, option, value ? *value : std::string(argv[++i]));
        } else if (!value && command_option_kind(option) == option_kind::flag) {
            line->options[std::string(option)] = "";
        } else {
            return usage_error("unknown option " + std::string(argument));
        }
    }
    return std::nullopt;
}

std::optional<report> select_command(const command_line& line, invocation* call) {
    if (line.words.empty()) return usage_error("no command given");
    std::size_t used = 0;
    call->command = find_command(line.words, &used);
    if (!call->command) {
        if (is_group(line.words[0]))
            return usage_error(line.words[0] + " takes one of: " + subcommands_of(line.words[0]));
        return usage_error("unknown command " + line.words[0]);
    }
    const command_spec& c = *call->command;
    const std::size_t operands = line.words.size() - used;
    const bool wants_operand = *c.operand != '\0';
    if (operands != (wants_operand ? 1u : 0u)) {
        return usage_error(wants_operand ? std::string(c.name) + " takes one " + c.operand
                                         : std::string(c.name) + " takes no argument " +
                                               line.words[used]);
    }
    if (wants_operand) call->operand = line.words[used];
    if (auto error = check_options(line, c)) return error;
    call->options = line.options;
    call->language = line.german ? german : english;
    call->sim = line.sim;
    return std::nullopt;
}

void print_overview(std::FILE* out) {
    std::string list;
    for (const command_spec& c : command_table) {
        std::string name = c.name;
        if (*c.operand) name += std::string(" ") + c.operand;
        char line[128];
        std::snprintf(line, sizeof line, "  %-24s %s\n", name.c_str(), c.summary);
        list += line;
    }
    std::fprintf(out, overview_text, list.c_str());
}

bool print_help(std::FILE* out, const std::vector<std::string>& words) {
    std::size_t used = 0;
    if (const command_spec* c = find_command(words, &used)) {
        std::fprintf(out, "Usage: wqctl [link] [--json] [--german] [--sim] %s%s%s [options]\n\n%s",
                     c->name, *c->operand ? " " : "", c->operand, c->help);
        if (std::string_view(c->name) == "settings write") std::fputs(settings_fields_help, out);
        if (c->needs == link_need::any)
            std::fputs("\nLink: --port N (serial), --bt ADDRESS or --name NAME (Bluetooth).\n", out);
        if (c->needs == link_need::bluetooth)
            std::fputs("\nLink: --bt ADDRESS or --name NAME (Bluetooth only).\n", out);
        return true;
    }
    if (!words.empty() && is_group(words[0])) {
        std::fprintf(out, "wqctl %s takes one of: %s (see wqctl %s SUBCOMMAND --help)\n",
                     words[0].c_str(), subcommands_of(words[0]).c_str(), words[0].c_str());
        return true;
    }
    return false;
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
    return usage_error(std::string(option) + " takes a number from " + std::to_string(low) +
                       " to " + std::to_string(high));
}

}  // namespace wqctl
