// The serial link: COM naming, opening, raw input and output, the serial
// handle as it crosses the host interface, and the command-block convention.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t serial_baud_rate = 57600;

// A request to the box: 32 copies of one command byte, written at once.
inline constexpr std::uint32_t command_block_size = 32;

// Command bytes.
inline constexpr unsigned char command_probe = 0x7D;
inline constexpr unsigned char command_read_settings = 0x2B;
inline constexpr unsigned char command_write_settings = 0x3F;
inline constexpr unsigned char command_default_settings = 0x26;
inline constexpr unsigned char command_set_clock = 0x7E;
inline constexpr unsigned char command_ota_request = 0x2A;
inline constexpr unsigned char command_ota_start_transfer = 0x7C;
inline constexpr unsigned char command_ota_verify = 0x2D;
inline constexpr unsigned char command_usage_count = 0x60;

// Opens and configures a COM device (57600 8N1, no flow control, 200 ms
// read and write time-outs). Returns plat_invalid_handle on any failure.
plat_handle wq_open_serial_port(const char* device_name, std::uint32_t baud_rate);
// 0 when all `count` bytes were written, -1 otherwise.
int wq_write_port(plat_handle handle, const void* data, std::uint32_t count);
// Bytes read (fewer when the 200 ms time-out ended the read), or -1.
int wq_read_port(plat_handle handle, void* buffer, std::uint32_t count);
// Probes COM1..COM15; the port number of the first box, or 0.
int wq_search_n_connect(char* text);

// The device name of a port number: "COM1".."COM9", "\\.\COM10".."\\.\COM15".
inline constexpr std::size_t com_device_name_size = 10;
void com_device_name(int port, char* name);
// Opens the port by number at the box's baud rate.
plat_handle open_port_by_number(int port);
// Writes a command block of `command`; 0 or -1 as wq_write_port.
int write_command_block(plat_handle handle, unsigned char command);

// The serial handle at the host interface is the low 32 bits of the handle;
// coming back it is widened by sign extension.
int handle_to_host(plat_handle handle);
plat_handle handle_from_host(int handle);

// Closes a port when it goes out of scope, so every path releases it.
class port_guard {
public:
    explicit port_guard(plat_handle handle) : handle_(handle) {}
    ~port_guard() {
        if (handle_ != plat_invalid_handle) plat_close_handle(handle_);
    }
    port_guard(const port_guard&) = delete;
    port_guard& operator=(const port_guard&) = delete;

private:
    plat_handle handle_;
};
