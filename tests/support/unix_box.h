// The box's end of an emulated Bluetooth link for integration tests: an
// AF_UNIX stream socket listening as $WQ_BT_DIR/XX:XX:XX:XX:XX:XX, and the
// devices file the Bluetooth lookup reads from the same directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// "XX:XX:XX:XX:XX:XX" (upper-case hex) of the radio address in the low 48
// bits of `address`.
std::string radio_address_text(std::uint64_t address);

// Writes `dir`/devices with exactly `content`.
void write_known_devices(const std::string& dir, const std::string& content);

class unix_box {
public:
    // Listens as `dir`/radio_address_text(address).
    unix_box(const std::string& dir, std::uint64_t address);
    ~unix_box();
    unix_box(const unix_box&) = delete;
    unix_box& operator=(const unix_box&) = delete;

    // Takes the library's connection; false when none came in time.
    bool accept(std::chrono::milliseconds timeout);
    // Drops the accepted connection, as a box that goes away.
    void hang_up();

private:
    int listener_ = -1;
    int peer_ = -1;
    std::string path_;
};
