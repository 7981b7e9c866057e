// Every exported operation against the box emulator paced at 57600 baud:
// its time beside its floor, the least time the protocol allows. A floor is
// the waits the operation must sleep plus its bytes on the wire at ten bit
// times a byte, where a wait and the box's answer overlap as they do on the
// line. The bytes are counted from the emulator's transcript, the waits come
// from the table below (a settings read over Bluetooth ends by draining the
// line, one receive time-out of 100 ms). Failure paths run against a silent box and are set
// against their bound, the time-outs that must pass before giving up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "box.h"
#include "firmware.h"
#include "wq.h"

namespace {

using steady = std::chrono::steady_clock;
using bytes = std::vector<unsigned char>;

constexpr std::uint32_t baud = 57600;
constexpr double byte_ms = 10.0 * 1000.0 / baud;  // ten bit times a byte
constexpr int port = 1;
constexpr BTH_ADDR box_address = 0x0011223344AA;
constexpr int repetitions = 3;
// Success: within 2 % of the floor or 2 ms, whichever is more. Failure
// paths: at or above the bound and within 3 % of it.
constexpr double success_share = 0.02;
constexpr double success_ms = 2.0;
constexpr double failure_share = 0.03;

enum class link { none, serial, bluetooth };

// One request and its answer as the transcript shows them: a run of bytes
// to the box, then a run back.
struct exchange {
    std::size_t to_box = 0;
    std::size_t to_host = 0;
};

// Collects the emulator's traffic lines as (from host, byte count).
class traffic {
public:
    wqbox::transcript_sink sink() {
        return [this](const std::string& line) { record(line); };
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock_);
        pieces_.clear();
    }
    std::vector<exchange> exchanges() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<exchange> result;
        bool last_from_host = false;
        for (const auto& [from_host, count] : pieces_) {
            if (result.empty() || (from_host && !last_from_host)) result.emplace_back();
            (from_host ? result.back().to_box : result.back().to_host) += count;
            last_from_host = from_host;
        }
        return result;
    }

private:
    void record(const std::string& line) {
        for (const auto& [marker, from_host] : {std::pair{" host>box ", true}, std::pair{" box>host ", false}}) {
            const auto at = line.find(marker);
            if (at == std::string::npos) continue;
            std::lock_guard<std::mutex> guard(lock_);
            pieces_.emplace_back(from_host, std::strtoul(line.c_str() + at + std::strlen(marker), nullptr, 10));
        }
    }
    std::mutex lock_;
    std::vector<std::pair<bool, std::size_t>> pieces_;
};

// The floor of what was on the wire. A serial write lasts until its bytes
// are on the line, and the box answers while the host sleeps; a Bluetooth
// send returns at once, so the request's line time overlaps the wait too.
// Waits beyond the exchanges (a second reply the box sent with the first)
// count in full.
double floor_ms(link l, const std::vector<exchange>& seen, const std::vector<double>& waits) {
    double total = 0;
    for (std::size_t i = 0; i < std::max(seen.size(), waits.size()); ++i) {
        const exchange e = i < seen.size() ? seen[i] : exchange{};
        const double wait = i < waits.size() ? waits[i] : 0.0;
        if (l == link::serial) {
            total += e.to_box * byte_ms + std::max(wait, e.to_host * byte_ms);
        } else if (e.to_host == 0) {
            total += wait;  // a send alone is done once the socket took it
        } else {
            total += std::max(wait, (e.to_box + e.to_host) * byte_ms);
        }
    }
    return total;
}

double elapsed_ms(steady::time_point since) {
    return std::chrono::duration<double, std::milli>(steady::now() - since).count();
}

struct row {
    std::string name;
    double took_ms;  // the median
    double best_ms;
    double floor_ms;
    bool failure_path;
    int status;
};

bool within_target(const row& r) {
    if (r.failure_path) return r.took_ms >= r.floor_ms && r.took_ms <= r.floor_ms * (1 + failure_share);
    return r.took_ms <= r.floor_ms + std::max(r.floor_ms * success_share, success_ms);
}

void print_row(const row& r) {
    std::printf("| %-40s | %10.1f | %10.1f | %10.1f | %6.3f | %6d | %-4s |\n", r.name.c_str(), r.took_ms, r.best_ms,
                r.floor_ms, r.floor_ms > 0 ? r.took_ms / r.floor_ms : 0.0, r.status,
                within_target(r) ? "ok" : "MISS");
    std::fflush(stdout);
}

