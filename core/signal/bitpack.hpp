// Packing of binary digit strings and 4-state code lists into integers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "value.hpp"

namespace wq {

// Class of each byte inside a digit string. A UTF-8 continuation byte belongs
// to the character before it, so it neither shifts nor sets a bit.
enum DigitClass : uint8_t { kDigit0, kDigit1, kDigitX, kDigitZ, kDigitOther, kDigitCont };

constexpr std::array<uint8_t, 256> make_digit_classes() {
    std::array<uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = kDigitOther;
    for (int c = 0x80; c < 0xC0; ++c) t[c] = kDigitCont;
    t['0'] = kDigit0;
    t['1'] = kDigit1;
    t['x'] = t['X'] = kDigitX;
    t['z'] = t['Z'] = kDigitZ;
    return t;
}
inline constexpr std::array<uint8_t, 256> kDigitClasses = make_digit_classes();

// Digits packed as a 2-state number: '1' sets a bit, every other character is
// 0, and bits above 63 fall off. Nothing when a digit is x or z.
inline std::optional<uint64_t> pack_2state_digits(const char* begin, const char* end) {
    uint64_t bits = 0;
    bool has_xz = false;
    for (const char* p = begin; p < end; ++p) {
        uint8_t cls = kDigitClasses[static_cast<uint8_t>(*p)];
        if (cls == kDigitCont) continue;
        bits = (bits << 1) | (cls == kDigit1);
        has_xz |= (cls == kDigitX) | (cls == kDigitZ);
    }
    if (has_xz) return std::nullopt;
    return bits;
}

// One Logic code per character of the digit string.
std::vector<uint8_t> logic_codes(const char* begin, const char* end);

// Int when no digit is x or z, Logic otherwise.
SignalValue pack_binary_digits(const char* begin, const char* end);

// Logic codes as a number (last code is bit 0, at most 64 codes); nothing
// when any code is x or z; 0 for no codes.
std::optional<uint64_t> logic_to_u64(const std::vector<uint8_t>& codes);

}  // namespace wq
