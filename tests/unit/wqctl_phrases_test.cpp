// wqctl recognises the library's failures by phrases of their messages: each
// phrase must be found in a message the library really writes for that
// failure, in English and in German, so a reworded message fails here rather
// than silently losing its hint.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string_view>

#include "bt_fake_box.h"
#include "settings_calls.h"
#include "wqctl/library_phrases.h"

namespace {

using wqctl::failure;

struct row {
    const char* what;
    std::function<void()> set_up;  // the fake platform's part
    std::function<int(char* message, int language)> run;
    failure meaning;
};

TEST(WqctlPhrases, EachIsInTheLibrarysMessageForItsFailure) {
    const auto serial_box = [](box_script s) { return [s] { s(com1()); }; };
    const auto bt_box = [](box_script s) { return [s] { s(bt_test_box()); }; };
    const auto no_box = [] {};
    const auto read_settings = [](char* message, int lang) { return read_outputs().read_serial(1, message, 0, lang); };
    const auto connect_by_name = [](char* message, int language) {
        BTH_ADDR address = 0;
        return wq_connect_to_bt_device(&address, "WQ Box", message, language);
    };
    const row rows[] = {
        {"port not opened", no_box, read_settings, failure::port_not_opened},
        {"record one byte short", serial_box(answers(fake::repeat(0x2B, 32), bytes(379))), read_settings,
         failure::record_incomplete},
        {"flush refused", bt_box(answers_tag("BT_TAP_SPL", frame("BTBUSY_XXX"))), on_test_box(wq_bt_force_flush),
         failure::in_use},
        {"defaults refused", bt_box(answers_tag("BTDEFL_REQ", frame("BTBUSY_XXX"))),
         on_test_box(wq_bt_default_settings), failure::in_use},
        {"channel taken", [] { fake::fail(fake::call::connect, 1, 10048); }, on_test_box(wq_bt_identify),
         failure::in_use},
        {"unknown name", no_box, connect_by_name, failure::name_not_found},
        {"name service fails", [] { fake::fail(fake::call::lookup_begin); }, connect_by_name,
         failure::name_not_found},
        {"serial verdict", serial_box(answers(fake::repeat(0x2D, 32), fake::with_zero("OTA_DNL_DONX"))),
         [](char* message, int language) { return wq_ota_confirm_done(0, message, language, held_port()); },
         failure::box_verdict},
        {"Bluetooth verdict", bt_box(answers_tag("BT_OTA_DNE", frame("BT_OTA_CM"))),
         on_kept_connection(wq_bt_ota_done), failure::box_verdict},
    };
    std::set<std::string_view> found;
    for (const row& r : rows) {
        for (const int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (German)" : " (English)"));
            fake::reset();
            r.set_up();
            char message[wq_message_size] = {};
            EXPECT_EQ(r.run(message, language), 1);
            EXPECT_TRUE(wqctl::says(message, r.meaning)) << message;
            for (const wqctl::phrase& p : wqctl::library_phrases) {
                if (p.meaning == r.meaning && std::string_view(message).find(p.text) != std::string_view::npos)
                    found.insert(p.text);
            }
        }
    }
    for (const wqctl::phrase& p : wqctl::library_phrases) EXPECT_TRUE(found.count(p.text)) << "never said: " << p.text;
    fake::reset();
}

}  // namespace
