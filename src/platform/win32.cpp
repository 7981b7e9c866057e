// The Windows backend: the kernel32 and ws2_32 calls, with the exact flags,
// DCB fields and time-outs the box's link is defined by.
#include <winsock2.h>
#include <windows.h>
#include <ws2bth.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

HANDLE native_handle(plat_handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}

}  // namespace

// ---- serial port ---------------------------------------------------------------

plat_handle plat_create_file(const char* device_name) {
    const HANDLE handle = ::CreateFileA(device_name, GENERIC_READ | GENERIC_WRITE,
                                        0,  // no sharing: the port is ours alone
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return plat_invalid_handle;
    // A HANDLE is pointer-sized; widening it keeps INVALID_HANDLE_VALUE all ones.
    return static_cast<plat_handle>(reinterpret_cast<std::intptr_t>(handle));
}

bool plat_flush_file_buffers(plat_handle handle) {
    return ::FlushFileBuffers(native_handle(handle)) != 0;
}

bool plat_set_comm_timeouts(plat_handle handle, const plat_comm_timeouts& timeouts) {
    COMMTIMEOUTS native{};
    native.ReadIntervalTimeout = timeouts.read_interval;
    native.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
    native.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    native.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
    native.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return ::SetCommTimeouts(native_handle(handle), &native) != 0;
}

bool plat_get_comm_state(plat_handle handle, plat_line_settings* settings) {
    static_assert(sizeof(DCB) == 28 && sizeof(DCB) <= sizeof settings->native);
    DCB dcb{};
    dcb.DCBlength = settings->dcb_length;
    if (!::GetCommState(native_handle(handle), &dcb)) return false;
    std::memcpy(settings->native, &dcb, sizeof dcb);
    settings->baud_rate = dcb.BaudRate;
    settings->byte_size = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stop_bits = dcb.StopBits;
    settings->out_cts_flow = dcb.fOutxCtsFlow;
    settings->out_dsr_flow = dcb.fOutxDsrFlow;
    settings->dtr_control = static_cast<std::uint8_t>(dcb.fDtrControl);
    settings->dsr_sensitivity = dcb.fDsrSensitivity;
    settings->out_x = dcb.fOutX;
    settings->in_x = dcb.fInX;
    settings->error_char = dcb.fErrorChar;
    settings->null_strip = dcb.fNull;
    settings->rts_control = static_cast<std::uint8_t>(dcb.fRtsControl);
    settings->abort_on_error = dcb.fAbortOnError;
    return true;
}

bool plat_set_comm_state(plat_handle handle, const plat_line_settings& settings) {
    // Start from the DCB the driver reported, so that every field we do not
    // name (fBinary, fParity, the Xon/Xoff limits and characters, ...) keeps
    // its value.
    DCB dcb{};
    std::memcpy(&dcb, settings.native, sizeof dcb);
    dcb.DCBlength = settings.dcb_length;
    dcb.BaudRate = settings.baud_rate;
    dcb.ByteSize = settings.byte_size;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stop_bits;
    dcb.fOutxCtsFlow = settings.out_cts_flow;
    dcb.fOutxDsrFlow = settings.out_dsr_flow;
    dcb.fDtrControl = settings.dtr_control;
    dcb.fDsrSensitivity = settings.dsr_sensitivity;
    dcb.fOutX = settings.out_x;
    dcb.fInX = settings.in_x;
    dcb.fErrorChar = settings.error_char;
    dcb.fNull = settings.null_strip;
    dcb.fRtsControl = settings.rts_control;
    dcb.fAbortOnError = settings.abort_on_error;
    return ::SetCommState(native_handle(handle), &dcb) != 0;
}

bool plat_write_file(plat_handle handle, const void* data, std::uint32_t count,
                     std::uint32_t* done) {
    DWORD written = 0;
    const BOOL ok = ::WriteFile(native_handle(handle), data, count, &written, nullptr);
    *done = written;
    return ok != 0;
}

bool plat_read_file(plat_handle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    DWORD received = 0;
    const BOOL ok = ::ReadFile(native_handle(handle), buffer, count, &received, nullptr);
    *done = received;
    return ok != 0;
}

bool plat_close_handle(plat_handle handle) { return ::CloseHandle(native_handle(handle)) != 0; }

// ---- waits and heap -------------------------------------------------------------

void plat_sleep_ms(std::uint32_t milliseconds) { ::Sleep(milliseconds); }
void plat_sleep_s(std::uint32_t seconds) { ::Sleep(seconds * 1000); }

void* plat_heap_alloc(std::size_t bytes) {
    return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}
void plat_heap_free(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }

// ---- socket layer ----------------------------------------------------------------

namespace {

static_assert(sizeof(SOCKADDR_BTH) == bth_address_size);
static_assert(AF_BTH == bth_family);
// The query record is the 64-bit WSAQUERYSETA; its result grows behind it.
static_assert(sizeof(WSAQUERYSETA) == plat_query_record_size);

SOCKET native_socket(plat_socket socket) { return static_cast<SOCKET>(socket); }

HANDLE native_lookup(plat_lookup_handle lookup) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(lookup));
}

