// Bluetooth device discovery on the fake platform: the slot layout, the
// record growing when a name needs room, the search by exact name, and every
// failure path giving back its lookup, heap block and socket layer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bluetooth/bt_link.h"
#include "fake_fixture.h"
#include "text/messages.h"
#include "wq.h"

namespace {

using fake::call;

constexpr std::size_t slot = 32;
constexpr unsigned int untouched_count = 77;
const std::string untouched_message(wq_message_size, 'M');
const std::string not_found_english = "Device cannot be found!";
const std::string not_found_german = "Ger\xE4t kann nicht gefunden werden!";

class BtDiscoveryTest : public FakePlatformTest {
protected:
    exact_buffer message{wq_message_size, 'M'};
    unsigned int count = untouched_count;

    std::string message_bytes() const { return std::string(message.bytes.get(), message.length); }
    int list_devices(exact_buffer& list, int language = 0) {
        return wq_get_device_list(list.get(), static_cast<int>(list.length), &count,
                                  message.get(), language);
    }
};

std::string contents(const exact_buffer& buffer) {
    return std::string(buffer.bytes.get(), buffer.length);
}

// The list as it should read: `names` in consecutive slots, zeros elsewhere.
std::string slotted(const std::vector<std::string>& names, std::size_t size) {
    std::string list(size, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) list.replace(i * slot, names[i].size(), names[i]);
    return list;
}

TEST_F(BtDiscoveryTest, NamesStandInSlotsInTheOrderReported) {
    fake::add_known_device("Box A", 0x01);
    fake::add_known_device("Second box", 0x02);
    fake::add_known_device("C", 0x03);
    exact_buffer list(128);
    EXPECT_EQ(list_devices(list), wq_status_ok);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(contents(list), slotted({"Box A", "Second box", "C"}, 128));
    EXPECT_EQ(message_bytes(), untouched_message);
    EXPECT_EQ(fake::counts().startups, 1);
    EXPECT_EQ(fake::counts().lookups_begun, 1);
}

TEST_F(BtDiscoveryTest, NoKnownDeviceZeroesTheListAndCountsNone) {
    exact_buffer list(96);
    EXPECT_EQ(list_devices(list), wq_status_ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(contents(list), std::string(96, '\0'));
    EXPECT_EQ(message_bytes(), untouched_message);
}

TEST_F(BtDiscoveryTest, DevicesWithoutANameAreNeitherListedNorCounted) {
    fake::add_known_device(nullptr, 0x01);
    fake::add_known_device("Named", 0x02);
    fake::add_known_device(nullptr, 0x03);
    fake::add_known_device("", 0x04);  // a name, though an empty one
    exact_buffer list(128);
    EXPECT_EQ(list_devices(list), wq_status_ok);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(contents(list), slotted({"Named", ""}, 128));
}

TEST_F(BtDiscoveryTest, ALongNameGrowsTheRecordOnceAndIsCutToItsSlot) {
    const std::string long_name = std::string(40, 'L') + std::string(160, 'x');
    const std::string exact_name(slot, 'E');
    fake::add_known_device(long_name.c_str(), 0x01);
    fake::add_known_device(exact_name.c_str(), 0x02);
    exact_buffer list(2 * slot);
    EXPECT_EQ(list_devices(list), wq_status_ok);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(contents(list), std::string(slot, 'L') + exact_name);
    // The first result asks for room for the 200-byte name; the second fits.
    EXPECT_EQ(fake::heap_requests(), (std::vector<std::size_t>{120, 120 + 200 + 1}));
}

TEST_F(BtDiscoveryTest, ARequestForRoomFetchesTheSameDeviceAgain) {
    fake::add_known_device("A", 0x01);
    fake::fail(call::lookup_next, 1, plat_wsaefault);  // asks without naming a larger size
    exact_buffer list(64);
    EXPECT_EQ(list_devices(list), wq_status_ok);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(contents(list), slotted({"A"}, 64));
    EXPECT_EQ(fake::heap_requests(), (std::vector<std::size_t>{120, 120, 122}));
}

TEST_F(BtDiscoveryTest, RequestsForRoomWithoutEndFailTheLookup) {
    struct row {
        int requests;
        int status;
    };
    for (const row r : {row{3, wq_status_ok}, row{30, wq_status_fail}}) {
        fake::reset();
        fake::add_known_device("A", 0x01);
        for (int nth = 1; nth <= r.requests; ++nth) fake::fail(call::lookup_next, nth, plat_wsaefault);
        exact_buffer list(64);
        std::memset(message.get(), 'M', message.length);
        EXPECT_EQ(list_devices(list), r.status) << r.requests;
        if (r.status == wq_status_fail) {
            EXPECT_STREQ(message.get(), "Lookup Service Error");
        }
        EXPECT_TRUE(fake::balanced()) << r.requests;
    }
}

TEST_F(BtDiscoveryTest, DevicesBeyondTheLastWholeSlotAreDropped) {
    for (const char* name : {"d0", "d1", "d2", "d3", "d4"}) fake::add_known_device(name, 0x01);
    for (std::size_t size : {std::size_t{64}, std::size_t{70}, std::size_t{95}}) {
        exact_buffer list(size);
        count = untouched_count;
        EXPECT_EQ(list_devices(list), wq_status_ok) << size;
        EXPECT_EQ(count, 2u) << size;
        EXPECT_EQ(contents(list), slotted({"d0", "d1"}, size)) << size;
    }
}

TEST_F(BtDiscoveryTest, AFailureAfterTheSlotsAreFullStillFailsTheCall) {
    for (const char* name : {"d0", "d1", "d2"}) fake::add_known_device(name, 0x01);
    // The walk goes on past a full list: one growth, then d0, d1, d2.
    fake::fail(call::lookup_next, 4, 10050);
    exact_buffer list(64);
    EXPECT_EQ(list_devices(list), wq_status_fail);
    EXPECT_EQ(count, untouched_count);
    EXPECT_STREQ(message.get(), "Lookup Service Error");
}

TEST_F(BtDiscoveryTest, ListsWithoutRoomAreLeftAloneAndTheCallSucceeds) {
    fake::add_known_device("A", 0x01);
    for (int size : {0, -1, -64}) {
        exact_buffer list(1);
        count = untouched_count;
        EXPECT_EQ(wq_get_device_list(list.get(), size, &count, message.get(), 0), wq_status_ok);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(contents(list), "X") << size;
    }
    count = untouched_count;
    EXPECT_EQ(wq_get_device_list(nullptr, 64, &count, message.get(), 0), wq_status_ok);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(message_bytes(), untouched_message);
}

TEST_F(BtDiscoveryTest, AFailedWinsockStartLeavesEverythingButTheMessage) {
    fake::add_known_device("A", 0x01);
    for (int language : {0, 1}) {
        fake::fail(call::wsa_startup, 1, 10091);
        exact_buffer list(64);
        EXPECT_EQ(list_devices(list, language), wq_status_fail);
        EXPECT_STREQ(message.get(), "Winsock 2.2 opening error!");
        EXPECT_EQ(count, untouched_count);
        EXPECT_EQ(contents(list), std::string(64, 'X'));
    }
    EXPECT_EQ(fake::calls(call::lookup_begin), 0);
    EXPECT_EQ(fake::calls(call::wsa_cleanup), 0);
}

// Each failure of the lookup, and what the list holds by then.
enum class list_state { untouched, zeroed, first_stored };

struct lookup_failure {
    const char* what;
    call failing;
    int nth;
    const char* message;
    list_state list;
};

const lookup_failure lookup_failures[] = {
    {"first allocation", call::heap_alloc, 1, "Memory Allocation Error", list_state::untouched},
    {"begin", call::lookup_begin, 1, "Lookup Service Begin Error", list_state::untouched},
    {"next", call::lookup_next, 1, "Lookup Service Error", list_state::zeroed},
    {"next after a device", call::lookup_next, 3, "Lookup Service Error", list_state::first_stored},
    {"growing allocation", call::heap_alloc, 2, "Memory Allocation Error", list_state::zeroed},
};

std::string expected_list(list_state state, const char* first, std::size_t size) {
    switch (state) {
        case list_state::untouched: return std::string(size, 'X');
        case list_state::zeroed: return std::string(size, '\0');
        case list_state::first_stored: return slotted({first}, size);
    }
    return {};
}

TEST_F(BtDiscoveryTest, ListFailuresReportAndGiveEverythingBack) {
    for (const lookup_failure& f : lookup_failures) {
        for (int language : {0, 1}) {
            fake::reset();
            fake::add_known_device("Box", 0x01);
            fake::add_known_device("Other", 0x02);
            fake::fail(f.failing, f.nth, 10050);
            exact_buffer list(64);
            count = untouched_count;
            EXPECT_EQ(list_devices(list, language), wq_status_fail) << f.what;
            EXPECT_STREQ(message.get(), f.message) << f.what;
            EXPECT_EQ(count, untouched_count) << f.what;
            EXPECT_EQ(contents(list), expected_list(f.list, "Box", 64)) << f.what;
            EXPECT_EQ(fake::counts().cleanups, 1) << f.what;
            EXPECT_TRUE(fake::balanced()) << f.what;
            EXPECT_TRUE(fake::errors().empty()) << f.what;
        }
    }
}

// ---- finding one device by name ----------------------------------------------------

class BtAddressTest : public BtDiscoveryTest {
protected:
    unsigned char address[bt_socket_address_size];
    void SetUp() override {
        BtDiscoveryTest::SetUp();
        std::memset(address, 0xEE, sizeof address);
    }
    std::vector<unsigned char> address_bytes() const {
        return std::vector<unsigned char>(address, address + sizeof address);
    }
};

TEST_F(BtAddressTest, TheFirstExactMatchWins) {
    fake::add_known_device("Box 1", 0x111);
    fake::add_known_device(nullptr, 0x222);
    fake::add_known_device("Box", 0x0011223344AA);
    fake::add_known_device("Box", 0x999);
    EXPECT_EQ(bt_get_bt_addr(address, "Box", message.get(), 0), wq_status_ok);
    std::vector<unsigned char> expected(bt_socket_address_size, 0);
    expected[0] = 32;  // AF_BTH
    const unsigned char radio[] = {0xAA, 0x44, 0x33, 0x22, 0x11, 0x00};
    std::memcpy(&expected[2], radio, sizeof radio);
    EXPECT_EQ(address_bytes(), expected);
    EXPECT_EQ(bt_address_of(address), 0x0011223344AAull);
    EXPECT_EQ(message_bytes(), untouched_message);
}

TEST_F(BtAddressTest, OnlyTheWholeNameInTheSameCaseMatches) {
    fake::add_known_device("Box", 0x01);
    fake::add_known_device(nullptr, 0x02);
    for (const char* name : {"box", "BOX", "Bo", "Box ", ""}) {
        for (int language : {0, 1}) {
            EXPECT_EQ(bt_get_bt_addr(address, name, message.get(), language), wq_status_fail);
            EXPECT_EQ(message.str(), language ? not_found_german : not_found_english) << name;
            EXPECT_EQ(address_bytes(), std::vector<unsigned char>(bt_socket_address_size, 0xEE));
        }
    }
    EXPECT_EQ(fake::counts().lookups_ended, 10);
}

TEST_F(BtAddressTest, NoKnownDeviceIsNotFound) {
    EXPECT_EQ(bt_get_bt_addr(address, "Box", message.get(), 1), wq_status_fail);
    EXPECT_EQ(message.str(), not_found_german);
}

TEST_F(BtAddressTest, LookupFailuresReportAndGiveEverythingBack) {
    for (const lookup_failure& f : lookup_failures) {
        fake::reset();
        fake::add_known_device("Other", 0x02);
        fake::add_known_device("Box", 0x01);
        fake::fail(f.failing, f.nth, 10050);
        EXPECT_EQ(bt_get_bt_addr(address, "Box", message.get(), 1), wq_status_fail) << f.what;
        EXPECT_STREQ(message.get(), f.message) << f.what;
        EXPECT_EQ(address_bytes(), std::vector<unsigned char>(bt_socket_address_size, 0xEE));
        EXPECT_TRUE(fake::balanced()) << f.what;
        EXPECT_TRUE(fake::errors().empty()) << f.what;
    }
}

TEST(BtAddressOf, ReadsTheEightAddressBytesLittleEndian) {
    unsigned char address[bt_socket_address_size] = {0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF};
    EXPECT_EQ(bt_address_of(address), 0x0807060504030201ull);
}

}  // namespace
