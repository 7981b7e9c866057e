// wqbox: runs the box emulator until SIGINT or SIGTERM.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "box.h"
#include "roff.h"

namespace {

using wqbox::roff;

constexpr char description[] = R"(Plays the box on both links until SIGINT or SIGTERM: a serial line linked as
$WQ_COM_DIR/COMn, and an emulated Bluetooth device listening on the socket
$WQ_BT_DIR/XX:XX:XX:XX:XX:XX and listed in $WQ_BT_DIR/devices. A link whose
directory is neither set nor given stays off.)";

constexpr char faults_text[] = R"(KIND is silent, word[:TEXT], busy, split[:BYTES[/MS]], shorten[:BYTES],
extend[:BYTES], cut:BYTES, drop[:BYTES] or delay[:MS]; @TIMES limits the
fault to the next TIMES such requests. REQUEST is * or one of:)";

constexpr char firmware_text[] = R"(Firmware: control value 1 is the image length in bytes, control value 2 the
image's CRC-32 (zlib/IEEE). The box confirms the final verify only when both
match what it received.)";

constexpr char exit_text[] = R"(0 stopped by SIGINT or SIGTERM, 1 a link could not be opened, 2 usage error.)";

// Every option, once: the parser knows the names from here, and the help,
// the man page and the bash completion are made from it.
struct option_doc {
    const char* section;
    const char* name;
    const char* alias;  // a short name, or ""
    const char* value;  // the value's name; nullptr for a flag. "a|b" lists the choices
    const char* help;
};

constexpr option_doc options[] = {
    {"Links", "--com", "", "N", "serve COM N (1..15, default 1)"},
    {"Links", "--com-dir", "", "DIR", "directory of the COM links (default $WQ_COM_DIR)"},
    {"Links", "--no-serial", "", nullptr, "no serial link"},
    {"Links", "--bt-dir", "", "DIR", "Bluetooth directory (default $WQ_BT_DIR)"},
    {"Links", "--bt-address", "", "ADDR", "Bluetooth address (default 00:11:22:33:44:AA)"},
    {"Links", "--name", "", "NAME", "Bluetooth device name (default \"WQ Box\")"},
    {"Links", "--no-bt", "", nullptr, "no Bluetooth link"},
    {"Links", "--baud", "", "N", "pace both links at N baud, ten bit times a byte (default: unpaced)"},
    {"The box", "--ident", "", "TEXT", "identification text of the serial probe (<= 63 chars)"},
    {"The box", "--greeting", "", "TEXT", "second reply of the Bluetooth connect handshake"},
    {"The box", "--serial-format", "", "short|long", "record format of a serial settings read (default long)"},
    {"The box", "--bt-layout", "", "standard|safe|last",
     "layout of a Bluetooth settings read (default last: the layout last written, standard before that)"},
    {"The box", "--usage-entries", "", "N", "entries in the usage log (default 24)"},
    {"The box", "--battery", "", "N", "battery level byte (default 85)"},
    {"The box", "--usage-setting-count", "", "N", "usage-setting count (default 8)"},
    {"The box", "--in-use", "", nullptr, "refuse writes, restores and flushes as busy"},
    {"Faults", "--fault", "", "REQUEST:KIND[:ARG][@TIMES]", "a fault, repeatable (below)"},
    {"Output", "--verbose", "-v", nullptr, "print a transcript of the traffic to stdout"},
    {"Output", "--help", "-h", nullptr, "this text"},
    {"Output", "--version", "", nullptr, "print the version"},
};

const option_doc* find_option(std::string_view name) {
    for (const option_doc& o : options)
        if (name == o.name || name == o.alias) return &o;
    return nullptr;
}

std::string request_list(const char* separator, std::size_t width) {
    std::string names;
    std::size_t column = 0;
    for (std::string_view name : wqbox::request_names()) {
        if (width && column + name.size() + 1 > width) {
            names += "\n";
            column = 0;
        }
        names += std::string(name) + separator;
        column += name.size() + 1;
    }
    return names;
}

void print_usage(std::FILE* out) {
    std::fprintf(out, "Usage: wqbox [options]\n\n%s\n", description);
    const char* section = "";
    for (const option_doc& o : options) {
        if (std::strcmp(section, o.section) != 0) std::fprintf(out, "\n%s:\n", section = o.section);
        std::string names = *o.alias ? std::string(o.alias) + ", " + o.name : o.name;
        if (o.value) names += std::string(" ") + o.value;
        if (names.size() > 22) std::fprintf(out, "  %s\n  %-22s  %s\n", names.c_str(), "", o.help);
        else std::fprintf(out, "  %-22s  %s\n", names.c_str(), o.help);
    }
    std::string requests = request_list(" ", 76);
    for (std::size_t at = 0; (at = requests.find('\n', at)) != std::string::npos; at += 3)
        requests.insert(at + 1, "  ");
    std::fprintf(out, "\nFault kinds and requests:\n%s\n  %s\n\n%s\n\nExit status: %s\n",
                 faults_text, requests.c_str(), firmware_text, exit_text);
}

