#include "names.hpp"

#include <algorithm>

namespace wq {

namespace {

bool ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string lower(std::string_view s, const LowerCase& lower_unicode) {
    if (!ascii(s)) return lower_unicode(s);
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring,
                                                 const LowerCase& lower_unicode) {
    std::string needle = lower(substring, lower_unicode);
    std::vector<std::string> out;
    for (const std::string& name : trace.signal_names())
        if (lower(name, lower_unicode).find(needle) != std::string::npos) out.push_back(name);
    return out;
}

bool glob_match(std::string_view p, std::string_view t) {
    size_t i = 0, j = 0, star = std::string_view::npos, mark = 0;
    while (j < t.size()) {
        if (i < p.size() && (p[i] == '?' || p[i] == t[j])) {
            ++i;
            ++j;
        } else if (i < p.size() && p[i] == '*') {
            star = i++;
            mark = j;
        } else if (star != std::string_view::npos) {
            j = ++mark;
            i = star + 1;
        } else {
            return false;
        }
    }
    while (i < p.size() && p[i] == '*') ++i;
    return i == p.size();
}

std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern) {
    std::vector<std::string> out;
    for (const std::string& name : trace.signal_names())
        if (glob_match(pattern, name)) out.push_back(name);
    return out;
}

}  // namespace wq
