// Resolving the link option of a command line to the box it names.
#pragma once

#include <optional>
#include <string_view>

#include "cli.h"
#include "report.h"

namespace wqctl {

// The emulated box's Bluetooth address when --sim is given without --bt.
constexpr const char* sim_bt_address = "00:11:22:33:44:AA";

// A COM port number, 1 to 15.
bool parse_port(std::string_view text, int* port);

// Fills `target` from --port, --bt or --name as `call`'s command needs; with
// --sim and none of them, the emulated box. A usage error, or the failed
// connect check of --name, comes back as a report.
std::optional<report> resolve_link(const command_line& line, const invocation& call, link* target);

}  // namespace wqctl
