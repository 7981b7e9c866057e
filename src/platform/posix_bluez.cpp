// bluetoothd over the system bus (sd-bus): its known devices for the name
// lookup, and its profile API for the connection to a box's serial port
// service.
//
// A Windows host connects with port 0 and a service class, and the stack
// finds the RFCOMM channel through SDP. bluetoothd does the same for a
// profile registered for the Serial Port Profile UUID: Device1.ConnectProfile
// resolves the channel, connects, and hands the connected RFCOMM socket to
// the profile object's NewConnection. Each call opens its own bus
// connection and closes it before it returns; only that socket outlives it.
#include <fcntl.h>
#include <strings.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/posix_bluez.h"

namespace {

constexpr char bluez_service[] = "org.bluez";
constexpr char object_manager_path[] = "/";
constexpr char object_manager_interface[] = "org.freedesktop.DBus.ObjectManager";
constexpr char adapter_interface[] = "org.bluez.Adapter1";
constexpr char device_interface[] = "org.bluez.Device1";
constexpr char profile_manager_path[] = "/org/bluez";
constexpr char profile_manager_interface[] = "org.bluez.ProfileManager1";
constexpr char profile_interface[] = "org.bluez.Profile1";
constexpr char profile_path[] = "/org/wq/serial_port";
constexpr char profile_name[] = "wq serial port";
constexpr char profile_role[] = "client";
constexpr char serial_port_uuid[] = "00001101-0000-1000-8000-00805f9b34fb";
constexpr char rejected_error[] = "org.bluez.Error.Rejected";

// Bounds on bluetoothd's answers: a plain question, and a connection, which
// may page the device and search its services first (a page alone gives up
// after about 5 s).
constexpr std::uint64_t question_timeout_us = 10'000'000;
constexpr std::uint64_t connect_timeout_us = 30'000'000;

constexpr int wsaeacces = 10013;
constexpr int wsaenetdown = 10050;
constexpr int wsaenetunreach = 10051;
constexpr int wsaetimedout = 10060;
constexpr int wsaeconnrefused = 10061;
constexpr int wsaehostunreach = 10065;

// bluetoothd's errors, by a piece of their name or message, checked in
// order. Anything else is taken for a device that did not answer, the
// commonest cause of a failed connection.
struct bus_error_mapping {
    const char* fragment;
    int code;
};
constexpr bus_error_mapping bus_error_codes[] = {
    {"org.freedesktop.DBus.Error.ServiceUnknown", wsaenetdown},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", wsaenetdown},
    {"org.freedesktop.DBus.Error.Disconnected", wsaenetdown},
    {"org.freedesktop.DBus.Error.AccessDenied", wsaeacces},
    {"org.bluez.Error.NotReady", wsaenetunreach},
    {"not-powered", wsaenetunreach},
    {"org.bluez.Error.DoesNotExist", wsaehostunreach},
    {"org.freedesktop.DBus.Error.UnknownObject", wsaehostunreach},
    {"profile-unavailable", wsaeconnrefused},
    {"org.bluez.Error.NotAvailable", wsaeconnrefused},
    {"org.bluez.Error.NotSupported", wsaeconnrefused},
    {"Protocol not available", wsaeconnrefused},
    {"refused", wsaeconnrefused},
};

int code_of(const sd_bus_error* error) {
    for (const bus_error_mapping& mapping : bus_error_codes) {
        if ((error->name && std::strstr(error->name, mapping.fragment)) ||
            (error->message && std::strstr(error->message, mapping.fragment))) {
            return mapping.code;
        }
    }
    return wsaetimedout;
}

int fail_with(int code) {
    errno = code;
    return -1;
}

// ---- owners ----

struct bus_closer {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct message_unref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct slot_unref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using bus_ptr = std::unique_ptr<sd_bus, bus_closer>;
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;
using slot_ptr = std::unique_ptr<sd_bus_slot, slot_unref>;

struct bus_error {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    bus_error() = default;
    bus_error(const bus_error&) = delete;
    bus_error& operator=(const bus_error&) = delete;
    ~bus_error() { sd_bus_error_free(&error); }
};

// The system bus (DBUS_SYSTEM_BUS_ADDRESS, else the standard socket).
int open_bus(bus_ptr* bus) {
    sd_bus* opened = nullptr;
    if (sd_bus_open_system(&opened) < 0) return wsaenetdown;
    bus->reset(opened);
    sd_bus_set_method_call_timeout(opened, question_timeout_us);
    return 0;
}

// ---- bluetoothd's objects ----

struct device_object {
    std::string address;
    std::string name;
    std::string adapter;  // the adapter's object path
};

// std::map: the object paths' order, whatever order the bus reports.
struct bluez_objects {
    std::map<std::string, bool> adapters;  // path: powered
    std::map<std::string, device_object> devices;
};

// Reads a variant of basic type `type` into `value`; a variant of any
// other type is skipped and `value` left as it was.
int read_variant(sd_bus_message* m, char type, void* value) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r < 0) return r;
    if (!contents || contents[0] != type || contents[1] != '\0') return sd_bus_message_skip(m, "v");
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
    if ((r = sd_bus_message_read_basic(m, type, value)) < 0) return r;
    return sd_bus_message_exit_container(m);
}

