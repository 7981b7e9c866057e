// The commands of wqctl, one function each, grouped by file as the library
// groups its operations.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "report.h"

namespace wqctl {

// The library asks for a message buffer of at least 128 bytes.
constexpr std::size_t message_size = 256;

// box.cpp: discovery, connection and the small commands.
report run_find(const invocation& call);
report run_devices(const invocation& call);
report run_connect(const invocation& call);
report run_clock_sync(const invocation& call);
report run_identify(const invocation& call);
report run_reset(const invocation& call);
report run_battery(const invocation& call);
report run_flush(const invocation& call);
report run_convert(const invocation& call);

// ports.cpp
report run_ports(const invocation& call);

// settings.cpp
report run_settings_read(const invocation& call);
report run_settings_write(const invocation& call);
report run_settings_defaults(const invocation& call);

// usage_settings.cpp
report run_usage_settings_count(const invocation& call);
report run_usage_settings_read(const invocation& call);
report run_usage_settings_write(const invocation& call);

// usage_log.cpp
report run_log(const invocation& call);

// firmware.cpp
report run_firmware_update(const invocation& call);
report run_firmware_reset(const invocation& call);

// The Bluetooth address as text, "00:11:22:33:44:AA".
std::string format_bt_address(BTH_ADDR address);
// Parses "XX:XX:XX:XX:XX:XX" (hex digits in either case).
bool parse_bt_address(std::string_view text, BTH_ADDR* address);
// Finds the box by name through the connect check; the report of the check.
report connect_by_name(const std::string& name, int language, BTH_ADDR* address);

// The held links of the multi-call sequences (firmware update, usage log):
// a serial handle from wq_ota_open_port, or a kept Bluetooth connection from
// wq_bt_ota_connect. The report of the opening call.
report open_serial_handle(const invocation& call, int* handle);
report open_kept_connection(const invocation& call, unsigned* socket);

// Whole files for the commands that take bytes; false on any error.
bool read_file(const std::string& path, std::vector<unsigned char>* bytes);

// A file a command writes, opened before the box is asked, so that a path
// that cannot be written costs no exchange; "-" is standard output.
struct output_file {
    std::string path;
    std::FILE* stream = nullptr;
    bool is_stdout() const { return path == "-"; }
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();
};
// A failure naming the path and the reason when it cannot be opened.
std::optional<report> open_output(const std::string& path, output_file* out);
// Writes the bytes and closes the file; a failure of wqctl's own on error.
std::optional<report> write_output(output_file* out, const std::string& bytes);

// hints.cpp: what a failure means and what to do, in r->hint.
void add_hint(const invocation& call, report* r);
// The box refused because it is in use: worth another attempt.
bool is_busy(const report& r);

}  // namespace wqctl
