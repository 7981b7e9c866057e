// The firmware update, call by call: over the serial link on a held port,
// over Bluetooth on a kept connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bt_fake_box.h"

namespace {

// A chunk of the image and what sending it must come to.
struct chunk {
    outcome expected;
    int length;
    unsigned int offset;
};
const char image[] = "0123456789abcdef";
// The control values 0x80000001 and 258, each zero-extended to eight bytes.
const bytes control_block = {1, 0, 0, 0x80, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0};
const expected_message ota_done = {"OTA programming successfully done!",
                                   "OTA-Programmierung erfolgreich abgeschlossen!"};

const bytes request_block = fake::repeat(0x2A, 32);
const bytes transfer_block = fake::repeat(0x7C, 32);
const bytes verify_block = fake::repeat(0x2D, 32);
const bytes request_ack = fake::with_zero("OTA_REQ_ACKN");

// Also what waiting for the start of the transfer reports.
const expected_message request_ack_not_read = read_failed("'OTA Req-Ack'");
const expected_message transfer_started = {
    "OTA Start acknowledged. Sending OTA Data...", "OTA-Start best\xE4tigt. OTA-Daten senden..."};

TEST(SerialFirmware, StartOutcomes) {
    const auto requested_then = [](const bytes& reply, std::int64_t after_ms = 0) {
        return [=](fake::link& box) {
            box.expect(request_block).reply(request_ack);
            box.expect(control_block).reply(reply, after_ms);
        };
    };
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1, send_failed("'OTA Request'"), 0},
        {"twelve bytes of the acknowledgement",
         answers(request_block, fake::text("OTA_REQ_ACKN")), 1, request_ack_not_read, 200},
        {"thirteenth byte not zero", answers(request_block, fake::text("OTA_REQ_ACKN!")), 1,
         {"OTA Initialization Fail. OTA is not possible.",
          "OTA-Initialisierung fehlgeschlagen. OTA ist nicht m\xF6glich."}, 0},
        {"control not sent", next_write_fails(request_block, request_ack), 1,
         {"Send 'OTA Cntl' failed. Please check connections!",
          "Senden 'OTA Cntl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"control not acknowledged", requested_then({}), 1, read_failed("'OTA Rcv-Ctl'"), 200},
        {"control acknowledged wrongly", requested_then(request_ack), 1,
         invalid_reply("'OtaRcvCntl'"), 0},
        {"control accepted", requested_then(fake::with_zero("OTA_RCV_CTRL"), 50), 0,
         {"OTA Control Sent.", "OTA-Steuerung gesendet."}, 50},
    }, com1, [](char* message, int language) {
        return wq_ota_start(0, message, language, held_port(), 0x80000001u, 258);
    }, host_link::kept);
}

// Failed reads are counted, one a second, up to 20; wrong replies are not.
TEST(SerialFirmware, StartTransmitOutcomes) {
    const auto wrong_then_right = [](int wrong) {
        bytes replies;
        for (int i = 0; i < wrong; ++i) replies = replies + fake::with_zero("OTA_BUSY____");
        return answers(transfer_block, replies + fake::with_zero("OTA_DNL_STRT"));
    };
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1, send_failed("'Start Xmit'"), 0},
        {"silent box", answers(transfer_block), 1, request_ack_not_read, 20 * (1000 + 200)},
        {"acknowledged at once", wrong_then_right(0), 0, transfer_started, 1000},
        {"wrong replies are not counted", wrong_then_right(25), 0, transfer_started, 26 * 1000},
        {"a chattering box is given up on", wrong_then_right(100), 1,
         invalid_reply("'OtaStartXmitAck", "'OtaStartXmitAck'"), 100 * 1000},
    }, com1, [](char* message, int language) {
        return wq_ota_start_xmit(0, message, language, held_port());
    }, host_link::kept);
}

