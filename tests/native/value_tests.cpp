// Table tests of the value model and the change-point store, for the cases
// Python cannot reach (Wide and Text values, the store's own operations).
// Prints "N passed, M failed" and exits non-zero on any failure.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/signal/store.hpp"
#include "core/trace/fst.hpp"

using namespace wq;

static int passed = 0, failed = 0;

static void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

static std::optional<uint64_t> none = std::nullopt;

int main() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    struct BinCase { const char* text; SignalValue want; };
    const BinCase bins[] = {
        {"", Missing{}}, {"b", Missing{}}, {"B0101", uint64_t{5}}, {"b10x1", Logic{{1, 0, 2, 1}}},
        {"1z", Logic{{1, 3}}}, {"1u", uint64_t{2}}, {"X-", Logic{{2, 2}}}, {"bb1", uint64_t{1}},
        {"10000000000000000000000000000000000000000000000000000000000000000", uint64_t{0}},
        {"b\xC3\xA9" "1", uint64_t{1}},           // one character, one (zero) bit
        {"z\xC3\xA9", Logic{{3, 2}}},             // a non-ASCII character is one x code
    };
    for (const auto& c : bins) check(parse_binary_str(c.text) == c.want, std::string("parse_binary_str ") + c.text);

    // FST values: x/z and the lower-case 9-state letters (and '-') make Logic;
    // upper-case H, L, U, W alone do not, and such text stays Text.
    const BinCase fst_values[] = {
        {"", Missing{}}, {"10x1", Logic{{1, 0, 2, 1}}}, {"z", Logic{{3}}}, {"0101", uint64_t{5}},
        {"Z1", Logic{{3, 1}}}, {"h", Logic{{2}}}, {"-", Logic{{2}}}, {"hello", Logic{{2, 2, 2, 2, 2}}},
        {"1010", uint64_t{10}}, {"U", Text{"U"}}, {"H", Text{"H"}}, {"UUUU", Text{"UUUU"}}, {"?", Text{"?"}},
        {"HX", Logic{{2, 2}}}, {"foo", Text{"foo"}}, {"a\xFF" "b", Text{"a\xEF\xBF\xBD" "b"}},
        {"111111110000000000000000000000000000000000000000000000000000000000000001", uint64_t{1}},
    };
    for (const auto& c : fst_values)
        check(fst::convert_value(c.text) == c.want, std::string("fst::convert_value ") + c.text);

    struct U64Case { const char* name; SignalValue value; std::optional<uint64_t> want; };
    const U64Case u64s[] = {
        {"Logic 101", Logic{{1, 0, 1}}, 5}, {"Logic 1x", Logic{{1, 2}}, none}, {"Logic empty", Logic{}, 0},
        {"Logic 70 codes", Logic{std::vector<uint8_t>(70, 1)}, UINT64_MAX},
        {"Real 3.9", 3.9, 3}, {"Real -0.5", -0.5, 0}, {"Real NaN", nan, 0}, {"Real 1e30", 1e30, UINT64_MAX},
        {"Real inf", inf, UINT64_MAX}, {"Real -inf", -inf, 0}, {"Real 2^64-2048", 18446744073709549568.0, 18446744073709549568ull},
        {"Text 42", Text{"42"}, 42}, {"Text +7", Text{"+7"}, 7}, {"Text -0", Text{"-0"}, none},
        {"Text space", Text{" 1"}, none}, {"Text 2^64", Text{"18446744073709551616"}, none},
        {"Text max", Text{"18446744073709551615"}, UINT64_MAX}, {"Text empty", Text{""}, none},
        {"Text +", Text{"+"}, none}, {"Text 0x1", Text{"0x1"}, none},
        {"Wide empty", Wide{}, none}, {"Wide 5 9", Wide{{5, 9}}, 5}, {"Missing", Missing{}, none},
        {"Int", uint64_t{77}, 77},
    };
    for (const auto& c : u64s) check(to_u64(c.value) == c.want, std::string("to_u64 ") + c.name);

    struct EqCase { const char* name; SignalValue a, b; bool want; };
    const EqCase eqs[] = {
        {"NaN", nan, nan, false}, {"Missing", Missing{}, Missing{}, true}, {"Text", Text{"ab"}, Text{"ab"}, true},
        {"Logic length", Logic{{1}}, Logic{{1, 1}}, false}, {"Int vs Logic", uint64_t{1}, Logic{{1}}, false},
        {"+0 -0", 0.0, -0.0, true}, {"Wide", Wide{{1, 2}}, Wide{{1, 2}}, true}, {"Wide length", Wide{{1}}, Wide{{1, 0}}, false},
    };
    for (const auto& c : eqs) check((c.a == c.b) == c.want, std::string("equality ") + c.name);

    // The store: values hold from their index on, Missing before and past the length.
    SignalStore store;
    store.set_length(10);
    store.record(7, 4, uint64_t{1});
    check(store.get(7, 3) == SignalValue{Missing{}} && store.get(7, 4) == SignalValue{uint64_t{1}}, "set then get");
    check(store.get(7, 9) == SignalValue{uint64_t{1}} && store.get(7, 10) == SignalValue{Missing{}}, "carried to the end only");
    check(store.get(3, 5) == SignalValue{Missing{}}, "unknown id");

    // Every variant round-trips, a rewrite at the same index replaces, and an
    // unchanged value adds no point.
    const SignalValue series[] = {uint64_t{300}, Wide{{1, 2, 3}}, Logic{{0, 1, 2, 3, 3}}, -0.0, Text{"hello"},
                                  Missing{}, uint64_t{UINT64_MAX}, nan, Logic{}, Text{""}};
    SignalStore s2;
    s2.set_length(100);
    uint32_t t = 0;
    for (const auto& v : series) {
        s2.record(0, t, uint64_t{9});  // replaced by the next write at the same index
        s2.record(0, t, v);
        t += 3;
    }
    t = 0;
    for (const auto& v : series) {
        SignalValue got = s2.get(0, t + 1);
        bool same = got.index() == v.index() &&
                    (std::holds_alternative<double>(v) ? std::memcmp(&std::get<double>(got), &std::get<double>(v), 8) == 0 : got == v);
        check(same, "round trip at " + std::to_string(t));
        t += 3;
    }
    check(s2.column(0)->size() == std::size(series), "one point per distinct value");
    s2.record(0, 40, Text{""});
    s2.record(0, 41, Missing{});
    s2.record(0, 41, Text{""});  // back to the value in force: the point at 41 goes away
    check(s2.column(0)->size() == std::size(series), "identical values add no point");
    SignalStore s3;
    s3.set_length(5);
    s3.record(1, 0, Missing{});
    check(s3.column(1) == nullptr, "Missing before any value adds no point");

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
