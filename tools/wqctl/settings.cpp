// settings read | write | defaults, over either link.
#include <array>
#include <cstdint>

#include "commands.h"

namespace wqctl {
namespace {

// A text field of the settings record (--text-N): its name in the output,
// its bit in the fields selector, the room in the record and whether the
// library converts the host's UTF-8 to single bytes before storing it.
struct text_field {
    const char* key;
    unsigned bit;
    std::size_t size;
    bool converted;
};

constexpr std::array<text_field, 8> text_fields = {{
    {"text_1", 0x0001, 32, true},
    {"text_2", 0x0002, 32, true},
    {"text_3", 0x0004, 32, false},
    {"text_4", 0x0008, 64, true},
    {"text_5", 0x0080, 32, true},
    {"text_6", 0x0100, 32, false},
    {"text_7", 0x0800, 48, false},
    {"text_8", 0x1000, 32, false},
}};
constexpr std::size_t text_7 = 6;
constexpr std::size_t text_8 = 7;
constexpr std::size_t safe_text_7_size = 40;
constexpr unsigned number_bit = 0x0400;
constexpr unsigned mode_bit = 0x2000;

constexpr long long safe_number_limit = 999;  // the safe record keeps the number as 3 digits
constexpr long long choice_with_values = 4;  // the choice whose byte and number count
constexpr unsigned no_choice = 0xFF;  // outside 0..4: the choice fields are left out
constexpr int address_mode = 3;
constexpr std::size_t address_buffer = 16;
// Every output of a read is at most 64 bytes; the buffers leave room.
constexpr std::size_t read_buffer = 128;

struct write_request {
    std::array<std::string, text_fields.size()> texts;
    std::string number;
    std::string choice_number;
    unsigned choice = no_choice;
    int choice_byte = 0;
    int mode = 0;
    std::array<std::array<char, address_buffer>, 3> addresses{};
    unsigned fields = 0;
    json written = json::array();
};

std::optional<report> check_record_options(const invocation& call) {
    if (call.options.short_record && !call.serial()) return usage_error("--short is for the serial link");
    if (call.options.safe && call.serial()) return usage_error("--safe is for Bluetooth");
    return std::nullopt;
}

// The number of characters a UTF-8 text becomes, or -1 when a character
// has no single-byte form.
long single_byte_length(std::string_view text) {
    long count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            i += 1;
            continue;
        }
        if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= text.size() ||
            (static_cast<unsigned char>(text[i + 1]) & 0xC0) != 0x80)
            return -1;
        i += 2;
    }
    return count;
}

std::optional<report> take_text(const invocation& call, std::size_t index, write_request* w) {
    const text_field& f = text_fields[index];
    const std::string& text = *call.options.texts[index];
    const std::string option = "--text-" + std::to_string(index + 1);
    const std::size_t size = index == text_7 && call.options.safe ? safe_text_7_size : f.size;
    const long length = f.converted ? single_byte_length(text) : static_cast<long>(text.size());
    if (length < 0) return usage_error(option + " takes Latin-1 characters only");
    if (static_cast<std::size_t>(length) > size - 1) {
        return usage_error(option + " takes at most " + std::to_string(size - 1) +
                           (f.converted ? " characters" : " bytes"));
    }
    w->texts[index] = text;
    w->fields |= f.bit;
    w->written.emplace_back(f.key);
    return std::nullopt;
}

std::optional<report> take_number(const invocation& call, write_request* w) {
    const long long number = *call.options.number;
    if (call.options.safe && number > safe_number_limit)
        return usage_error("--number takes a number from 0 to " + std::to_string(safe_number_limit) + " with --safe");
    w->number = std::to_string(number);
    w->fields |= number_bit;
    w->written.emplace_back("number");
    return std::nullopt;
}

void take_mode(const invocation& call, write_request* w) {
    w->mode = static_cast<int>(*call.options.mode);
    w->fields |= mode_bit;
    w->written.emplace_back("mode");
}

// The parser lets --choice-byte and --choice-number through only with --choice.
std::optional<report> take_choice(const invocation& call, write_request* w) {
    const command_options& o = call.options;
    if (!o.choice) return std::nullopt;
    if ((o.choice_byte || o.choice_number) && *o.choice != choice_with_values)
        return usage_error("--choice-byte and --choice-number go with --choice 4");
    w->choice = static_cast<unsigned>(*o.choice);
    w->choice_byte = static_cast<int>(o.choice_byte.value_or(0));
    w->choice_number = std::to_string(o.choice_number.value_or(0));
    w->written.emplace_back("choice");
    return std::nullopt;
}

