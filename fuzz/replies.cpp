// The box's side of every exchange, on the fake platform: any bytes, cut
// and timed anyhow, against the serial probe, the settings records (both
// serial formats, both Bluetooth layouts), the firmware updates and
// usage-log downloads over both links, the battery read, the flush, and the
// Bluetooth receive itself (framed and raw, into a payload buffer of any
// size); usage records are unpacked in every mode. Also the host's value
// conversion on any 8 bytes. Every output is a heap block of exactly its
// size; every run ends with the check that nothing leaked.
#include <initializer_list>
#include <vector>

#include "bluetooth/bt_link.h"
#include "fake_platform.h"
#include "harness.h"

namespace {

using fuzz::box_address;

// What the input chooses besides the exchange: the record format or layout
// (short serial format, safe Bluetooth layout) or a raw receive; a drain
// after it; the receive's buffer size and attempts; the usage-log modes.
struct choices {
    bool variant, drain;
    std::size_t capacity;
    int attempts, product_mode, water_variant;
};

// The box's side, step by step from the input: it waits for some of the
// library's bytes, sends a piece after a while, or hangs up.
void script_box(fake::link& box, FuzzedDataProvider& in) {
    while (in.remaining_bytes() > 0) {
        const auto delay = in.ConsumeIntegralInRange<std::int64_t>(0, 1200);
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                box.expect_any(in.ConsumeIntegralInRange<std::size_t>(1, 64));
                break;
            case 1:
                box.hang_up(delay);
                return;
            default:
                box.reply(in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(1, 600)),
                          delay);
                break;
        }
    }
}

// Host outputs of the given sizes; `empty`: each starts as an empty text.
class outputs {
public:
    outputs(std::initializer_list<std::size_t> sizes, bool empty) {
        for (const std::size_t size : sizes) all_.emplace_back(size, empty);
    }
    char* operator[](std::size_t i) { return all_[i].get(); }
    void first_terminated(std::size_t count, const char* what) const {
        for (std::size_t i = 0; i < count; ++i) all_[i].must_be_terminated(what);
    }

private:
    std::vector<fuzz::output> all_;
};

void read_settings(bool bluetooth, const choices& c, char* message) {
    // text_1..text_4, number, choice_number, text_5..text_8, mode; the Bluetooth addresses
    outputs o({32, 32, 32, 64, 12, 6, 32, 32, 48, 32, 12, 15, 15, 15}, false);
    const int status =
        bluetooth ? wq_bt_read_settings(box_address, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9],
                                        o[10], o[11], o[12], o[13], message, c.variant, 0)
                  : wq_read_settings(1, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], o[9], o[10],
                                     message, c.variant, 0);
    // The short serial format has neither text_8 nor mode.
    if (status == 0) o.first_terminated(bluetooth || !c.variant ? 11 : 9, "a settings output");
}

// A usage-log fetch's eight outputs, empty texts to begin with (a failed
// fetch leaves them as they were).
outputs fetch_outputs() { return outputs({32, 16, 32, 8, 8, 8, 8, 40}, true); }
// `status` is the fetch's: 1 for a failed exchange, else what the record unpacked to.
void check_fetch(int status, const outputs& o) {
    if (status < 0 || (status > 3 && status != 9)) fuzz::fail("a fetch status outside 0-3, 9");
    o.first_terminated(8, "a usage-log output");
}

void serial_run(bool firmware, const choices& c, char* message) {
    int handle = 0;
    if (wq_ota_open_port(1, message, 0, &handle) != 0) fuzz::fail("COM1 did not open");
    if (firmware) {
        wq_ota_start(0, message, 0, handle, 1024, 0x12345678);
        wq_ota_start_xmit(0, message, 0, handle);
        wq_ota_confirm_done(0, message, 0, handle);  // closes the port
        return;
    }
    unsigned int entries = 0;
    wq_use_data_req(handle, &entries, message, 0);
    for (int i = 0; i < 3; ++i) {
        outputs o = fetch_outputs();
        check_fetch(wq_use_data_fetch(handle, c.product_mode, c.water_variant, o[0], o[1], o[2], o[3], o[4], o[5],
                                      o[6], o[7], message, 0),
                    o);
    }
    wq_use_data_done(handle, message, 0);
    wq_force_close_handle(0, nullptr, 0, handle);
}

