#include "sim.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "box.h"

namespace wqctl {
namespace {

constexpr char dir_pattern[] = "wqctl-sim-XXXXXX";
constexpr int killed_by_signal = 128;

std::string make_temp_dir(std::string* error) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / dir_pattern).string();
    if (ec) pattern = std::string("/tmp/") + dir_pattern;
    if (!mkdtemp(pattern.data())) {
        *error = "cannot make a temporary directory " + pattern;
        return {};
    }
    return pattern;
}

// An interrupted run still removes the directory: the stop signals are taken
// by one thread of ours (every other thread, the emulator's included, keeps
// them blocked), which removes it and ends the process.
void remove_on_signal(const std::string& dir) {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::thread([dir, stop_signals] {
        int signal_number = 0;
        sigwait(&stop_signals, &signal_number);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        _exit(killed_by_signal + signal_number);
    }).detach();
}

wqbox::config box_config(const sim_options& options, const std::string& dir) {
    wqbox::config cfg;
    cfg.com_dir = dir;
    cfg.bt_dir = dir;
    cfg.com_port = options.com_port;
    if (!options.bt_address.empty()) cfg.bt_address = options.bt_address;
    if (!options.name.empty()) cfg.name = options.name;
    if (options.trace) {
        cfg.transcript = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    }
    return cfg;
}

}  // namespace

std::unique_ptr<simulation> simulation::start(const sim_options& options, std::string* error) {
    std::unique_ptr<simulation> sim(new simulation);
    sim->dir_ = make_temp_dir(error);
    if (sim->dir_.empty()) return nullptr;
    remove_on_signal(sim->dir_);
    sim->box_ = wqbox::emulator::start(box_config(options, sim->dir_), error);
    if (!sim->box_) return nullptr;  // the destructor removes the directory
    setenv("WQ_COM_DIR", sim->dir_.c_str(), 1);
    setenv("WQ_BT_DIR", sim->dir_.c_str(), 1);
    return sim;
}

simulation::~simulation() {
    if (box_) box_->stop();
    box_.reset();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

}  // namespace wqctl