// Address mode (mode 3, Bluetooth): the first two addresses take the place
// of text_8 and the third is written with text_7. A field left out of a
// pair would be overwritten with an empty text, so each pair goes together
// (the parser sees to the first).
std::optional<report> take_addresses(const invocation& call, write_request* w) {
    const command_options& o = call.options;
    const bool pair = o.addresses[0].has_value();
    const bool third = o.addresses[2].has_value();
    const bool mode_3 = o.mode == address_mode;
    if (!pair && !third && !mode_3) return std::nullopt;
    if (call.serial()) {
        if (pair || third) return usage_error("--address-1..3 are for Bluetooth");
        return std::nullopt;  // the serial record keeps mode 3 as any other
    }
    if (o.mode && !mode_3) return usage_error("--address-1..3 need --mode 3 (address mode)");
    if (o.texts[text_8]) return usage_error("in address mode --address-1 and --address-2 replace --text-8");
    if (third != o.texts[text_7].has_value())
        return usage_error("in address mode --address-3 is written with --text-7");
    for (std::size_t i = 0; i < w->addresses.size(); ++i) {
        const std::string text = o.addresses[i].value_or("");
        text.copy(w->addresses[i].data(), address_buffer - 1);
    }
    // The addresses mean something in address mode only, so they select it.
    w->mode = address_mode;
    if (!(w->fields & mode_bit)) w->written.emplace_back("mode");
    w->fields |= mode_bit;
    if (pair) {
        w->fields |= text_fields[text_8].bit;
        w->written.emplace_back("address_1");
        w->written.emplace_back("address_2");
    }
    if (third) w->written.emplace_back("address_3");
    return std::nullopt;
}

// The parser keeps --short apart from --text-8 and --mode, which the short
// record has no room for.
std::optional<report> build_request(const invocation& call, write_request* w) {
    if (auto error = check_record_options(call)) return error;
    for (std::size_t i = 0; i < text_fields.size(); ++i) {
        if (call.options.texts[i])
            if (auto error = take_text(call, i, w)) return error;
    }
    if (call.options.number)
        if (auto error = take_number(call, w)) return error;
    if (call.options.mode) take_mode(call, w);
    if (auto error = take_choice(call, w)) return error;
    if (auto error = take_addresses(call, w)) return error;
    if (w->written.empty()) return usage_error("settings write needs at least one field");
    return std::nullopt;
}

report write_serial(const invocation& call, const write_request& w, char* message) {
    const auto& t = w.texts;
    return from_status(
        "wq_write_settings",
        wq_write_settings(call.target.port, t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(),
                          w.number.c_str(), w.choice_number.c_str(), t[4].c_str(), t[5].c_str(),
                          t[6].c_str(), t[7].c_str(), message, w.choice, w.choice_byte, w.mode,
                          call.options.short_record, w.fields, call.language),
        message);
}

report write_bt(const invocation& call, const write_request& w, char* message) {
    const auto& t = w.texts;
    const auto& a = w.addresses;
    return from_status(
        "wq_bt_write_settings",
        wq_bt_write_settings(call.target.address, t[0].c_str(), t[1].c_str(), t[2].c_str(),
                             t[3].c_str(), w.number.c_str(), w.choice_number.c_str(), t[4].c_str(),
                             t[5].c_str(), t[6].c_str(), t[7].c_str(), a[0].data(), a[1].data(),
                             a[2].data(), message, w.choice, static_cast<unsigned char>(w.choice_byte),
                             w.mode, w.fields, call.options.safe, call.language),
        message);
}

const char* record_name(const invocation& call) {
    if (call.serial()) return call.options.short_record ? "short" : "long";
    return call.options.safe ? "safe" : "standard";
}

// The outputs of a read, each a zeroed buffer.
struct read_outputs {
    std::array<std::array<char, read_buffer>, text_fields.size()> texts{};
    std::array<char, read_buffer> number{}, choice_number{}, mode{};
    std::array<std::array<char, read_buffer>, 3> addresses{};
};

std::string field(const std::array<char, read_buffer>& buffer) {
    return box_text(c_text(buffer.data(), buffer.size()));
}

void add_read_values(const invocation& call, const read_outputs& out, report* r) {
    const bool has_long_fields = !(call.serial() && call.options.short_record);
    for (std::size_t i = 0; i < text_fields.size(); ++i) {
        if (i == text_8 && !has_long_fields) continue;
        r->add(text_fields[i].key, field(out.texts[i]));
    }
    r->add("number", number_or_text(field(out.number)));
    r->add("choice_number", number_or_text(field(out.choice_number)));
    if (has_long_fields) r->add("mode", number_or_text(field(out.mode)));
    // The address outputs mean something in address mode only.
    if (!call.serial() && field(out.mode) == std::to_string(address_mode)) {
        for (std::size_t i = 0; i < out.addresses.size(); ++i)
            r->add("address_" + std::to_string(i + 1), field(out.addresses[i]));
    }
    r->add("record", record_name(call));
}

