// The box's replies to every multi-step exchange: the serial probe, the
// firmware updates and usage-log downloads over both links, the battery
// read and the flush. Any bytes, cut and timed anyhow.
#include "fake_box.h"

namespace {

enum exchange { probe, serial_firmware, serial_usage, bt_firmware, bt_usage, battery, flush, count };

// The eight outputs of a usage-log fetch, at exactly their sizes, empty
// texts to begin with (a failed fetch leaves them as they were).
struct fetch_outputs {
    fuzz::output number{32, true}, water{16, true}, text{32, true}, product_1{8, true},
        product_2{8, true}, water_2{8, true}, water_3{8, true}, key{40, true};
    void must_be_terminated() const {
        for (const fuzz::output* out : {&number, &water, &text, &product_1, &product_2, &water_2,
                                        &water_3, &key}) {
            out->must_be_terminated("a usage-log output");
        }
    }
};

void serial_run(exchange which, char* message) {
    int handle = 0;
    if (wq_ota_open_port(1, message, 0, &handle) != 0) fuzz::fail("COM1 did not open");
    if (which == serial_firmware) {
        wq_ota_start(0, message, 0, handle, 1024, 0x12345678);
        wq_ota_start_xmit(0, message, 0, handle);
        wq_ota_confirm_done(0, message, 0, handle);  // closes the port
        return;
    }
    unsigned int entries = 0;
    wq_use_data_req(handle, &entries, message, 0);
    for (int i = 0; i < 3; ++i) {
        fetch_outputs out;
        wq_use_data_fetch(handle, 1, 0, out.number.get(), out.water.get(), out.text.get(),
                          out.product_1.get(), out.product_2.get(), out.water_2.get(),
                          out.water_3.get(), out.key.get(), message, 0);
        out.must_be_terminated();
    }
    wq_use_data_done(handle, message, 0);
    wq_force_close_handle(0, nullptr, 0, handle);
}

void bt_run(exchange which, char* message) {
    unsigned int socket = 0;
    if (wq_bt_ota_connect(fuzz::box_address, &socket, message, 0) != 0) fuzz::fail("no connection");
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
        fetch_outputs out;
        wq_bt_use_data_fetch(socket, 1, 0, out.number.get(), out.water.get(), out.text.get(),
                             out.product_1.get(), out.product_2.get(), out.water_2.get(),
                             out.water_3.get(), out.key.get(), message, repeat, 0);
        out.must_be_terminated();
    }
    wq_bt_use_data_done(socket, message, 0);  // closes the connection
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fake::reset();
    const auto which = static_cast<exchange>(in.ConsumeIntegralInRange<int>(0, count - 1));
    const bool serial = which == probe || which == serial_firmware || which == serial_usage;
    fuzz::script_box(serial ? fake::serial_port("COM1") : fake::bt_box(fuzz::box_address), in);

    fuzz::output message = fuzz::message_buffer();
    switch (which) {
        case probe: {
            fuzz::output text(64);
            if (wq_connect_to_box(text.get()) == 1) text.must_be_terminated("identification");
            break;
        }
        case serial_firmware:
        case serial_usage: serial_run(which, message.get()); break;
        case bt_firmware:
        case bt_usage: bt_run(which, message.get()); break;
        case battery: {
            int level = 0;
            wq_bt_read_batt(fuzz::box_address, &level, message.get(), 0);
            break;
        }
        case flush:
        case count: wq_bt_force_flush(fuzz::box_address, message.get(), 0); break;
    }
    fuzz::check_run(message);
    return 0;
}
