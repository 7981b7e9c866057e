// A usage record as the box sends it, and the host's eight entry outputs,
// each exactly as large as the host makes it so ASan sees any write past it.
#pragma once

#include <cstring>
#include <string>
#include <utility>

#include "fake_fixture.h"
#include "text/usage_record.h"

inline const std::string sample_key = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
inline const std::string empty_slot_key(32, '0');

struct record_fields {
    std::string key = sample_key;
    std::string number = "42";
    std::string water = "1.25";
    std::string code = "0";
    std::string product_1 = "3.5";
    std::string product_2 = "7";
    std::string water_2 = "20";
    std::string water_3 = "31";
};

inline bytes usage_record(const record_fields& f = {}) {
    bytes r(usage_record_size, 0);
    const std::pair<std::size_t, const std::string*> fields[] = {
        {0, &f.key}, {32, &f.number}, {64, &f.water}, {80, &f.code},
        {96, &f.product_1}, {104, &f.product_2}, {112, &f.water_2}, {120, &f.water_3}};
    for (const auto& [at, text] : fields) std::memcpy(r.data() + at, text->data(), text->size());
    return r;
}

struct entry_outputs {
    exact_buffer number{32}, water{16}, text{32}, product_1{8}, product_2{8}, water_2{8},
        water_3{8}, key{40};
    usage_outputs view() {
        return {number.get(), water.get(), text.get(), product_1.get(),
                product_2.get(), water_2.get(), water_3.get(), key.get()};
    }
    // Every byte of all eight outputs.
    std::string all() const {
        return number.all() + water.all() + text.all() + product_1.all() + product_2.all() +
               water_2.all() + water_3.all() + key.all();
    }
    // The seven texts before the key, '|'-separated, to compare in one go.
    std::string texts() const {
        return number.str() + "|" + water.str() + "|" + text.str() + "|" + product_1.str() + "|" +
               product_2.str() + "|" + water_2.str() + "|" + water_3.str();
    }
    // What a fetch of the sample record with `status` leaves: nothing when it
    // failed, else its texts with `entry_number`, and `entry_key` (or none).
    void expect_fetched(int status, const std::string& entry_number,
                        const std::string& entry_key) {
        if (status == 1) {
            EXPECT_EQ(all(), entry_outputs().all()) << "a failed fetch touches no output";
            return;
        }
        EXPECT_EQ(texts(), entry_number + "|1.25|Usage|0|0|20|31");
        EXPECT_EQ(key.all(), entry_key + std::string(40 - entry_key.size(), '\0'));
    }
};
