// log: downloads the usage log entry by entry over a held link, prints it,
// and writes it as CSV, each row as it comes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "commands.h"

namespace wqctl {
namespace {

// Asked with product_mode 0, the library returns product entries with
// status 3 and water entries with status 0, so the two are told apart; the
// outputs are the same either way.
constexpr int product_mode_apart = 0;
constexpr int water_variant_carbonated = 0;
constexpr int water_variant_ambient = 2;
// A count the box reports beyond this is not believed: each entry is kept
// in memory until the download ends.
constexpr unsigned most_entries = 1000000;

enum entry_status { water = 0, other = 1, empty_slot = 2, product = 3, bad_number = 9 };

const char* kind_of(int status) {
    switch (status) {
        case water: return "water";
        case other: return "other";
        case empty_slot: return "empty";
        case product: return "product";
        case bad_number: return "bad-number";
        default: return "unknown";
    }
}

// The eight outputs of one fetch, at the sizes the library fills.
struct entry_buffers {
    char number[32];
    char water[16];
    char usage[32];
    char product_1[8];
    char product_2[8];
    char water_2[8];
    char water_3[8];
    char key[40];
};

struct log_entry {
    int status;
    std::string number, usage, water, water_2, water_3, product_1, product_2, key;
};

template <std::size_t n>
std::string text_of(const char (&buffer)[n]) {
    return box_text(c_text(buffer, n));
}

// An empty slot holds no use: the library still fills in the usage text
// and values of usage code 0, which would read as a use that never was.
log_entry entry_from(int status, const entry_buffers& b) {
    if (status == empty_slot) return {status, text_of(b.number), "", "", "", "", "", "", ""};
    return {status,         text_of(b.number),    text_of(b.usage),     text_of(b.water),
            text_of(b.water_2), text_of(b.water_3), text_of(b.product_1), text_of(b.product_2),
            text_of(b.key)};
}

// One fetch: (outputs, message, repeat) -> the library's status.
using fetch_call = std::function<int(entry_buffers&, char*, bool)>;
// Takes each entry as it comes; false stops the download.
using entry_sink = std::function<bool(const log_entry&)>;

struct download {
    report r;
    bool counted = false;  // the box told its entry count
    unsigned count = 0;
    std::vector<log_entry> entries;
};

// Status 1 is also how a fetch reports a broken link; then it touched no
// output, while an entry always has a usage text.
bool link_failed(int status, const entry_buffers& b) { return status == other && b.usage[0] == '\0'; }

// Fetches `d.count` entries. Over Bluetooth a fetch that failed is asked
// once more with `repeat`, which has the box send its last entry again
// rather than skip one; the serial link has no such request.
void fetch_entries(const invocation& call, const char* operation, bool can_repeat,
                   const fetch_call& fetch, const entry_sink& take, download& d) {
    for (std::size_t i = 0; i < d.count; ++i) {
        entry_buffers b{};
        char message[message_size] = {};
        int status = fetch(b, message, false);
        if (link_failed(status, b) && can_repeat) {
            b = entry_buffers{};
            status = fetch(b, message, true);
        }
        if (link_failed(status, b)) {
            d.r = from_status(operation, status, message);
            return;
        }
        d.entries.push_back(entry_from(status, b));
        if (!take(d.entries.back())) return;
        if (call.progress) show_progress("usage log", i + 1, d.count, "entries");
    }
}

bool count_believed(download& d) {
    if (d.count <= most_entries) return true;
    d.r.result = outcome::failed;
    d.r.summary = "the box reports " + std::to_string(d.count) + " entries, more than " +
                  std::to_string(most_entries);
    return false;
}

int water_variant(const invocation& call) {
    return call.options.ambient_water ? water_variant_ambient : water_variant_carbonated;
}

download download_serial(const invocation& call, const entry_sink& take) {
    download d;
    int handle = 0;
    d.r = open_serial_handle(call, &handle);
    if (d.r.result != outcome::ok) return d;
    char message[message_size] = {};
    d.r = from_status("wq_use_data_req", wq_use_data_req(handle, &d.count, message, call.language),
                      message);
    d.counted = d.r.result == outcome::ok && count_believed(d);
    if (d.counted) {
        fetch_entries(call, "wq_use_data_fetch", false,
                      [&](entry_buffers& b, char* text, bool) {
                          return wq_use_data_fetch(handle, product_mode_apart, water_variant(call),
                                                   b.number, b.water, b.usage, b.product_1,
                                                   b.product_2, b.water_2, b.water_3, b.key, text,
                                                   call.language);
                      },
                      take, d);
    }
    // The end request goes out after a failure too, so that the box stops.
    char end_message[message_size] = {};
    const int done = wq_use_data_done(handle, end_message, call.language);
    wq_force_close_handle(0, end_message, call.language, handle);
    if (d.r.result == outcome::ok && done != 0) d.r = from_status("wq_use_data_done", done, end_message);
    return d;
}

download download_bt(const invocation& call, const entry_sink& take) {
    download d;
    unsigned socket = 0;
    d.r = open_kept_connection(call, &socket);
    if (d.r.result != outcome::ok) return d;
    char message[message_size] = {};
    d.r = from_status("wq_bt_use_data_req",
                      wq_bt_use_data_req(socket, &d.count, message, call.language), message);
    d.counted = d.r.result == outcome::ok && count_believed(d);
    if (d.counted) {
        fetch_entries(call, "wq_bt_use_data_fetch", true,
                      [&](entry_buffers& b, char* text, bool repeat) {
                          return wq_bt_use_data_fetch(socket, product_mode_apart, water_variant(call),
                                                      b.number, b.water, b.usage, b.product_1,
                                                      b.product_2, b.water_2, b.water_3, b.key, text,
                                                      repeat ? 1 : 0, call.language);
                      },
                      take, d);
    }
    // Ends the download and closes the connection, after a failure too.
    char end_message[message_size] = {};
    const int done = wq_bt_use_data_done(socket, end_message, call.language);
    if (d.r.result == outcome::ok && done != 0)
        d.r = from_status("wq_bt_use_data_done", done, end_message);
    return d;
}

constexpr const char* csv_header =
    "entry,kind,status,usage,water_value,water_value_2,water_value_3,product_value_1,"
    "product_value_2,entry_key";

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string csv_row(const log_entry& e) {
    return csv_field(e.number) + "," + kind_of(e.status) + "," + std::to_string(e.status) + "," +
           csv_field(e.usage) + "," + csv_field(e.water) + "," + csv_field(e.water_2) + "," +
           csv_field(e.water_3) + "," + csv_field(e.product_1) + "," + csv_field(e.product_2) + "," +
           csv_field(e.key) + "\r\n";
}

// The values are numbers the box sent as text: numbers in JSON where they
// are whole numbers, text where they are not (a bad entry number), null
// where the entry has none.
json entry_json(const log_entry& e) {
    return {{"entry", number_or_text(e.number)},
            {"kind", kind_of(e.status)},
            {"status", e.status},
            {"usage", e.usage},
            {"water_value", number_or_text(e.water)},
            {"water_value_2", number_or_text(e.water_2)},
            {"water_value_3", number_or_text(e.water_3)},
            {"product_value_1", number_or_text(e.product_1)},
            {"product_value_2", number_or_text(e.product_2)},
            {"entry_key", e.key}};
}

std::string entry_table(const std::vector<log_entry>& entries) {
    std::string table;
    char line[256];
    std::snprintf(line, sizeof line, "%-6s %-10s %-20s %-15s %-7s %-7s %-7s %-7s %s\n", "entry", "kind",
                  "usage", "water", "water_2", "water_3", "prod_1", "prod_2", "key");
    table += line;
    for (const log_entry& e : entries) {
        std::snprintf(line, sizeof line, "%-6s %-10s %-20s %-15s %-7s %-7s %-7s %-7s %s\n",
                      e.number.c_str(), kind_of(e.status), e.usage.c_str(), e.water.c_str(),
                      e.water_2.c_str(), e.water_3.c_str(), e.product_1.c_str(), e.product_2.c_str(),
                      e.key.c_str());
        table += line;
    }
    return table;
}

// The CSV as the download goes: a row written the moment its entry came.
// A reader that goes away (`| head`) ends the download as if it were
// complete; a file that cannot take a row ends it as a failure.
struct csv_writer {
    output_file file;
    bool reader_gone = false;
    std::optional<report> error;

