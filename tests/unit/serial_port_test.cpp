// COM naming, port configuration, the handle crossing and the box probe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_fixture.h"
#include "serial/serial_port.h"

namespace {

class SerialPortTest : public FakePlatformTest {};

const bytes probe_block = fake::repeat(0x7D, 32);
const bytes echo = fake::repeat(0x2B, 32);

bytes box_answer(const std::string& identification) {
    return echo + bytes{0x05} + fake::with_zero(identification);
}

TEST_F(SerialPortTest, APortThatCannotBeConfiguredIsClosedAgain) {
    for (fake::call step : {fake::call::flush_file_buffers, fake::call::set_comm_timeouts,
                            fake::call::get_comm_state, fake::call::set_comm_state}) {
        fake::serial_port("COM1");
        fake::fail(step);
        EXPECT_EQ(wq_open_serial_port("COM1", 57600), plat_invalid_handle);
        EXPECT_TRUE(fake::balanced()) << "the port was left open";
    }
}

// The host holds the low 32 bits of the handle; they widen back by sign
// extension. A port that cannot be opened leaves 0, not all ones.
TEST_F(SerialPortTest, HandleCrossesTheHostInterfaceBySignExtension) {
    exact_buffer message(wq_message_size);
    int handle = -1;
    EXPECT_EQ(wq_ota_open_port(3, message.get(), 1, &handle), 1);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(message.str(), port_not_opened.german);

    fake::next_handle(0xFFFFFFFF80000010ull);
    fake::serial_port("\\\\.\\COM11");
    EXPECT_EQ(wq_ota_open_port(11, message.get(), 0, &handle), 0);
    EXPECT_EQ(handle, static_cast<int>(0x80000010u));
    EXPECT_EQ(message.str(), "");
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, handle), 0);
    EXPECT_EQ(fake::seen().ports_closed, 1) << "the handle must widen back to the port's";
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, 77), 0) << "not an open handle: still 0";
}

// The probe tries COM1 to COM15, naming those from COM10 on as \\.\COMn;
// the first box that answers wins, and later ports are never opened.
TEST_F(SerialPortTest, ProbeWalksTheComPortsUntilABoxAnswers) {
    exact_buffer text(64, 'T');
    EXPECT_EQ(wq_connect_to_box(text.get()), 0);
    EXPECT_EQ(text.all(), std::string(64, 'T'));
    const std::vector<std::string> tried = fake::seen().open_attempts;
    ASSERT_EQ(tried.size(), 15u);
    EXPECT_EQ(tried[8] + " " + tried[9] + " " + tried[14], "COM9 \\\\.\\COM10 \\\\.\\COM15");

    fake::reset();
    fake::serial_port("COM1").expect(probe_block);  // never answers
    fake::serial_port("COM3").expect(probe_block).reply(box_answer("BOX THREE"));
    fake::serial_port("COM5").expect(probe_block).reply(box_answer("BOX FIVE"));
    EXPECT_EQ(wq_connect_to_box(text.get()), 3);
    EXPECT_EQ(text.all().substr(0, 10), std::string("BOX THREE\0", 10)) << "no trace of an error";
    EXPECT_EQ(fake::seen().open_attempts, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_EQ(fake::now_ms(), 200);
    fake::reset();  // COM5's unused script is not a leak
}

TEST_F(SerialPortTest, ProbeFailuresOnePortAtATime) {
    struct row {
        const char* what;
        bytes answer;
        int port;
        std::string text_after;
        std::int64_t virtual_ms;
        bool write_fails = false;
    };
    const std::string max_id(63, 'I');
    const row rows[] = {
        {"write fails", {}, 0, "XMIT_ERROR", 0, true},
        // An empty read is a failed read, not the previous byte again.
        {"silent device", {}, 0, "RCV_ERROR_1", 200},
        {"wrong echo byte", fake::repeat(0x2B, 31) + bytes{0x2C}, 0, "RCV_ERROR_2", 0},
        {"nothing after the echo", echo, 0, "RCV_ERROR_3", 200},
        {"text stops short", echo + bytes{1} + fake::text("AB"), 0, "RCV_ERROR_4", 200},
        {"64 bytes without zero", echo + bytes{1} + fake::repeat('Z', 64), 0, "TTTT", 0},
        {"63 characters accepted", box_answer(max_id), 1, max_id, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake::reset();
        fake::serial_port("COM1").expect(probe_block).reply(r.answer);
        if (r.write_fails) fake::fail(fake::call::write_file);
        exact_buffer text(64, '\0');
        std::memcpy(text.get(), "TTTT", 5);
        EXPECT_EQ(wq_connect_to_box(text.get()), r.port);
        EXPECT_EQ(text.str(), r.text_after);
        EXPECT_EQ(fake::now_ms(), r.virtual_ms);
        expect_fake_clean();
    }
}

}  // namespace
