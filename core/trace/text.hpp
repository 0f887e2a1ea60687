// Text helpers shared by the readers: UTF-8 validation, whitespace trimming
// and token splitting with Unicode's White_Space set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wq {

// True when [b, e) is well-formed UTF-8 (no overlong forms, no surrogates).
bool utf8_valid(const char* b, const char* e);

// The text with each ill-formed sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view text);

inline bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Byte length of the whitespace character starting at p, 0 when p holds none.
// Lines are valid UTF-8 when this is called.
inline size_t space_at(const char* p, const char* e) {
    auto c = static_cast<uint8_t>(*p);
    if (c < 0x80) return ascii_space(static_cast<char>(c)) ? 1 : 0;
    auto at = [&](size_t i) { return p + i < e ? static_cast<uint8_t>(p[i]) : 0; };
    if (c == 0xC2) return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
    if (c == 0xE1) return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        uint8_t c1 = at(1), c2 = at(2);
        if (c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) return 3;
        if (c1 == 0x81 && c2 == 0x9F) return 3;
        return 0;
    }
    if (c == 0xE3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    return 0;
}

// Byte length of the whitespace character ending just before e, 0 when none.
inline size_t space_before(const char* b, const char* e) {
    for (size_t len = 1; len <= 3 && static_cast<size_t>(e - b) >= len; ++len) {
        auto lead = static_cast<uint8_t>(e[-static_cast<ptrdiff_t>(len)]);
        if ((lead & 0xC0) == 0x80) continue;  // continuation byte: look further back
        return space_at(e - len, e) == len ? len : 0;
    }
    return 0;
}

// Removes leading and trailing whitespace; `ascii` says the text has no byte above 0x7F.
inline void trim(const char*& b, const char*& e, bool ascii) {
    if (ascii) {
        while (b < e && ascii_space(*b)) ++b;
        while (e > b && ascii_space(e[-1])) --e;
        return;
    }
    while (b < e) {
        size_t n = space_at(b, e);
        if (!n) break;
        b += n;
    }
    while (e > b) {
        size_t n = space_before(b, e);
        if (!n) break;
        e -= n;
    }
}

// The first `max_tokens` whitespace-separated tokens of [b, e).
std::vector<std::string_view> split_tokens(const char* b, const char* e, bool ascii, size_t max_tokens);

}  // namespace wq
