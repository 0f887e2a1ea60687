#include "stats.hpp"

#include <algorithm>
#include <cmath>

namespace wq {

SignalStats compute_stats(const Trace& trace, std::string_view name) {
    SignalStats s;
    auto id = trace.signal_id(name);
    if (!id) return s;
    uint64_t lowest = UINT64_MAX;
    bool first = true;
    SignalValue before;
    trace.store().for_each_run(*id, trace.max_index() + 1, [&](uint64_t begin, uint64_t end, const SignalValue& v) {
        uint64_t len = end - begin;
        switch (tag_of(v)) {
            case kInt: {
                uint64_t n = std::get<uint64_t>(v);
                s.count += len;
                s.sum += n * len;  // modulo 2^64, as len additions would be
                lowest = std::min(lowest, n);
                s.max = std::max(s.max, n);
                break;
            }
            case kLogic:
                for (uint8_t c : std::get<Logic>(v).codes) {
                    s.num_x += c == kLogicX ? len : 0;
                    s.num_z += c == kLogicZ ? len : 0;
                }
                break;
            case kMissing:
                s.num_x += len;
                break;
            default:
                break;
        }
        if (!first && !(before == v)) ++s.transitions;
        // A run of NaN differs from itself at every step.
        if (tag_of(v) == kReal && std::isnan(std::get<double>(v))) s.transitions += len - 1;
        before = v;
        first = false;
    });
    s.min = s.count ? lowest : 0;
    return s;
}

}  // namespace wq
