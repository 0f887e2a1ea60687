// Hierarchy navigation over the flat, "."-separated scope paths and signal
// names of a trace. The empty scope name stands for the top level. Results
// keep the order in which the trace lists its scopes or names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../trace/trace.hpp"

namespace wq {

// The direct child scopes of `scope`, each once, in order of first
// appearance. A child is found through deeper paths too (top.a.b alone makes
// top.a a child of top); at the top level only paths without "." count.
std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope);

// The names directly inside `scope` (no further "." after its prefix).
std::vector<std::string> local_signals(const Trace& trace, std::string_view scope);

// scope + "." + short_name when the trace has it; else the first name that is
// short_name or ends in "." + short_name and begins with `scope` as a plain
// prefix (so top also admits names under topx); else nothing.
std::optional<std::string> resolve(const Trace& trace, std::string_view scope, std::string_view short_name);

}  // namespace wq
