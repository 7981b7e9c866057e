// What a failure means and what the user can do about it, beside the
// library's message: the library says what failed, in the words of the
// Windows programs it serves; this says why, in the words of this machine.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "library_phrases.h"
#include "link.h"

namespace wqctl {
namespace {

// Windows Sockets error codes, which the library appends to Bluetooth
// messages on every platform.
struct socket_error {
    int code;
    const char* meaning;
};
constexpr socket_error socket_errors[] = {
    {10013, "authentication failed: pair the box with this computer (bluetoothctl pair)"},
    {10047, "this system has no Bluetooth sockets: is the kernel's Bluetooth support loaded?"},
    {10049, "the device has no serial port service: is it a box?"},
    {10050, "no Bluetooth stack: is bluetoothd running (systemctl start bluetooth)?"},
    {10051, "the Bluetooth adapter is off or missing: switch it on (bluetoothctl power on)"},
    {10053, "the connection was given up: try again"},
    {10054, "the link dropped: the box went out of reach, restarted or closed the connection; try again"},
    {10060, "the box did not answer in time: is it switched on and within reach?"},
    {10061, "nothing is listening at that address: the box is off or out of reach (emulated: is wqbox "
            "running in $WQ_BT_DIR?)"},
    {10064, "the box refused the connection: switch it off and on, then try again"},
};

// The code at the end of a message ("... Reading: 10060"), or 0.
int trailing_code(const std::string& message) {
    std::size_t at = message.size();
    while (at > 0 && message[at - 1] >= '0' && message[at - 1] <= '9') --at;
    return at < message.size() ? std::atoi(message.c_str() + at) : 0;
}

std::string errno_text(const std::string& path, int error) { return path + ": " + std::strerror(error); }

std::string group_name(gid_t gid) {
    const struct group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

std::string user_name(uid_t uid) {
    const struct passwd* p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

// Whether the user is listed in the group, which a login picks up only when
// it starts.
bool listed_in_group(gid_t gid) {
    const struct passwd* me = getpwuid(getuid());
    const struct group* g = getgrgid(gid);
    if (!me || !g) return false;
    if (me->pw_gid == gid) return true;
    for (char** member = g->gr_mem; *member; ++member)
        if (std::strcmp(*member, me->pw_name) == 0) return true;
    return false;
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Who may open the device, from its owner, group and mode: joining the group
// helps only when the group may read and write it.
std::string permission_hint(const std::string& path, const struct stat& st, int error) {
    const std::string why = errno_text(path, error) + " (owner '" + user_name(st.st_uid) + "', group '" +
                            group_name(st.st_gid) + "', mode " + mode_text(st.st_mode) + ")";
    const mode_t group_rw = S_IRGRP | S_IWGRP;
    if ((st.st_mode & group_rw) != group_rw)
        return why + ": only its owner may open it; a udev rule can give it a group to join";
    const std::string group = group_name(st.st_gid);
    if (listed_in_group(st.st_gid))
        return why + ": you are in group '" + group + "', but this login started before: log in again";
    return why + ": add yourself to group '" + group + "' with `sudo usermod -aG " + group +
           " $USER` and log in again";
}

}  // namespace

// Why a serial device does not open, found by trying what the library
// tries: it exists, we may read and write it, it is a terminal, and nobody
// holds its lock.
device_check check_device(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        if (error != ENOENT) return {device_check::other, errno_text(path, error)};
        return {device_check::missing,
                errno_text(path, error) + ": no such device; `wqctl ports` lists the serial devices present, "
                                          "--device PATH takes any other"};
    }
    if (access(path.c_str(), R_OK | W_OK) != 0) return {device_check::denied, permission_hint(path, st, errno)};
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            return {device_check::in_use,
                    errno_text(path, error) + ": in use by another program; close it and try again"};
        return {device_check::other, errno_text(path, error)};
    }
    device_check check{device_check::opens, ""};
    if (!isatty(fd)) {
        check = {device_check::other, path + " is not a serial device"};
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        check = {device_check::in_use, errno_text(path, errno) + ": in use by another program (`fuser -v " + path +
                                           "` shows which); close it and try again"};
    }
    close(fd);
    return check;
}

namespace {

std::string diagnose_device(const std::string& path) {
    const device_check check = check_device(path);
    return check.problem == device_check::opens ? path + " opens now: another program probably held it at the time"
                                                : check.text;
}

std::string bluetooth_lookup_hint(const invocation& call) {
    // The directory of --sim is wqctl's own and gone when it ends.
    if (call.sim)
        return std::string("the emulated box of --sim is called \"") + sim_bt_name + "\", or what --name gives";
    if (const char* dir = std::getenv("WQ_BT_DIR"); dir && *dir)
        return std::string("Bluetooth is emulated in ") + dir + ": is wqbox running there with that name?";
    return "without WQ_BT_DIR the system's Bluetooth is asked (BlueZ, where this build supports it): is the "
           "box paired and in reach, and the adapter on (bluetoothctl show)? For an emulated box set "
           "WQ_BT_DIR to wqbox's directory, or use --sim";
}

std::string hint_for(const invocation& call, const report& r) {
    const std::string& m = r.message;
    if (call.serial() && says(m, failure::port_not_opened)) return diagnose_device(call.target.device_path);
    if (says(m, failure::in_use) && call.retries > 0) {
        return "the box was still in use after " + std::to_string(call.retries + 1) +
               " attempts 1 s apart: try again when it is free";
    }
    if (says(m, failure::in_use)) return "the box is in use: try again when it is free, or give --retry N";
    if (r.failed_at == "wq_read_settings" && says(m, failure::record_incomplete) && !call.options.short_record)
        return "no whole 380-byte record came: a box that keeps the short 344-byte record needs --short";
    const bool final_firmware_step = r.failed_at == "wq_ota_confirm_done" || r.failed_at == "wq_bt_ota_done";
    if (final_firmware_step && !says(m, failure::box_verdict))
        return "the image went out whole but the box's verdict was lost: the box may have accepted the "
               "image; check its firmware version before sending it again";
    if (const int code = trailing_code(m); code >= 10000) {
        for (const socket_error& e : socket_errors)
            if (e.code == code) return "error " + std::to_string(code) + ": " + e.meaning;
    }
    if (says(m, failure::name_not_found)) return bluetooth_lookup_hint(call);
    if (r.failed_at == "wq_connect_to_box")
        return "is the box switched on and cabled? `wqctl ports` lists the serial devices present";
    return "";
}

}  // namespace

void add_hint(const invocation& call, report* r) {
    if (r->result == outcome::failed && r->hint.empty()) r->hint = hint_for(call, *r);
}

bool is_busy(const report& r) { return r.result == outcome::failed && says(r.message, failure::in_use); }

}  // namespace wqctl
