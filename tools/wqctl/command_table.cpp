// The commands of wqctl and their options. Each option is bound to its field
// of command_options, and what CLI11 can say about a value or a combination
// (a range, a pair that goes together, two that exclude each other) is said
// here, so the parser refuses it before anything starts. What depends on the
// link, or on a value, the command checks itself.
#include "command_table.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <functional>
#include <limits>

#include "commands.h"

namespace wqctl {
namespace {

constexpr std::size_t address_limit = 15;  // characters of a settings address

// Seconds since 1970 as the box's clock takes them: any unsigned 64-bit number.
bool whole_seconds(std::string& text) {
    unsigned long long seconds = 0;
    if (!parse_number(text, 0ull, std::numeric_limits<unsigned long long>::max(), &seconds)) return false;
    text = std::to_string(seconds);
    return true;
}

bool address_text(std::string& text) {
    if (text.size() > address_limit) return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != ',') return false;
    }
    return true;
}

CLI::Option* record_options(CLI::App& c, command_options& o) {
    CLI::Option* short_record =
        c.add_flag("--short", o.short_record, "serial: the short 344-byte record (default: long, 380)");
    c.add_flag("--safe", o.safe, "Bluetooth: the safe record layout");
    return short_record;
}

void record_options_only(CLI::App& c, command_options& o) { record_options(c, o); }

void settings_write_options(CLI::App& c, command_options& o) {
    CLI::Option* short_record = record_options(c, o);
    const char* text_help[] = {
        "text field 1: 31 Latin-1 characters",
        "text field 2: 31 Latin-1 characters",
        "text field 3: 31 bytes",
        "text field 4: 63 Latin-1 characters",
        "text field 5: 31 Latin-1 characters",
        "text field 6: 31 bytes",
        "text field 7: 47 bytes, 39 with --safe",
        "text field 8: 31 bytes; long record and Bluetooth only",
    };
    CLI::Option* text_8 = nullptr;
    for (std::size_t i = 0; i < o.texts.size(); ++i)
        text_8 = c.add_option("--text-" + std::to_string(i + 1), o.texts[i], text_help[i])->type_name("TEXT");
    c.add_option("--number", o.number, "0..65535 (0..999 with --safe)")
        ->type_name("N")->transform(number_in(0, settings_number_limit));
    CLI::Option* mode = c.add_option("--mode", o.mode, "-999999..9999999; long record and Bluetooth only; "
                                                       "3 is address mode")
                            ->type_name("N")->transform(number_in(mode_low, mode_high));
    CLI::Option* choice = c.add_option("--choice", o.choice, "the choice, always applied when given")
                              ->type_name("0..4")->transform(number_in(0, 4));
    c.add_option("--choice-byte", o.choice_byte, "with --choice 4 only")
        ->type_name("0..255")->transform(number_in(0, 255))->needs(choice);
    c.add_option("--choice-number", o.choice_number, "with --choice 4 only")
        ->type_name("0..65535")->transform(number_in(0, settings_number_limit))->needs(choice);
    const CLI::Validator address = value_check("takes up to 15 digits and dots, like 192.168.1.10", address_text);
    CLI::Option* address_1 = c.add_option("--address-1", o.addresses[0],
                                          "Bluetooth address mode (sets mode 3): up to 15 digits and dots, "
                                          "written with --address-2 in place of --text-8")
                                 ->type_name("A")->check(address);
    CLI::Option* address_2 = c.add_option("--address-2", o.addresses[1], "the second address, written with "
                                                                         "--address-1")
                                 ->type_name("A")->check(address)->needs(address_1);
    address_1->needs(address_2);
    c.add_option("--address-3", o.addresses[2], "the third address in address mode, written with --text-7")
        ->type_name("A")->check(address);
    short_record->excludes(text_8)->excludes(mode);
}

void clock_options(CLI::App& c, command_options& o) {
    c.add_option("--time", o.time, "seconds since 1970-01-01 00:00 UTC (default: now); serial carries "
                                   "0..4294967295")
        ->type_name("T")->transform(value_check("takes whole seconds since 1970-01-01 00:00 UTC", whole_seconds));
}

void usage_settings_read_options(CLI::App& c, command_options& o) {
    c.add_option("--size", o.size, "bytes to read, 1..65536 (default 64)")
        ->type_name("N")->transform(number_in(1, largest_block));
    c.add_option("--out", o.out, "write the bytes to FILE instead of printing them")->type_name("FILE");
}

void usage_settings_write_options(CLI::App& c, command_options& o) {
    CLI::Option* in = c.add_option("--in", o.in, "the block's bytes")->type_name("FILE");
    c.add_option("--hex", o.hex, "the block as hex digits (blanks allowed)")->type_name("HEX")->excludes(in);
}

void log_options(CLI::App& c, command_options& o) {
    c.add_option("--csv", o.csv, "write it to FILE as CSV with a header row instead of showing the table; "
                                 "- is standard output")
        ->type_name("FILE");
    c.add_flag("--ambient-water", o.ambient_water,
               "usage code 12 is \"Ambient Water\" (default: \"Carbonated Water\")");
}

void firmware_update_options(CLI::App& c, command_options& o) {
    c.add_flag("--reset", o.reset, "Bluetooth: restart the box when the update is done");
}

