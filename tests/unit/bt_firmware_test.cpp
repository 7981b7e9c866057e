// The firmware update over a kept connection.
#include <gtest/gtest.h>

#include <string>

#include "bt_kept_connection.h"
#include "wq.h"

namespace {

using fake::bytes;

const bytes control_1_258 = {0x24, 0x24, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23, 0x23};

class BtFirmwareTest : public BtKeptConnectionTest {};

// ---- request and control values ----------------------------------------------------------

TEST_F(BtFirmwareTest, StartOutcomes) {
    struct row {
        const char* what;
        bytes first_reply;
        bytes second_reply;
        int failing_send;  // 0 none, 1 the request, 2 the control frame
        int status;
        std::string english;
        std::string german;
        std::int64_t virtual_ms;
        std::size_t sends;  // that reached the box
    };
    const std::string invalid = "Invalid BT_OTA_REQ_WORD Response ";
    const row rows[] = {
        {"accepted", frame("BT_OTA_ACK"), frame("BT_OTA_CTL"), 0, 0, "", "", 200, 2},
        {"other first word", frame("BT_OTA_NAK"), {}, 0, 1, invalid + "BT_OTA_NAK",
         invalid + "BT_OTA_NAK", 100, 1},
        {"tag and one more", frame("BT_OTA_ACKX"), {}, 0, 1, invalid + "BT_OTA_ACKX",
         invalid + "BT_OTA_ACKX", 100, 1},
        {"empty first payload", frame(""), {}, 0, 1, invalid, invalid, 100, 1},
        {"over-long first payload is cut", frame(std::string(40, 'Z')), {}, 0, 1,
         invalid + std::string(14, 'Z'), invalid + std::string(14, 'Z'), 100, 1},
        {"wrong second word has no message", frame("BT_OTA_ACK"), frame("BT_OTA_CTX"), 0, 1, "",
         "", 200, 2},
        {"second word and one more", frame("BT_OTA_ACK"), frame("BT_OTA_CTLX"), 0, 1, "", "", 200,
         2},
        {"silent box", {}, {}, 0, 1, bt_read_timeout_message, bt_read_timeout_message, 100 + 10 * 100, 1},
        {"no second reply", frame("BT_OTA_ACK"), {}, 0, 1, bt_read_timeout_message, bt_read_timeout_message,
         200 + 10 * 100, 2},
        {"request not sent", {}, {}, 1, 1,
         "Send 'OTA Request' Failed. Please Check Connections 10054",
         "Senden 'OTA Request' fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen 10054", 0,
         0},
        {"control frame not sent", frame("BT_OTA_ACK"), {}, 2, 1, "Send 'OTA Cntl' failed.10054",
         "Senden 'OTA Cntl' fehlgeschlagen.10054", 100, 1},
    };
    for (const row& r : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (de)" : " (en)"));
            fake::reset();
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(fake::text("$$BT_OTA_REQ##")).reply(r.first_reply);
            box.expect(control_1_258).reply(r.second_reply);
            connect();
            if (r.failing_send) fake::fail(fake::call::send, r.failing_send, 10054);
            set_message("earlier");
            EXPECT_EQ(wq_bt_ota_start(socket, 1, 258, message.get(), language), r.status);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(elapsed(), r.virtual_ms);
            EXPECT_EQ(box.writes().size(), r.sends);
            EXPECT_EQ(fake::counts().sockets_closed, 0) << "the connection stays";
            finish_row();
        }
    }
}

TEST_F(BtFirmwareTest, ControlFrameCarriesBothValuesZeroExtended) {
    struct row {
        unsigned int control1;
        unsigned int control2;
        bytes frame;
    };
    const row rows[] = {
        {1, 258, control_1_258},
        {0xFFFFFFFFu, 0x80000000u,
         {0x24, 0x24, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x23, 0x23}},
    };
    for (const row& r : rows) {
        fake::reset();
        fake::link& box = fake::bt_box(test_box_address);
        box.expect(fake::text("$$BT_OTA_REQ##")).reply(frame("BT_OTA_ACK"));
        box.expect_any(20).reply(frame("BT_OTA_CTL"));
        connect();
        EXPECT_EQ(wq_bt_ota_start(socket, r.control1, r.control2, message.get(), 0), 0);
        ASSERT_EQ(box.writes().size(), 2u);
        EXPECT_EQ(box.writes()[1], r.frame) << "one send of the whole frame";
        finish_row();
    }
}

