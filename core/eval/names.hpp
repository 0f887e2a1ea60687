// Finding signals by part of their name. Both keep the order of the trace's
// names and return them as stored.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "../trace/trace.hpp"

namespace wq {

// Lower-cases text that is not pure ASCII (Unicode's full mapping); ASCII
// text is lower-cased here. The core has no Unicode tables of its own.
using LowerCase = std::function<std::string(std::string_view)>;

// Names whose lower-cased form contains the lower-cased substring.
std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring,
                                                 const LowerCase& lower_unicode);

// Names the whole of which the pattern matches, byte by byte and
// case-sensitively: "*" any run of bytes, "?" one byte, all else itself.
std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern);

// The glob match of one name.
bool glob_match(std::string_view pattern, std::string_view name);

}  // namespace wq