void print_header(const char* title, const char* floor_name) {
    std::printf("\n%s\n\n| %-40s | %10s | %10s | %10s | %6s | %6s | %-4s |\n|%s|%s|%s|%s|%s|%s|%s|\n", title,
                "operation", "median ms", "best ms", floor_name, "ratio", "status", "goal",
                std::string(42, '-').c_str(), std::string(12, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(8, '-').c_str(), std::string(8, '-').c_str(),
                std::string(6, '-').c_str());
}

// Output buffers for every call, large enough for any field.
struct buffers {
    char t[16][512] = {};
    char message[512] = {};
    unsigned char settings[512] = {};
};

struct operation {
    const char* name;
    link over;
    std::vector<double> waits;  // ms, one per exchange in wire order
    std::function<int(buffers&)> call;
};

// Runs `op` once: its time, its floor from what crossed the wire.
row measure_once(traffic& log, const operation& op) {
    buffers b;
    log.clear();
    const auto start = steady::now();
    const int status = op.call(b);
    const double took = elapsed_ms(start);
    usleep(30000);  // the box's last transcript line
    return {op.name, took, took, floor_ms(op.over, log.exchanges(), op.waits), false, status};
}

// The median run, with the best time beside it.
row summary(std::vector<row> runs) {
    std::sort(runs.begin(), runs.end(), [](const row& a, const row& b) { return a.took_ms < b.took_ms; });
    row r = runs[runs.size() / 2];
    r.best_ms = runs.front().took_ms;
    return r;
}

row measure_failure(const char* name, double bound_ms, const std::function<int(buffers&)>& call) {
    buffers b;
    const auto start = steady::now();
    const int status = call(b);
    const double took = elapsed_ms(start);
    return {name, took, took, bound_ms, true, status};
}

// The state a multi-call sequence keeps between its calls.
struct sequence_state {
    int handle = 0;
    unsigned int socket = 0;
    unsigned int count = 0;
    bytes image = bytes(512, 0x5A);
    std::uint32_t crc = wqbox::crc32(image.data(), image.size());
};

std::vector<operation> operations(sequence_state& s) {
    const auto address = box_address;
    return {
        {"wq_convert_flowrate_to_double", link::none, {}, [](buffers&) {
             return static_cast<int>(wq_convert_flowrate_to_double("12.5", 4, 0));
         }},
        {"wq_connect_to_box", link::serial, {0}, [](buffers& b) { return wq_connect_to_box(b.t[0]); }},
        {"wq_read_settings", link::serial, {0}, [](buffers& b) {
             return wq_read_settings(port, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6], b.t[7], b.t[8],
                                     b.t[9], b.t[10], b.message, 0, 0);
         }},
        {"wq_write_settings", link::serial, {0, 500}, [](buffers& b) {
             return wq_write_settings(port, "Lobby", "", "", "", "120", "1", "", "", "", "", b.message, 0, 0, 0, 0,
                                      1, 0);
         }},
        {"wq_default_settings", link::serial, {0}, [](buffers& b) { return wq_default_settings(port, b.message, 0); }},
        {"wq_sync_time", link::serial, {10}, [](buffers& b) { return wq_sync_time(port, 45000.5, b.message, 0); }},
        {"wq_ota_open_port", link::none, {}, [&s](buffers& b) { return wq_ota_open_port(port, b.message, 0, &s.handle); }},
        {"wq_ota_start", link::serial, {0, 0}, [&s](buffers& b) {
             return wq_ota_start(0, b.message, 0, s.handle, static_cast<unsigned>(s.image.size()), s.crc);
         }},
        {"wq_ota_start_xmit", link::serial, {1000}, [&s](buffers& b) { return wq_ota_start_xmit(0, b.message, 0, s.handle); }},
        {"wq_ota_xmit_data (512 bytes)", link::serial, {0}, [&s](buffers& b) {
             return wq_ota_xmit_data(0, b.message, 0, s.handle, s.image.data(), static_cast<int>(s.image.size()), 0);
         }},
        {"wq_ota_confirm_done", link::serial, {0}, [&s](buffers& b) { return wq_ota_confirm_done(0, b.message, 0, s.handle); }},
        {"wq_ota_open_port (for the log)", link::none, {}, [&s](buffers& b) { return wq_ota_open_port(port, b.message, 0, &s.handle); }},
        {"wq_use_data_req", link::serial, {10}, [&s](buffers& b) { return wq_use_data_req(s.handle, &s.count, b.message, 0); }},
        {"wq_use_data_fetch", link::serial, {10}, [&s](buffers& b) {
             return wq_use_data_fetch(s.handle, 0, 0, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6], b.t[7],
                                      b.message, 0);
         }},
        {"wq_use_data_done", link::serial, {0}, [&s](buffers& b) { return wq_use_data_done(s.handle, b.message, 0); }},
        {"wq_force_close_handle", link::none, {}, [&s](buffers& b) { return wq_force_close_handle(0, b.message, 0, s.handle); }},
        {"wq_get_device_list", link::none, {}, [](buffers& b) {
             unsigned int count = 0;
             return wq_get_device_list(b.t[0], sizeof b.t[0], &count, b.message, 0);
         }},
        {"wq_connect_to_bt_device", link::bluetooth, {100, 100}, [](buffers& b) {
             BTH_ADDR found = 0;
             return wq_connect_to_bt_device(&found, "WQ Box", b.message, 0);
         }},
        {"wq_bt_write_settings", link::bluetooth, {100, 100}, [=](buffers& b) {
             return wq_bt_write_settings(address, "Lobby", "", "", "", "120", "1", "", "", "", "", "10.0.0.1",
                                         "10.0.0.2", "10.0.0.3", b.message, 0, 0, 0, 1, 0, 0);
         }},
        {"wq_bt_read_settings", link::bluetooth, {100, 100}, [=](buffers& b) {
             return wq_bt_read_settings(address, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6], b.t[7],
                                        b.t[8], b.t[9], b.t[10], b.t[11], b.t[12], b.t[13], b.message, 0, 0);
         }},
        {"wq_bt_default_settings", link::bluetooth, {100}, [=](buffers& b) { return wq_bt_default_settings(address, b.message, 0); }},
        {"wq_bt_sync_time", link::bluetooth, {100}, [=](buffers& b) { return wq_bt_sync_time(address, 1700000000ull, b.message, 0); }},
        {"wq_bt_identify", link::bluetooth, {}, [=](buffers& b) { return wq_bt_identify(address, b.message, 0); }},
        {"wq_bt_reset_device", link::bluetooth, {}, [=](buffers& b) { return wq_bt_reset_device(address, b.message, 0); }},
        {"wq_bt_get_usage_setting_cnt", link::bluetooth, {10}, [=](buffers& b) {
             unsigned int count = 0;
             return wq_bt_get_usage_setting_cnt(address, &count, b.message, 0);
         }},
        {"wq_bt_read_usage_settings", link::bluetooth, {100}, [=](buffers& b) {
             return wq_bt_read_usage_settings(address, sizeof b.settings, 64, b.settings, b.message, 0);
         }},
        {"wq_bt_write_usage_settings", link::bluetooth, {10, 10}, [=](buffers& b) {
             return wq_bt_write_usage_settings(address, 64, sizeof b.settings, b.settings, b.message, 0);
         }},
        {"wq_bt_ota_connect (for the log)", link::bluetooth, {}, [&s](buffers& b) {
             return wq_bt_ota_connect(box_address, &s.socket, b.message, 0);
         }},
        {"wq_bt_use_data_req", link::bluetooth, {100}, [&s](buffers& b) { return wq_bt_use_data_req(s.socket, &s.count, b.message, 0); }},
        {"wq_bt_use_data_fetch", link::bluetooth, {1}, [&s](buffers& b) {
             return wq_bt_use_data_fetch(s.socket, 0, 0, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6],
                                         b.t[7], b.message, 0, 0);
         }},
        {"wq_bt_use_data_done", link::bluetooth, {}, [&s](buffers& b) { return wq_bt_use_data_done(s.socket, b.message, 0); }},
        {"wq_bt_ota_connect", link::bluetooth, {}, [&s](buffers& b) {
             return wq_bt_ota_connect(box_address, &s.socket, b.message, 0);
         }},
        {"wq_bt_ota_start", link::bluetooth, {100, 100}, [&s](buffers& b) {
             return wq_bt_ota_start(s.socket, static_cast<unsigned>(s.image.size()), s.crc, b.message, 0);
         }},
        {"wq_bt_ota_start_xmit", link::bluetooth, {100}, [&s](buffers& b) { return wq_bt_ota_start_xmit(s.socket, b.message, 0); }},
        {"wq_bt_ota_xmit_data (512 bytes)", link::bluetooth, {}, [&s](buffers& b) {
             return wq_bt_ota_xmit_data(s.socket, reinterpret_cast<const char*>(s.image.data()),
                                        static_cast<int>(s.image.size()), 0, b.message, 0);
         }},
        {"wq_bt_ota_done", link::bluetooth, {100}, [&s](buffers& b) { return wq_bt_ota_done(s.socket, b.message, 0); }},
        {"wq_bt_ota_reset", link::bluetooth, {}, [&s](buffers& b) { return wq_bt_ota_reset(s.socket, b.message, 0); }},
        {"wq_bt_ota_connect (to disconnect)", link::bluetooth, {}, [&s](buffers& b) {
             return wq_bt_ota_connect(box_address, &s.socket, b.message, 0);
         }},
        {"wq_bt_ota_disconnect", link::none, {}, [&s](buffers&) { return wq_bt_ota_disconnect(s.socket); }},
        {"wq_bt_read_batt", link::bluetooth, {10000}, [=](buffers& b) {
             int level = 0;
             return wq_bt_read_batt(address, &level, b.message, 0);
         }},
        {"wq_bt_force_flush", link::bluetooth, {1000}, [=](buffers& b) { return wq_bt_force_flush(address, b.message, 0); }},
    };
}

