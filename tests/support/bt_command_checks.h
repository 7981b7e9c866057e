// Checks shared by the tests of the Bluetooth commands that open their own
// connection.
#pragma once

#include <cstring>
#include <functional>
#include <string>

#include "bt_fake_box.h"

// Runs `body` once per language flag on a fresh fake platform, traced as
// `what`, and checks afterwards that the script was kept and that nothing
// obtained was left open.
inline void in_each_language(const std::string& what, const std::function<void(int)>& body) {
    for (int language : {0, 1}) {
        SCOPED_TRACE(what + (language ? " (de)" : " (en)"));
        fake::reset();
        body(language);
        EXPECT_TRUE(fake::balanced()) << "a socket, heap block or start-up leaked";
        for (const std::string& error : fake::errors()) ADD_FAILURE() << error;
    }
    fake::reset();
}

// A host variable of exactly sizeof(T) bytes on the heap, so that ASan
// reports a write past it.
template <class T>
struct exact_value {
    explicit exact_value(T initial) : buffer(sizeof(T)) {
        std::memcpy(buffer.get(), &initial, sizeof(T));
    }
    T* get() { return reinterpret_cast<T*>(buffer.get()); }
    T value() const {
        T read;
        std::memcpy(&read, buffer.bytes.get(), sizeof(T));
        return read;
    }
    exact_buffer buffer;
};

// One exported command, called with the message buffer and language flag.
struct bt_command_call {
    const char* name;
    std::function<int(char* message, int language)> run;
};

// Every way the command's own connection can fail: status 1, the link's
// message, nothing sent, and the socket layer ended only if it started.
inline void expect_connection_failures(const bt_command_call& command) {
    struct row {
        const char* what;
        fake::call failing;
        int nth;
        int error;
        const char* message;
        int cleanups;
    };
    const row rows[] = {
        {"layer does not start", fake::call::wsa_startup, 1, 10091, "Winsock 2.2 opening error!", 0},
        {"no socket", fake::call::socket_open, 1, 10024, "Socket Call Failed", 1},
        {"box out of range", fake::call::connect, 1, 10060, "Socket Call Failed: 10060", 1},
        {"option refused", fake::call::set_socket_option, 2, 10055,
         "Set Socket Option SO_SNDBUF Failed: 10055", 1},
    };
    for (const row& r : rows) {
        in_each_language(std::string(command.name) + ": " + r.what, [&](int language) {
            fake::bt_box(test_box_address);
            fake::fail(r.failing, r.nth, r.error);
            exact_buffer message(wq_message_size, 'M');
            EXPECT_EQ(command.run(message.get(), language), wq_status_fail);
            EXPECT_EQ(message.str(), r.message);
            EXPECT_EQ(fake::calls(fake::call::send), 0);
            EXPECT_EQ(fake::counts().cleanups, r.cleanups);
        });
    }
}
