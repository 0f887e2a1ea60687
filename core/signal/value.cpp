#include "value.hpp"

#include "bitpack.hpp"

namespace wq {

std::optional<uint64_t> parse_u64(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

static uint64_t real_to_u64(double d) {
    // Saturating truncation toward zero; NaN and everything not above zero give 0.
    if (!(d > 0.0)) return 0;
    if (d >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(d);
}

std::optional<uint64_t> to_u64(const SignalValue& value) {
    switch (tag_of(value)) {
        case kInt:
            return std::get<uint64_t>(value);
        case kWide: {
            const auto& words = std::get<Wide>(value).words;
            if (words.empty()) return std::nullopt;
            return words[0];
        }
        case kLogic:
            return logic_to_u64(std::get<Logic>(value).codes);
        case kReal:
            return real_to_u64(std::get<double>(value));
        case kText:
            return parse_u64(std::get<Text>(value).text);
        case kMissing:
            return std::nullopt;
    }
    return std::nullopt;
}

SignalValue parse_binary_str(std::string_view text) {
    if (!text.empty() && (text.front() == 'b' || text.front() == 'B')) text.remove_prefix(1);
    if (text.empty()) return Missing{};
    return pack_binary_digits(text.data(), text.data() + text.size());
}

}  // namespace wq
