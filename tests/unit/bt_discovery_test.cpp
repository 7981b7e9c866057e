// Bluetooth device discovery: the slot layout, the record growing when a
// name needs room, and every failure path giving back its lookup, heap block
// and socket layer. (The search by exact name is the connect check's.)
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

using fake::call;

constexpr std::size_t slot = 32;
constexpr unsigned int untouched_count = 77;

// The list as it should read: `names` in consecutive slots, zeros elsewhere.
std::string slotted(const std::vector<std::string>& names, std::size_t size) {
    std::string list(size, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        list.replace(i * slot, names[i].size(), names[i]);
    }
    return list;
}

struct failure {
    call failing;
    int nth;
    int error = 10050;
};
// The platform asks for a larger record `times` times in a row, without
// naming a size (the record grows to a query record and the name's room).
std::vector<failure> room_requests(int times) {
    std::vector<failure> requests;
    for (int nth = 1; nth <= times; ++nth) {
        requests.push_back({call::lookup_next, nth, plat_wsaefault});
    }
    return requests;
}

// The devices the platform knows, a list of `size` bytes, what fails, and
// what the call makes of it; a message of nullptr: the buffer is untouched.
struct listing {
    const char* what;
    std::vector<std::optional<std::string>> devices;  // nullopt: a device without a name
    std::size_t size;
    std::vector<failure> failures;
    int status;
    std::string list;
    unsigned int count;
    const char* message = nullptr;
    std::vector<std::size_t> heap = {};  // block sizes asked for; empty: not checked
};

class BtDiscovery : public FakePlatformTest {};

TEST_F(BtDiscovery, Listings) {
    using devices = std::vector<std::optional<std::string>>;
    const devices two = {"Box", "Other"}, four = {"d0", "d1", "d2", "d3"};
    const std::string long_name = std::string(40, 'L') + std::string(160, 'x');
    const std::string zeros(64, '\0'), untouched(64, 'X'), first = slotted({"Box"}, 64);
    const char* lookup_error = "Lookup Service Error";
    const listing listings[] = {
        {"named devices in the order reported", {"Box A", std::nullopt, "Second box", "", "C"},
         160, {}, 0, slotted({"Box A", "Second box", "", "C"}, 160), 4},
        {"beyond the last whole slot", four, 64, {}, 0, slotted({"d0", "d1"}, 64), 2},
        {"a partial slot stays zero", four, 95, {}, 0, slotted({"d0", "d1"}, 95), 2},
        {"a failure after the slots are full", four, 64, {{call::lookup_next, 5}}, 1,
         slotted({"d0", "d1"}, 64), untouched_count, lookup_error},
        // The record grows to what the platform asks for, never below a
        // query record, and the device is fetched again; names are cut to
        // their slot.
        {"a long name", {std::string(slot, 'E'), long_name}, 70, {}, 0,
         std::string(slot, 'E') + std::string(slot, 'L') + std::string(6, '\0'), 2, nullptr,
         {120, 120 + 32 + 1, 120 + 200 + 1}},
        // Eight growths for one result at most: "A" itself asks for one.
        {"room asked for seven times", {"A"}, 64, room_requests(7), 0, slotted({"A"}, 64), 1,
         nullptr, {120, 120, 120, 120, 120, 120, 120, 120, 122}},
        {"room asked for without end", {"A"}, 64, room_requests(8), 1, zeros, untouched_count,
         lookup_error},
        {"socket layer", two, 64, {{call::wsa_startup, 1}}, 1, untouched, untouched_count,
         "Winsock 2.2 opening error!"},
        {"first allocation", two, 64, {{call::heap_alloc, 1}}, 1, untouched, untouched_count,
         "Memory Allocation Error"},
        {"begin", two, 64, {{call::lookup_begin, 1}}, 1, untouched, untouched_count,
         "Lookup Service Begin Error"},
        {"next", two, 64, {{call::lookup_next, 1}}, 1, zeros, untouched_count, lookup_error},
        {"next after a device", two, 64, {{call::lookup_next, 3}}, 1, first, untouched_count,
         lookup_error},
        {"growing allocation", two, 64, {{call::heap_alloc, 2}}, 1, zeros, untouched_count,
         "Memory Allocation Error"},
    };
    for (const listing& l : listings) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(l.what);
            fake::reset();
            std::uint64_t address = 0;
            for (const auto& name : l.devices) {
                fake::add_known_device(name ? name->c_str() : nullptr, ++address);
            }
            for (const failure& f : l.failures) fake::fail(f.failing, f.nth, f.error);
            exact_buffer list(l.size), message(wq_message_size, 'M');
            unsigned int count = untouched_count;
            EXPECT_EQ(wq_get_device_list(list.get(), static_cast<int>(l.size), &count,
                                         message.get(), language),
                      l.status);
            EXPECT_EQ(list.all(), l.list);
            EXPECT_EQ(count, l.count);
            EXPECT_EQ(l.message ? message.str() : message.all(),
                      l.message ? l.message : std::string(wq_message_size, 'M'));
            if (!l.heap.empty()) {
                EXPECT_EQ(fake::heap_requests(), l.heap);
            }
            expect_fake_clean();
        }
    }
}

TEST_F(BtDiscovery, ListsWithoutRoomAreLeftAlone) {
    fake::add_known_device("A", 0x01);
    exact_buffer message(wq_message_size);
    unsigned int count = untouched_count;
    for (int size : {0, -64}) {
        exact_buffer list(1);
        EXPECT_EQ(wq_get_device_list(list.get(), size, &count, message.get(), 0), 0);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(list.all(), "X") << size;
    }
    count = untouched_count;
    EXPECT_EQ(wq_get_device_list(nullptr, 64, &count, message.get(), 0), 0);
    EXPECT_EQ(count, 0u);
}

}  // namespace
