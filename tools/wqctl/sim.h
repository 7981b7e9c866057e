// Temporary directories that stand in for the system's COM ports and
// Bluetooth devices: --sim runs an emulated box in one, --device links the
// named device into one as COM1. The library finds them through WQ_COM_DIR
// and WQ_BT_DIR, set in this process only.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace wqbox {
class emulator;
}

namespace wqctl {

// A fresh directory under $TMPDIR, removed with everything in it when the
// object goes.
class scratch_dir {
public:
    static std::unique_ptr<scratch_dir> make(std::string* error);
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    explicit scratch_dir(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

struct sim_options {
    int com_port = 1;
    std::string bt_address;  // empty: the emulator's default
    std::string name;        // empty: the emulator's default
    bool trace = false;      // the emulator's transcript on stderr
};

// --trace: the box's transcript on stderr, with every request the box was
// sent, those the library awaits no answer to included.
class trace_printer {
public:
    void print(const std::string& transcript_line);
    // Returns once the box has read all it was sent over Bluetooth, or after
    // a time limit.
    void finish(const std::string& socket_path);

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::string held_;  // a connection's first line, until the next one
    bool ending_ = false;
    bool ended_ = false;
};

class simulation {
public:
    // Starts the box on both links in `dir`; nullptr with the reason in *error.
    static std::unique_ptr<simulation> start(const sim_options& options, const std::string& dir,
                                             std::string* error);
    // Stops the box, once a trace shows all it was sent.
    ~simulation();
    simulation(const simulation&) = delete;
    simulation& operator=(const simulation&) = delete;

private:
    simulation() = default;
    std::unique_ptr<trace_printer> trace_;
    std::unique_ptr<wqbox::emulator> box_;
};

// --device: `device` reached as COM1 of `dir`; false with the reason in *error.
bool link_device(const std::string& device, const std::string& dir, std::string* error);

}  // namespace wqctl
