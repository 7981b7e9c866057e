#include "serial/serial_port.h"

#include <cstring>

#include "wq.h"

namespace {

constexpr plat_comm_timeouts port_timeouts = {
    0,    // read interval: not used
    0,    // read total multiplier
    200,  // read total constant, ms
    0,    // write total multiplier
    200,  // write total constant, ms
};
constexpr std::uint32_t dcb_length = 28;
constexpr std::uint8_t eight_data_bits = 8;
constexpr std::uint8_t no_parity = 0;
constexpr std::uint8_t one_stop_bit = 0;
constexpr std::uint8_t dtr_control_disable = 0;
constexpr std::uint8_t rts_control_disable = 0;

// The device-namespace template; "\\.\COM" plus one digit, or two.
constexpr char device_name_template[] = "\\\\.\\COM0";
constexpr int short_name_offset = 4;  // "COMn" starts at the fifth character
constexpr int first_port = 1;
constexpr int last_port = 15;

// The box probe: 32 command bytes out, 32 echo bytes 0x2B back, one byte we
// do not look at, then the identification text and its zero byte.
constexpr unsigned char probe_echo = 0x2B;
constexpr std::uint32_t probe_echo_count = 32;
constexpr std::uint32_t identification_max = 64;
constexpr std::size_t identification_buffer_size = 128;
constexpr char probe_xmit_error[] = "XMIT_ERROR";
constexpr char probe_echo_read_error[] = "RCV_ERROR_1";
constexpr char probe_echo_wrong[] = "RCV_ERROR_2";
constexpr char probe_extra_read_error[] = "RCV_ERROR_3";
constexpr char probe_text_read_error[] = "RCV_ERROR_4";

void apply_line_settings(plat_line_settings& dcb, std::uint32_t baud_rate) {
    dcb.baud_rate = baud_rate;
    dcb.byte_size = eight_data_bits;
    dcb.parity = no_parity;
    dcb.stop_bits = one_stop_bit;
    dcb.out_cts_flow = false;
    dcb.out_dsr_flow = false;
    dcb.dtr_control = dtr_control_disable;
    dcb.dsr_sensitivity = false;
    dcb.out_x = false;
    dcb.in_x = false;
    dcb.error_char = false;
    dcb.null_strip = false;
    dcb.rts_control = rts_control_disable;
    dcb.abort_on_error = false;
}

bool configure_port(plat_handle handle, std::uint32_t baud_rate) {
    if (!plat_flush_file_buffers(handle)) return false;
    if (!plat_set_comm_timeouts(handle, port_timeouts)) return false;
    plat_line_settings dcb{};
    dcb.dcb_length = dcb_length;
    if (!plat_get_comm_state(handle, &dcb)) return false;
    apply_line_settings(dcb, baud_rate);
    return plat_set_comm_state(handle, dcb);
}

// Reads exactly one byte. A read that ends by the time-out with nothing is
// counted as a failed read: looking again at the previous byte, as if it had
// arrived twice, would let a silent line pass for an answer.
bool read_one_byte(plat_handle handle, unsigned char* byte) {
    return wq_read_port(handle, byte, 1) == 1;
}

void write_probe_error(char* text, const char* error) {
    std::memcpy(text, error, std::strlen(error) + 1);
}

// Runs the probe on an open port. True with the identification text in
// `text`; false with the failure text (if any) in `text`.
bool probe_box(plat_handle handle, char* text) {
    if (write_command_block(handle, command_probe) != 0) {
        write_probe_error(text, probe_xmit_error);
        return false;
    }
    unsigned char byte = 0;
    for (std::uint32_t i = 0; i < probe_echo_count; ++i) {
        if (!read_one_byte(handle, &byte)) {
            write_probe_error(text, probe_echo_read_error);
            return false;
        }
        if (byte != probe_echo) {
            write_probe_error(text, probe_echo_wrong);
            return false;
        }
    }
    if (!read_one_byte(handle, &byte)) {  // its meaning is the box's own
        write_probe_error(text, probe_extra_read_error);
        return false;
    }
    unsigned char identification[identification_buffer_size] = {};
    for (std::uint32_t i = 0; i < identification_max; ++i) {
        if (!read_one_byte(handle, &identification[i])) {
            write_probe_error(text, probe_text_read_error);
            return false;
        }
        if (identification[i] == 0) {
            std::memcpy(text, identification, i + 1);
            return true;
        }
    }
    return false;  // 64 bytes without an end: not a box we understand
}

}  // namespace

plat_handle wq_open_serial_port(const char* device_name, std::uint32_t baud_rate) {
    const plat_handle handle = plat_create_file(device_name);
    if (handle == plat_invalid_handle) return plat_invalid_handle;
    if (!configure_port(handle, baud_rate)) {
        plat_close_handle(handle);
        return plat_invalid_handle;
    }
    return handle;
}

int wq_write_port(plat_handle handle, const void* data, std::uint32_t count) {
    std::uint32_t written = 0;
    if (!plat_write_file(handle, data, count, &written) || written != count) return -1;
    return 0;
}

int wq_read_port(plat_handle handle, void* buffer, std::uint32_t count) {
    std::uint32_t received = 0;
    if (!plat_read_file(handle, buffer, count, &received)) return -1;
    return static_cast<int>(received);
}

int wq_search_n_connect(char* text) {
    for (int port = first_port; port <= last_port; ++port) {
        char name[com_device_name_size] = {};
        com_device_name(port, name);
        const plat_handle handle = wq_open_serial_port(name, serial_baud_rate);
        if (handle == plat_invalid_handle) continue;
        port_guard guard(handle);
        if (probe_box(handle, text)) return port;
    }
    return 0;
}

void com_device_name(int port, char* name) {
    char full[com_device_name_size] = {};
    std::memcpy(full, device_name_template, sizeof device_name_template);
    const std::size_t last = sizeof device_name_template - 2;  // the final '0'
    static_assert(sizeof device_name_template + 1 == com_device_name_size);
    if (port < 10) {
        full[last] = static_cast<char>('0' + port);
        std::memcpy(name, full + short_name_offset, sizeof device_name_template - short_name_offset);
        return;
    }
    full[last] = '1';
    full[last + 1] = static_cast<char>('0' + (port - 10));
    std::memcpy(name, full, sizeof full);
}

plat_handle open_port_by_number(int port) {
    char name[com_device_name_size] = {};
    com_device_name(port, name);
    return wq_open_serial_port(name, serial_baud_rate);
}

int write_command_block(plat_handle handle, unsigned char command) {
    unsigned char block[command_block_size];
    std::memset(block, command, sizeof block);
    return wq_write_port(handle, block, sizeof block);
}

int handle_to_host(plat_handle handle) {
    return static_cast<int>(static_cast<std::uint32_t>(handle));
}

plat_handle handle_from_host(int handle) {
    return static_cast<plat_handle>(static_cast<std::int64_t>(handle));
}

extern "C" int wq_connect_to_box(char* text) noexcept { return wq_search_n_connect(text); }

extern "C" int wq_force_close_handle(int, char*, int, int handle) noexcept {
    plat_close_handle(handle_from_host(handle));
    return 0;
}