int native_option(plat_socket_option option) {
    switch (option) {
        case plat_socket_option::receive_timeout: return SO_RCVTIMEO;
        case plat_socket_option::send_buffer: return SO_SNDBUF;
        case plat_socket_option::receive_buffer: return SO_RCVBUF;
    }
    return SO_RCVBUF;
}

}  // namespace

int plat_wsa_startup(std::uint16_t version) {
    WSADATA data{};
    return ::WSAStartup(version, &data);
}

int plat_wsa_cleanup() { return ::WSACleanup(); }
int plat_wsa_get_last_error() { return ::WSAGetLastError(); }

void plat_query_prepare(void* record) {
    auto* query = static_cast<WSAQUERYSETA*>(record);
    query->dwSize = plat_query_record_size;
    query->dwNameSpace = NS_BTH;
}

int plat_lookup_begin(void* record, std::uint32_t flags, plat_lookup_handle* lookup) {
    HANDLE handle = nullptr;
    if (::WSALookupServiceBeginA(static_cast<WSAQUERYSETA*>(record), flags, &handle) != 0) {
        return plat_socket_error;
    }
    *lookup = static_cast<plat_lookup_handle>(reinterpret_cast<std::uintptr_t>(handle));
    return 0;
}

int plat_lookup_next(plat_lookup_handle lookup, std::uint32_t flags, std::uint32_t* size,
                     void* record) {
    DWORD length = *size;
    const INT result = ::WSALookupServiceNextA(native_lookup(lookup), flags, &length,
                                               static_cast<WSAQUERYSETA*>(record));
    *size = length;
    return result == 0 ? 0 : plat_socket_error;
}

int plat_lookup_end(plat_lookup_handle lookup) {
    return ::WSALookupServiceEnd(native_lookup(lookup)) == 0 ? 0 : plat_socket_error;
}

const char* plat_query_name(const void* record) {
    return static_cast<const WSAQUERYSETA*>(record)->lpszServiceInstanceName;
}

// A remote address shorter than a SOCKADDR_BTH is copied as far as it goes
// and the rest left zero.
bool plat_query_remote_address(const void* record, unsigned char address[bth_address_size]) {
    const auto* query = static_cast<const WSAQUERYSETA*>(record);
    if (query->dwNumberOfCsAddrs == 0 || !query->lpcsaBuffer) return false;
    const SOCKET_ADDRESS& remote = query->lpcsaBuffer[0].RemoteAddr;
    if (!remote.lpSockaddr || remote.iSockaddrLength <= 0) return false;
    const auto length = std::min(static_cast<std::size_t>(remote.iSockaddrLength), bth_address_size);
    std::memset(address, 0, bth_address_size);
    std::memcpy(address, remote.lpSockaddr, length);
    return true;
}

plat_socket plat_socket_open() {
    const SOCKET socket = ::socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    // INVALID_SOCKET is all ones, as plat_invalid_socket is.
    return socket == INVALID_SOCKET ? plat_invalid_socket : static_cast<plat_socket>(socket);
}

int plat_connect(plat_socket socket, const unsigned char address[bth_address_size]) {
    return ::connect(native_socket(socket), reinterpret_cast<const sockaddr*>(address),
                     static_cast<int>(bth_address_size)) == 0
               ? 0
               : plat_socket_error;
}

// Every option takes a 4-byte value: a DWORD of milliseconds for the receive
// time-out, an int of bytes for the buffers.
int plat_set_socket_option(plat_socket socket, plat_socket_option option, std::uint32_t value) {
    const DWORD native_value = value;
    static_assert(sizeof native_value == 4);
    return ::setsockopt(native_socket(socket), SOL_SOCKET, native_option(option),
                        reinterpret_cast<const char*>(&native_value), sizeof native_value) == 0
               ? 0
               : plat_socket_error;
}

int plat_send(plat_socket socket, const void* data, int length) {
    const int sent = ::send(native_socket(socket), static_cast<const char*>(data), length, 0);
    return sent == SOCKET_ERROR ? plat_socket_error : sent;
}

int plat_recv(plat_socket socket, void* buffer, int length) {
    const int received = ::recv(native_socket(socket), static_cast<char*>(buffer), length, 0);
    return received == SOCKET_ERROR ? plat_socket_error : received;
}

int plat_close_socket(plat_socket socket) {
    return ::closesocket(native_socket(socket)) == 0 ? 0 : plat_socket_error;
}

// ---- library entry point ---------------------------------------------------------

// Loading and unloading the DLL runs no code of the library's own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
