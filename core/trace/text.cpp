#include "text.hpp"

namespace wq {

namespace {

// Bytes of the well-formed UTF-8 sequence at p, or, as a negative number,
// how many bytes form the longest start of one that breaks off (at least 1).
// No overlong forms, surrogates or code points above U+10FFFF.
ptrdiff_t utf8_sequence(const uint8_t* p, const uint8_t* end) {
    uint8_t c = *p;
    if (c < 0x80) return 1;
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
        return -1;
    }
    size_t i = 1;
    for (; i < n && p + i < end; ++i) {
        uint8_t min = i == 1 ? lo : 0x80, max = i == 1 ? hi : 0xBF;
        if (p[i] < min || p[i] > max) break;
    }
    return i == n ? static_cast<ptrdiff_t>(n) : -static_cast<ptrdiff_t>(i);
}

}  // namespace

bool utf8_valid(const char* b, const char* e) {
    const auto* p = reinterpret_cast<const uint8_t*>(b);
    const auto* end = reinterpret_cast<const uint8_t*>(e);
    while (p < end) {
        ptrdiff_t n = utf8_sequence(p, end);
        if (n < 0) return false;
        p += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const auto* end = p + text.size();
    std::string out;
    out.reserve(text.size());
    while (p < end) {
        ptrdiff_t n = utf8_sequence(p, end);
        if (n > 0) {
            out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
            p += n;
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
            p += -n;
        }
    }
    return out;
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
