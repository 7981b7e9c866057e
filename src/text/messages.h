// Call results, the message buffer and the text helpers every operation uses.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int wq_status_ok = 0;
inline constexpr int wq_status_fail = 1;

// Every message buffer holds at least this many bytes. Messages are written
// bounded to it: a message that would not fit (a long reply text appended by
// the box, say) is cut, and the buffer always ends in a zero byte.
inline constexpr std::size_t wq_message_size = 128;

// A message in both languages. German texts are stored in Latin-1.
struct wq_text {
    const char* english;
    const char* german;
};

// Reported when a serial operation cannot open its COM port. Not `inline`:
// a constant of internal linkage never becomes a symbol of the library.
constexpr wq_text wq_text_port_open_failed = {
    "Unable Open Port. Please Check Connections",
    "Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen"};

// Copies `source` to `destination`, turning the German letters of the DOS
// code page into Latin-1 and leaving every other byte as it is.
void util_deu_char_fix(char* destination, const char* source);

// Converts UTF-8 `source` into single bytes: two-byte forms become their
// Latin-1 byte. Clears `size` bytes of `destination` first and ends the
// result with two zero bytes; the destination must hold strlen(source) + 2.
void util_convert_multibyte_char(char* destination, const char* source, std::uint32_t size);

// Sets `count` bytes from `start` to `value`; nothing when count <= 0.
void util_mem_fill(void* start, std::int32_t count, unsigned char value);

// Zero-fills the whole message buffer.
void clear_message(char* message);

// Replaces the message with the text of `language` (non-zero: German).
void write_message(char* message, const wq_text& text, int language);
// Replaces the message with a text that is the same in both languages.
void write_message(char* message, const char* text);
// Appends to the message written last, within the buffer's bounds.
void append_message(char* message, const char* text);
// Appends a socket error code in decimal, directly behind the text.
void append_error_code(char* message, int code);

// The decimal text of `value` with a leading '-' when negative ("%d").
// `out` holds at least 12 bytes.
void decimal_text(long long value, char* out, std::size_t out_size);
