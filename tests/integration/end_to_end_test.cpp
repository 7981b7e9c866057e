// The library's operations against the box emulator, over real ptys and
// sockets. Each case is one row: an emulator configuration and what one
// operation must make of it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "box_fixture.h"
#include "wq.h"

namespace {

struct e2e_case {
    const char* name;
    std::function<void(wqbox::config&)> configure;
    std::function<void(wqbox::emulator&)> run;
};

void PrintTo(const e2e_case& c, std::ostream* os) { *os << c.name; }

class EndToEnd : public BoxTest, public ::testing::WithParamInterface<e2e_case> {
protected:
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
};

TEST_P(EndToEnd, Operation) {
    wqbox::config cfg;
    if (GetParam().configure) GetParam().configure(cfg);
    start_box(cfg);
    GetParam().run(*box);
}

// wq_connect_to_box: the port number and the text it leaves.
void expect_probe(int port, const char* text) {
    auto buffer = std::make_unique<char[]>(64);
    std::memset(buffer.get(), 0x55, 64);
    EXPECT_EQ(wq_connect_to_box(buffer.get()), port);
    EXPECT_STREQ(buffer.get(), text);
}

const e2e_case cases[] = {
    {"connect_to_box_finds_com1", nullptr,
     [](wqbox::emulator& box) {
         expect_probe(1, "WQBOX 1.0 SN 10001");
         EXPECT_EQ(box.state().count.probes, 1u);
     }},
    {"connect_to_box_finds_com12",
     [](wqbox::config& c) {
         c.com_port = 12;
         c.identification = std::string(63, 'I');
     },
     [](wqbox::emulator&) { expect_probe(12, std::string(63, 'I').c_str()); }},
    {"connect_to_box_reports_a_silent_box",
     [](wqbox::config& c) { c.faults = {fault_from("probe:silent")}; },
     [](wqbox::emulator&) { expect_probe(0, "RCV_ERROR_1"); }},
    {"connect_to_box_reports_a_wrong_echo",
     [](wqbox::config& c) { c.faults = {fault_from("probe:word:++++}")}; },
     [](wqbox::emulator&) { expect_probe(0, "RCV_ERROR_2"); }},
};

INSTANTIATE_TEST_SUITE_P(Library, EndToEnd, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
