// The Bluetooth receive, framed and raw: any byte stream, cut anywhere and
// sent at any time, into a payload buffer of any size.
#include "bluetooth/bt_link.h"
#include "fake_box.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fake::reset();
    const bool raw = in.ConsumeBool();
    const bool flush = in.ConsumeBool();
    const auto capacity = in.ConsumeIntegralInRange<std::size_t>(1, 1100);
    const int attempts = in.ConsumeIntegralInRange<int>(1, 12);
    fuzz::script_box(fake::bt_box(fuzz::box_address), in);

    fuzz::output message = fuzz::message_buffer();
    unsigned int socket = 0;
    if (wq_bt_ota_connect(fuzz::box_address, &socket, message.get(), 0) != 0) fuzz::fail("no socket");

    fuzz::output payload(capacity);
    auto* bytes = reinterpret_cast<unsigned char*>(payload.get());
    if (raw) {
        const int length = static_cast<int>(capacity);
        const int got = bt_receive_bytes_raw(socket, bytes, length, attempts, message.get(), 0);
        if (got != 0 && got != length) fuzz::fail("raw receive returned a partial count");
    } else if (bt_receive_bytes(socket, bytes, capacity, attempts, message.get(), 0) == 1) {
        payload.must_be_terminated("framed payload not terminated");
    }
    if (flush) bt_flush_rdbuff(socket);
    bt_end_kept_connection(socket);
    fuzz::check_run(message);
    return 0;
}
