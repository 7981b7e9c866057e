#include "sim.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "box.h"

namespace wqctl {
namespace {

constexpr char dir_pattern[] = "wqctl-XXXXXX";
constexpr char device_port_name[] = "COM1";

// How long a stop waits for the box to read what it was sent.
constexpr auto finish_limit = std::chrono::seconds(2);
// The box's transcript lines that open and end a Bluetooth connection.
constexpr std::string_view connection_opened = " opened";
constexpr std::string_view connection_closed = "host closed the connection";

wqbox::config box_config(const sim_options& options, const std::string& dir, trace_printer* trace) {
    wqbox::config cfg;
    cfg.com_dir = dir;
    cfg.bt_dir = dir;
    cfg.com_port = options.com_port;
    if (!options.bt_address.empty()) cfg.bt_address = options.bt_address;
    if (!options.name.empty()) cfg.name = options.name;
    if (trace) cfg.transcript = [trace](const std::string& line) { trace->print(line); };
    return cfg;
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// One more connection to the box, carrying nothing.
bool connect_once(const std::string& socket_path) {
    sockaddr_un address{};
    if (socket_path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, socket_path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

// A connection's first line is held until the next one: the connection that
// carried nothing, which ends the trace, is left out.
void trace_printer::print(const std::string& line) {
    const std::lock_guard lock(mutex_);
    if (ends_with(line, connection_opened)) {
        if (!held_.empty()) std::fprintf(stderr, "%s\n", held_.c_str());
        held_ = line;
        return;
    }
    if (!held_.empty() && ending_ && ends_with(line, connection_closed)) {
        held_.clear();
        ended_ = true;
        done_.notify_all();
        return;
    }
    if (!held_.empty()) std::fprintf(stderr, "%s\n", held_.c_str());
    held_.clear();
    std::fprintf(stderr, "%s\n", line.c_str());
}

// The box serves its Bluetooth connections one after another, each on to
// its end, so once it has served one more of ours it has read every request
// before it: one the library sent without awaiting an answer (identify,
// reset) is in the trace too.
void trace_printer::finish(const std::string& socket_path) {
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    if (socket_path.empty() || !connect_once(socket_path)) return;
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, finish_limit, [this] { return ended_; });
}

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
    if (options.trace) sim->trace_ = std::make_unique<trace_printer>();
    sim->box_ = wqbox::emulator::start(box_config(options, dir, sim->trace_.get()), error);
    if (!sim->box_) return nullptr;
    setenv("WQ_COM_DIR", dir.c_str(), 1);
    setenv("WQ_BT_DIR", dir.c_str(), 1);
    return sim;
}

simulation::~simulation() {
    if (!box_) return;
    if (trace_) trace_->finish(box_->bt_socket());
    box_->stop();
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