    bool take(const log_entry& e) { return put(csv_row(e)); }
    bool put(const std::string& text) {
        if (file.write(text)) return true;
        if (errno == EPIPE && file.is_stdout()) reader_gone = true;
        else error = own_failure("cannot write " + file.written_to() + ": " + std::strerror(errno));
        return false;
    }
};

// The file is complete only when the download is: else the rows that came
// stay under the .partial name, and none at all leave the target untouched.
void finish_csv(csv_writer& csv, const download& d, report& r) {
    const bool whole = r.result == outcome::ok && !csv.error;
    if (csv.file.is_stdout()) {
        r.data_on_stdout = true;
        return;
    }
    if (whole) {
        if (auto error = csv.file.complete()) r = *error;
        else r.summary += ", written to " + csv.file.path();
        r.add("csv", csv.file.path());
        return;
    }
    if (d.entries.empty()) return;
    csv.file.keep_partial();
    r.summary += "; the " + std::to_string(d.entries.size()) + " that came are in " + csv.file.written_to() +
                 " (partial)";
    r.add("csv_partial", csv.file.written_to());
}

}  // namespace

report run_log(const invocation& call) {
    csv_writer csv;
    if (const auto& path = call.options.csv) {
        if (call.json && *path == "-")
            return usage_error("--csv - and --json both write to standard output: give --csv FILE");
        if (auto error = csv.file.open(*path)) return *error;
        if (!csv.put(std::string(csv_header) + "\r\n") && csv.error) return *csv.error;
    }
    const entry_sink take = [&csv](const log_entry& e) { return !csv.file.is_open() || csv.take(e); };
    download d = call.serial() ? download_serial(call, take) : download_bt(call, take);
    report& r = d.r;
    const std::string got = std::to_string(d.entries.size());
    if (csv.error) {
        r = own_failure(csv.error->summary + "; stopped after " + got + " of " + std::to_string(d.count) +
                        " entries");
    } else if (csv.reader_gone && r.result == outcome::ok) {
        r.summary = "standard output was closed after " + got + " entries; download ended";
    } else if (r.result == outcome::ok) {
        r.message.clear();  // a fetch that needed a second read leaves its failure text
        r.summary = got + " entries downloaded";
    } else if (d.counted) {
        r.summary = "stopped after " + got + " of " + std::to_string(d.count) + " entries";
    }
    if (csv.file.is_open()) finish_csv(csv, d, r);
    r.add("count", d.count);
    json entries = json::array();
    for (const log_entry& e : d.entries) entries.push_back(entry_json(e));
    r.add("entries", std::move(entries));
    if (call.options.csv) r.show_values = false;
    else r.table = entry_table(d.entries);
    return r;
}

}  // namespace wqctl