const std::vector<command_spec> command_table = {
    {"find", "", "", nullptr, link_need::none, run_find, "probe COM1..COM15 for a box",
     "Probes the serial ports COM1 to COM15 and reports the first box that answers,\n"
     "with its identification text. With --port N the box must answer on COM N."},
    {"ports", "", "", nullptr, link_need::none, run_ports, "list the serial devices and their COM numbers",
     "Lists the serial devices present and the COM number each one is reached by:\n"
     "$WQ_COM_DIR/COMn when WQ_COM_DIR is set; else ttyS<n-1> for a UART port, and\n"
     "one of COM5..COM15 for a USB adapter, made from its serial number (or, without\n"
     "one, the USB socket it is in), so it keeps its number. A number two devices\n"
     "claim reaches neither; --device PATH reaches any device."},
    {"devices", "", "", nullptr, link_need::none, run_devices, "list the known Bluetooth devices",
     "Lists the names of the Bluetooth devices the system knows."},
    {"connect", "NAME", "the box's Bluetooth name, as `wqctl devices` lists it", nullptr, link_need::none,
     run_connect, "check a Bluetooth box by name, print its address",
     "Finds the box called NAME, runs the connect handshake and prints its Bluetooth\n"
     "address and greeting. Other commands take the address with --bt, or the name\n"
     "with --name."},
    {"settings read", "", "", record_options_only, link_need::any, run_settings_read, "read the user settings",
     "Reads the box's user settings and prints every field."},
    {"settings write", "", "", settings_write_options, link_need::any, run_settings_write,
     "write selected user settings",
     "Writes the fields given and leaves the others as they are. Texts 1, 2, 4 and 5\n"
     "take Latin-1 characters and are stored as single bytes; the others are stored\n"
     "as given."},
    {"settings defaults", "", "", nullptr, link_need::any, run_settings_defaults,
     "restore the default user settings", "Asks the box to restore its default user settings."},
    {"clock sync", "", "", clock_options, link_need::any, run_clock_sync, "set the box's clock",
     "Sets the box's clock."},
    {"identify", "", "", nullptr, link_need::bluetooth, run_identify, "make the box identify itself",
     "Asks the box to identify itself (Bluetooth)."},
    {"reset", "", "", nullptr, link_need::bluetooth, run_reset, "reset the box",
     "Asks the box to reset (Bluetooth)."},
    {"battery", "", "", nullptr, link_need::bluetooth, run_battery, "read the battery level (10 s)",
     "Reads the battery level (Bluetooth). The box is given 10 seconds to measure\n"
     "before it answers."},
    {"flush", "", "", nullptr, link_need::bluetooth, run_flush, "start a stagnation flush",
     "Asks the box to run a stagnation flush now (Bluetooth); a box in use refuses\n"
     "(see --retry)."},
    {"usage-settings count", "", "", nullptr, link_need::bluetooth, run_usage_settings_count,
     "read the usage-setting count", "Reads the usage-setting count (Bluetooth)."},
    {"usage-settings read", "", "", usage_settings_read_options, link_need::bluetooth, run_usage_settings_read,
     "read the usage-settings block", "Reads the usage-settings block (Bluetooth) and prints it in hex."},
    {"usage-settings write", "", "", usage_settings_write_options, link_need::bluetooth,
     run_usage_settings_write, "write the usage-settings block",
     "Writes a usage-settings block of 1 to 65536 bytes (Bluetooth), from a file or\n"
     "hex digits."},
    {"log", "", "", log_options, link_need::any, run_log, "download the usage log",
     "Downloads the usage log, one entry at a time, and prints it as a table. A\n"
     "progress bar goes to stderr when it is a terminal. Entry kinds: water, product,\n"
     "other (no values), empty (an empty slot), bad-number (the entry number was not\n"
     "all digits; Bluetooth)."},
    {"firmware update", "IMAGE", "the image file, 1 to 4294967295 bytes (its length travels as 32 bits)",
     firmware_update_options, link_need::any, run_firmware_update, "send a new firmware image",
     "Sends the firmware image IMAGE and has the box verify it: the image's length\n"
     "and CRC-32 go first as the two control values, then the image in chunks\n"
     "(serial 512 bytes, Bluetooth 1024), then the verify request. A progress bar\n"
     "goes to stderr when it is a terminal."},
    {"firmware reset", "", "", nullptr, link_need::bluetooth, run_firmware_reset,
     "restart the box after an update", "Connects and sends the firmware-update reset request (Bluetooth)."},
    {"convert", "TEXT", "a value text as the usage log shows it", nullptr, link_need::none, run_convert,
     "read a usage-log value as a number",
     "Prints the number the library reads from a usage-log value text (its first 7\n"
     "characters)."},
};

}  // namespace

const std::vector<command_spec>& commands() { return command_table; }

CLI::Validator value_check(std::string why, std::function<bool(std::string& text)> fits) {
    return CLI::Validator(
        [why, fits](std::string& text) { return fits(text) ? std::string() : why + ", not '" + text + "'"; }, "");
}

CLI::Validator number_in(long long low, long long high) {
    return value_check("takes a number from " + std::to_string(low) + " to " + std::to_string(high),
                       [low, high](std::string& text) {
                           long long value = 0;
                           if (!parse_number(text, low, high, &value)) return false;
                           text = std::to_string(value);
                           return true;
                       });
}

}  // namespace wqctl
