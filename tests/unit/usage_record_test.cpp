// Unpacking usage records into the host's eight outputs.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "text/usage_record.h"

namespace {

struct record_fields {
    std::string key = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    std::string number = "42";
    std::string water = "1.25";
    std::string code = "0";
    std::string product_1 = "3.5";
    std::string product_2 = "7";
    std::string water_2 = "20";
    std::string water_3 = "31";
};

std::array<unsigned char, usage_record_size> make_record(const record_fields& f) {
    std::array<unsigned char, usage_record_size> r{};
    auto put = [&](std::size_t offset, const std::string& text) {
        std::memcpy(r.data() + offset, text.data(), text.size());
    };
    put(0, f.key);
    put(32, f.number);
    put(64, f.water);
    put(80, f.code);
    put(96, f.product_1);
    put(104, f.product_2);
    put(112, f.water_2);
    put(120, f.water_3);
    return r;
}

// Host buffers, exactly sized so ASan catches any write past them.
struct outputs {
    std::array<char, 32> entry_number;
    std::array<char, 16> water_value;
    std::array<char, 32> usage_text;
    std::array<char, 8> product_value_1;
    std::array<char, 8> product_value_2;
    std::array<char, 8> water_value_2;
    std::array<char, 8> water_value_3;
    std::array<char, 40> entry_key;

