// Bluetooth device discovery: the slot layout, the record growing when a
// name needs room, and every failure path giving back its lookup, heap block
// and socket layer. (The search by exact name is the connect check's.)
#include <gtest/gtest.h>

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

class BtDiscoveryTest : public FakePlatformTest {
protected:
    exact_buffer message{wq_message_size, 'M'};
    unsigned int count = untouched_count;
    // Lists the devices into a fresh list of `size` bytes; its bytes after.
    std::string list_devices(std::size_t size, int expected_status, int language = 0) {
        exact_buffer list(size);
        count = untouched_count;
        const int list_size = static_cast<int>(size);
        EXPECT_EQ(wq_get_device_list(list.get(), list_size, &count, message.get(), language),
                  expected_status);
        return list.all();
    }
};

TEST_F(BtDiscoveryTest, NamedDevicesStandInSlotsInTheOrderReported) {
    fake::add_known_device("Box A", 0x01);
    fake::add_known_device(nullptr, 0x02);  // no name: neither listed nor counted
    fake::add_known_device("Second box", 0x03);
    fake::add_known_device("", 0x04);  // a name, though an empty one
    fake::add_known_device("C", 0x05);
    EXPECT_EQ(list_devices(160, 0), slotted({"Box A", "Second box", "", "C"}, 160));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(message.all(), std::string(wq_message_size, 'M')) << "success writes no message";
}

// The record grows to the size the platform asks for, never below a query
// record, and the device is fetched again; names are cut to their slot.
TEST_F(BtDiscoveryTest, ALongNameGrowsTheRecordAndIsCutToItsSlot) {
    const std::string long_name = std::string(40, 'L') + std::string(160, 'x');
    fake::add_known_device(std::string(slot, 'E').c_str(), 0x01);
    fake::add_known_device(long_name.c_str(), 0x02);
    EXPECT_EQ(list_devices(70, 0),
              std::string(slot, 'E') + std::string(slot, 'L') + std::string(6, '\0'));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(fake::heap_requests(), (std::vector<std::size_t>{120, 120 + 32 + 1, 120 + 200 + 1}));

    fake::reset();
    fake::add_known_device("A", 0x01);
    fake::fail(call::lookup_next, 1, plat_wsaefault);  // asks without naming a larger size
    EXPECT_EQ(list_devices(64, 0), slotted({"A"}, 64));
    EXPECT_EQ(fake::heap_requests(), (std::vector<std::size_t>{120, 120, 122}));
}

// A platform may ask for room a few times for one device; one that asks
// again and again is given up on.
TEST_F(BtDiscoveryTest, RequestsForRoomWithoutEndFailTheLookup) {
    const std::pair<int, int> rows[] = {{4, 0}, {30, 1}};  // requests for room, status
    for (const auto& [requests, status] : rows) {
        fake::reset();
        fake::add_known_device("A", 0x01);
        for (int nth = 1; nth <= requests; ++nth) {
            fake::fail(call::lookup_next, nth, plat_wsaefault);
        }
        const std::string list = list_devices(64, status);
        EXPECT_EQ(list, status == 0 ? slotted({"A"}, 64) : std::string(64, '\0'));
        expect_fake_clean();
    }
    EXPECT_EQ(message.str(), "Lookup Service Error");
}

// Devices beyond the last whole slot are dropped, but the walk runs to its
// end: a failure after the slots are full still fails the call.
TEST_F(BtDiscoveryTest, DevicesBeyondTheLastWholeSlotAreDropped) {
    for (const char* name : {"d0", "d1", "d2", "d3"}) fake::add_known_device(name, 0x01);
    for (std::size_t size : {std::size_t{64}, std::size_t{95}}) {
        EXPECT_EQ(list_devices(size, 0), slotted({"d0", "d1"}, size)) << size;
        EXPECT_EQ(count, 2u);
    }
    fake::fail(call::lookup_next, 5, 10050);  // one growth, then d0 to d3
    list_devices(64, 1);
    EXPECT_EQ(count, untouched_count);
    EXPECT_EQ(message.str(), "Lookup Service Error");
}

TEST_F(BtDiscoveryTest, ListsWithoutRoomAreLeftAlone) {
    fake::add_known_device("A", 0x01);
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

// Each failure, and what the list holds by then.
enum class list_state { untouched, zeroed, first_stored };
struct lookup_failure {
    const char* what;
    call failing;
    int nth;
    const char* message;
    list_state list;
};
const lookup_failure lookup_failures[] = {
    {"socket layer", call::wsa_startup, 1, "Winsock 2.2 opening error!", list_state::untouched},
    {"first allocation", call::heap_alloc, 1, "Memory Allocation Error", list_state::untouched},
    {"begin", call::lookup_begin, 1, "Lookup Service Begin Error", list_state::untouched},
    {"next", call::lookup_next, 1, "Lookup Service Error", list_state::zeroed},
    {"next after a device", call::lookup_next, 3, "Lookup Service Error", list_state::first_stored},
    {"growing allocation", call::heap_alloc, 2, "Memory Allocation Error", list_state::zeroed},
};

TEST_F(BtDiscoveryTest, ListFailuresReportAndGiveEverythingBack) {
    const std::string expected_list[] = {std::string(64, 'X'), std::string(64, '\0'),
                                         slotted({"Box"}, 64)};
    for (const lookup_failure& f : lookup_failures) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(f.what);
            fake::reset();
            fake::add_known_device("Box", 0x01);
            fake::add_known_device("Other", 0x02);
            fake::fail(f.failing, f.nth, 10050);
            EXPECT_EQ(list_devices(64, 1, language), expected_list[static_cast<int>(f.list)]);
            EXPECT_EQ(message.str(), f.message);
            EXPECT_EQ(count, untouched_count);
            expect_fake_clean();
        }
    }
}

}  // namespace