void bt_receive(unsigned int socket, const choices& c, char* message) {
    fuzz::output payload(c.capacity, false);
    auto* bytes = reinterpret_cast<unsigned char*>(payload.get());
    if (c.variant) {
        const int length = static_cast<int>(c.capacity);
        const int got = bt_receive_bytes_raw(socket, bytes, length, c.attempts, message, 0);
        if (got != 0 && got != length) fuzz::fail("raw receive returned a partial count");
    } else if (bt_receive_bytes(socket, bytes, c.capacity, c.attempts, message, 0) == 1) {
        payload.must_be_terminated("framed payload not terminated");
    }
    if (c.drain) bt_flush_rdbuff(socket);
    bt_end_kept_connection(socket);
}

enum exchange { probe, serial_settings, serial_firmware, serial_usage, bt_settings, bt_firmware, bt_usage,
                bt_frames, battery, flush, flowrate };

void bt_run(exchange which, const choices& c, char* message) {
    unsigned int socket = 0;
    if (wq_bt_ota_connect(box_address, &socket, message, 0) != 0) fuzz::fail("no connection");
    if (which == bt_frames) return bt_receive(socket, c, message);
    if (which == bt_firmware) {
        wq_bt_ota_start(socket, 1024, 0x12345678, message, 0);
        wq_bt_ota_start_xmit(socket, message, 0);
        wq_bt_ota_done(socket, message, 0);
        wq_bt_ota_disconnect(socket);
        return;
    }
    unsigned int entries = 0;
    wq_bt_use_data_req(socket, &entries, message, 0);
    for (int repeat = 0; repeat < 2; ++repeat) {
        outputs o = fetch_outputs();
        check_fetch(wq_bt_use_data_fetch(socket, c.product_mode, c.water_variant, o[0], o[1], o[2], o[3], o[4],
                                         o[5], o[6], o[7], message, repeat, 0),
                    o);
    }
    wq_bt_use_data_done(socket, message, 0);  // closes the connection
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fake::reset();
    const auto which = static_cast<exchange>(in.ConsumeIntegralInRange<int>(probe, flowrate));
    if (which == flowrate) {  // any length and cut; the text is 8 bytes
        const int length = in.ConsumeIntegralInRange<int>(-1, 9);
        const int cut = in.ConsumeIntegralInRange<int>(-1, 9);
        char value[8] = {};
        in.ConsumeData(value, sizeof value);
        wq_convert_flowrate_to_double(value, length, cut);
        return 0;
    }
    const choices c{in.ConsumeBool(), in.ConsumeBool(),
                    in.ConsumeIntegralInRange<std::size_t>(1, 1100),
                    in.ConsumeIntegralInRange<int>(1, 12), in.ConsumeIntegralInRange<int>(-1, 2),
                    in.ConsumeIntegralInRange<int>(-1, 3)};
    const bool serial = which <= serial_usage;
    script_box(serial ? fake::serial_port("COM1") : fake::bt_box(box_address), in);

    fuzz::output message;
    int level = 0;
    if (which == probe) {
        fuzz::output text(64, false);
        if (wq_connect_to_box(text.get()) == 1) text.must_be_terminated("identification");
    } else if (which == serial_settings || which == bt_settings) {
        read_settings(which == bt_settings, c, message.get());
    } else if (serial) {
        serial_run(which == serial_firmware, c, message.get());
    } else if (which == battery) {
        wq_bt_read_batt(box_address, &level, message.get(), 0);
    } else if (which == flush) {
        wq_bt_force_flush(box_address, message.get(), 0);
    } else {
        bt_run(which, c, message.get());
    }
    message.must_be_terminated("message not terminated");
    if (!fake::balanced()) fuzz::fail("a port, socket, lookup, heap block or start-up leaked");
    return 0;
}
