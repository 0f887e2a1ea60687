#include "changes.hpp"

#include <cmath>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

namespace wq {

namespace {

bool is_nan(const SignalValue& v) { return tag_of(v) == kReal && std::isnan(std::get<double>(v)); }

// Names per task: enough to outweigh scheduling, small enough to balance.
constexpr size_t kNamesPerTask = 512;

std::vector<ChangeRecord> changes_among(const Trace& trace, uint64_t index, std::string_view prefix, bool scoped) {
    if (index == 0) return {};
    const auto& names = trace.signal_names();
    using Range = tbb::blocked_range<size_t>;
    // parallel_reduce joins neighbouring ranges left to right, keeping name order.
    return tbb::parallel_reduce(
        Range(0, names.size(), kNamesPerTask), std::vector<ChangeRecord>{},
        [&](const Range& r, std::vector<ChangeRecord> found) {
            for (size_t i = r.begin(); i < r.end(); ++i) {
                const std::string& name = names[i];
                if (scoped && name.compare(0, prefix.size(), prefix) != 0) continue;
                auto id = trace.signal_id(name);
                if (!id) continue;
                SignalValue before = trace.signal_value_by_id(*id, index - 1);
                SignalValue now = trace.signal_value_by_id(*id, index);
                if (!(before == now)) found.push_back({name, std::move(before), std::move(now)});
            }
            return found;
        },
        [](std::vector<ChangeRecord> left, std::vector<ChangeRecord> right) {
            if (left.empty()) return right;
            left.insert(left.end(), std::make_move_iterator(right.begin()), std::make_move_iterator(right.end()));
            return left;
        });
}

}  // namespace

std::vector<ChangeRecord> changed_at(const Trace& trace, uint64_t index) {
    return changes_among(trace, index, {}, false);
}

std::vector<ChangeRecord> changed_at_scope(const Trace& trace, uint64_t index, std::string_view scope) {
    std::string prefix(scope);
    prefix += '.';
    return changes_among(trace, index, prefix, true);
}

std::vector<Transition> transitions(const Trace& trace, std::string_view name) {
    std::vector<Transition> out;
    auto id = trace.signal_id(name);
    uint64_t last = trace.max_index();
    if (!id || last == 0) return out;
    bool first = true;
    SignalValue before;
    trace.store().for_each_run(*id, last + 1, [&](uint64_t begin, uint64_t end, const SignalValue& v) {
        if (!first && !(before == v)) out.push_back({begin, before, v});
        // Inside a run of NaN every index differs from the one before it.
        if (is_nan(v))
            for (uint64_t i = begin + 1; i < end; ++i) out.push_back({i, v, v});
        before = v;
        first = false;
    });
    return out;
}

}  // namespace wq
