// --sim: an emulated box in a temporary directory, which the library finds
// through WQ_COM_DIR and WQ_BT_DIR set in this process.
#pragma once

#include <memory>
#include <string>

namespace wqbox {
class emulator;
}

namespace wqctl {

struct sim_options {
    int com_port = 1;
    std::string bt_address;  // empty: the emulator's default
    std::string name;        // empty: the emulator's default
    bool trace = false;      // the emulator's transcript on stderr
};

class simulation {
public:
    // Starts the box on both links; nullptr with the reason in *error.
    static std::unique_ptr<simulation> start(const sim_options& options, std::string* error);
    // Stops the box and removes the directory.
    ~simulation();
    simulation(const simulation&) = delete;
    simulation& operator=(const simulation&) = delete;

private:
    simulation() = default;
    std::string dir_;
    std::unique_ptr<wqbox::emulator> box_;
};

}  // namespace wqctl
