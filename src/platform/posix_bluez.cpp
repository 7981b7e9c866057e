// bluetoothd over the system bus (sd-bus): its known devices for the name
// lookup, and, when no adapter can reach a box, whether bluetoothd is there
// at all. The connection itself needs no daemon (posix_rfcomm.cpp). Each
// call opens its own bus connection and closes it before it returns.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
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
// bluetoothd 5.84 and later put one of these beside Device1 for each
// transport the device has.
constexpr char bredr_bearer_interface[] = "org.bluez.Bearer.BREDR1";
constexpr char le_bearer_interface[] = "org.bluez.Bearer.LE1";
constexpr char random_address_type[] = "random";
// The advertising flag "BR/EDR not supported".
constexpr unsigned char flag_bredr_not_supported = 0x04;

constexpr std::uint64_t question_timeout_us = 10'000'000;

constexpr int wsaenetdown = 10050;
constexpr int wsaenetunreach = 10051;

// The bus errors that say bluetoothd is not there: no daemon owns the name,
// or its activation failed (Debian installs an activation file whose
// program exits at once when systemd does not start the daemon).
constexpr const char* absent_errors[] = {
    "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
    "org.freedesktop.DBus.Error.Disconnected",   "org.freedesktop.DBus.Error.NoReply",
    "org.freedesktop.DBus.Error.Spawn.",
};

// 10050 when bluetoothd is not there; any other refusal comes from a
// bluetoothd that is, and so is taken as its adapters' failure.
int code_of(const sd_bus_error* error) {
    for (const char* absent : absent_errors) {
        if (error->name && std::strncmp(error->name, absent, std::strlen(absent)) == 0) {
            return wsaenetdown;
        }
    }
    return wsaenetunreach;
}

// ---- owners ----

struct bus_closer {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct message_unref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using bus_ptr = std::unique_ptr<sd_bus, bus_closer>;
using message_ptr = std::unique_ptr<sd_bus_message, message_unref>;

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
    std::string address_type;
    bool has_class = false;
    bool has_appearance = false;
    bool advertises_le_only = false;
    bool lists_bearers = false;  // bluetoothd says which transports it has
    bool has_bredr_bearer = false;
};

// std::map: the object paths' order, whatever order the bus reports.
struct bluez_objects {
    bool has_adapter = false;
    std::map<std::string, device_object> devices;
};

// Whether a Windows inquiry could find the device: it must speak BR/EDR.
// A newer bluetoothd says so; an older one is asked what only LE devices
// show: a random address, advertising flags that rule BR/EDR out, or an
// appearance (LE's own data, shown only when no BR/EDR class of device is
// known).
bool is_bredr(const device_object& device) {
    if (device.lists_bearers) return device.has_bredr_bearer;
    if (device.address_type == random_address_type || device.advertises_le_only) return false;
    return device.has_class || !device.has_appearance;
}

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

// AdvertisingFlags, an "ay" whose first byte holds the flags.
int read_le_only_flag(sd_bus_message* m, bool* le_only) {
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(m, nullptr, &contents);
    if (r < 0) return r;
    if (!contents || std::strcmp(contents, "ay") != 0) return sd_bus_message_skip(m, "v");
    if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
    const void* flags = nullptr;
    std::size_t size = 0;
    if ((r = sd_bus_message_read_array(m, 'y', &flags, &size)) < 0) return r;
    *le_only = size > 0 && (*static_cast<const unsigned char*>(flags) & flag_bredr_not_supported);
    return sd_bus_message_exit_container(m);
}

// One property of a device (the message stands at its value).
int read_device_property(sd_bus_message* m, const char* property, device_object* device) {
    if (std::strcmp(property, "Address") == 0) return read_string_variant(m, &device->address);
    if (std::strcmp(property, "Name") == 0) return read_string_variant(m, &device->name);
    if (std::strcmp(property, "AddressType") == 0) {
        return read_string_variant(m, &device->address_type);
    }
    if (std::strcmp(property, "AdvertisingFlags") == 0) {
        return read_le_only_flag(m, &device->advertises_le_only);
    }
    if (std::strcmp(property, "Class") == 0) device->has_class = true;
    if (std::strcmp(property, "Appearance") == 0) device->has_appearance = true;
    return sd_bus_message_skip(m, "v");
}

// The a{sv} of one interface of the object at `path`.
int read_interface(sd_bus_message* m, const std::string& path, bluez_objects* objects) {
    const char* interface = nullptr;
    int r = sd_bus_message_read(m, "s", &interface);
    if (r < 0) return r;
    device_object* device = nullptr;
    if (std::strcmp(interface, adapter_interface) == 0) objects->has_adapter = true;
    if (std::strcmp(interface, device_interface) == 0) device = &objects->devices[path];
    const bool bredr = std::strcmp(interface, bredr_bearer_interface) == 0;
    if (bredr || std::strcmp(interface, le_bearer_interface) == 0) {
        device_object& bearer_of = objects->devices[path];
        bearer_of.lists_bearers = true;
        bearer_of.has_bredr_bearer |= bredr;
    }
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* property = nullptr;
        if ((r = sd_bus_message_read(m, "s", &property)) < 0) return r;
        r = device ? read_device_property(m, property, device) : sd_bus_message_skip(m, "v");
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
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
    if (code == 0 && !objects->has_adapter) code = wsaenetunreach;
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
        if (device.address.empty() || !is_bredr(device)) continue;
        if (!listed.insert(device.address).second) continue;
        devices->push_back({device.address, device.name});
    }
    return true;
}


int bluez_unreachable_code() {
    bus_ptr bus;
    bluez_objects objects;
    const int code = ask_bluetoothd(&bus, &objects);
    return code == wsaenetdown ? wsaenetdown : wsaenetunreach;
}
