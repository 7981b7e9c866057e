// The settings record as the box sends it: both serial formats (short and
// long) and both Bluetooth layouts (standard and safe), any bytes, cut and
// timed anyhow, into outputs of exactly the sizes the header gives.
#include "fake_box.h"

namespace {

// Output sizes in parameter order: text_1..text_4, number, choice_number,
// text_5..text_8, mode; then the three Bluetooth addresses.
constexpr std::size_t text_sizes[] = {32, 32, 32, 64, 12, 6, 32, 32, 48, 32, 12};
constexpr std::size_t address_size = 15;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fake::reset();
    const bool bluetooth = in.ConsumeBool();
    const int layout = in.ConsumeBool();  // short format / safe layout
    fuzz::script_box(bluetooth ? fake::bt_box(fuzz::box_address) : fake::serial_port("COM1"), in);

    fuzz::output message = fuzz::message_buffer();
    std::unique_ptr<fuzz::output> out[std::size(text_sizes)];
    char* o[std::size(text_sizes)];
    for (std::size_t i = 0; i < std::size(text_sizes); ++i) {
        out[i] = std::make_unique<fuzz::output>(text_sizes[i]);
        o[i] = out[i]->get();
    }
    fuzz::output address_1(address_size), address_2(address_size), address_3(address_size);
    const int status =
        bluetooth ? wq_bt_read_settings(fuzz::box_address, o[0], o[1], o[2], o[3], o[4], o[5],
                                        o[6], o[7], o[8], o[9], o[10], address_1.get(),
                                        address_2.get(), address_3.get(), message.get(), layout, 0)
                  : wq_read_settings(1, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8],
                                     o[9], o[10], message.get(), layout, 0);
    if (status == 0) {
        // The short serial format has neither text_8 nor mode.
        const bool short_format = !bluetooth && layout;
        for (std::size_t i = 0; i < std::size(text_sizes); ++i) {
            if (short_format && (i == 9 || i == 10)) continue;
            out[i]->must_be_terminated("a settings output");
        }
    }
    fuzz::check_run(message);
    return 0;
}