int read_string_variant(sd_bus_message* m, std::string* value) {
    const char* text = nullptr;
    const int r = read_variant(m, 's', &text);
    if (r >= 0 && text) *value = text;
    return r;
}

int read_path_variant(sd_bus_message* m, std::string* value) {
    const char* path = nullptr;
    const int r = read_variant(m, 'o', &path);
    if (r >= 0 && path) *value = path;
    return r;
}

// One property of an adapter or device (the message stands at its value).
int read_property(sd_bus_message* m, const char* interface, const char* property,
                  const std::string& path, bluez_objects* objects) {
    if (std::strcmp(interface, adapter_interface) == 0 && std::strcmp(property, "Powered") == 0) {
        int powered = 0;
        const int r = read_variant(m, 'b', &powered);
        objects->adapters[path] = powered != 0;
        return r;
    }
    if (std::strcmp(interface, device_interface) != 0) return sd_bus_message_skip(m, "v");
    device_object& device = objects->devices[path];
    if (std::strcmp(property, "Address") == 0) return read_string_variant(m, &device.address);
    if (std::strcmp(property, "Name") == 0) return read_string_variant(m, &device.name);
    if (std::strcmp(property, "Adapter") == 0) return read_path_variant(m, &device.adapter);
    return sd_bus_message_skip(m, "v");
}

// The a{sv} of one interface of the object at `path`.
int read_interface(sd_bus_message* m, const std::string& path, bluez_objects* objects) {
    const char* interface = nullptr;
    int r = sd_bus_message_read(m, "s", &interface);
    if (r < 0) return r;
    if (std::strcmp(interface, adapter_interface) == 0) objects->adapters.emplace(path, false);
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* property = nullptr;
        if ((r = sd_bus_message_read(m, "s", &property)) < 0) return r;
        if ((r = read_property(m, interface, property, path, objects)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// GetManagedObjects' a{oa{sa{sv}}}.
int read_objects_reply(sd_bus_message* m, bluez_objects* objects) {
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* path = nullptr;
        if ((r = sd_bus_message_read(m, "o", &path)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            if ((r = read_interface(m, path, objects)) < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

// Every adapter and device; 0 or a Windows Sockets code.
int read_objects(sd_bus* bus, bluez_objects* objects) {
    bus_error error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, bluez_service, object_manager_path, object_manager_interface,
                           "GetManagedObjects", &error.error, &reply, "") < 0) {
        return code_of(&error.error);
    }
    const message_ptr owned(reply);
    // A reply that does not parse is not bluetoothd's.
    return read_objects_reply(reply, objects) < 0 ? wsaenetdown : 0;
}

// Opens the bus and reads the objects, or the Windows Sockets code; a
// bluetoothd without adapters has nothing to reach a device with.
int ask_bluetoothd(bus_ptr* bus, bluez_objects* objects) {
    int code = open_bus(bus);
    if (code == 0) code = read_objects(bus->get(), objects);
    if (code == 0 && objects->adapters.empty()) code = wsaenetunreach;
    return code;
}

// ---- the serial port profile ----

// What the profile object and the ConnectProfile reply leave behind.
struct profile_connection {
    std::string device_path;  // the device asked for
    int fd = -1;              // the socket NewConnection handed over (a copy)
    bool answered = false;    // ConnectProfile came back
    int code = 0;             // its error as a Windows Sockets code
};

int on_new_connection(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* connection = static_cast<profile_connection*>(userdata);
    const char* device = nullptr;
    int fd = -1;
    const int r = sd_bus_message_read(m, "oh", &device, &fd);
    if (r < 0) return r;
    // The descriptor belongs to the message: keep a copy of our own.
    if (connection->fd >= 0 || connection->device_path != device) {
        return sd_bus_reply_method_errorf(m, rejected_error, "not asked for");
    }
    connection->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return sd_bus_reply_method_return(m, "");
}

int on_acknowledge(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
}

int on_connect_reply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* connection = static_cast<profile_connection*>(userdata);
    connection->answered = true;
    if (sd_bus_message_is_method_error(m, nullptr)) connection->code = code_of(sd_bus_message_get_error(m));
    return 0;
}

const sd_bus_vtable profile_vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", on_new_connection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", on_acknowledge, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Release", "", "", on_acknowledge, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int register_profile(sd_bus* bus) {
    bus_error error;
    if (sd_bus_call_method(bus, bluez_service, profile_manager_path, profile_manager_interface,
                           "RegisterProfile", &error.error, nullptr, "osa{sv}", profile_path,
                           serial_port_uuid, 3, "Name", "s", profile_name, "Role", "s",
                           profile_role, "AutoConnect", "b", 0) < 0) {
        return code_of(&error.error);
    }
    return 0;
}

void unregister_profile(sd_bus* bus) {
    sd_bus_call_method(bus, bluez_service, profile_manager_path, profile_manager_interface,
                       "UnregisterProfile", nullptr, nullptr, "o", profile_path);
}

// Asks for the connection and serves the profile object until bluetoothd
// answers; 0 with the socket in connection->fd, or a Windows Sockets code.
int connect_profile(sd_bus* bus, profile_connection* connection) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, bluez_service, connection->device_path.c_str(),
                                       device_interface, "ConnectProfile") < 0) {
        return wsaenetdown;
    }
    const message_ptr owned(call);
    sd_bus_slot* reply_slot = nullptr;
    if (sd_bus_message_append(call, "s", serial_port_uuid) < 0 ||
        sd_bus_call_async(bus, &reply_slot, call, on_connect_reply, connection,
                          connect_timeout_us) < 0) {
        return wsaenetdown;
    }
    const slot_ptr pending(reply_slot);
    // The call's own time-out ends the wait: sd-bus then answers it itself.
    while (!connection->answered) {
        int r = sd_bus_process(bus, nullptr);
        if (r == 0) r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0 && r != -EINTR) return wsaenetdown;
    }
    if (connection->code != 0) return connection->code;
    // Answered without a socket for us: another program's profile took it.
    return connection->fd >= 0 ? 0 : wsaeconnrefused;
}

