// wqbox: a box emulator for both links, to embed in tests, benchmarks and
// host programs. `emulator::start` opens the serial line (a pseudo-terminal
// linked as $WQ_COM_DIR/COMn) and the Bluetooth listener (an AF_UNIX socket
// in $WQ_BT_DIR plus a line in $WQ_BT_DIR/devices), serves both on threads of
// its own from one box state, and `stop` (or the destructor) takes it all
// down again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "faults.h"
#include "firmware.h"
#include "settings.h"
#include "transcript.h"
#include "usage_log.h"

namespace wqbox {

// Which format a serial settings read is answered in: the request alone
// does not say which one the host expects.
enum class serial_format { short_record, long_record };
// Which layout a Bluetooth settings read is answered in.
enum class bt_layout { standard, safe, last_written };

// Every member has an initializer, so a caller names only what it changes: {.baud = 57600}.
struct config {
    // Serial side: off when com_dir is empty.
    std::string com_dir = {};
    int com_port = 1;
    std::string identification = "WQBOX 1.0 SN 10001";

    // Bluetooth side: off when bt_dir is empty.
    std::string bt_dir = {};
    std::string bt_address = "00:11:22:33:44:AA";
    std::string name = "WQ Box";
    std::string greeting = "WQBOX ready";

    serial_format serial_read_format = serial_format::long_record;
    bt_layout bt_read_layout = bt_layout::last_written;
    // Line-rate pacing: ten bit times per byte each way; 0 paces nothing.
    std::uint32_t baud = 0;

    std::size_t usage_entries = 24;
    int battery = 85;
    std::uint32_t usage_setting_count = 8;
    std::size_t usage_settings_size = 64;
    bool in_use = false;
    // The largest image the box keeps; a longer one fails its verify.
    std::size_t firmware_capacity = 16u << 20;

    std::vector<fault> faults = {};
    transcript_sink transcript = {};  // empty: no transcript
};

// How often the box was asked for the things that leave no other trace.
struct counters {
    unsigned probes = 0;
    unsigned identifies = 0;
    unsigned device_resets = 0;
    unsigned ota_resets = 0;
    unsigned flushes = 0;
    unsigned flushes_refused = 0;
    unsigned bt_connections = 0;
    unsigned settings_writes = 0;
    unsigned defaults_restored = 0;
    unsigned clock_sets = 0;
};

struct firmware_status {
    std::uint32_t announced_length = 0;  // control values of the last request
    std::uint32_t announced_crc = 0;
    std::uint64_t received = 0;          // bytes of the last transfer
    unsigned verified = 0;               // verify requests answered with success
    unsigned rejected = 0;               // verify requests answered with failure
    std::vector<unsigned char> image;    // the last image that verified
};

struct box_state {
    box_settings settings = default_settings();
    record_layout last_written_layout = record_layout::standard;
    serial_format serial_read_format = serial_format::long_record;
    bt_layout bt_read_layout = bt_layout::last_written;

    bool clock_set = false;
    std::uint64_t clock = 0;  // the last time value a host set

    std::vector<usage_record> usage_log;
    std::size_t usage_cursor = 0;  // the next record a fetch sends
    bool usage_sent = false;       // a record went out since the count request
    usage_record last_usage{};

    firmware_status firmware;
    int battery = 85;
    std::vector<unsigned char> usage_settings;
    std::uint32_t usage_setting_count = 0;
    bool in_use = false;
    counters count;
};

struct box_core;

class emulator {
public:
    // Starts the configured links; nullptr with the reason in *error.
    static std::unique_ptr<emulator> start(const config& cfg, std::string* error);
    ~emulator();
    emulator(const emulator&) = delete;
    emulator& operator=(const emulator&) = delete;

    // Stops both links and removes the pty link, the socket and the devices
    // line. Safe to call more than once.
    void stop();

    void add_fault(const fault& f);
    void clear_faults();
    box_state state() const;
    void update(const std::function<void(box_state&)>& change);

    // Where the host finds the box ("" for a link that is off).
    std::string com_link() const;
    std::string bt_socket() const;

private:
    explicit emulator(std::unique_ptr<box_core> core);
    std::unique_ptr<box_core> core_;
};

// The box's starting state for a configuration.
box_state initial_state(const config& cfg);

}  // namespace wqbox
