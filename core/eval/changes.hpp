// Change tracking: which signals changed at one time index, and every
// change of one signal. Values compare by SignalValue equality, so a change
// of variant counts (Int 5 to Real 5.0), Missing to Missing does not, and a
// Real NaN followed by NaN does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../trace/trace.hpp"

namespace wq {

struct ChangeRecord {
    std::string name;
    SignalValue old_value, new_value;
};

struct Transition {
    uint64_t index;
    SignalValue old_value, new_value;
};

// Signals whose value at `index` differs from the one at index - 1, in the
// order of the trace's names (empty at index 0). The names are spread over
// the oneTBB pool; the result order does not depend on it.
std::vector<ChangeRecord> changed_at(const Trace& trace, uint64_t index);
// The same for the names that begin with `scope` followed by ".".
std::vector<ChangeRecord> changed_at_scope(const Trace& trace, uint64_t index, std::string_view scope);

// Every index i >= 1 at which `name` differs from index i - 1, ascending.
// Walks the signal's change points, not every index.
std::vector<Transition> transitions(const Trace& trace, std::string_view name);

}  // namespace wq