// ---- start of the transfer and the final check -----------------------------------------------

TEST_F(BtFirmwareTest, StartXmitAndDoneOutcomes) {
    using operation = int (*)(unsigned int, char*, int);
    struct row {
        const char* what;
        operation call;
        const char* request;
        bytes reply;
        std::int64_t reply_after_ms;
        int send_error;
        int status;
        std::string english;
        std::string german;
        std::int64_t virtual_ms;
    };
    const std::string done_en = "OTA programming successfully done!";
    const std::string done_de = "OTA-Programmierung erfolgreich abgeschlossen!";
    const std::string done_invalid = "Invalid BT_OTA_DONE_ACK_WORD Response.";
    const row rows[] = {
        {"xmit accepted", wq_bt_ota_start_xmit, "$$BT_OTA_STR##", frame("BT_OTA_PRO"), 0, 0, 0, "",
         "", 100},
        {"xmit slow box", wq_bt_ota_start_xmit, "$$BT_OTA_STR##", frame("BT_OTA_PRO"), 9000, 0, 0,
         "", "", 9000},
        {"xmit wrong word", wq_bt_ota_start_xmit, "$$BT_OTA_STR##", frame("BT_OTA_PROX"), 0, 0, 1,
         "Invalid 'OtaStartXmitAck Response.", "Ung\xFCltige 'OtaStartXmitAck' Antwort.", 100},
        {"xmit silent", wq_bt_ota_start_xmit, "$$BT_OTA_STR##", {}, 0, 0, 1, bt_read_timeout_message,
         bt_read_timeout_message, 100 + 100 * 100},
        {"xmit not sent", wq_bt_ota_start_xmit, "$$BT_OTA_STR##", {}, 0, 10053, 1,
         "Send 'Start Xmit' Failed.10053", "Senden 'Start Xmit' fehlgeschlagen.10053", 0},
        {"done accepted", wq_bt_ota_done, "$$BT_OTA_DNE##", frame("BT_OTA_CMP"), 0, 0, 0, done_en,
         done_de, 100},
        {"done slow box", wq_bt_ota_done, "$$BT_OTA_DNE##", frame("BT_OTA_CMP"), 9000, 0, 0,
         done_en, done_de, 9000},
        {"done wrong word", wq_bt_ota_done, "$$BT_OTA_DNE##", frame("BT_OTA_CM"), 0, 0, 1,
         done_invalid, done_invalid, 100},
        {"done silent", wq_bt_ota_done, "$$BT_OTA_DNE##", {}, 0, 0, 1, bt_read_timeout_message, bt_read_timeout_message,
         100 + 100 * 100},
        {"done not sent", wq_bt_ota_done, "$$BT_OTA_DNE##", {}, 0, 10053, 1,
         "Send 'OTA Done' Failed.10053", "Senden 'OTA Done' fehlgeschlagen.10053", 0},
    };
    for (const row& r : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (de)" : " (en)"));
            fake::reset();
            fake::link& box = fake::bt_box(test_box_address);
            box.expect(fake::text(r.request)).reply(r.reply, r.reply_after_ms);
            connect();
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            set_message("earlier");
            EXPECT_EQ(r.call(socket, message.get(), language), r.status);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(elapsed(), r.virtual_ms);
            const fake::tally t = fake::counts();
            EXPECT_EQ(t.sockets_closed, 0) << "the connection stays, whatever the outcome";
            EXPECT_EQ(t.cleanups, 0);
            finish_row();
        }
    }
}

// ---- image chunks ------------------------------------------------------------------------

