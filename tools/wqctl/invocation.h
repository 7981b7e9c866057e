// What a command is handed: the options it was given, typed, and the link it
// talks over; and what the command table says of each command.
#pragma once

#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

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

// The serial ports a box is looked for on.
constexpr int lowest_port = 1;
constexpr int highest_port = 15;

// The Bluetooth address as text, "00:11:22:33:44:AA".
std::string format_bt_address(BTH_ADDR address);
// Parses "XX:XX:XX:XX:XX:XX" (hex digits in either case).
bool parse_bt_address(std::string_view text, BTH_ADDR* address);

// The options of all commands, each a field of its own type, so that a
// misspelt option does not compile. A command's entry in the table binds the
// ones it takes; the others stay empty. The parser has already held every
// number to its range.
struct command_options {
    bool short_record = false;  // --short
    bool safe = false;          // --safe
    std::array<std::optional<std::string>, 8> texts;      // --text-1 .. --text-8
    std::array<std::optional<std::string>, 3> addresses;  // --address-1 .. --address-3
    std::optional<long long> number, mode, choice, choice_byte, choice_number;
    std::optional<unsigned long long> time;  // clock sync: seconds since 1970
    std::optional<long long> size;           // usage-settings read
    std::optional<std::string> in, hex, out, csv;
    bool ambient_water = false;
    bool reset = false;  // firmware update
};

// Ranges the parser holds options to and the commands read the box's values
// against.
constexpr long long settings_number_limit = 65535;
// The safe record keeps the mode as 7 characters. A mode is one number on
// the box, which answers every read in the layout it is asked for (or last
// written), so a mode outside what the safe layout can carry could not be
// read back whole.
constexpr long long mode_low = -999999;
constexpr long long mode_high = 9999999;
constexpr long long largest_block = 65536;  // a usage-settings block

// The language flag of the library: non-zero selects German messages.
constexpr int english = 0;
constexpr int german = 1;

struct invocation;
using handler = report (*)(const invocation&);
// Adds a command's options to its parser, bound to their fields.
using option_binder = void (*)(CLI::App& command, command_options& options);

struct command_spec {
    const char* name;     // "settings write"
    const char* operand;  // the one operand it takes ("NAME", "IMAGE"), or ""
    const char* operand_help;
    option_binder options;  // nullptr: none
    link_need needs;
    handler run;
    const char* summary;
    const char* help;
};

struct invocation {
    const command_spec* command = nullptr;
    command_options options;
    std::string operand;
    int language = english;
    bool progress = false;  // stderr is a terminal: progress bars go there
    bool sim = false;
    bool json = false;  // the report goes to stdout as JSON
    int retries = 0;    // --retry: further attempts after a busy reply
    link target;

    bool serial() const { return target.type == link::kind::serial; }
};

// The whole text as a decimal number in [low, high], or false.
template <class number>
bool parse_number(std::string_view text, number low, number high, number* value) {
    number parsed{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size()) return false;
    if (parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

}  // namespace wqctl
