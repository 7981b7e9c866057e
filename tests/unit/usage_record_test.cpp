// Usage texts, and unpacking a usage record into the host's eight outputs.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "usage_entry.h"

namespace {

const std::string key_out = sample_key + std::string(8, '\0');
const std::string no_key(40, '\0');

int unpack(const record_fields& f, entry_outputs& out, int product_mode = 1,
           bool number_check = false) {
    const bytes record = usage_record(f);
    return util_unpack_usage_record(record.data(), product_mode, 0, out.view(), number_check);
}

// The table itself is data; what is decided around it: the water variant,
// the gap before 17, and codes outside the table either way.
TEST(UsageText, TheWaterVariantAndCodesOutsideTheTable) {
    const std::tuple<int, int, const char*> rows[] = {
        {12, 2, "Ambient Water"}, {12, 1, "Carbonated Water"}, {2, 2, "Thermal disinfection"},
        {0, 0, "Usage"}, {13, 0, "Unsupported Usage"}, {17, 0, "Stagnation Flush"},
        {18, 0, "Unsupported Usage"}, {-1, 0, "Unsupported Usage"}};
    for (const auto& [code, variant, expected] : rows) {
        exact_buffer text(32);
        util_get_tapusage_string(text.get(), code, variant);
        EXPECT_EQ(text.str(), expected) << code << "/" << variant;
    }
}

TEST(UsageRecord, TheGroupDecidesWhichValuesTravel) {
    struct row {
        const char* code;
        int product_mode;
        int status;
        std::string texts;  // number|water|usage text|product 1|product 2|water 2|water 3
    };
    const std::string soap = "42|0|Soap|3.5|7|0|0";
    const row rows[] = {
        {"0", 1, 0, "42|1.25|Usage|0|0|20|31"},
        {"18", 1, 0, "42|1.25|Unsupported Usage|0|0|20|31"},  // a water entry without a text
        {"3", 1, 0, soap},
        {"3", 0, 3, soap},
        {"9", 2, 3, "42|0|Syrup 1|3.5|7|0|0"},
        {"4", 1, 1, "42||Soap Flush||||"},
        {"", 1, 0, "42|1.25|Usage|0|0|20|31"},  // no digits read as 0
        {" 3", 1, 0, soap},
        {"3x", 1, 0, soap},
    };
    for (const row& r : rows) {
        record_fields f;
        f.code = r.code;
        entry_outputs out;
        EXPECT_EQ(unpack(f, out, r.product_mode), r.status) << r.code;
        EXPECT_EQ(out.texts(), r.texts) << r.code;
        EXPECT_EQ(out.key.all(), key_out) << r.code;
    }
}

TEST(UsageRecord, EmptySlotBeatsTheNumberCheck) {
    struct row {
        std::string key;
        const char* number;
        bool number_check;
        int status;
        std::string number_out;
        std::string key_after;
    };
    const row rows[] = {
        {sample_key, "12a", true, 9, "0", no_key},
        {sample_key, "12a", false, 0, "12a", key_out},
        {empty_slot_key, "12a", true, 2, "0", no_key},
        {sample_key, "", true, 0, "", key_out},  // an empty number passes
    };
    for (const row& r : rows) {
        record_fields f;
        f.key = r.key;
        f.number = r.number;
        entry_outputs out;
        EXPECT_EQ(unpack(f, out, 1, r.number_check), r.status) << r.number;
        EXPECT_EQ(out.texts(), r.number_out + "|1.25|Usage|0|0|20|31");
        EXPECT_EQ(out.key.all(), r.key_after);
    }
}

// A field that fills its width without a zero byte is cut to width - 1.
TEST(UsageRecord, FullFieldsAreCutInsideTheirOutputs) {
    const bytes full(usage_record_size, '7');
    entry_outputs out;
    // The usage code 7777... is no known code.
    EXPECT_EQ(util_unpack_usage_record(full.data(), 1, 0, out.view(), true), 1);
    EXPECT_EQ(out.texts(), std::string(31, '7') + "||Unsupported Usage||||");
    EXPECT_EQ(out.key.all(), std::string(32, '7') + std::string(8, '\0'));

    record_fields f;
    f.water = std::string(16, '5');
    f.water_3 = std::string(8, '6');
    entry_outputs water;
    EXPECT_EQ(unpack(f, water), 0);
    EXPECT_EQ(water.texts(), "42|" + std::string(15, '5') + "|Usage|0|0|20|" + std::string(7, '6'));
}

}  // namespace
