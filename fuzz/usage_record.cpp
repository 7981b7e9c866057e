// Usage-record unpacking: any 128 bytes, any mode, into outputs of exactly
// the sizes the header gives; and the value conversion on any 8 bytes.
#include "harness.h"
#include "text/usage_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int product_mode = in.ConsumeIntegralInRange<int>(-1, 2);
    const int water_variant = in.ConsumeIntegralInRange<int>(-1, 3);
    const bool number_check = in.ConsumeBool();
    const int length = in.ConsumeIntegralInRange<int>(0, 7);
    const int cut = in.ConsumeIntegralInRange<int>(0, 7);
    unsigned char value[8] = {};
    in.ConsumeData(value, sizeof value);
    wq_convert_flowrate_to_double(reinterpret_cast<const char*>(value), length, cut);

    unsigned char record[usage_record_size] = {};
    in.ConsumeData(record, sizeof record);
    fuzz::output number(usage_entry_number_size), water(usage_water_value_size),
        text(usage_text_size), product_1(usage_small_value_size), product_2(usage_small_value_size),
        water_2(usage_small_value_size), water_3(usage_small_value_size), key(usage_entry_key_size);
    const int status = util_unpack_usage_record(
        record, product_mode, water_variant,
        {number.get(), water.get(), text.get(), product_1.get(), product_2.get(), water_2.get(),
         water_3.get(), key.get()},
        number_check);
    if (status != 0 && status != 1 && status != 2 && status != 3 && status != 9) fuzz::fail("status");
    for (const fuzz::output* out : {&number, &water, &text, &product_1, &product_2, &water_2,
                                    &water_3, &key}) {
        out->must_be_terminated("a usage output");
    }
    return 0;
}
