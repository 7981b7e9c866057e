// COM naming, port configuration, the handle crossing and the box probe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_fixture.h"
#include "serial/serial_port.h"
#include "wq.h"

namespace {

using fake::bytes;

class SerialPortTest : public FakePlatformTest {};

const bytes probe_block = fake::repeat(0x7D, 32);
const bytes echo = fake::repeat(0x2B, 32);

bytes box_answer(const std::string& identification) {
    return echo + bytes{0x05} + fake::with_zero(identification);
}

TEST_F(SerialPortTest, DeviceNamesFollowTheComRule) {
    const std::vector<std::string> expected = {
        "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",
        "\\\\.\\COM10", "\\\\.\\COM11", "\\\\.\\COM12", "\\\\.\\COM13", "\\\\.\\COM14",
        "\\\\.\\COM15"};
    for (int port = 1; port <= 15; ++port) {
        char name[com_device_name_size];
        com_device_name(port, name);
        EXPECT_EQ(name, expected[port - 1]);
    }
}

TEST_F(SerialPortTest, OpenConfiguresTheLineAndTimeouts) {
    fake::serial_port("COM2");
    const plat_handle handle = wq_open_serial_port("COM2", 57600);
    ASSERT_NE(handle, plat_invalid_handle);
    const plat_comm_timeouts t = fake::last_timeouts();
    EXPECT_EQ(t.read_interval, 0u);
    EXPECT_EQ(t.read_total_multiplier, 0u);
    EXPECT_EQ(t.read_total_constant, 200u);
    EXPECT_EQ(t.write_total_multiplier, 0u);
    EXPECT_EQ(t.write_total_constant, 200u);
    const plat_line_settings dcb = fake::last_line_settings();
    EXPECT_EQ(dcb.dcb_length, 28u);
    EXPECT_EQ(dcb.baud_rate, 57600u);
    EXPECT_EQ(dcb.byte_size, 8);
    EXPECT_EQ(dcb.parity, 0);
    EXPECT_EQ(dcb.stop_bits, 0);
    EXPECT_FALSE(dcb.out_cts_flow || dcb.out_dsr_flow || dcb.dsr_sensitivity || dcb.out_x ||
                 dcb.in_x || dcb.error_char || dcb.null_strip || dcb.abort_on_error);
    EXPECT_EQ(dcb.dtr_control, 0);
    EXPECT_EQ(dcb.rts_control, 0);
    EXPECT_EQ(dcb.native[0], 0xA5) << "the driver's other DCB fields must pass through";
    plat_close_handle(handle);
}

TEST_F(SerialPortTest, AFailedConfigurationStepClosesThePort) {
    for (fake::call step : {fake::call::flush_file_buffers, fake::call::set_comm_timeouts,
                            fake::call::get_comm_state, fake::call::set_comm_state}) {
        fake::reset();
        fake::serial_port("COM1");
        fake::fail(step);
        EXPECT_EQ(wq_open_serial_port("COM1", 57600), plat_invalid_handle);
        EXPECT_EQ(fake::counts().ports_opened, 1);
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(SerialPortTest, WriteAndReadReportWhatMoved) {
    fake::serial_port("COM1").expect(fake::text("abcd")).reply(fake::text("xy"));
    const plat_handle handle = wq_open_serial_port("COM1", 57600);
    EXPECT_EQ(wq_write_port(handle, "abcd", 4), 0);
    fake::short_write(fake::call::write_file, 2);
    EXPECT_EQ(wq_write_port(handle, "zz!!", 4), -1);
    fake::fail(fake::call::write_file);
    EXPECT_EQ(wq_write_port(handle, "zz", 2), -1);

    unsigned char buffer[8] = {};
    const std::int64_t start = fake::now_ms();
    EXPECT_EQ(wq_read_port(handle, buffer, 8), 2);  // short: the time-out ended it
    EXPECT_EQ(fake::now_ms() - start, 200);
    fake::fail(fake::call::read_file);
    EXPECT_EQ(wq_read_port(handle, buffer, 1), -1);
    plat_close_handle(handle);
}

TEST_F(SerialPortTest, HandleCrossesTheHostInterfaceBySignExtension) {
    const plat_handle high_bit = 0xFFFFFFFF80001234ull;
    EXPECT_EQ(handle_to_host(high_bit), static_cast<int>(0x80001234u));
    EXPECT_EQ(handle_from_host(handle_to_host(high_bit)), high_bit);
    EXPECT_EQ(handle_from_host(0x1234), 0x1234u);

    fake::next_handle(high_bit);
    fake::serial_port("COM1");
    const plat_handle handle = wq_open_serial_port("COM1", 57600);
    ASSERT_EQ(handle, high_bit);
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, handle_to_host(handle)), 0);
    EXPECT_EQ(fake::counts().ports_closed, 1);
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, 77), 0) << "not an open handle: still 0";
}