    outputs() {
        for (auto* a : {entry_number.data(), usage_text.data()}) std::memset(a, 'X', 32);
        water_value.fill('X');
        product_value_1.fill('X');
        product_value_2.fill('X');
        water_value_2.fill('X');
        water_value_3.fill('X');
        entry_key.fill('X');
    }
    usage_outputs view() {
        return {entry_number.data(),    water_value.data(),     usage_text.data(),
                product_value_1.data(), product_value_2.data(), water_value_2.data(),
                water_value_3.data(),   entry_key.data()};
    }
};

int unpack(const record_fields& f, outputs& out, int product_mode = 1, int water_variant = 0,
           bool number_check = false) {
    const auto record = make_record(f);
    return util_unpack_usage_record(record.data(), product_mode, water_variant, out.view(),
                                    number_check);
}

TEST(UsageText, TableAndVariants) {
    struct row {
        int code;
        int variant;
        const char* text;
    };
    const row rows[] = {
        {0, 0, "Usage"},           {1, 0, "Stagnation Flush"}, {2, 0, "Thermal disinfection"},
        {3, 0, "Soap"},            {4, 0, "Soap Flush"},       {8, 0, "Disinfectant Prime"},
        {10, 0, "Syrup 2"},        {11, 0, "Chilled Water"},   {12, 2, "Ambient Water"},
        {12, 0, "Carbonated Water"}, {12, 1, "Carbonated Water"}, {12, 3, "Carbonated Water"},
        {13, 0, "Unsupported Usage"}, {17, 0, "Stagnation Flush"}, {18, 0, "Unsupported Usage"},
        {19, 0, "Unsupported Usage"}, {-1, 0, "Unsupported Usage"}, {2, 2, "Thermal disinfection"},
    };
    for (const row& r : rows) {
        std::array<char, 32> text;
        text.fill('X');
        util_get_tapusage_string(text.data(), r.code, r.variant);
        EXPECT_STREQ(text.data(), r.text) << r.code << "/" << r.variant;
    }
}

TEST(UsageRecord, GroupsDecideWhichValuesTravel) {
    struct row {
        const char* code;
        int product_mode;
        int status;
        const char* text;
        bool water;    // water values delivered, products "0"
        bool product;  // product values delivered, waters "0"
    };
    const row rows[] = {
        {"0", 1, 0, "Usage", true, false},
        {"18", 1, 0, "Unsupported Usage", true, false},  // a water entry without a text
        {"3", 1, 0, "Soap", false, true},
        {"3", 0, 3, "Soap", false, true},
        {"9", 2, 3, "Syrup 1", false, true},
        {"4", 1, 1, "Soap Flush", false, false},
        {"", 1, 0, "Usage", true, false},       // no digits read as 0
        {" 3", 1, 0, "Soap", false, true},      // leading blank
        {"3x", 1, 0, "Soap", false, true},      // trailing letter
        {"-1", 1, 1, "Unsupported Usage", false, false},
    };
    for (const row& r : rows) {
        record_fields f;
        f.code = r.code;
        outputs out;
        EXPECT_EQ(unpack(f, out, r.product_mode), r.status) << r.code;
        EXPECT_STREQ(out.entry_number.data(), "42");
        EXPECT_STREQ(out.usage_text.data(), r.text);
        EXPECT_STREQ(out.water_value.data(), r.water ? "1.25" : r.product ? "0" : "");
        EXPECT_STREQ(out.water_value_2.data(), r.water ? "20" : r.product ? "0" : "");
        EXPECT_STREQ(out.water_value_3.data(), r.water ? "31" : r.product ? "0" : "");
        EXPECT_STREQ(out.product_value_1.data(), r.product ? "3.5" : r.water ? "0" : "");
        EXPECT_STREQ(out.product_value_2.data(), r.product ? "7" : r.water ? "0" : "");
        EXPECT_EQ(std::string(out.entry_key.data(), 40), f.key + std::string(8, '\0'));
    }
}

TEST(UsageRecord, StatusPrecedence) {
    struct row {
        const char* key;
        const char* number;
        bool number_check;
        int status;
        const char* number_out;
        bool key_delivered;
    };
    const std::string empty_key(32, '0');
    const row rows[] = {
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "12a", true, 9, "0", false},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "12a", false, 0, "12a", true},
        {empty_key.c_str(), "12a", true, 2, "0", false},  // 2 wins over 9
        {empty_key.c_str(), "12", false, 2, "12", false},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "", true, 0, "", true},  // empty passes
        {"!@#$%^&*()_+{}|:<>?~`-=[];',./\"\\", "7", true, 0, "7", true},
    };
    for (const row& r : rows) {
        record_fields f;
        f.key = r.key;
        f.number = r.number;
        outputs out;
        EXPECT_EQ(unpack(f, out, 1, 0, r.number_check), r.status) << r.key << "/" << r.number;
        EXPECT_STREQ(out.entry_number.data(), r.number_out);
        EXPECT_STREQ(out.usage_text.data(), "Usage");
        EXPECT_STREQ(out.water_value.data(), "1.25");
        const std::string key_out(out.entry_key.data(), 40);
        EXPECT_EQ(key_out, r.key_delivered ? f.key + std::string(8, '\0') : std::string(40, '\0'));
    }
}

TEST(UsageRecord, FieldsWithoutTerminatorStayInsideTheirOutputs) {
    std::array<unsigned char, usage_record_size> record;
    record.fill('7');  // every field full, no zero byte anywhere
    outputs out;
    const int status = util_unpack_usage_record(record.data(), 1, 0, out.view(), true);
    EXPECT_EQ(status, 1);  // usage code 7777... overflows to an unknown code
    EXPECT_EQ(std::strlen(out.entry_number.data()), 31u);
    EXPECT_STREQ(out.usage_text.data(), "Unsupported Usage");
    EXPECT_EQ(std::string(out.entry_key.data(), 32), std::string(32, '7'));
    EXPECT_EQ(out.entry_key[32], 0);

    record_fields f;
    f.code = "0";
    f.water = std::string(16, '5');
    f.water_3 = std::string(8, '6');
    outputs water;
    EXPECT_EQ(unpack(f, water), 0);
    EXPECT_EQ(std::string(water.water_value.data()), std::string(15, '5'));
    EXPECT_EQ(std::string(water.water_value_3.data()), std::string(7, '6'));
}

}  // namespace
