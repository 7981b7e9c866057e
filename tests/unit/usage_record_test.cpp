// Usage texts, and unpacking a usage record into the host's eight outputs.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "usage_entry.h"

namespace {

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

// The usage code's group decides which values travel; an empty slot beats
// the entry-number check, which withholds the key and hands out "0".
TEST(UsageRecord, WhatTravelsOfARecord) {
    struct row {
        record_fields record;
        int product_mode;
        bool number_check;
        int status;
        std::string texts;  // number|water|usage text|product 1|product 2|water 2|water 3
        std::string key = sample_key;  // then zero bytes to the output's end
    };
    const std::string soap = "42|0|Soap|3.5|7|0|0", usage = "|1.25|Usage|0|0|20|31";
    const std::string long_water = std::string(15, '5') + "|Usage|0|0|20|" + std::string(7, '6');
    const row rows[] = {
        {{.code = "0"}, 1, false, 0, "42" + usage},
        {{.code = "18"}, 1, false, 0, "42|1.25|Unsupported Usage|0|0|20|31"},  // water, no text
        {{.code = "3"}, 1, false, 0, soap},
        {{.code = "3"}, 0, false, 3, soap},
        {{.code = "9"}, 2, false, 3, "42|0|Syrup 1|3.5|7|0|0"},
        {{.code = "4"}, 1, false, 1, "42||Soap Flush||||"},
        {{.code = ""}, 1, false, 0, "42" + usage},  // no digits read as 0
        {{.code = " 3"}, 1, false, 0, soap},
        {{.code = "3x"}, 1, false, 0, soap},
        {{.number = "12a"}, 1, true, 9, "0" + usage, ""},
        {{.number = "12a"}, 1, false, 0, "12a" + usage},
        {{.key = empty_slot_key, .number = "12a"}, 1, true, 2, "0" + usage, ""},
        {{.number = ""}, 1, true, 0, usage},  // an empty number passes
        // A field that fills its width without a zero byte is cut to width - 1.
        {{.water = std::string(16, '5'), .water_3 = std::string(8, '6')}, 1, false, 0,
         "42|" + long_water},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &r - rows);
        entry_outputs out;
        const bytes record = usage_record(r.record);
        EXPECT_EQ(util_unpack_usage_record(record.data(), r.product_mode, 0, out.view(),
                                           r.number_check),
                  r.status);
        EXPECT_EQ(out.texts(), r.texts);
        EXPECT_EQ(out.key.all(), r.key + std::string(40 - r.key.size(), '\0'));
    }
}

// Nothing in a record of one byte repeated is a terminator.
TEST(UsageRecord, FullFieldsAreCutInsideTheirOutputs) {
    const bytes full(usage_record_size, '7');
    entry_outputs out;
    // The usage code 7777... is no known code.
    EXPECT_EQ(util_unpack_usage_record(full.data(), 1, 0, out.view(), true), 1);
    EXPECT_EQ(out.texts(), std::string(31, '7') + "||Unsupported Usage||||");
    EXPECT_EQ(out.key.all(), std::string(32, '7') + std::string(8, '\0'));
}

}  // namespace