// The device's object path, or the code for why it cannot be reached. A
// device that more than one adapter knows is reached through the first one
// that is switched on.
int reachable_device(const bluez_objects& objects, const char* address, std::string* path) {
    int code = wsaehostunreach;
    for (const auto& [device_path, device] : objects.devices) {
        if (::strcasecmp(device.address.c_str(), address) != 0) continue;
        const auto adapter = objects.adapters.find(device.adapter);
        if (adapter != objects.adapters.end() && adapter->second) {
            *path = device_path;
            return 0;
        }
        code = wsaenetunreach;
    }
    return code;
}

int connect_serial_port(const char* address, int* fd) {
    bus_ptr bus;
    bluez_objects objects;
    profile_connection connection;
    int code = ask_bluetoothd(&bus, &objects);
    if (code == 0) code = reachable_device(objects, address, &connection.device_path);
    if (code != 0) return code;
    sd_bus_slot* object_slot = nullptr;
    if (sd_bus_add_object_vtable(bus.get(), &object_slot, profile_path, profile_interface,
                                 profile_vtable, &connection) < 0) {
        return wsaenetdown;
    }
    const slot_ptr profile_object(object_slot);
    code = register_profile(bus.get());
    if (code != 0) return code;
    code = connect_profile(bus.get(), &connection);
    unregister_profile(bus.get());
    if (code == 0) {
        *fd = connection.fd;
        return 0;
    }
    if (connection.fd >= 0) ::close(connection.fd);
    return code;
}

}  // namespace

bool bluez_known_devices(std::vector<bluez_device>* devices) {
    bus_ptr bus;
    bluez_objects objects;
    const int code = ask_bluetoothd(&bus, &objects);
    if (code != 0) {
        errno = code;
        return false;
    }
    // A device that two adapters know is one device, listed once.
    std::set<std::string> listed;
    for (const auto& [path, device] : objects.devices) {
        if (device.address.empty() || !listed.insert(device.address).second) continue;
        devices->push_back({device.address, device.name});
    }
    return true;
}

int bluez_connect_serial_port(int fd, const char* address) {
    int connected = -1;
    int code = 0;
    try {
        code = connect_serial_port(address, &connected);
    } catch (const std::bad_alloc&) {
        code = ENOBUFS;
    }
    if (code != 0) return fail_with(code);
    // bluetoothd connects without blocking and hands the socket over as it
    // is; the socket layer's calls block, as a Windows socket's do.
    const int flags = ::fcntl(connected, F_GETFL);
    const bool placed = flags >= 0 && ::fcntl(connected, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
                        ::dup3(connected, fd, O_CLOEXEC) >= 0;
    const int error = errno;
    ::close(connected);
    return placed ? 0 : fail_with(error);
}
