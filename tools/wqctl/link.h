// Resolving the link option of a command line to the box it names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli.h"
#include "report.h"

namespace wqctl {

// The emulated box's Bluetooth address when --sim is given without --bt.
constexpr BTH_ADDR sim_bt_address = 0x0011223344AA;  // 00:11:22:33:44:AA
// ... and its name when --sim is given without --name.
constexpr const char* sim_bt_name = "WQ Box";
// --device reaches its device as this COM port of a directory of its own.
constexpr int device_port = 1;

// The link options make sense for `line`'s command (the parser has seen to
// it that they make sense together); else a usage error. Checked before
// anything starts.
std::optional<report> check_link_options(const command_line& line);

// Fills `target` from --port, --device, --bt or --name as `call`'s command
// needs; with --sim and none of them, the emulated box. A usage error, or
// the failed connect check of --name, comes back as a report.
std::optional<report> resolve_link(const command_line& line, const invocation& call, link* target);

}  // namespace wqctl
