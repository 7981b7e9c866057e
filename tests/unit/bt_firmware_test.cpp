// The firmware update over a kept connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

const bytes control_1_258 = {0x24, 0x24, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23, 0x23};

int start(unsigned int control1, unsigned int control2, char* message, int language) {
    return wq_bt_ota_start(open_test_socket(), control1, control2, message, language);
}

// Each reply is awaited 100 ms after its request with 10 attempts; a wrong
// first reply is quoted in the message, a wrong second one has none.
TEST(BtFirmware, StartOutcomes) {
    const auto replies = [](const bytes& first, const bytes& second = {}) {
        return [=](fake::link& box) {
            box.expect(frame("BT_OTA_REQ")).reply(first).expect(control_1_258).reply(second);
        };
    };
    const auto first_reply = [](const bytes& reply) { return answers_tag("BT_OTA_REQ", reply); };
    const std::string invalid = "Invalid BT_OTA_REQ_WORD Response ";
    check_outcomes({
        {"accepted", replies(frame("BT_OTA_ACK"), frame("BT_OTA_CTL")), 0, no_message, 200, 2},
        {"other first word", first_reply(frame("BT_OTA_NAK")), 1, same(invalid + "BT_OTA_NAK"),
         100, 1},
        {"empty first payload", first_reply(frame("")), 1, same(invalid), 100, 1},
        {"over-long first payload is cut", first_reply(frame(std::string(40, 'Z'))), 1,
         same(invalid + std::string(14, 'Z')), 100, 1},
        {"wrong second word", replies(frame("BT_OTA_ACK"), frame("BT_OTA_CTX")), 1, no_message,
         200},
        {"silent box", first_reply({}), 1, read_timeout, 100 + 10 * 100, 1},
        {"no second reply", replies(frame("BT_OTA_ACK")), 1, read_timeout, 200 + 10 * 100},
        {"request not sent", failing(fake::call::send, 1, 10054), 1,
         {"Send 'OTA Request' Failed. Please Check Connections 10054",
          "Senden 'OTA Request' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen 10054"},
         0, 0},
        {"control frame not sent",
         [](fake::link& box) {
             box.expect(frame("BT_OTA_REQ")).reply(frame("BT_OTA_ACK"));
             fake::fail(fake::call::send, 2, 10054);
         }, 1, {"Send 'OTA Cntl' failed.10054", "Senden 'OTA Cntl' fehlgeschlagen.10054"}, 100, 1},
    }, bt_test_box, [](char* message, int language) {
        return start(1, 258, message, language);
    }, host_link::kept);
    // Each control value travels zero-extended to eight bytes.
    const bytes high_bits = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0};
    check_outcomes({{"high bits", [&](fake::link& box) {
                         box.expect(frame("BT_OTA_REQ")).reply(frame("BT_OTA_ACK"));
                         box.expect(frame(high_bits)).reply(frame("BT_OTA_CTL"));
                     }, 0, no_message, 200}},
                   bt_test_box, [](char* message, int language) {
                       return start(0xFFFFFFFFu, 0x80000000u, message, language);
                   }, host_link::kept);
}

// Starting the transfer and the final check give the box 100 attempts.
TEST(BtFirmware, StartXmitOutcomes) {
    check_outcomes({
        {"accepted", answers_tag("BT_OTA_STR", frame("BT_OTA_PRO")), 0, no_message, 100},
        {"wrong word", answers_tag("BT_OTA_STR", frame("BT_OTA_PROX")), 1,
         {"Invalid 'OtaStartXmitAck Response.", "Ung\xFCltige 'OtaStartXmitAck' Antwort."}, 100},
        {"silent", answers_tag("BT_OTA_STR"), 1, read_timeout, 100 + 100 * 100},
        {"not sent", failing(fake::call::send, 1, 10053), 1,
         bt_send_failed("'Start Xmit'", 10053), 0},
    }, bt_test_box, [](char* message, int language) {
        return wq_bt_ota_start_xmit(open_test_socket(), message, language);
    }, host_link::kept);
}

TEST(BtFirmware, DoneOutcomes) {
    const expected_message invalid = same("Invalid BT_OTA_DONE_ACK_WORD Response.");
    check_outcomes({
        {"accepted: the connection stays", answers_tag("BT_OTA_DNE", frame("BT_OTA_CMP")), 0,
         {"OTA programming successfully done!", "OTA-Programmierung erfolgreich abgeschlossen!"},
         100},
        {"wrong word", answers_tag("BT_OTA_DNE", frame("BT_OTA_CM")), 1, invalid, 100},
        {"silent", answers_tag("BT_OTA_DNE"), 1, read_timeout, 100 + 100 * 100},
        {"not sent", failing(fake::call::send, 1, 10053), 1,
         bt_send_failed("'OTA Done'", 10053), 0},
    }, bt_test_box, [](char* message, int language) {
        return wq_bt_ota_done(open_test_socket(), message, language);
    }, host_link::kept);
}

// One send per chunk, as it stands in the image; a short send is no error.
TEST(BtFirmware, ChunksGoOutAsTheyStand) {
    struct chunk {
        outcome expected;
        int length;
        unsigned int offset;
    };
    const auto nothing = [](fake::link&) {};
    const std::vector<chunk> chunks = {
        {{"middle chunk", answers(fake::text("34567")), 0, earlier_message, 0, 1}, 5, 3},
        {{"short send",
          [](fake::link& box) {
              box.expect(fake::text("ab"));
              fake::short_write(fake::call::send, 2);
          }, 0, earlier_message, 0, 1}, 6, 10},
        {{"empty chunk", nothing, 0, earlier_message, 0, 1}, 0, 4},
        {{"send fails", failing(fake::call::send, 1, 10055), 1,
          bt_send_failed("OTA-Data", 10055, "OTA-Daten"), 0}, 4, 0},
        // A negative length names no chunk: refused as a buffer the socket
        // layer cannot use, with nothing sent.
        {{"negative length", nothing, 1,
          bt_send_failed("OTA-Data", 10014, "OTA-Daten"), 0, 0}, -1, 0},
    };
    check_rows(chunks, bt_test_box, [](const chunk& c, char* message, int language) {
        const char image[] = "0123456789abcdef";
        return wq_bt_ota_xmit_data(open_test_socket(), image, c.length, c.offset, message,
                                   language);
    }, host_link::kept);
}

// The reset ends the connection whether or not its request went out.
TEST(BtFirmware, ResetClosesTheConnection) {
    check_outcomes({
        {"sent", answers_tag("BT_OTA_RST"), 0, earlier_message, 0, 1},
        {"not sent", failing(fake::call::send, 1, 10054), 1,
         {"Send 'Reset Device' Failed. The device can be reset manually 10054",
          "Senden 'Reset Device' fehlgeschlagen. Das Ger\xE4t kann manuell zur\xFC" "ckgesetzt "
          "werden 10054"}, 0},
    }, bt_test_box, [](char* message, int language) {
        return wq_bt_ota_reset(open_test_socket(), message, language);
    });
}

}  // namespace
