// Summary counters of one signal over every time index of a trace.
#pragma once

#include <cstdint>
#include <string_view>

#include "../trace/trace.hpp"

namespace wq {

struct SignalStats {
    uint64_t min = 0, max = 0, sum = 0;  // over Int values; sum modulo 2^64
    uint64_t count = 0;                  // indices holding an Int
    uint64_t transitions = 0;            // indices i >= 1 whose value differs from i - 1's
    uint64_t num_x = 0;                  // x codes of Logic values, plus one per Missing index
    uint64_t num_z = 0;                  // z codes of Logic values
};

// Walks the signal's runs of equal stored values, adding each run's length
// at once. All zeros for a name the trace does not have.
SignalStats compute_stats(const Trace& trace, std::string_view name);

}  // namespace wq