report read_serial(const invocation& call, read_outputs& o, char* message) {
    auto& t = o.texts;
    return from_status(
        "wq_read_settings",
        wq_read_settings(call.target.port, t[0].data(), t[1].data(), t[2].data(), t[3].data(),
                         o.number.data(), o.choice_number.data(), t[4].data(), t[5].data(),
                         t[6].data(), t[7].data(), o.mode.data(), message, call.options.short_record,
                         call.language),
        message);
}

report read_bt(const invocation& call, read_outputs& o, char* message) {
    auto& t = o.texts;
    auto& a = o.addresses;
    return from_status(
        "wq_bt_read_settings",
        wq_bt_read_settings(call.target.address, t[0].data(), t[1].data(), t[2].data(), t[3].data(),
                            o.number.data(), o.choice_number.data(), t[4].data(), t[5].data(),
                            t[6].data(), t[7].data(), o.mode.data(), a[0].data(), a[1].data(),
                            a[2].data(), message, call.options.safe, call.language),
        message);
}

report read_record(const invocation& call, read_outputs& outputs) {
    char message[message_size] = {};
    return call.serial() ? read_serial(call, outputs, message) : read_bt(call, outputs, message);
}

// The read request does not say which layout the host expects, and the
// library takes what comes as the layout it asked for: a record of the other
// layout comes out shifted, texts in the wrong fields and numbers made of
// text bytes. A number no record of the asked layout can hold gives it away;
// the reason, or "".
std::string misfit(const invocation& call, const read_outputs& out) {
    const std::string number = field(out.number), mode = field(out.mode);
    long long value = 0;
    if (!call.serial() && call.options.safe) {
        if (parse_number(number, 0ll, safe_number_limit, &value) && parse_number(mode, mode_low, mode_high, &value))
            return "";
        return "its number '" + number + "' and mode '" + mode + "' are not both decimal numbers";
    }
    if (parse_number(number, 0ll, settings_number_limit, &value)) return "";
    return "its number " + number + " is outside 0..65535";
}

// A safe record read as a standard one always shows mode 49, for the safe
// layout keeps the text "1" where the standard one keeps the mode. A box
// whose mode really is 49 is told apart by reading in the safe layout too.
constexpr int safe_one_as_mode = 49;

bool safe_record_after_all(const invocation& call, const read_outputs& out) {
    if (call.serial() || call.options.safe || field(out.mode) != std::to_string(safe_one_as_mode)) return false;
    invocation safe = call;
    safe.options.safe = true;
    read_outputs again;
    return read_record(safe, again).result == outcome::ok && misfit(safe, again).empty();
}

const char* layout_to_use(const invocation& call) {
    if (call.serial()) {
        return call.options.short_record ? "the box sends the long 380-byte record: leave out --short"
                                   : "the box sends the short 344-byte record: give --short";
    }
    return call.options.safe ? "the box answers in the standard layout: leave out --safe"
                              : "the box answers in the safe layout: give --safe";
}

}  // namespace

report run_settings_read(const invocation& call) {
    if (auto error = check_record_options(call)) return *error;
    read_outputs outputs;
    report r = read_record(call, outputs);
    if (r.result != outcome::ok) return r;
    std::string why = misfit(call, outputs);
    if (why.empty() && safe_record_after_all(call, outputs))
        why = "a safe record shows mode 49 when read as a standard one";
    if (!why.empty()) {
        return own_failure("the record read is not a " + std::string(record_name(call)) + " one (" + why +
                           "): " + layout_to_use(call));
    }
    add_read_values(call, outputs, &r);
    return r;
}

report run_settings_write(const invocation& call) {
    write_request request;
    if (auto error = build_request(call, &request)) return *error;
    char message[message_size] = {};
    report r = call.serial() ? write_serial(call, request, message) : write_bt(call, request, message);
    if (r.result != outcome::ok) return r;
    r.add("written", std::move(request.written));
    r.add("record", record_name(call));
    return r;
}

report run_settings_defaults(const invocation& call) {
    char message[message_size] = {};
    if (call.serial()) {
        return from_status("wq_default_settings",
                           wq_default_settings(call.target.port, message, call.language), message);
    }
    return from_status("wq_bt_default_settings",
                       wq_bt_default_settings(call.target.address, message, call.language), message);
}

}  // namespace wqctl
