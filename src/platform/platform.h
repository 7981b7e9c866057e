// The platform seam: the only way the library reaches the operating system.
//
// Each function mirrors one Windows call the library's behaviour is defined
// by. Three backends implement this header and the build links exactly one:
// win32.cpp (the real Windows API), posix_*.cpp (termios and sockets) and
// the tests' fake_platform.cpp (a scripted box on a virtual clock).
//
// Errors are reported as the Windows codes the library's messages show, so a
// message reads the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bth_address.h"

// ---- Serial port -----------------------------------------------------------

// A serial handle as the library holds it; all ones means "no port".
using plat_handle = std::uint64_t;
inline constexpr plat_handle plat_invalid_handle = ~plat_handle{0};

// CreateFileA(name, GENERIC_READ|GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
//             FILE_ATTRIBUTE_NORMAL, NULL): exclusive, synchronous.
plat_handle plat_create_file(const char* device_name);
bool plat_flush_file_buffers(plat_handle handle);

struct plat_comm_timeouts {  // COMMTIMEOUTS, in milliseconds
    std::uint32_t read_interval;
    std::uint32_t read_total_multiplier;
    std::uint32_t read_total_constant;
    std::uint32_t write_total_multiplier;
    std::uint32_t write_total_constant;
};
bool plat_set_comm_timeouts(plat_handle handle, const plat_comm_timeouts& timeouts);

// The DCB fields the library changes. `native` carries the rest of the
// driver's DCB from get to set untouched, so the fields we do not name keep
// the values the driver reported.
struct plat_line_settings {
    std::uint32_t dcb_length;
    std::uint32_t baud_rate;
    std::uint8_t byte_size;
    std::uint8_t parity;
    std::uint8_t stop_bits;
    bool out_cts_flow;
    bool out_dsr_flow;
    std::uint8_t dtr_control;
    bool dsr_sensitivity;
    bool out_x;
    bool in_x;
    bool error_char;
    bool null_strip;
    std::uint8_t rts_control;
    bool abort_on_error;
    unsigned char native[64];
};
bool plat_get_comm_state(plat_handle handle, plat_line_settings* settings);
bool plat_set_comm_state(plat_handle handle, const plat_line_settings& settings);

// One synchronous WriteFile/ReadFile; *done receives the bytes moved.
bool plat_write_file(plat_handle handle, const void* data, std::uint32_t count,
                     std::uint32_t* done);
bool plat_read_file(plat_handle handle, void* buffer, std::uint32_t count, std::uint32_t* done);
bool plat_close_handle(plat_handle handle);

// ---- Waits -------------------------------------------------------------------

void plat_sleep_ms(std::uint32_t milliseconds);  // Sleep
void plat_sleep_s(std::uint32_t seconds);        // the runtime's wait in whole seconds

// ---- Process heap ------------------------------------------------------------

// HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); nullptr on failure.
void* plat_heap_alloc(std::size_t bytes);
void plat_heap_free(void* block);

// ---- Socket layer ------------------------------------------------------------

// A platform socket as the library holds it.
using plat_socket = std::uint64_t;
inline constexpr plat_socket plat_invalid_socket = ~plat_socket{0};
inline constexpr int plat_socket_error = -1;

// Windows Sockets error codes that the library looks at.
inline constexpr int plat_wsaefault = 10014;
inline constexpr int plat_wsaetimedout = 10060;
inline constexpr int plat_wsa_e_no_more = 10110;

int plat_wsa_startup(std::uint16_t version);  // 0, or the WSAStartup error
int plat_wsa_cleanup();
int plat_wsa_get_last_error();

// Bluetooth name-service lookup (WSALookupServiceBeginA/NextA/End in NS_BTH).
// The query record is a heap block of at least plat_query_record_size bytes
// that the caller allocates zero-filled; its layout is the backend's.
inline constexpr std::uint32_t plat_query_record_size = 120;
using plat_lookup_handle = std::uint64_t;
// dwSize and dwNameSpace (NS_BTH) of a fresh query record.
void plat_query_prepare(void* record);
// 0 and *lookup on success; plat_socket_error otherwise.
int plat_lookup_begin(void* record, std::uint32_t flags, plat_lookup_handle* lookup);
// 0 when a result is in `record`; plat_socket_error otherwise (see
// plat_wsa_get_last_error: plat_wsaefault asks for a record of *size bytes).
int plat_lookup_next(plat_lookup_handle lookup, std::uint32_t flags, std::uint32_t* size,
                     void* record);
int plat_lookup_end(plat_lookup_handle lookup);
// The result's service instance name, or nullptr when it has none.
const char* plat_query_name(const void* record);
// Copies the remote address (bth_address.h) of the result's first CSADDR_INFO;
// false when the result carries none.
bool plat_query_remote_address(const void* record, unsigned char address[bth_address_size]);

// socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM)
plat_socket plat_socket_open();
// connect() with the packed SOCKADDR_BTH (bth_address.h).
int plat_connect(plat_socket socket, const unsigned char address[bth_address_size]);

enum class plat_socket_option { receive_timeout, send_buffer, receive_buffer };
// setsockopt(SOL_SOCKET, SO_RCVTIMEO / SO_SNDBUF / SO_RCVBUF) with a 4-byte
// value (milliseconds for the receive time-out, bytes for the buffers).
int plat_set_socket_option(plat_socket socket, plat_socket_option option, std::uint32_t value);

// send()/recv() with flags 0: bytes moved, 0 (recv: peer closed) or
// plat_socket_error.
int plat_send(plat_socket socket, const void* data, int length);
int plat_recv(plat_socket socket, void* buffer, int length);
int plat_close_socket(plat_socket socket);
