// Bluetooth device discovery: the names of the devices the platform already
// knows, and the socket address of the one with a given name. Both walk the
// platform's name-service lookup; neither opens a socket.
#include <cstring>

#include "bluetooth/bt_link.h"

namespace {

// LUP_CONTAINERS | LUP_RETURN_NAME | LUP_RETURN_ADDR, for begin and every
// next call. No LUP_FLUSHCACHE: the platform answers from what it knows.
constexpr std::uint32_t lookup_flags = 0x0112;
// A platform that keeps asking for room without ever returning the device
// would hold the caller forever: after this many growths for one result, a
// further request for room fails the lookup.
constexpr int growths_per_result_max = 8;

constexpr char text_allocation_failed[] = "Memory Allocation Error";
constexpr char text_begin_failed[] = "Lookup Service Begin Error";
constexpr char text_lookup_failed[] = "Lookup Service Error";
constexpr wq_text text_device_not_found = {"Device cannot be found!",
                                           "Ger\xE4t kann nicht gefunden werden!"};

enum class lookup_step { device, end, failed };

// One walk through the known devices: the heap record (grown on demand) and
// the lookup handle, both given back on every path, the lookup first.
class device_lookup {
public:
    device_lookup() = default;
    device_lookup(const device_lookup&) = delete;
    device_lookup& operator=(const device_lookup&) = delete;
    ~device_lookup() {
        if (begun_) plat_lookup_end(handle_);
        if (record_) plat_heap_free(record_);
    }

    // Allocates the record and begins the lookup; false with the message.
    bool begin(char* message) {
        record_ = plat_heap_alloc(size_);
        if (!record_) {
            write_message(message, text_allocation_failed);
            return false;
        }
        plat_query_prepare(record_);
        if (plat_lookup_begin(record_, lookup_flags, &handle_) != 0) {
            write_message(message, text_begin_failed);
            return false;
        }
        begun_ = true;
        return true;
    }

    // The next device into the record, growing it when the platform asks.
    lookup_step next(char* message) {
        for (int growths = 0;; ++growths) {
            if (plat_lookup_next(handle_, lookup_flags, &size_, record_) == 0) {
                return lookup_step::device;
            }
            const int error = plat_wsa_get_last_error();
            if (error == plat_wsa_e_no_more) return lookup_step::end;
            if (error != plat_wsaefault || growths == growths_per_result_max) break;
            if (!grow(message)) return lookup_step::failed;
        }
        write_message(message, text_lookup_failed);
        return lookup_step::failed;
    }

    const void* record() const { return record_; }

private:
    // A fresh zero-filled record of the size the platform asked for. It is
    // never made smaller than a query record, so the platform always gets
    // the room it was promised.
    bool grow(char* message) {
        plat_heap_free(record_);
        if (size_ < plat_query_record_size) size_ = plat_query_record_size;
        record_ = plat_heap_alloc(size_);
        if (!record_) {
            write_message(message, text_allocation_failed);
            return false;
        }
        return true;
    }

    void* record_ = nullptr;
    std::uint32_t size_ = plat_query_record_size;
    plat_lookup_handle handle_ = 0;
    bool begun_ = false;
};

// Only whole slots are used: a list whose size is not a multiple of 32
// keeps its last few bytes zero, and a null list has no slots at all.
int slot_count(const char* list, int list_size) {
    if (!list || list_size <= 0) return 0;
    return list_size / static_cast<int>(bt_device_name_slot);
}

// A name longer than its slot is cut to the slot's 32 bytes; a name of
// exactly 32 fills it without a terminator.
void store_name(char* list, int slot, const char* name) {
    std::memcpy(list + static_cast<std::size_t>(slot) * bt_device_name_slot, name,
                strnlen(name, bt_device_name_slot));
}

}  // namespace

// Devices beyond the list's last slot are neither stored nor counted; the
// walk still runs to its end, so the call succeeds only when it completes.
int bt_get_bt_list(char* list, int list_size, char* message, int /*language*/) {
    device_lookup lookup;
    if (!lookup.begin(message)) return -1;
    if (list) util_mem_fill(list, list_size, 0);
    const int slots = slot_count(list, list_size);
    int stored = 0;
    for (;;) {
        switch (lookup.next(message)) {
            case lookup_step::end: return stored;
            case lookup_step::failed: return -1;
            case lookup_step::device: break;
        }
        const char* name = plat_query_name(lookup.record());
        if (!name) continue;  // a device without a name is not listed
        if (stored < slots) store_name(list, stored++, name);
    }
}

// A device whose name matches but whose result carries no address cannot be
// reached, so it is passed over like a device of another name.
int bt_get_bt_addr(unsigned char address[bth_address_size], const char* name,
                   char* message, int language) {
    device_lookup lookup;
    if (!lookup.begin(message)) return wq_status_fail;
    for (;;) {
        switch (lookup.next(message)) {
            case lookup_step::end:
                write_message(message, text_device_not_found, language);
                return wq_status_fail;
            case lookup_step::failed: return wq_status_fail;
            case lookup_step::device: break;
        }
        const char* found = plat_query_name(lookup.record());
        if (!found || !name || std::strcmp(found, name) != 0) continue;
        if (plat_query_remote_address(lookup.record(), address)) return wq_status_ok;
    }
}

extern "C" int wq_get_device_list(char* list, int list_size, unsigned int* count, char* message,
                                  int language) noexcept {
    bt_socket_layer layer(message, language);
    if (!layer.started()) return wq_status_fail;
    const int stored = bt_get_bt_list(list, list_size, message, language);
    if (stored == -1) return wq_status_fail;
    if (count) *count = static_cast<unsigned int>(stored);
    return wq_status_ok;
}
