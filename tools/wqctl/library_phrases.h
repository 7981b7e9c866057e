// The failures wqctl explains, each known by phrases of the messages the
// library writes, in either language. One table, so that a test can hold
// every phrase against the library's own texts.
#pragma once

#include <string_view>

namespace wqctl {

enum class failure {
    port_not_opened,    // a serial operation cannot open its COM port
    record_incomplete,  // a serial settings read got less than its record
    in_use,             // the box refused because it is in use, or another program holds its channel
    name_not_found,     // the Bluetooth name was not found, or the name service failed
    box_verdict,        // the box answered with a word it should not have: it did answer
};

struct phrase {
    failure meaning;
    const char* text;  // Latin-1, as the library writes it
};

inline constexpr phrase library_phrases[] = {
    {failure::port_not_opened, "Unable Open Port"},
    {failure::port_not_opened, "Port konnte nicht ge\xF6" "ffnet werden"},
    {failure::record_incomplete, "Error Occured While Reading Settings"},
    {failure::record_incomplete, "Fehler beim Lesen der Einstellungen"},
    {failure::in_use, "Reason: in"},  // "in use." and "in-use."
    {failure::in_use, "Grund: In Gebrauch"},
    {failure::in_use, "Grund: im Einsatz"},
    {failure::in_use, "Socket Call Failed: 10048"},  // the channel is taken
    {failure::name_not_found, "Device cannot be found"},
    {failure::name_not_found, "Ger\xE4t kann nicht gefunden werden"},
    {failure::name_not_found, "Lookup Service"},
    {failure::box_verdict, "Invalid"},
    {failure::box_verdict, "Ung\xFCltig"},
};

// Whether `message` says `meaning`.
inline bool says(std::string_view message, failure meaning) {
    for (const phrase& p : library_phrases) {
        if (p.meaning == meaning && message.find(p.text) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace wqctl