void print_man_page(std::FILE* out) {
    std::fprintf(out, ".TH WQBOX 1 \"\" \"wqbox %s\" \"User Commands\"\n", WQ_VERSION);
    std::fprintf(out, ".SH NAME\nwqbox \\- play the box on an emulated serial line and Bluetooth device\n");
    std::fprintf(out, ".SH SYNOPSIS\n.B wqbox\n[\\fIOPTIONS\\fR]\n.SH DESCRIPTION\n%s\n.SH OPTIONS\n",
                 roff(description).c_str());
    const char* section = "";
    for (const option_doc& o : options) {
        if (std::strcmp(section, o.section) != 0) std::fprintf(out, ".SS %s\n", section = o.section);
        std::string names = *o.alias ? std::string(o.alias) + ", " + o.name : o.name;
        if (o.value) names += std::string(" ") + o.value;
        std::fprintf(out, ".TP\n.B %s\n%s\n", roff(names).c_str(), roff(o.help).c_str());
    }
    std::fprintf(out, ".SH FAULTS\n%s\n.PP\n%s\n.SH NOTES\n%s\n", roff(faults_text).c_str(),
                 roff(request_list(" ", 0)).c_str(), roff(firmware_text).c_str());
    std::fprintf(out, ".SH ENVIRONMENT\n.TP\n.B WQ_COM_DIR\nwhere the COM links go unless --com-dir says\n"
                      ".TP\n.B WQ_BT_DIR\nwhere the socket and the devices file go unless --bt-dir says\n");
    std::fprintf(out, ".SH \"EXIT STATUS\"\n%s\n", roff(exit_text).c_str());
}

void print_bash_completion(std::FILE* out) {
    std::string words, dirs, choices, others;
    for (const option_doc& o : options) {
        words += std::string(o.name) + " " + (*o.alias ? std::string(o.alias) + " " : "");
        if (!o.value) continue;
        const std::string value = o.value;
        if (value == "DIR") dirs += std::string(o.name) + "|";
        else if (value.find('|') != std::string::npos && value.find(':') == std::string::npos) {
            std::string list = value;
            for (char& c : list) c = c == '|' ? ' ' : c;
            choices += std::string("    ") + o.name + ") COMPREPLY=($(compgen -W \"" + list +
                       "\" -- \"$cur\")); return ;;\n";
        } else if (std::string_view(o.name) != "--fault") {
            others += std::string(o.name) + "|";
        }
    }
    dirs.pop_back();
    others.pop_back();
    std::fprintf(out,
                 "# bash completion for wqbox, generated by wqbox --generate-completion\n"
                 "_wqbox() {\n"
                 "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                 "  case $prev in\n"
                 "    %s) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
                 "    --fault) COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return ;;\n"
                 "%s"
                 "    %s) COMPREPLY=(); return ;;\n"
                 "  esac\n"
                 "  COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))\n"
                 "}\n"
                 "complete -F _wqbox wqbox\n",
                 dirs.c_str(), request_list(": ", 0).c_str(), choices.c_str(), others.c_str(), words.c_str());
}

bool to_number(std::string_view text, long long* value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

struct parsed {
    wqbox::config cfg;
    bool verbose = false;
    void (*print)(std::FILE*) = nullptr;  // --help, --version, the generated documents
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
    else if (option == "-h" || option == "--help") p.print = print_usage;
    else if (option == "--version") p.print = [](std::FILE* out) { std::fprintf(out, "wqbox %s\n", WQ_VERSION); };
    else if (option == "--generate-man") p.print = print_man_page;
    else if (option == "--generate-completion") p.print = print_bash_completion;
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
        const auto eq = option.find('=');
        const bool inline_value = option.rfind("--", 0) == 0 && eq != std::string_view::npos;
        if (inline_value) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
        }
        const option_doc* known = find_option(option);
        if (!known || !known->value) {
            *error = (option.rfind("-", 0) == 0 ? "unknown option " : "not an option: ") + std::string(option);
            return false;
        }
        if (!inline_value) {
            if (i + 1 >= argc) return *error = std::string(option) + " needs a value", false;
            value = argv[++i];
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
    if (p.print) {
        p.print(stdout);
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
