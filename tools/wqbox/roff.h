// Text as the man page formatter takes it, for the man pages the programs
// write of themselves: backslashes and hyphens escaped, and a line that
// starts with a dot or a quote kept from being read as a request.
#pragma once

#include <string>
#include <string_view>

namespace wqbox {

inline std::string roff(std::string_view text) {
    std::string out;
    bool line_start = true;
    for (const char c : text) {
        if (line_start && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        line_start = c == '\n';
    }
    return out;
}

}  // namespace wqbox
