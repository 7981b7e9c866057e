// The settings calls as a host makes them over either link: a write's
// arguments, "nothing selected" unless a test says otherwise, and a read's
// outputs, each exactly as large as the header documents.
#pragma once

#include <string>
#include <vector>

#include "exact_buffer.h"
#include "wq.h"

// The library reads up to 16 bytes of the first two addresses and all 15 of the third.
inline constexpr char no_address[16] = {};

struct write_args {
    const char *text_1 = "T1", *text_2 = "T2", *text_3 = "T3", *text_4 = "T4";
    const char *number = "12", *choice_number = "0";
    const char *text_5 = "T5", *text_6 = "T6", *text_7 = "T7", *text_8 = "T8";
    const char *address_1 = no_address, *address_2 = no_address, *address_3 = no_address;
    unsigned int choice = 7;  // outside 0..4: no choice
    int choice_byte = 0;
    int mode = 0;
    unsigned int fields = 0;
    int layout = 0;  // 1: the short serial record, the safe Bluetooth layout

    int write_serial(int port, char* message, int language = 0) const {
        return wq_write_settings(port, text_1, text_2, text_3, text_4, number, choice_number,
                                 text_5, text_6, text_7, text_8, message, choice, choice_byte,
                                 mode, layout, fields, language);
    }
    int write_bt(BTH_ADDR box, char* message, int language = 0) const {
        return wq_bt_write_settings(box, text_1, text_2, text_3, text_4, number, choice_number,
                                    text_5, text_6, text_7, text_8, address_1, address_2,
                                    address_3, message, choice,
                                    static_cast<unsigned char>(choice_byte), mode, fields, layout,
                                    language);
    }
};

struct read_outputs {
    exact_buffer text_1{32}, text_2{32}, text_3{32}, text_4{64}, number{12}, choice_number{6},
        text_5{32}, text_6{32}, text_7{48}, text_8{32}, mode{12}, address_1{15, 0},
        address_2{15, 0}, address_3{15, 0};

    int read_serial(int port, char* message, int layout, int language = 0) {
        return wq_read_settings(port, text_1.get(), text_2.get(), text_3.get(), text_4.get(),
                                number.get(), choice_number.get(), text_5.get(), text_6.get(),
                                text_7.get(), text_8.get(), mode.get(), message, layout, language);
    }
    int read_bt(BTH_ADDR box, char* message, int layout, int language = 0) {
        return wq_bt_read_settings(box, text_1.get(), text_2.get(), text_3.get(), text_4.get(),
                                   number.get(), choice_number.get(), text_5.get(), text_6.get(),
                                   text_7.get(), text_8.get(), mode.get(), address_1.get(),
                                   address_2.get(), address_3.get(), message, layout, language);
    }
    // All fourteen, in the calls' parameter order.
    std::vector<std::string> texts() const {
        return {text_1.str(), text_2.str(), text_3.str(), text_4.str(), number.str(),
                choice_number.str(), text_5.str(), text_6.str(), text_7.str(), text_8.str(),
                mode.str(), address_1.str(), address_2.str(), address_3.str()};
    }
};