TEST_F(SerialPortTest, NoPortsLeavesTheTextAlone) {
    exact_buffer text(64, 'T');
    EXPECT_EQ(wq_connect_to_box(text.get()), 0);
    EXPECT_EQ(std::string(text.get(), 64), std::string(64, 'T'));
    EXPECT_EQ(fake::open_attempts().size(), 15u);
    EXPECT_EQ(fake::now_ms(), 0);
}

TEST_F(SerialPortTest, FirstBoxWinsAndLaterPortsAreNeverOpened) {
    fake::serial_port("COM3").expect(probe_block).reply(box_answer("BOX THREE"));
    fake::serial_port("COM5").expect(probe_block).reply(box_answer("BOX FIVE"));
    exact_buffer text(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 3);
    EXPECT_EQ(text.str(), "BOX THREE");
    EXPECT_EQ(fake::open_attempts(), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    fake::reset();  // COM5's unused script is not a leak
}

TEST_F(SerialPortTest, ABoxOnComTwelveIsOpenedInTheDeviceNamespace) {
    fake::serial_port("\\\\.\\COM12").expect(probe_block).reply(box_answer("TWELVE"));
    exact_buffer text(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 12);
    EXPECT_EQ(text.str(), "TWELVE");
}

// One misbehaving device on COM1 and, where the row says so, a box on COM4.
TEST_F(SerialPortTest, ProbeFailuresOnePortAtATime) {
    struct row {
        const char* what;
        fake::call failing;   // count_ for none
        int failing_nth;
        bytes answer;
        const char* text_after;
        std::int64_t virtual_ms;
    };
    const std::string max_id(63, 'I');
    const row rows[] = {
        {"write fails", fake::call::write_file, 1, {}, "XMIT_ERROR", 0},
        {"silent device", fake::call::count_, 0, {}, "RCV_ERROR_1", 200},
        {"echo read fails", fake::call::read_file, 5, echo, "RCV_ERROR_1", 0},
        {"wrong echo byte", fake::call::count_, 0, fake::repeat(0x2B, 31) + bytes{0x2C}, "RCV_ERROR_2", 0},
        {"nothing after the echo", fake::call::count_, 0, echo, "RCV_ERROR_3", 200},
        {"text read fails", fake::call::read_file, 36, box_answer("ABCDEFG"), "RCV_ERROR_4", 0},
        {"text stops short", fake::call::count_, 0, echo + bytes{1} + fake::text("AB"), "RCV_ERROR_4", 200},
        {"64 bytes without zero", fake::call::count_, 0, echo + bytes{1} + fake::repeat('Z', 64), "TTTT", 0},
        {"63 characters accepted", fake::call::count_, 0, box_answer(max_id), max_id.c_str(), 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::serial_port("COM1").expect(probe_block).reply(r.answer);
        if (r.failing != fake::call::count_) fake::fail(r.failing, r.failing_nth);
        exact_buffer text(64, '\0');
        std::memcpy(text.get(), "TTTT", 5);
        const int port = wq_connect_to_box(text.get());
        EXPECT_EQ(port, std::string(r.what) == "63 characters accepted" ? 1 : 0);
        EXPECT_EQ(text.str(), r.text_after);
        EXPECT_EQ(fake::now_ms(), r.virtual_ms);
        EXPECT_TRUE(fake::balanced());
    }
}

TEST_F(SerialPortTest, ABoxAfterAFailedPortReplacesTheErrorText) {
    fake::serial_port("COM1").expect(probe_block);  // never answers
    fake::serial_port("COM4").expect(probe_block).reply(box_answer("OK"));
    exact_buffer text(64);
    EXPECT_EQ(wq_connect_to_box(text.get()), 4);
    EXPECT_EQ(std::string(text.get(), 3), std::string("OK\0", 3));
    EXPECT_EQ(fake::now_ms(), 200);
}

TEST_F(SerialPortTest, AHeldPortCannotBeOpenedAgain) {
    fake::serial_port("COM1");
    fake::serial_port("COM1");
    const plat_handle first = wq_open_serial_port("COM1", 57600);
    ASSERT_NE(first, plat_invalid_handle);
    EXPECT_EQ(wq_open_serial_port("COM1", 57600), plat_invalid_handle);
    plat_close_handle(first);
    const plat_handle again = wq_open_serial_port("COM1", 57600);
    EXPECT_NE(again, plat_invalid_handle);
    plat_close_handle(again);
}

}  // namespace
