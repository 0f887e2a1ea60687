#include "scope.hpp"

#include <unordered_set>

namespace wq {

namespace {

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

}  // namespace

std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope) {
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;  // keeps the duplicate test linear
    std::string prefix(scope);
    prefix += '.';
    for (const std::string& path : trace.scopes()) {
        std::string child;
        if (scope.empty()) {
            if (path.find('.') != std::string::npos) continue;
            child = path;
        } else {
            if (!starts_with(path, prefix)) continue;
            std::string_view rest = std::string_view(path).substr(prefix.size());
            child = prefix + std::string(rest.substr(0, rest.find('.')));
        }
        if (seen.insert(child).second) out.push_back(std::move(child));
    }
    return out;
}

std::vector<std::string> local_signals(const Trace& trace, std::string_view scope) {
    std::vector<std::string> out;
    std::string prefix(scope);
    if (!scope.empty()) prefix += '.';
    for (const std::string& name : trace.signal_names())
        if (starts_with(name, prefix) && name.find('.', prefix.size()) == std::string::npos) out.push_back(name);
    return out;
}

std::optional<std::string> resolve(const Trace& trace, std::string_view scope, std::string_view short_name) {
    std::string candidate(scope);
    if (!scope.empty()) candidate += '.';
    candidate += short_name;
    if (trace.signal_id(candidate)) return candidate;
    std::string dotted(1, '.');
    dotted += short_name;
    for (const std::string& name : trace.signal_names()) {
        std::string_view n = name;
        bool named = n == short_name || (n.size() >= dotted.size() && n.substr(n.size() - dotted.size()) == dotted);
        if (named && starts_with(n, scope)) return name;
    }
    return std::nullopt;
}

}  // namespace wq
