// The commands of wqctl, one function each, grouped by file as the library
// groups its operations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "invocation.h"
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

// Finds the box by name through the connect check; the report of the check.
report connect_by_name(const std::string& name, int language, BTH_ADDR* address);

// The held links of the multi-call sequences (firmware update, usage log):
// a serial handle from wq_ota_open_port, or a kept Bluetooth connection from
// wq_bt_ota_connect. The report of the opening call.
report open_serial_handle(const invocation& call, int* handle);
report open_kept_connection(const invocation& call, unsigned* socket);

// A file a command reads: a regular file of 1 to `largest` bytes. Anything
// else (missing, unreadable, a directory, a FIFO, a device) is refused with
// the reason before the box is asked.
struct input_file {
    std::string path;
    int fd = -1;
    std::uint64_t size = 0;
    input_file() = default;
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;
    ~input_file();
};
std::optional<report> open_input(const std::string& path, std::uint64_t largest, input_file* in);
// Exactly `size` bytes from `offset`, or a failure naming the file.
std::optional<report> read_input(const input_file& in, std::uint64_t offset, std::size_t size,
                                  unsigned char* bytes);

// A file a command writes, opened before the box is asked, so that a path
// that cannot be written costs no exchange; "-" is standard output. A
// regular file is written as TARGET.partial, each write flushed, and renamed
// to TARGET by complete(): a run that fails or is interrupted never clobbers
// what TARGET held. An incomplete one is removed at the end unless kept.
class output_file {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    // A failure naming the path and the reason when it cannot be opened.
    std::optional<report> open(const std::string& path);
    // Written and flushed; false with errno set when not.
    bool write(std::string_view bytes);
    // Closes it under its own name.
    std::optional<report> complete();
    // An incomplete file stays, under its .partial name.
    void keep_partial() { keep_ = true; }

    bool is_open() const { return stream_ != nullptr; }
    bool is_stdout() const { return path_ == "-"; }
    const std::string& path() const { return path_; }
    // Where the bytes are: the .partial name until complete() renamed it.
    const std::string& written_to() const { return written_to_; }

private:
    bool staged() const { return written_to_ != path_; }
    std::string path_, written_to_;
    std::FILE* stream_ = nullptr;
    bool keep_ = false;
};
// Writes all the bytes and completes the file.
std::optional<report> write_whole(output_file* out, std::string_view bytes);

// hints.cpp: whether the library can open a serial device, and if not why
// and what to do.
struct device_check {
    enum kind { opens, missing, denied, in_use, other } problem;
    std::string text;  // the device, the reason and what to do; empty when it opens
};
device_check check_device(const std::string& path);
// What a failure means and what to do, in r->hint.
void add_hint(const invocation& call, report* r);
// The box refused because it is in use: worth another attempt.
bool is_busy(const report& r);

}  // namespace wqctl
