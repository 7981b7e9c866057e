// wqbox: runs the box emulator until SIGINT or SIGTERM.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "box.h"

namespace {

constexpr char usage_text[] = R"(Usage: wqbox [options]

Plays the box on both links until SIGINT or SIGTERM: a serial line linked as
$WQ_COM_DIR/COMn, and an emulated Bluetooth device listening on the socket
$WQ_BT_DIR/XX:XX:XX:XX:XX:XX and listed in $WQ_BT_DIR/devices. A link whose
directory is neither set nor given stays off.

Links:
  --com N                 serve COM N (1..15, default 1)
  --com-dir DIR           directory of the COM links (default $WQ_COM_DIR)
  --no-serial             no serial link
  --bt-dir DIR            Bluetooth directory (default $WQ_BT_DIR)
  --bt-address ADDR       Bluetooth address (default 00:11:22:33:44:AA)
  --name NAME             Bluetooth device name (default "WQ Box")
  --no-bt                 no Bluetooth link
  --baud N                pace both links at N baud, ten bit times a byte
                          (default: unpaced)

The box:
  --ident TEXT            identification text of the serial probe (<= 63 chars)
  --greeting TEXT         second reply of the Bluetooth connect handshake
  --serial-format short|long
                          record format of a serial settings read (default long)
  --bt-layout standard|safe|last
                          layout of a Bluetooth settings read (default last:
                          the layout last written, standard before that)
  --usage-entries N       entries in the usage log (default 24)
  --battery N             battery level byte (default 85)
  --usage-setting-count N usage-setting count (default 8)
  --in-use                refuse writes, restores and flushes as busy

Faults (repeatable): --fault REQUEST:KIND[:ARG][@TIMES]
  KIND is silent, word[:TEXT], busy, split[:BYTES[/MS]], shorten[:BYTES],
  extend[:BYTES], cut:BYTES, drop[:BYTES] or delay[:MS]; @TIMES limits the
  fault to the next TIMES such requests. REQUEST is * or one of:
  %s

Output:
  -v, --verbose           print a transcript of the traffic to stdout
  -h, --help              this text

Firmware: control value 1 is the image length in bytes, control value 2 the
image's CRC-32 (zlib/IEEE). The box confirms the final verify only when both
match what it received.
)";

void print_usage(std::FILE* out) {
    std::string names;
    std::size_t column = 2;
    for (std::string_view name : wqbox::request_names()) {
        if (column + name.size() + 1 > 78) {
            names += "\n  ";
            column = 2;
        }
        names += std::string(name) + " ";
        column += name.size() + 1;
    }
    std::fprintf(out, usage_text, names.c_str());
}

bool to_number(std::string_view text, long long* value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

struct parsed {
    wqbox::config cfg;
    bool verbose = false;
    bool help = false;
    bool no_serial = false;
    bool no_bt = false;
};

// Options that take a value.
bool apply_value(parsed& p, std::string_view option, std::string_view value, std::string* error) {
    long long number = 0;
    const auto need_number = [&](long long low, long long high) {
        if (to_number(value, &number) && number >= low && number <= high) return true;
        *error = std::string(option) + " takes a number from " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
    };
    wqbox::config& c = p.cfg;
    if (option == "--com") {
        if (!need_number(1, 15)) return false;
        c.com_port = static_cast<int>(number);
    } else if (option == "--com-dir") {
        c.com_dir = value;
    } else if (option == "--bt-dir") {
        c.bt_dir = value;
    } else if (option == "--bt-address") {
        c.bt_address = value;
    } else if (option == "--name") {
        c.name = value;
    } else if (option == "--baud") {
        if (!need_number(0, 4000000)) return false;
        c.baud = static_cast<std::uint32_t>(number);
    } else if (option == "--ident") {
        if (value.size() > 63) return *error = "--ident takes at most 63 characters", false;
        c.identification = value;
    } else if (option == "--greeting") {
        c.greeting = value;
    } else if (option == "--serial-format") {
        if (value != "short" && value != "long") return *error = "--serial-format is short or long", false;
        c.serial_read_format = value == "short" ? wqbox::serial_format::short_record
                                                : wqbox::serial_format::long_record;
    } else if (option == "--bt-layout") {
        if (value == "standard") c.bt_read_layout = wqbox::bt_layout::standard;
        else if (value == "safe") c.bt_read_layout = wqbox::bt_layout::safe;
        else if (value == "last") c.bt_read_layout = wqbox::bt_layout::last_written;
        else return *error = "--bt-layout is standard, safe or last", false;
    } else if (option == "--usage-entries") {
        if (!need_number(0, 100000)) return false;
        c.usage_entries = static_cast<std::size_t>(number);
    } else if (option == "--battery") {
        if (!need_number(-128, 255)) return false;
        c.battery = static_cast<int>(number);
    } else if (option == "--usage-setting-count") {
        if (!need_number(0, 0xFFFFFFFFLL)) return false;
        c.usage_setting_count = static_cast<std::uint32_t>(number);
    } else if (option == "--fault") {
        wqbox::fault f;
        if (!wqbox::parse_fault(value, &f, error)) {
            *error = "--fault " + std::string(value) + ": " + *error;
            return false;
        }
        c.faults.push_back(f);
    } else {
        *error = "unknown option " + std::string(option);
        return false;
    }
    return true;
}

bool apply_flag(parsed& p, std::string_view option) {
    if (option == "-v" || option == "--verbose") p.verbose = true;
    else if (option == "-h" || option == "--help") p.help = true;
    else if (option == "--no-serial") p.no_serial = true;
    else if (option == "--no-bt") p.no_bt = true;
    else if (option == "--in-use") p.cfg.in_use = true;
    else return false;
    return true;
}

bool parse_arguments(int argc, char** argv, parsed* p, std::string* error) {
    if (const char* dir = std::getenv("WQ_COM_DIR")) p->cfg.com_dir = dir;
    if (const char* dir = std::getenv("WQ_BT_DIR")) p->cfg.bt_dir = dir;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (apply_flag(*p, option)) continue;
        std::string_view value;
        if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string_view::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            *error = std::string(option) + (option.rfind("-", 0) == 0 ? " needs a value" : ": not an option");
            return false;
        }
        if (!apply_value(*p, option, value, error)) return false;
    }
    if (p->no_serial) p->cfg.com_dir.clear();
    if (p->no_bt) p->cfg.bt_dir.clear();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    parsed p;
    std::string error;
    if (!parse_arguments(argc, argv, &p, &error)) {
        std::fprintf(stderr, "wqbox: %s (see wqbox --help)\n", error.c_str());
        return 2;
    }
    if (p.help) {
        print_usage(stdout);
        return 0;
    }
    if (p.verbose) {
        p.cfg.transcript = [](const std::string& line) {
            std::fprintf(stdout, "%s\n", line.c_str());
            std::fflush(stdout);
        };
    }
    // The signals are taken by sigwait below, never by a handler, so every
    // thread the box starts must have them blocked.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    auto box = wqbox::emulator::start(p.cfg, &error);
    if (!box) {
        std::fprintf(stderr, "wqbox: %s\n", error.c_str());
        return 1;
    }
    if (!box->com_link().empty()) std::fprintf(stderr, "wqbox: serial on %s\n", box->com_link().c_str());
    if (!box->bt_socket().empty()) std::fprintf(stderr, "wqbox: bluetooth on %s\n", box->bt_socket().c_str());
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    box->stop();
    std::fprintf(stderr, "wqbox: stopped (%s)\n", strsignal(signal_number));
    return 0;
}
