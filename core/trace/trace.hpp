// The loaded trace: the record every reader fills, and the read-only
// operations every query uses, whatever the file format was.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../signal/store.hpp"

namespace wq {

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

struct SignalInfo {
    uint64_t id;
    uint32_t width;
};

// What a reader fills. `signals` maps each full name to its id and width;
// several names may share an id (aliases) and then share one column.
struct TraceRecord {
    std::vector<std::string> names;       // full names, in the reader's order
    std::vector<std::string> scopes;      // scope paths, in the reader's order
    std::vector<uint64_t> timestamps;     // one per time index, in file order
    SignalStore store;
    StringMap<SignalInfo> signals;
    uint32_t unknown_width = 1;           // width reported for a name the trace lacks
};

// An immutable loaded trace, read concurrently by queries and worker threads.
class Trace {
public:
    explicit Trace(TraceRecord record) : r_(std::move(record)) {}

    const std::vector<std::string>& signal_names() const { return r_.names; }
    const std::vector<std::string>& scopes() const { return r_.scopes; }
    const std::vector<uint64_t>& timestamps() const { return r_.timestamps; }
    // The last time index; 0 when there are no time stamps.
    uint64_t max_index() const { return r_.timestamps.empty() ? 0 : r_.timestamps.size() - 1; }
    // The time stamp at `index`; 0 past the end.
    uint64_t timestamp(uint64_t index) const {
        return index < r_.timestamps.size() ? r_.timestamps[index] : 0;
    }
    std::optional<uint64_t> signal_id(std::string_view name) const {
        auto it = r_.signals.find(name);
        if (it == r_.signals.end()) return std::nullopt;
        return it->second.id;
    }
    uint32_t signal_width(std::string_view name) const {
        auto it = r_.signals.find(name);
        return it == r_.signals.end() ? r_.unknown_width : it->second.width;
    }
    SignalValue signal_value_by_id(uint64_t id, uint64_t index) const { return r_.store.get(id, index); }
    // Missing for an unknown name.
    SignalValue signal_value(std::string_view name, uint64_t index) const {
        auto id = signal_id(name);
        return id ? r_.store.get(*id, index) : SignalValue{Missing{}};
    }
    // One value per index in [start, end); empty when end <= start.
    std::vector<SignalValue> signal_values_range(std::string_view name, uint64_t start, uint64_t end) const;
    const SignalStore& store() const { return r_.store; }

private:
    TraceRecord r_;
};

// A reader's outcome: a trace, or the text of what went wrong.
struct LoadResult {
    std::shared_ptr<const Trace> trace;
    std::string error;
};

inline LoadResult loaded(TraceRecord record) {
    record.store.shrink();
    return {std::make_shared<const Trace>(std::move(record)), {}};
}
inline LoadResult load_error(std::string text) { return {nullptr, std::move(text)}; }

// "<what> <path>: <system description> (os error N)"
std::string os_error(std::string_view what, std::string_view path, int err);

}  // namespace wq
