// What the serial command tests share: an operation's outcomes as a table,
// each row run in both languages on the fake platform.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_fixture.h"
#include "wq.h"

struct both_texts {
    const char* english;
    const char* german;
};

inline constexpr both_texts no_message = {"", ""};
inline constexpr both_texts port_not_opened = {
    "Unable Open Port. Please Check Connections",
    "Port konnte nicht ge\xF6" "ffnet werden. Verbindungen \xFC" "berpr\xFC" "fen"};

inline std::string in_language(const both_texts& text, int language) {
    return language != 0 ? text.german : text.english;
}

// Opens COM1 (script it first) the way the host obtains a port it holds
// between calls.
inline int held_port() {
    char message[128];
    int handle = -1;
    wq_ota_open_port(1, message, 0, &handle);
    return handle;
}

struct outcome {
    const char* what;
    std::function<void(fake::link&)> box;  // COM1's script; empty: there is no COM1
    int status;
    both_texts message;
    std::int64_t virtual_ms;
};

// What the call leaves of the port: single-shot calls and the call that
// ends a sequence close it, the others leave it open for the next call.
enum class port_after { closed, open };

inline void check_outcomes(const std::vector<outcome>& rows, port_after after,
                           const std::function<int(char* message, int language)>& run) {
    for (const outcome& row : rows) {
        for (int language : {0, 1}) {
            SCOPED_TRACE(std::string(row.what) + (language ? " (German)" : " (English)"));
            fake::reset();
            if (row.box) row.box(fake::serial_port("COM1"));
            exact_buffer message(128);
            EXPECT_EQ(run(message.get(), language), row.status);
            EXPECT_EQ(message.str(), in_language(row.message, language));
            EXPECT_EQ(fake::now_ms(), row.virtual_ms);
            const fake::tally t = fake::counts();
            EXPECT_EQ(t.ports_closed, after == port_after::closed ? t.ports_opened : 0);
            for (const std::string& error : fake::errors()) ADD_FAILURE() << error;
            fake::reset();
        }
    }
}
