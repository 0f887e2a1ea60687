#include "text.hpp"

namespace wq {

bool utf8_valid(const char* b, const char* e) {
    const auto* p = reinterpret_cast<const uint8_t*>(b);
    const auto* end = reinterpret_cast<const uint8_t*>(e);
    while (p < end) {
        uint8_t c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t n;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) < n) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (size_t i = 2; i < n; ++i)
            if ((p[i] & 0xC0) != 0x80) return false;
        p += n;
    }
    return true;
}

std::vector<std::string_view> split_tokens(const char* b, const char* e, bool ascii, size_t max_tokens) {
    std::vector<std::string_view> tokens;
    auto space = [&](const char* p) -> size_t { return ascii ? (ascii_space(*p) ? 1 : 0) : space_at(p, e); };
    const char* p = b;
    while (p < e && tokens.size() < max_tokens) {
        while (p < e) {
            size_t n = space(p);
            if (!n) break;
            p += n;
        }
        if (p == e) break;
        const char* start = p;
        while (p < e && !space(p)) ++p;
        tokens.emplace_back(start, static_cast<size_t>(p - start));
    }
    return tokens;
}

}  // namespace wq