// A silent box: each failure's bound is the waits and time-outs that must
// pass before the operation may give up, plus its request's line time.
void run_failures(wqbox::emulator& box, std::vector<row>& rows) {
    const auto silent = [&box](const char* request) {
        wqbox::fault f;
        std::string error;
        wqbox::parse_fault(std::string(request) + ":silent", &f, &error);
        box.clear_faults();
        box.add_fault(f);
    };
    const auto address = box_address;
    print_header("Failure paths against a silent box", "bound ms");

    silent("read-settings");  // one 200 ms read
    rows.push_back(measure_failure("wq_read_settings, silent", 32 * byte_ms + 200, [](buffers& b) {
        return wq_read_settings(port, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6], b.t[7], b.t[8],
                                b.t[9], b.t[10], b.message, 0, 0);
    }));
    print_row(rows.back());

    silent("usage-start");  // twenty attempts of 10 ms and a 200 ms read
    rows.push_back(measure_failure("wq_use_data_fetch, silent", 14 * byte_ms + 20 * 210, [](buffers& b) {
        int handle = 0;
        if (wq_ota_open_port(port, b.message, 0, &handle) != 0) return -1;
        const int status = wq_use_data_fetch(handle, 0, 0, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6],
                                             b.t[7], b.message, 0);
        wq_force_close_handle(0, b.message, 0, handle);
        return status;
    }));
    print_row(rows.back());

    silent("BTREAD_REQ");  // 100 ms wait, ten receives of 100 ms, the drain's receive
    rows.push_back(measure_failure("wq_bt_read_settings, silent", 100 + 10 * 100 + 100, [=](buffers& b) {
        return wq_bt_read_settings(address, b.t[0], b.t[1], b.t[2], b.t[3], b.t[4], b.t[5], b.t[6], b.t[7], b.t[8],
                                   b.t[9], b.t[10], b.t[11], b.t[12], b.t[13], b.message, 0, 0);
    }));
    print_row(rows.back());

    silent("bt-settings-frame");  // the request is answered, the record's ack never comes
    rows.push_back(measure_failure("wq_bt_write_settings, write-back silent", 100 + 100 + 10 * 100, [=](buffers& b) {
        return wq_bt_write_settings(address, "Lobby", "", "", "", "120", "1", "", "", "", "", "10.0.0.1", "10.0.0.2",
                                    "10.0.0.3", b.message, 0, 0, 0, 1, 0, 0);
    }));
    print_row(rows.back());

    silent("BTREAD_BAT");  // 10 s wait, ten receives of 100 ms
    rows.push_back(measure_failure("wq_bt_read_batt, silent", 10000 + 10 * 100, [=](buffers& b) {
        int level = 0;
        return wq_bt_read_batt(address, &level, b.message, 0);
    }));
    print_row(rows.back());
    box.clear_faults();
}