TEST(SerialFirmware, ChunksAreSentAsTheyStandInTheImage) {
    const expected_message not_sent = send_failed("OTA-Data", "OTA-Daten");
    const std::vector<chunk> chunks = {
        {{"chunk", answers(fake::text("6789a")), 0, no_message, 0}, 5, 6},
        {{"no bytes: one empty write", [](fake::link&) {}, 0, no_message, 0, 1}, 0, 16},
        {{"cut short", [](fake::link&) { fake::short_write(fake::call::write_file, 3); }, 1,
          not_sent, 0}, 4, 0},
        {{"negative length", [](fake::link&) {}, 1, not_sent, 0, 0}, -1, 0},
    };
    check_rows(chunks, com1, [](const chunk& c, char* message, int language) {
        return wq_ota_xmit_data(0, message, language, held_port(),
                                reinterpret_cast<const unsigned char*>(image), c.length, c.offset);
    }, host_link::kept);
}

TEST(SerialFirmware, ConfirmDoneClosesThePortOnEveryOutcome) {
    check_outcomes({
        {"verify not sent", failing(fake::call::write_file), 1, send_failed("'Verify OTA'"), 0},
        {"no acknowledgement", answers(verify_block), 1, read_failed("'OTA Done'"), 200},
        {"wrong acknowledgement", answers(verify_block, request_ack), 1,
         invalid_reply("'OTA Done'"), 0},
        {"done", answers(verify_block, fake::with_zero("OTA_DNL_DONE"), 120), 0, ota_done, 120},
    }, com1, [](char* message, int language) {
        return wq_ota_confirm_done(0, message, language, held_port());
    });
}

// Each reply is awaited 100 ms after its request with 10 attempts; a wrong
// first reply is quoted in the message, a wrong second one has none.
TEST(BtFirmware, StartOutcomes) {
    const auto replies = [](const bytes& first, const bytes& second = {}) {
        return [=](fake::link& box) {
            box.expect(frame("BT_OTA_REQ")).reply(first).expect(frame(control_block)).reply(second);
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
        return wq_bt_ota_start(open_test_socket(), 0x80000001u, 258, message, language);
    }, host_link::kept);
}

// Starting the transfer and the final check share their exchange: the box
// is given 100 attempts.
TEST(BtFirmware, StartXmitAndDoneOutcomes) {
    struct row {
        outcome expected;
        bool done = false;  // the final check, else the start of the transfer
    };
    const std::vector<row> rows = {
        {{"start accepted", answers_tag("BT_OTA_STR", frame("BT_OTA_PRO")), 0, no_message, 100}},
        {{"start: wrong word", answers_tag("BT_OTA_STR", frame("BT_OTA_PROX")), 1,
          {"Invalid 'OtaStartXmitAck Response.", "Ung\xFCltige 'OtaStartXmitAck' Antwort."}, 100}},
        {{"start not sent", failing(fake::call::send, 1, 10053), 1,
          bt_send_failed("'Start Xmit'", 10053), 0}},
        {{"done: the connection stays", answers_tag("BT_OTA_DNE", frame("BT_OTA_CMP")), 0,
          ota_done, 100}, true},
        {{"done: wrong word", answers_tag("BT_OTA_DNE", frame("BT_OTA_CM")), 1,
          same("Invalid BT_OTA_DONE_ACK_WORD Response."), 100}, true},
        {{"done: silent", answers_tag("BT_OTA_DNE"), 1, read_timeout, 100 + 100 * 100}, true},
        {{"done not sent", failing(fake::call::send, 1, 10053), 1,
          bt_send_failed("'OTA Done'", 10053), 0}, true},
    };
    check_rows(rows, bt_test_box, [](const row& r, char* message, int language) {
        const unsigned int socket = open_test_socket();
        return r.done ? wq_bt_ota_done(socket, message, language)
                      : wq_bt_ota_start_xmit(socket, message, language);
    }, host_link::kept);
}

// One send per chunk, as it stands in the image; a short send is no error.
TEST(BtFirmware, ChunksGoOutAsTheyStand) {
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
    }, bt_test_box, on_kept_connection(wq_bt_ota_reset));
}

}  // namespace
