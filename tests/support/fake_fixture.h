// Unit tests on the fake platform: a fresh platform for every test, and the
// table runner every command test uses, one row per way the box behaves.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "exact_buffer.h"
#include "fake_platform.h"
#include "text/messages.h"
#include "wq.h"

using fake::operator+;
using fake::bytes;

// The script was kept and everything obtained was given back.
inline void expect_fake_clean() {
    for (const std::string& error : fake::seen().errors) ADD_FAILURE() << error;
    EXPECT_TRUE(fake::balanced()) << "a port, socket, lookup, heap block or start-up leaked";
}

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        expect_fake_clean();
        fake::reset();
    }
};

// A message as the host must read it in English and in German.
struct expected_message {
    std::string english, german;
};
inline expected_message same(const std::string& text) { return {text, text}; }

// The families most messages belong to, spelled out here once: `what` is
// named the same in both languages unless `what_de` is given.
inline expected_message send_failed(const std::string& what, const std::string& what_de = {}) {
    return {"Send " + what + " Failed. Please Check Connections",
            "Senden " + (what_de.empty() ? what : what_de) +
                " fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
}
inline expected_message read_failed(const std::string& what) {
    return {"Read " + what + " Failed. Please Check Connections",
            "Lesen " + what + " fehlgeschlagen. Bitte Verbindungen \xFC" "berpr\xFC" "fen"};
}
inline expected_message invalid_reply(const std::string& what, const std::string& what_de = {}) {
    return {"Invalid " + what + " Response. Please Check Firmware",
            "Ung\xFCltige " + (what_de.empty() ? what : what_de) +
                " Antwort. Bitte Firmware \xFC" "berpr\xFC" "fen"};
}
// A Bluetooth send that failed with the socket layer's `code`.
inline expected_message bt_send_failed(const std::string& what, int code,
                                       const std::string& what_de = {}) {
    const std::string error = std::to_string(code);
    return {"Send " + what + " Failed." + error,
            "Senden " + (what_de.empty() ? what : what_de) + " fehlgeschlagen." + error};
}

// What the runner puts into the message buffer before each call.
inline const expected_message earlier_message = same("earlier");
inline const expected_message no_message = same("");

using box_script = std::function<void(fake::link&)>;

// The box expects `request` and sends `reply` `after_ms` after it.
inline box_script answers(const bytes& request, const bytes& reply = {},
                          std::int64_t after_ms = 0) {
    return [=](fake::link& box) { box.expect(request).reply(reply, after_ms); };
}
// The box takes `request` and answers `reply`; the serial write after it fails.
inline box_script next_write_fails(const bytes& request, const bytes& reply = {}) {
    return [=](fake::link& box) {
        box.expect(request).reply(reply);
        fake::fail(fake::call::write_file, 2);
    };
}
// No box script; the `nth` next call of `c` fails.
inline box_script failing(fake::call c, int nth = 1, int error = 10054) {
    return [=](fake::link&) { fake::fail(c, nth, error); };
}

// One way the box behaves and what the call must make of it.
struct outcome {
    const char* what;
    box_script box;  // empty: there is no box at all
    int status;
    expected_message message;
    std::int64_t virtual_ms;
    int writes = -1;  // writes or sends the box receives; -1: not counted
};

// Whether the call gives back the port or socket the host holds between
// calls (single-shot calls and the ones that end a sequence) or keeps it.
enum class host_link { released, kept };

// Runs every row in both languages on a fresh fake platform, the box behind
// `box_link`: status, message, virtual duration, every expected byte
// received, and nothing leaked.
inline void check_outcomes(const std::vector<outcome>& rows, fake::link& (*box_link)(),
                           const std::function<int(char*, int)>& run,
                           host_link after = host_link::released) {
    for (const outcome& row : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(row.what) + (language ? " (German)" : " (English)"));
            fake::reset();
            fake::link* box = row.box ? &box_link() : nullptr;
            if (box) row.box(*box);
            exact_buffer message(wq_message_size, 'M');
            std::strcpy(message.get(), earlier_message.english.c_str());
            EXPECT_EQ(run(message.get(), language), row.status);
            EXPECT_EQ(message.str(), language ? row.message.german : row.message.english);
            EXPECT_EQ(fake::now_ms(), row.virtual_ms);
            EXPECT_TRUE(!box || box->finished()) << "the box missed bytes it expected";
            if (box && row.writes >= 0) {
                EXPECT_EQ(box->writes().size(), std::size_t(row.writes));
            }
            if (after == host_link::released) {
                expect_fake_clean();
            } else {
                const fake::record& t = fake::seen();
                EXPECT_EQ(t.ports_closed + t.sockets_closed + t.cleanups, 0)
                    << "the host's link was closed";
                for (const std::string& error : t.errors) ADD_FAILURE() << error;
            }
        }
    }
    fake::reset();
}

// check_outcomes for rows that carry more than their outcome (in `expected`):
// `run` gets the row as well.
template <class Row>
void check_rows(const std::vector<Row>& rows, fake::link& (*box_link)(),
                const std::type_identity_t<std::function<int(const Row&, char*, int)>>& run,
                host_link after = host_link::released) {
    for (const Row& row : rows) {
        check_outcomes({row.expected}, box_link,
                       [&](char* message, int language) { return run(row, message, language); },
                       after);
    }
}

// ---- serial ---------------------------------------------------------------------

inline fake::link& com1() { return fake::serial_port("COM1"); }

inline const expected_message port_not_opened = {
    "Unable Open Port. Please Check Connections",
    "Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen"};

// Opens COM1 (script it first) the way the host obtains a port it holds
// between calls.
inline int held_port() {
    char message[wq_message_size];
    int handle = -1;
    wq_ota_open_port(1, message, 0, &handle);
    return handle;
}