TEST_F(BtFirmwareTest, ChunksGoOutAsTheyStand) {
    const std::string image = "0123456789abcdef";
    struct row {
        const char* what;
        int length;
        unsigned int offset;
        int send_error;
        std::uint32_t short_count;  // 0: the send moves everything
        int status;
        std::string english;
        std::string german;
        bytes sent;
    };
    const row rows[] = {
        {"middle chunk", 5, 3, 0, 0, 0, "earlier", "earlier", fake::text("34567")},
        {"whole image", 16, 0, 0, 0, 0, "earlier", "earlier", fake::text(image)},
        {"short send is no error", 6, 10, 0, 2, 0, "earlier", "earlier", fake::text("ab")},
        {"empty chunk", 0, 4, 0, 0, 0, "earlier", "earlier", {}},
        {"send fails", 4, 0, 10055, 0, 1, "Send OTA-Data Failed.10055",
         "Senden OTA-Daten fehlgeschlagen.10055", {}},
    };
    for (const row& r : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(r.what) + (language ? " (de)" : " (en)"));
            fake::reset();
            fake::link& box = fake::bt_box(test_box_address);
            connect();
            if (r.send_error) fake::fail(fake::call::send, 1, r.send_error);
            if (r.short_count) fake::short_write(fake::call::send, r.short_count);
            set_message("earlier");
            EXPECT_EQ(wq_bt_ota_xmit_data(socket, image.data(), r.length, r.offset, message.get(),
                                          language),
                      r.status);
            EXPECT_EQ(message.str(), language ? r.german : r.english);
            EXPECT_EQ(fake::calls(fake::call::send), 1) << "one send per chunk";
            EXPECT_EQ(box.written(), r.sent);
            EXPECT_EQ(elapsed(), 0);
            finish_row();
        }
    }
}

TEST_F(BtFirmwareTest, NegativeLengthIsRefusedUnsent) {
    fake::link& box = fake::bt_box(test_box_address);
    connect();
    const char image[4] = {1, 2, 3, 4};
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, image, -1, 0, message.get(), 1), 1);
    EXPECT_EQ(message.str(), "Senden OTA-Daten fehlgeschlagen.10014");
    EXPECT_EQ(fake::calls(fake::call::send), 0);
    EXPECT_TRUE(box.writes().empty());
}

// ---- reset and the end of the connection --------------------------------------------------

TEST_F(BtFirmwareTest, ResetClosesTheConnectionOnEveryOutcome) {
    const bt_ending_outcome outcomes[] = {
        {0, 0, "earlier", "earlier"},
        {10054, 1, "Send 'Reset Device' Failed. The device can be reset manually 10054",
         "Senden 'Reset Device' fehlgeschlagen. Das Ger\xE4t kann manuell zur\xFC"
         "ckgesetzt werden 10054"},
    };
    for (const bt_ending_outcome& outcome : outcomes) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(outcome.english + (language ? " (de)" : " (en)"));
            run_ending_call(wq_bt_ota_reset, "$$BT_OTA_RST##", outcome, language);
            finish_row();
        }
    }
}

// A whole update in wire order: the socket outlives the final check and
// the reset is the call that ends it.
TEST_F(BtFirmwareTest, WholeUpdateEndsWithTheReset) {
    const std::string image(40, 'i');
    fake::link& box = fake::bt_box(test_box_address);
    box.expect(fake::text("$$BT_OTA_REQ##")).reply(frame("BT_OTA_ACK"));
    box.expect(control_1_258).reply(frame("BT_OTA_CTL"));
    box.expect(fake::text("$$BT_OTA_STR##")).reply(frame("BT_OTA_PRO"), 2500);
    box.expect(fake::text(image));
    box.expect(fake::text("$$BT_OTA_DNE##")).reply(frame("BT_OTA_CMP"), 4000);
    box.expect(fake::text("$$BT_OTA_RST##"));
    connect();
    EXPECT_EQ(wq_bt_ota_start(socket, 1, 258, message.get(), 0), 0);
    EXPECT_EQ(wq_bt_ota_start_xmit(socket, message.get(), 0), 0);
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, image.data(), 24, 0, message.get(), 0), 0);
    EXPECT_EQ(wq_bt_ota_xmit_data(socket, image.data(), 16, 24, message.get(), 0), 0);
    EXPECT_EQ(wq_bt_ota_done(socket, message.get(), 0), 0);
    EXPECT_EQ(message.str(), "OTA programming successfully done!");
    EXPECT_EQ(fake::counts().sockets_closed, 0) << "the final check leaves the socket open";
    EXPECT_EQ(wq_bt_ota_reset(socket, message.get(), 0), 0);
    EXPECT_EQ(message.str(), "OTA programming successfully done!") << "the reset adds nothing";
    socket = 0;
    EXPECT_TRUE(box.finished());
    EXPECT_EQ(fake::counts().sockets_closed, 1);
    EXPECT_EQ(fake::counts().cleanups, 1);
    EXPECT_EQ(elapsed(), 200 + 2500 + 4000);
}

}  // namespace
