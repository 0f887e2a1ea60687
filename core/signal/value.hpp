// SignalValue: the value of one signal at one time index, and the free
// functions every reader and query shares over it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wq {

// Codes of one 4-state bit. Every character other than 0, 1, z and Z reads as x.
enum : uint8_t { kLogic0 = 0, kLogic1 = 1, kLogicX = 2, kLogicZ = 3 };

// 2-state value wider than 64 bits; words[0] holds the least significant bits.
struct Wide {
    std::vector<uint64_t> words;
    bool operator==(const Wide&) const = default;
};

// 4-state value, one code per bit, most significant bit first.
struct Logic {
    std::vector<uint8_t> codes;
    bool operator==(const Logic&) const = default;
};

// String value, or a value kept verbatim.
struct Text {
    std::string text;
    bool operator==(const Text&) const = default;
};

// No value: unknown, never given, or past the recorded values.
struct Missing {
    bool operator==(const Missing&) const = default;
};

// The variant index is the value's tag: Int, Wide, Logic, Real, Text, Missing.
// std::variant's == compares tag, then content; for Real that is IEEE
// comparison, so NaN is unequal to itself and +0.0 equals -0.0.
using SignalValue = std::variant<uint64_t, Wide, Logic, double, Text, Missing>;

enum ValueTag : uint8_t { kInt = 0, kWide = 1, kLogic = 2, kReal = 3, kText = 4, kMissing = 5 };

inline ValueTag tag_of(const SignalValue& v) { return static_cast<ValueTag>(v.index()); }

// The value as an unsigned 64-bit number, or nothing when it has none
// (x or z bits, Missing, a Text that is not a plain decimal number).
std::optional<uint64_t> to_u64(const SignalValue& value);

// Packs the digits of a VCD vector change ("b0101", "10x1", ...) into a value:
// Logic when any digit is x or z, otherwise Int of the last 64 digits.
SignalValue parse_binary_str(std::string_view text);

// Reads an unsigned decimal number with an optional single leading '+';
// nothing for any other text or on overflow.
std::optional<uint64_t> parse_u64(std::string_view text);

}  // namespace wq
