// The firmware update over the serial link, call by call, on a held port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_fixture.h"

namespace {

const bytes request_block = fake::repeat(0x2A, 32);
const bytes transfer_block = fake::repeat(0x7C, 32);
const bytes verify_block = fake::repeat(0x2D, 32);
const bytes request_ack = fake::with_zero("OTA_REQ_ACKN");
const bytes control_1_258 = {1, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0};

// Also what waiting for the start of the transfer reports.
const expected_message request_ack_not_read = read_failed("'OTA Req-Ack'");
const expected_message transfer_started = {
    "OTA Start acknowledged. Sending OTA Data...", "OTA-Start best\xE4tigt. OTA-Daten senden..."};

TEST(SerialFirmware, StartOutcomes) {
    const auto requested_then = [](const bytes& reply, std::int64_t after_ms = 0) {
        return [=](fake::link& box) {
            box.expect(request_block).reply(request_ack);
            box.expect(control_1_258).reply(reply, after_ms);
        };
    };
    check_outcomes({
        {"request not sent", failing(fake::call::write_file), 1, send_failed("'OTA Request'"), 0},
        {"twelve bytes of the acknowledgement",
         answers(request_block, fake::text("OTA_REQ_ACKN")), 1, request_ack_not_read, 200},
        {"thirteenth byte not zero", answers(request_block, fake::text("OTA_REQ_ACKN!")), 1,
         {"OTA Initialization Fail. OTA is not possible.",
          "OTA-Initialisierung fehlgeschlagen. OTA ist nicht m\xF6glich."}, 0},
        {"control not sent",
         [](fake::link& box) {
             box.expect(request_block).reply(request_ack);
             fake::fail(fake::call::write_file, 2);
         }, 1,
         {"Send 'OTA Cntl' failed. Please check connections!",
          "Senden 'OTA Cntl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"control not acknowledged", requested_then({}), 1, read_failed("'OTA Rcv-Ctl'"), 200},
        {"control acknowledged wrongly", requested_then(request_ack), 1,
         invalid_reply("'OtaRcvCntl'"), 0},
        {"control accepted", requested_then(fake::with_zero("OTA_RCV_CTRL"), 50), 0,
         {"OTA Control Sent.", "OTA-Steuerung gesendet."}, 50},
    }, com1, [](char* message, int language) {
        return wq_ota_start(0, message, language, held_port(), 1, 258);
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
    struct chunk {
        outcome expected;
        int length;
        unsigned int offset;
    };
    const std::vector<chunk> chunks = {
        {{"chunk", answers(fake::text("6789a")), 0, no_message, 0}, 5, 6},
        {{"no bytes: one empty write", [](fake::link&) {}, 0, no_message, 0, 1}, 0, 16},
        {{"cut short", [](fake::link&) { fake::short_write(fake::call::write_file, 3); }, 1,
          not_sent, 0}, 4, 0},
        {{"negative length", [](fake::link&) {}, 1, not_sent, 0, 0}, -1, 0},
    };
    check_rows(chunks, com1, [](const chunk& c, char* message, int language) {
        const unsigned char image[] = "0123456789abcdef";
        return wq_ota_xmit_data(0, message, language, held_port(), image, c.length, c.offset);
    }, host_link::kept);
}

TEST(SerialFirmware, ConfirmDoneClosesThePortOnEveryOutcome) {
    check_outcomes({
        {"verify not sent", failing(fake::call::write_file), 1, send_failed("'Verify OTA'"), 0},
        {"no acknowledgement", answers(verify_block), 1, read_failed("'OTA Done'"), 200},
        {"wrong acknowledgement", answers(verify_block, request_ack), 1,
         invalid_reply("'OTA Done'"), 0},
        {"done", answers(verify_block, fake::with_zero("OTA_DNL_DONE"), 120), 0,
         {"OTA programming successfully done!", "OTA-Programmierung erfolgreich abgeschlossen!"},
         120},
    }, com1, [](char* message, int language) {
        return wq_ota_confirm_done(0, message, language, held_port());
    });
}

}  // namespace