// A whole job through wqctl, timed from the outside.
double run_wqctl(const std::string& wqctl, const std::string& arguments) {
    const auto start = steady::now();
    const int status = std::system((wqctl + " " + arguments + " >/dev/null 2>&1").c_str());
    const double took = elapsed_ms(start);
    if (status != 0) std::printf("  (wqctl %s failed: %d)\n", arguments.c_str(), status);
    return took;
}

void run_jobs(const std::string& wqctl, const std::string& dir, traffic& log) {
    constexpr std::size_t image_size = 64 * 1024;
    constexpr std::size_t log_entries = 1000;
    constexpr double line_rate = baud / 10.0;  // bytes per second
    const std::string image = dir + "/image.bin";
    {
        bytes data(image_size);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
        std::FILE* f = std::fopen(image.c_str(), "wb");
        if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::printf("cannot write %s\n", image.c_str());
        if (f) std::fclose(f);
    }
    std::printf("\nJobs through wqctl (%zu-byte image, %zu-entry usage log); rate = payload bytes / time\n\n",
                image_size, log_entries);
    std::printf("| %-40s | %9s | %9s | %6s | %9s |\n|%s|%s|%s|%s|%s|\n", "job", "s", "floor s", "ratio",
                "% of line", std::string(42, '-').c_str(), std::string(11, '-').c_str(), std::string(11, '-').c_str(),
                std::string(8, '-').c_str(), std::string(11, '-').c_str());
    struct job {
        const char* name;
        std::string arguments;
        double payload;
        link over;
    };
    const job jobs[] = {
        {"firmware update, serial", "--port 1 firmware update " + image, image_size, link::serial},
        {"firmware update, Bluetooth", "--bt 00:11:22:33:44:AA firmware update " + image, image_size, link::bluetooth},
        {"usage log download, serial", "--port 1 log", log_entries * 128.0, link::serial},
        {"usage log download, Bluetooth", "--bt 00:11:22:33:44:AA log", log_entries * 128.0, link::bluetooth},
    };
    for (const job& j : jobs) {
        log.clear();
        const double took = run_wqctl(wqctl, j.arguments) / 1000;
        usleep(30000);
        // The firmware floor is the image on the line (and the serial start
        // wait); the log's floor is each fetch's request, wait and record.
        double floor_s = 0;
        if (std::strstr(j.name, "firmware")) floor_s = j.payload / line_rate;
        if (std::strstr(j.name, "firmware") && j.over == link::serial) floor_s += 1;  // the start wait
        if (std::strstr(j.name, "usage log")) {
            std::vector<double> waits(log.exchanges().size(), j.over == link::serial ? 10.0 : 1.0);
            // Over Bluetooth the count request waits 100 ms; the kept
            // connection opens without an exchange.
            if (j.over == link::bluetooth && !waits.empty()) waits.front() = 100.0;
            floor_s = floor_ms(j.over, log.exchanges(), waits) / 1000;
        }
        std::printf("| %-40s | %9.3f | %9.3f | %6.3f | %8.1f%% |\n", j.name, took, floor_s,
                    floor_s > 0 ? took / floor_s : 0.0, 100.0 * j.payload / took / line_rate);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string wqctl = argc > 1 ? argv[1] : "wqctl";
    // Optional: run only the parts whose heading contains this word
    // ("Operations", "Failure", "Jobs").
    const std::string only = argc > 2 ? argv[2] : "";
    const auto wanted = [&only](const char* part) { return only.empty() || only == part; };
    char dir_template[] = "/tmp/wq-bench-XXXXXX";
    const char* dir = ::mkdtemp(dir_template);
    if (!dir) return 1;
    ::setenv("WQ_COM_DIR", dir, 1);
    ::setenv("WQ_BT_DIR", dir, 1);

    traffic log;
    wqbox::config cfg;
    cfg.com_dir = dir;
    cfg.bt_dir = dir;
    cfg.baud = baud;
    cfg.usage_entries = 1000;
    cfg.transcript = log.sink();
    std::string error;
    auto box = wqbox::emulator::start(cfg, &error);
    if (!box) {
        std::fprintf(stderr, "wq_link_bench: %s\n", error.c_str());
        return 1;
    }

    std::printf("Every exported operation against wqbox at %u baud, %d runs each (failure paths: one)\n", baud,
                repetitions);
    std::vector<row> rows;
    sequence_state state;
    // Whole passes over the list, so that the multi-call sequences run in
    // their order every time.
    const std::vector<operation> ops = wanted("operations") ? operations(state) : std::vector<operation>{};
    std::vector<std::vector<row>> runs(ops.size());
    for (int pass = 0; pass < repetitions; ++pass) {
        for (std::size_t i = 0; i < ops.size(); ++i) runs[i].push_back(measure_once(log, ops[i]));
    }
    if (!ops.empty()) print_header("Operations", "floor ms");
    for (const auto& op_runs : runs) {
        rows.push_back(summary(op_runs));
        print_row(rows.back());
    }
    if (wanted("failures")) run_failures(*box, rows);
    if (wanted("jobs")) run_jobs(wqctl, dir, log);

    const auto missed = std::count_if(rows.begin(), rows.end(), [](const row& r) { return !within_target(r); });
    std::printf("\n%zu of %zu operations and failure paths within their goal\n", rows.size() - missed, rows.size());
    box->stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
