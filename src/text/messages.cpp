#include "text/messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// German letters of the DOS code page and their Latin-1 bytes.
struct dos_letter {
    unsigned char dos;
    unsigned char latin1;
};
constexpr dos_letter dos_to_latin1[] = {
    {0x81, 0xFC},  // ue
    {0x84, 0xE4},  // ae
    {0x8E, 0xC4},  // Ae
    {0x94, 0xF6},  // oe
    {0x99, 0xD6},  // Oe
    {0x9A, 0xDC},  // Ue
};

unsigned char latin1_of(unsigned char byte) {
    for (const dos_letter& letter : dos_to_latin1) {
        if (letter.dos == byte) return letter.latin1;
    }
    return byte;
}

// strlen bounded by the message buffer: a foreign buffer without a zero byte
// in its first 128 bytes is treated as full.
std::size_t message_length(const char* message) {
    const void* end = std::memchr(message, 0, wq_message_size);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - message)
               : wq_message_size - 1;
}

}  // namespace

void util_deu_char_fix(char* destination, const char* source) {
    const std::size_t length = std::strlen(source);
    for (std::size_t i = 0; i < length; ++i) {
        destination[i] = static_cast<char>(latin1_of(static_cast<unsigned char>(source[i])));
    }
    destination[length] = '\0';
}

void util_convert_multibyte_char(char* destination, const char* source, std::uint32_t size) {
    const std::size_t length = std::strlen(source);
    std::memset(destination, 0, size);
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < length) {
        const auto lead = static_cast<unsigned char>(source[in]);
        if (lead < 0x80) {
            destination[out] = static_cast<char>(lead);
            in += 1;
        } else {
            // The byte after a lead byte may be the terminator; it is then
            // combined too and the walk stops, never reading past it.
            const auto next = static_cast<unsigned char>(source[in + 1]);
            destination[out] = static_cast<char>(((lead << 6) | (next & 0x3F)) & 0xFF);
            in += 2;
        }
        out += 1;
    }
    destination[out] = '\0';
    destination[out + 1] = '\0';
}

void util_mem_fill(void* start, std::int32_t count, unsigned char value) {
    if (count <= 0) return;
    std::memset(start, value, static_cast<std::size_t>(count));
}

void clear_message(char* message) { util_mem_fill(message, wq_message_size, 0); }

void write_message(char* message, const char* text) {
    const std::size_t length = std::min(std::strlen(text), wq_message_size - 1);
    std::memcpy(message, text, length);
    message[length] = '\0';
}

void write_message(char* message, const wq_text& text, int language) {
    if (language == 0) {
        write_message(message, text.english);
        return;
    }
    // German texts go through the DOS-to-Latin-1 fix in a scratch buffer, so
    // a text kept in the old code page would still arrive in Latin-1.
    char scratch[wq_message_size];
    util_mem_fill(scratch, sizeof scratch, 0);
    const std::size_t length = std::min(std::strlen(text.german), sizeof scratch - 1);
    char bounded[wq_message_size];
    std::memcpy(bounded, text.german, length);
    bounded[length] = '\0';
    util_deu_char_fix(scratch, bounded);
    write_message(message, scratch);
}

void append_message(char* message, const char* text) {
    const std::size_t used = message_length(message);
    const std::size_t room = wq_message_size - 1 - used;
    const std::size_t length = std::min(std::strlen(text), room);
    std::memcpy(message + used, text, length);
    message[used + length] = '\0';
}

void append_error_code(char* message, int code) {
    char digits[16] = {};
    decimal_text(code, digits, sizeof digits);
    append_message(message, digits);
}

void decimal_text(long long value, char* out, std::size_t out_size) {
    std::snprintf(out, out_size, "%lld", value);
}
