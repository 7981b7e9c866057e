// The Windows backend: the kernel32 and ws2_32 calls, with the exact flags,
// DCB fields and time-outs the box's link is defined by.
#include <winsock2.h>
#include <windows.h>

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

// ---- library entry point ---------------------------------------------------------

// Loading and unloading the DLL runs no code of the library's own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
