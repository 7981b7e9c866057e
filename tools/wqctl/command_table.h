// The commands of wqctl: their names, help, options and handlers.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "invocation.h"

namespace CLI {
class Validator;
}

namespace wqctl {

const std::vector<command_spec>& commands();

// A check of an option's value: `fits` says whether the text will do, and
// may put it in plain form for CLI11's conversion; if not, the option is
// refused with `why`.
CLI::Validator value_check(std::string why, std::function<bool(std::string& text)> fits);
// A whole decimal number in [low, high], handed on as plain decimal, for
// CLI11's own conversion reads a leading 0 as octal.
CLI::Validator number_in(long long low, long long high);

}  // namespace wqctl
