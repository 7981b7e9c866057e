// The commands of wqctl: their names, help, options and handlers.
#pragma once

#include <vector>

#include "invocation.h"

namespace CLI {
class Validator;
}

namespace wqctl {

const std::vector<command_spec>& commands();

// A check for an option that takes a whole decimal number in [low, high]. It
// hands the number on as plain decimal, for CLI11's own conversion reads a
// leading 0 as octal.
CLI::Validator number_in(long long low, long long high);

}  // namespace wqctl
