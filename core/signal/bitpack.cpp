#include "bitpack.hpp"

namespace wq {

std::vector<uint8_t> logic_codes(const char* begin, const char* end) {
    std::vector<uint8_t> codes;
    codes.reserve(static_cast<size_t>(end - begin));
    for (const char* p = begin; p < end; ++p) {
        switch (kDigitClasses[static_cast<uint8_t>(*p)]) {
            case kDigit0: codes.push_back(kLogic0); break;
            case kDigit1: codes.push_back(kLogic1); break;
            case kDigitZ: codes.push_back(kLogicZ); break;
            case kDigitCont: break;
            default: codes.push_back(kLogicX); break;
        }
    }
    return codes;
}

SignalValue pack_binary_digits(const char* begin, const char* end) {
    if (auto bits = pack_2state_digits(begin, end)) return *bits;
    return Logic{logic_codes(begin, end)};
}

std::optional<uint64_t> logic_to_u64(const std::vector<uint8_t>& codes) {
    size_t first = codes.size() > 64 ? codes.size() - 64 : 0;
    for (uint8_t c : codes)
        if (c >= kLogicX) return std::nullopt;
    uint64_t bits = 0;
    for (size_t i = first; i < codes.size(); ++i) bits = (bits << 1) | codes[i];
    return bits;
}

}  // namespace wq
