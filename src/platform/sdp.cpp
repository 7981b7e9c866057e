// The serial port service search (sdp.h). SDP numbers are big-endian.
#include "platform/sdp.h"

#include <cstring>

namespace {

// PDU identifiers and the PDU header: identifier, transaction, parameter length.
constexpr unsigned char pdu_error_response = 0x01;
constexpr unsigned char pdu_search_attribute_request = 0x06;
constexpr unsigned char pdu_search_attribute_response = 0x07;
constexpr std::size_t header_size = 5;

// What we ask for: records of the serial port service class (0x1101), and
// of those only the protocol descriptor list (attribute 0x0004). Each answer
// may carry this many bytes of attribute lists; more come by continuation.
constexpr std::uint16_t serial_port_class = 0x1101;
constexpr std::uint16_t protocol_descriptor_list = 0x0004;
constexpr std::uint16_t answer_bytes_per_response = 512;
constexpr std::uint16_t rfcomm_protocol = 0x0003;
constexpr int first_channel = 1;
constexpr int last_channel = 30;
// Continuations beyond this many answers are a box going round in circles.
constexpr std::size_t most_responses = 64;

// Data element types, and the header's layout: type in the upper five
// bits, a size index in the lower three.
constexpr unsigned type_nil = 0;
constexpr unsigned type_uint = 1;
constexpr unsigned type_uuid = 3;
constexpr unsigned type_sequence = 6;
constexpr unsigned char sequence_of_one_byte_length = 0x35;
constexpr unsigned char uuid16_header = 0x19;
constexpr unsigned char uint16_header = 0x09;
constexpr unsigned last_fixed_size_index = 4;     // 1, 2, 4, 8 or 16 bytes
constexpr unsigned first_length_field_index = 5;  // a 1-, 2- or 4-byte length follows

// RFCOMM's UUID in its 128-bit form: 0x0003 on the Bluetooth base UUID.
constexpr unsigned char rfcomm_uuid128[16] = {0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x10, 0x00,
                                              0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

std::uint32_t big_endian(const unsigned char* bytes, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return value;
}

void put_big_endian16(unsigned char* bytes, std::uint16_t value) {
    bytes[0] = static_cast<unsigned char>(value >> 8);
    bytes[1] = static_cast<unsigned char>(value & 0xFF);
}

// ---- data elements ----

struct element {
    unsigned type = type_nil;
    const unsigned char* value = nullptr;
    std::size_t size = 0;
};

// The data element at *at, wholly inside [*at, end); moves *at past it.
// False when its header or its value would run past `end`.
bool next_element(const unsigned char** at, const unsigned char* end, element* out) {
    const unsigned char* p = *at;
    if (p >= end) return false;
    const unsigned type = *p >> 3;
    const unsigned size_index = *p & 0x07;
    ++p;
    std::size_t size = 0;
    if (type == type_nil) {
        if (size_index != 0) return false;
    } else if (size_index <= last_fixed_size_index) {
        size = std::size_t{1} << size_index;
    } else {
        const std::size_t width = std::size_t{1} << (size_index - first_length_field_index);
        if (static_cast<std::size_t>(end - p) < width) return false;
        size = big_endian(p, width);
        p += width;
    }
    if (static_cast<std::size_t>(end - p) < size) return false;
    *out = {type, p, size};
    *at = p + size;
    return true;
}

// Walks the elements inside a sequence, first to last.
struct children {
    const unsigned char* at;
    const unsigned char* end;
    explicit children(const element& parent) : at(parent.value), end(parent.value + parent.size) {}
    bool next(element* child) { return next_element(&at, end, child); }
};

bool is_rfcomm(const element& uuid) {
    if (uuid.type != type_uuid) return false;
    if (uuid.size == 2 || uuid.size == 4) return big_endian(uuid.value, uuid.size) == rfcomm_protocol;
    return uuid.size == sizeof rfcomm_uuid128 &&
           std::memcmp(uuid.value, rfcomm_uuid128, sizeof rfcomm_uuid128) == 0;
}

// A protocol descriptor list: a sequence of descriptors, each a sequence of
// the protocol's UUID and its parameters; RFCOMM's first is the channel.
int channel_in_descriptors(const element& list) {
    children descriptors(list);
    element descriptor;
    while (descriptors.next(&descriptor)) {
        if (descriptor.type != type_sequence) continue;
        children fields(descriptor);
        element uuid, channel;
        if (!fields.next(&uuid) || !is_rfcomm(uuid) || !fields.next(&channel)) continue;
        if (channel.type != type_uint || channel.size != 1) continue;
        const int number = channel.value[0];
        if (number >= first_channel && number <= last_channel) return number;
    }
    return 0;
}

// A record's attributes: pairs of a 16-bit ID and a value.
int channel_in_record(const element& record) {
    children attributes(record);
    element id, value;
    while (attributes.next(&id) && attributes.next(&value)) {
        if (id.type == type_uint && id.size == 2 &&
            big_endian(id.value, id.size) == protocol_descriptor_list) {
            return value.type == type_sequence ? channel_in_descriptors(value) : 0;
        }
    }
    return 0;
}

}  // namespace

std::size_t sdp_build_request(sdp_search* search, unsigned char (&request)[sdp_request_capacity]) {
    ++search->transaction;
    const unsigned char fixed_parameters[] = {
        sequence_of_one_byte_length, 3, uuid16_header,
        static_cast<unsigned char>(serial_port_class >> 8),
        static_cast<unsigned char>(serial_port_class & 0xFF),
        static_cast<unsigned char>(answer_bytes_per_response >> 8),
        static_cast<unsigned char>(answer_bytes_per_response & 0xFF),
        sequence_of_one_byte_length, 3, uint16_header,
        static_cast<unsigned char>(protocol_descriptor_list >> 8),
        static_cast<unsigned char>(protocol_descriptor_list & 0xFF),
    };
    static_assert(header_size + sizeof fixed_parameters + 1 + sdp_search::continuation_capacity <=
                  sdp_request_capacity);
    const std::size_t parameters = sizeof fixed_parameters + 1 + search->continuation_length;
    request[0] = pdu_search_attribute_request;
    put_big_endian16(request + 1, search->transaction);
    put_big_endian16(request + 3, static_cast<std::uint16_t>(parameters));
    std::memcpy(request + header_size, fixed_parameters, sizeof fixed_parameters);
    unsigned char* continuation = request + header_size + sizeof fixed_parameters;
    continuation[0] = static_cast<unsigned char>(search->continuation_length);
    std::memcpy(continuation + 1, search->continuation, search->continuation_length);
    return header_size + parameters;
}

// An answer: the header, then the byte count of this part of the attribute
// lists, the part itself, and the continuation state (a length byte and at
// most 16 bytes). Every length must match the bytes that came.
sdp_step sdp_take_response(sdp_search* search, const unsigned char* pdu, std::size_t length) {
    if (length < header_size || big_endian(pdu + 1, 2) != search->transaction) {
        return sdp_step::malformed;
    }
    if (pdu[0] == pdu_error_response) return sdp_step::refused;
    const std::size_t parameters = big_endian(pdu + 3, 2);
    if (pdu[0] != pdu_search_attribute_response || parameters != length - header_size ||
        parameters < 3 || ++search->responses > most_responses) {
        return sdp_step::malformed;
    }
    const unsigned char* part = pdu + header_size + 2;
    const std::size_t part_length = big_endian(pdu + header_size, 2);
    if (part_length > parameters - 3) return sdp_step::malformed;
    const std::size_t continuation_length = part[part_length];
    if (continuation_length > sdp_search::continuation_capacity ||
        2 + part_length + 1 + continuation_length != parameters ||
        part_length > sdp_search::lists_capacity - search->lists_length) {
        return sdp_step::malformed;
    }
    std::memcpy(search->lists + search->lists_length, part, part_length);
    search->lists_length += part_length;
    search->continuation_length = continuation_length;
    std::memcpy(search->continuation, part + part_length + 1, continuation_length);
    return continuation_length > 0 ? sdp_step::more : sdp_step::complete;
}

int sdp_rfcomm_channel(const unsigned char* lists, std::size_t length) {
    const unsigned char* at = lists;
    element all;
    if (!next_element(&at, lists + length, &all) || all.type != type_sequence) return 0;
    children records(all);
    element record;
    while (records.next(&record)) {
        if (record.type != type_sequence) continue;
        if (const int channel = channel_in_record(record)) return channel;
    }
    return 0;
}
