// usage-settings count | read | write: the box's opaque usage-settings block.
#include <cctype>

#include "commands.h"

namespace wqctl {
namespace {

constexpr long long default_block_size = 64;
// A read receives the block as a frame payload, which the library stores
// with two zero bytes behind it.
constexpr int read_room = 2;
// A write frames the block with "$$" and "##" in a work buffer of the size
// the host gives.
constexpr int write_room = 4;
constexpr std::size_t dump_width = 16;

std::string hex_of(const unsigned char* bytes, std::size_t size, const char* separator) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i && *separator) text += separator;
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

std::string hex_dump(const std::vector<unsigned char>& block) {
    std::string table;
    for (std::size_t at = 0; at < block.size(); at += dump_width) {
        const std::size_t count = std::min(dump_width, block.size() - at);
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx  ", at);
        table += offset + hex_of(block.data() + at, count, " ") + "\n";
    }
    return table;
}

int hex_value(char c) {
    if (std::isdigit(static_cast<unsigned char>(c))) return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

bool parse_hex(std::string_view text, std::vector<unsigned char>* bytes) {
    int high = -1;
    for (const char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int digit = hex_value(c);
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes->push_back(static_cast<unsigned char>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

std::optional<report> read_block_file(const std::string& path, std::vector<unsigned char>* block) {
    input_file in;
    if (auto error = open_input(path, largest_block, &in)) return error;
    block->resize(static_cast<std::size_t>(in.size));
    return read_input(in, 0, block->size(), block->data());
}

std::optional<report> block_to_write(const invocation& call, std::vector<unsigned char>* block) {
    const command_options& o = call.options;  // the parser lets one of --in and --hex through, not both
    if (!o.in && !o.hex) return usage_error("give the block with --in FILE or --hex HEX");
    if (o.in) return read_block_file(*o.in, block);
    if (!parse_hex(*o.hex, block)) return usage_error("--hex takes pairs of hex digits");
    // An empty block would go out as a bare frame the box cannot take for a
    // setting; refusing it here is the one safe answer.
    if (block->empty()) return usage_error("the block is empty: give at least one byte");
    if (block->size() > static_cast<std::size_t>(largest_block))
        return usage_error("the block takes at most " + std::to_string(largest_block) + " bytes");
    return std::nullopt;
}

}  // namespace

report run_usage_settings_count(const invocation& call) {
    unsigned count = 0;
    char message[message_size] = {};
    report r = from_status("wq_bt_get_usage_setting_cnt",
                           wq_bt_get_usage_setting_cnt(call.target.address, &count, message,
                                                       call.language),
                           message);
    if (r.result == outcome::ok) r.add("count", count);
    return r;
}

report run_usage_settings_read(const invocation& call) {
    const long long size = call.options.size.value_or(default_block_size);
    output_file out;
    if (const auto& path = call.options.out) {
        if (call.json && *path == "-")
            return usage_error("--out - and --json both write to standard output: give --out FILE");
        if (auto error = out.open(*path)) return *error;
    }
    const int data_size = static_cast<int>(size);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(data_size + read_room));
    char message[message_size] = {};
    report r = from_status("wq_bt_read_usage_settings",
                           wq_bt_read_usage_settings(call.target.address, data_size + read_room, data_size,
                                                     buffer.data(), message, call.language),
                           message);
    if (r.result != outcome::ok) return r;
    buffer.resize(static_cast<std::size_t>(data_size));
    r.add("size", data_size);
    if (out.is_open()) {
        const std::string_view bytes(reinterpret_cast<const char*>(buffer.data()), buffer.size());
        if (auto error = write_whole(&out, bytes)) return *error;
        r.data_on_stdout = out.is_stdout();
        r.summary = std::to_string(data_size) + " bytes written to " + out.path();
        r.add("file", out.path());
        return r;
    }
    r.add("data", hex_of(buffer.data(), buffer.size(), ""));
    r.table = hex_dump(buffer);
    return r;
}

report run_usage_settings_write(const invocation& call) {
    std::vector<unsigned char> block;
    if (auto error = block_to_write(call, &block)) return *error;
    const int data_size = static_cast<int>(block.size());
    char message[message_size] = {};
    report r = from_status("wq_bt_write_usage_settings",
                           wq_bt_write_usage_settings(call.target.address, data_size,
                                                      data_size + write_room, block.data(), message,
                                                      call.language),
                           message);
    if (r.result == outcome::ok) r.summary = std::to_string(data_size) + " bytes written";
    r.add("size", data_size);
    return r;
}

}  // namespace wqctl
