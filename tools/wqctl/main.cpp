// wqctl: the library's operations from the command line, for service
// technicians, scripts and newcomers.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "link.h"
#include "report.h"
#include "sim.h"

namespace {

using namespace wqctl;

constexpr int killed_by_signal = 128;
constexpr auto busy_pause = std::chrono::seconds(1);

// The one way out of wqctl: whether the command ends or a stop signal
// comes, exactly one report is printed (a JSON object with --json) and the
// temporary directories are removed. The stop signals are taken by one
// thread of ours; every other thread, the emulator's included, keeps them
// blocked.
class exit_guard {
public:
    static std::shared_ptr<exit_guard> install() {
        auto guard = std::shared_ptr<exit_guard>(new exit_guard);
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, s);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
        std::thread([guard, stop_signals] {
            int signal_number = 0;
            sigwait(&stop_signals, &signal_number);
            guard->interrupted(signal_number);
        }).detach();
        return guard;
    }

    void describe(std::string command, bool json) {
        const std::lock_guard lock(mutex_);
        command_ = std::move(command);
        json_ = json;
    }
    void remove_on_signal(std::string dir) {
        const std::lock_guard lock(mutex_);
        dirs_.push_back(std::move(dir));
    }

    // Prints the report unless a signal already ended the run; the exit code.
    int finish(const report& r) {
        const std::lock_guard lock(mutex_);
        if (r.result == outcome::usage) {
            std::fprintf(stderr, "wqctl: %s (see wqctl %s%s--help)\n", r.summary.c_str(), command_.c_str(),
                         command_.empty() ? "" : " ");
        }
        if (json_) print_json(stdout, command_, r);
        else if (r.result != outcome::usage) print_human(stdout, stderr, r);
        std::fflush(stdout);
        finished_ = true;
        return static_cast<int>(r.result);
    }

private:
    exit_guard() = default;

    [[noreturn]] void interrupted(int signal_number) {
        std::unique_lock lock(mutex_);
        const int code = killed_by_signal + signal_number;
        if (!finished_) {
            report r;
            r.result = static_cast<outcome>(code);
            r.summary = std::string("interrupted by signal ") + std::to_string(signal_number) + " (" +
                        strsignal(signal_number) + ")";
            std::fputc('\n', stderr);  // behind a progress bar
            if (json_) print_json(stdout, command_, r);
            else std::fprintf(stderr, "wqctl: %s\n", r.summary.c_str());
            std::fflush(stdout);
        }
        for (const std::string& dir : dirs_) std::filesystem::remove_all(dir, ignored_);
        _exit(code);
    }

    std::mutex mutex_;
    std::string command_;
    bool json_ = false;
    bool finished_ = false;
    std::vector<std::string> dirs_;
    std::error_code ignored_;
};

sim_options sim_options_for(const command_line& line) {
    sim_options options;
    if (line.port) options.com_port = *line.port;
    if (line.bt) options.bt_address = format_bt_address(*line.bt);
    if (line.name) options.name = *line.name;
    options.trace = line.trace;
    return options;
}

// A box in use refuses a write, a restore or a flush; it is free again
// when the user steps back, so --retry asks again after a pause.
report run_with_retries(const invocation& call) {
    const int retries = call.retries;
    report r = call.command->run(call);
    int attempt = 0;
    for (; attempt < retries && is_busy(r); ++attempt) {
        std::fprintf(stderr, "wqctl: the box is in use; asking again in 1 s (%d of %d)\n", attempt + 1, retries);
        std::this_thread::sleep_for(busy_pause);
        r = call.command->run(call);
    }
    if (retries > 0) r.add("attempts", attempt + 1);
    return r;
}

// Whatever goes wrong inside wqctl still ends in its one report, and the
// temporary directories go with the stack.
report run_guarded(const invocation& call) {
    try {
        return run_with_retries(call);
    } catch (const std::exception& e) {
        return own_failure(std::string("wqctl failed: ") + e.what());
    }
}

report version_report() {
    report r;
    r.summary = std::string("wqctl ") + WQ_VERSION;
    r.add("version", WQ_VERSION);
    return r;
}

// The temporary directory of --sim and --device, and the box of --sim.
struct stand_ins {
    std::unique_ptr<scratch_dir> dir;
    std::unique_ptr<simulation> sim;
};

// --device PATH, and find --port N, reach their device as COM1 of a
// directory of their own, so the library opens that device and no other.
std::optional<std::string> device_to_link(const command_line& line, const invocation& call) {
    if (line.device) return line.device;
    if (!line.sim && call.command->needs == link_need::none && call.target.type == link::kind::serial)
        return call.target.device_path;
    return std::nullopt;
}

std::optional<report> start_stand_ins(const command_line& line, const invocation& call, exit_guard& guard,
                                      stand_ins* s) {
    const std::optional<std::string> device = device_to_link(line, call);
    if (!line.sim && !device) return std::nullopt;
    std::string error;
    s->dir = scratch_dir::make(&error);
    if (!s->dir) return own_failure(error);
    guard.remove_on_signal(s->dir->path());
    if (device && !link_device(*device, s->dir->path(), &error)) return own_failure(error);
    if (line.sim) {
        s->sim = simulation::start(sim_options_for(line), s->dir->path(), &error);
        if (!s->sim) return own_failure("the emulated box did not start: " + error);
    }
    return std::nullopt;
}

// The link in the user's terms: a command without one (find) resolves it
// before the stand-ins move WQ_COM_DIR, the others after the emulated box
// is there to be found by name.
std::optional<report> resolve(const command_line& line, invocation& call, bool before_stand_ins) {
    if ((call.command->needs == link_need::none) != before_stand_ins) return std::nullopt;
    auto problem = resolve_link(line, call, &call.target);
    if (problem) add_hint(call, &*problem);
    return problem;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (`wqctl log --csv - | head`) is a write error
    // wqctl handles, not a signal that ends it.
    std::signal(SIGPIPE, SIG_IGN);
    const std::shared_ptr<exit_guard> guard = exit_guard::install();
    command_line line;
    report error;
    switch (parse_command_line(argc, argv, &line, &error)) {
        case parsed::printed: return 0;
        case parsed::version: guard->describe("", line.json); return guard->finish(version_report());
        case parsed::usage: guard->describe(line.group, line.json); return guard->finish(error);
        case parsed::run: break;
    }
    if (!line.generate.empty()) {
        if (line.generate == "man") print_man_page(stdout);
        else print_bash_completion(stdout);
        return 0;
    }

    invocation call = make_invocation(line);
    guard->describe(call.command->name, line.json);
    if (auto problem = check_link_options(line)) return guard->finish(*problem);
    call.progress = isatty(STDERR_FILENO);
    stand_ins stand_in;
    if (auto problem = resolve(line, call, true)) return guard->finish(*problem);
    if (auto problem = start_stand_ins(line, call, *guard, &stand_in)) return guard->finish(*problem);
    if (auto problem = resolve(line, call, false)) return guard->finish(*problem);
    report r = run_guarded(call);
    add_hint(call, &r);
    return guard->finish(r);
}
