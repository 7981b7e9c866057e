// The firmware update over the serial link, call by call.
#include <gtest/gtest.h>

#include <string>

#include "serial_outcomes.h"

namespace {

using fake::bytes;

class SerialFirmwareTest : public FakePlatformTest {};

const bytes request_block = fake::repeat(0x2A, 32);
const bytes transfer_block = fake::repeat(0x7C, 32);
const bytes verify_block = fake::repeat(0x2D, 32);
const bytes request_ack = fake::with_zero("OTA_REQ_ACKN");
const bytes control_1_258 = {1, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0};

const both_texts request_ack_not_read = {
    "Read 'OTA Req-Ack' Failed. Please Check Connections",
    "Lesen 'OTA Req-Ack' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
const both_texts transfer_started = {
    "OTA Start acknowledged. Sending OTA Data...", "OTA-Start best\xE4tigt. OTA-Daten senden..."};
const auto write_fails = [](fake::link&) { fake::fail(fake::call::write_file); };

TEST_F(SerialFirmwareTest, OpenHandsTheLow32BitsOrZeroToTheHost) {
    exact_buffer message(128);
    int handle = -1;
    EXPECT_EQ(wq_ota_open_port(3, message.get(), 1, &handle), 1);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(message.str(), port_not_opened.german);

    fake::next_handle(0xFFFFFFFF80000010ull);
    fake::serial_port("\\\\.\\COM11");
    EXPECT_EQ(wq_ota_open_port(11, message.get(), 0, &handle), 0);
    EXPECT_EQ(handle, static_cast<int>(0x80000010u));
    EXPECT_EQ(message.str(), "");
    EXPECT_EQ(wq_force_close_handle(0, nullptr, 0, handle), 0);
    EXPECT_EQ(fake::counts().ports_closed, 1) << "the handle must widen back to the port's";
}

TEST_F(SerialFirmwareTest, StartOutcomes) {
    const auto requested = [](fake::link& box) { box.expect(request_block).reply(request_ack); };
    const auto control_answer = [&](bytes reply, std::int64_t after_ms = 0) {
        return [=](fake::link& box) { requested(box); box.expect(control_1_258).reply(reply, after_ms); };
    };
    check_outcomes({
        {"request not sent", write_fails, 1,
         {"Send 'OTA Request' Failed. Please Check Connections",
          "Senden 'OTA Request' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"twelve bytes of the acknowledgement",
         [](fake::link& box) { box.expect(request_block).reply(fake::text("OTA_REQ_ACKN")); }, 1,
         request_ack_not_read, 200},
        {"thirteenth byte not zero",
         [](fake::link& box) { box.expect(request_block).reply(fake::text("OTA_REQ_ACKN!")); }, 1,
         {"OTA Initialization Fail. OTA is not possible.",
          "OTA-Initialisierung fehlgeschlagen. OTA ist nicht m\xF6glich."}, 0},
        {"control not sent", [&](fake::link& box) { requested(box); fake::fail(fake::call::write_file, 2); }, 1,
         {"Send 'OTA Cntl' failed. Please check connections!",
          "Senden 'OTA Cntl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"control not acknowledged", control_answer({}), 1,
         {"Read 'OTA Rcv-Ctl' Failed. Please Check Connections",
          "Lesen 'OTA Rcv-Ctl' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 200},
        {"control acknowledged wrongly", control_answer(request_ack), 1,
         {"Invalid 'OtaRcvCntl' Response. Please Check Firmware",
          "Ung\xFCltige 'OtaRcvCntl' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"}, 0},
        {"control accepted", control_answer(fake::with_zero("OTA_RCV_CTRL"), 50), 0,
         {"OTA Control Sent.", "OTA-Steuerung gesendet."}, 50},
    }, port_after::open, [](char* message, int language) {
        return wq_ota_start(0, message, language, held_port(), 1, 258);
    });
}

TEST_F(SerialFirmwareTest, StartTransmitOutcomes) {
    const auto wrong_then_right = [](int wrong) {
        return [=](fake::link& box) {
            bytes replies;
            for (int i = 0; i < wrong; ++i) replies = replies + fake::with_zero("OTA_BUSY____");
            box.expect(transfer_block).reply(replies + fake::with_zero("OTA_DNL_STRT"));
        };
    };
    check_outcomes({
        {"request not sent", write_fails, 1,
         {"Send 'Start Xmit' Failed. Please Check Connections",
          "Senden 'Start Xmit' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"silent box", [](fake::link& box) { box.expect(transfer_block); }, 1,
         request_ack_not_read, 20 * 1200},
        {"failing reads",
         [](fake::link& box) {
             box.expect(transfer_block);
             for (int nth = 1; nth <= 20; ++nth) fake::fail(fake::call::read_file, nth);
         }, 1, request_ack_not_read, 20 * 1000},
        {"acknowledged at once", wrong_then_right(0), 0, transfer_started, 1000},
        {"wrong replies are not counted", wrong_then_right(25), 0, transfer_started, 26 * 1000},
        {"a chattering box is given up on", wrong_then_right(100), 1,
         {"Invalid 'OtaStartXmitAck Response. Please Check Firmware",
          "Ung\xFCltige 'OtaStartXmitAck' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"}, 100 * 1000},
    }, port_after::open, [](char* message, int language) {
        return wq_ota_start_xmit(0, message, language, held_port());
    });
}

TEST_F(SerialFirmwareTest, ChunksAreSentAsTheyStandInTheImage) {
    const bytes image = fake::text("0123456789abcdef");
    const both_texts not_sent = {
        "Send OTA-Data Failed. Please Check Connections",
        "Senden OTA-Daten fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
    const auto send = [&](int length, unsigned int offset) {
        return [=, &image](char* message, int language) {
            return wq_ota_xmit_data(0, message, language, held_port(), image.data(), length, offset);
        };
    };
    check_outcomes({{"chunk", [](fake::link& box) { box.expect(fake::text("6789a")); }, 0, no_message, 0}},
                   port_after::open, send(5, 6));
    check_outcomes({{"chunk of no bytes", [](fake::link&) { fake::fail(fake::call::write_file); }, 0,
                     no_message, 0}},
                   port_after::open, send(0, 16));
    check_outcomes({{"chunk cut short", [](fake::link&) { fake::short_write(fake::call::write_file, 3); },
                     1, not_sent, 0}},
                   port_after::open, send(4, 0));
    check_outcomes({{"negative length", [](fake::link&) {}, 1, not_sent, 0}}, port_after::open,
                   send(-1, 0));
}

TEST_F(SerialFirmwareTest, ConfirmDoneClosesThePortOnEveryOutcome) {
    check_outcomes({
        {"verify not sent", write_fails, 1,
         {"Send 'Verify OTA' Failed. Please Check Connections",
          "Senden 'Verify OTA' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 0},
        {"no acknowledgement", [](fake::link& box) { box.expect(verify_block); }, 1,
         {"Read 'OTA Done' Failed. Please Check Connections",
          "Lesen 'OTA Done' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"}, 200},
        {"wrong acknowledgement", [](fake::link& box) { box.expect(verify_block).reply(request_ack); }, 1,
         {"Invalid 'OTA Done' Response. Please Check Firmware",
          "Ung\xFCltige 'OTA Done' Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"}, 0},
        {"done", [](fake::link& box) { box.expect(verify_block).reply(fake::with_zero("OTA_DNL_DONE"), 120); }, 0,
         {"OTA programming successfully done!", "OTA-Programmierung erfolgreich abgeschlossen!"}, 120},
    }, port_after::closed, [](char* message, int language) {
        return wq_ota_confirm_done(0, message, language, held_port());
    });
}

}  // namespace
