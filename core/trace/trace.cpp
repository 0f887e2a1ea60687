#include "trace.hpp"

#include <cstring>

namespace wq {

std::vector<SignalValue> Trace::signal_values_range(std::string_view name, uint64_t start, uint64_t end) const {
    std::vector<SignalValue> out;
    if (end <= start) return out;
    auto id = signal_id(name);
    out.reserve(static_cast<size_t>(end - start));
    for (uint64_t i = start; i < end; ++i)
        out.push_back(id ? r_.store.get(*id, i) : SignalValue{Missing{}});
    return out;
}

std::string os_error(std::string_view what, std::string_view path, int err) {
    std::string text(what);
    text += ' ';
    text += path;
    text += ": ";
    text += std::strerror(err);
    text += " (os error " + std::to_string(err) + ")";
    return text;
}

}  // namespace wq
