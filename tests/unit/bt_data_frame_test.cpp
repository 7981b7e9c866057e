// Data frames: "$$" + data + "##", built only where they fit.
#include <gtest/gtest.h>

#include <string>

#include "bt_fake_box.h"

namespace {

TEST(BtDataFrame, BuiltOnlyWhereItFits) {
    struct row {
        std::string data;
        std::size_t capacity;
        std::size_t length;  // 0: refused
        std::string frame;
    };
    const row rows[] = {
        {"1234", 8, 8, "$$1234##"},
        {"1234", 9, 8, "$$1234##"},
        {std::string("a\0#$", 4), 8, 8, std::string("$$a\0#$##", 8)},
        {"", 4, 4, "$$##"},
        {"1234", 7, 0, ""},
        {"", 3, 0, ""},
        {"", 0, 0, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.data + " in " + std::to_string(r.capacity));
        exact_buffer frame(r.capacity, 'F');
        const std::size_t length = bt_put_data_frame(reinterpret_cast<unsigned char*>(frame.get()),
                                                     r.capacity, r.data.data(), r.data.size());
        EXPECT_EQ(length, r.length);
        const std::string untouched(r.capacity - r.frame.size(), 'F');
        EXPECT_EQ(std::string(frame.get(), r.capacity), r.frame + untouched);
    }
}

}  // namespace
