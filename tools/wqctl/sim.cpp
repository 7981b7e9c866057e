#include "sim.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

#include "box.h"

namespace wqctl {
namespace {

constexpr char dir_pattern[] = "wqctl-XXXXXX";
constexpr char device_port_name[] = "COM1";

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

std::unique_ptr<scratch_dir> scratch_dir::make(std::string* error) {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / dir_pattern).string();
    if (ec) pattern = std::string("/tmp/") + dir_pattern;
    if (!mkdtemp(pattern.data())) {
        *error = "cannot make a temporary directory " + pattern;
        return nullptr;
    }
    return std::unique_ptr<scratch_dir>(new scratch_dir(pattern));
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<simulation> simulation::start(const sim_options& options, const std::string& dir,
                                              std::string* error) {
    std::unique_ptr<simulation> sim(new simulation);
    sim->box_ = wqbox::emulator::start(box_config(options, dir), error);
    if (!sim->box_) return nullptr;
    setenv("WQ_COM_DIR", dir.c_str(), 1);
    setenv("WQ_BT_DIR", dir.c_str(), 1);
    return sim;
}

simulation::~simulation() {
    if (box_) box_->stop();
}

bool link_device(const std::string& device, const std::string& dir, std::string* error) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::absolute(device, ec);
    if (!ec) std::filesystem::create_symlink(target, std::filesystem::path(dir) / device_port_name, ec);
    if (ec) {
        *error = "cannot link " + device + " into " + dir + ": " + ec.message();
        return false;
    }
    setenv("WQ_COM_DIR", dir.c_str(), 1);
    return true;
}

}  // namespace wqctl
