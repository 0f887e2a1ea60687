#include "int_batch.hpp"

#include <algorithm>
#include <cstring>

namespace wq {

namespace {

// Scratch memory one evaluator may use for its stack of arrays; a deeper
// stack means smaller batches, never more memory.
constexpr size_t kScratchBytes = size_t{4} << 20;
constexpr size_t kMaxBatch = size_t{1} << 14;

// Most value arrays alive at once while the post-order walk runs.
size_t stack_depth(const Expr& expr) {
    size_t depth = 0, most = 0;
    for (const ExprNode& node : expr.nodes) {
        depth = depth + 1 - static_cast<size_t>(child_count(node.kind));
        most = std::max(most, depth);
    }
    return most;
}

// Positions [k0, k1) of the ascending points whose p + shift lies in
// [0, limit); the others read as Missing.
std::pair<size_t, size_t> in_range(const uint64_t* points, size_t n, __int128 shift, __int128 limit) {
    auto first_at_least = [&](__int128 bound) -> size_t {
        if (bound <= 0) return 0;
        if (bound > static_cast<__int128>(UINT64_MAX)) return n;
        return static_cast<size_t>(std::lower_bound(points, points + n, static_cast<uint64_t>(bound)) - points);
    };
    size_t k0 = first_at_least(-shift);
    return {k0, std::max(k0, first_at_least(limit - shift))};
}

// Reads a column at points[k] + shift for k in [k0, k1): the last point at or
// before each position, Missing before the first one. Returns whether any
// position was Missing.
template <class Word>
bool gather(const Column& c, const uint64_t* __restrict points, size_t k0, size_t k1, uint64_t shift,
            uint64_t* __restrict val, uint8_t* __restrict miss) {
    const uint32_t* times = c.times.data();
    const uint8_t* words = c.words.data();
    size_t n = c.size();
    size_t next = c.points_through(points[k0] + shift);
    bool missing = next == 0;
    for (size_t k = k0; k < k1; ++k) {
        uint64_t at = points[k] + shift;
        // When the points hold every change of this column, as the searches'
        // do, the column moves at most one point per step: take that step
        // without a branch, which random changes would mispredict.
        next += next < n && times[next] <= at;
        while (next < n && times[next] <= at) ++next;
        Word w = 0;
        if (next) std::memcpy(&w, words + (next - 1) * sizeof(Word), sizeof(Word));
        val[k] = w;
        miss[k] = next == 0;
    }
    return missing;
}

// The same for consecutive points (every index of a chunk): walks the
// column's points instead, filling the run of positions each one covers.
template <class Word>
bool fill_runs(const Column& c, uint64_t first, size_t k0, size_t k1, uint64_t* __restrict val,
               uint8_t* __restrict miss) {
    const uint32_t* times = c.times.data();
    const uint8_t* words = c.words.data();
    size_t n = c.size();
    size_t j = c.points_through(first);  // points at or before position `first`
    size_t len = k1 - k0;
    if (j && times[j - 1] == first && j - 1 + len <= n && times[j - 2 + len] == first + len - 1) {
        // A change at every position (times ascend strictly): copy the words.
        for (size_t i = 0; i < len; ++i) {
            Word w;
            std::memcpy(&w, words + (j - 1 + i) * sizeof(Word), sizeof(Word));
            val[k0 + i] = w;
        }
        return false;
    }
    size_t k = k0;
    bool missing = j == 0;
    if (missing) {  // before the first point
        size_t end = static_cast<size_t>(std::min<uint64_t>(k1 - k0, times[0] - first)) + k0;
        std::fill(miss + k0, miss + end, 1);
        std::fill(miss + end, miss + k1, 0);
        k = end;
        j = 1;
    }
    for (; k < k1; ++j) {
        size_t end = j < n ? static_cast<size_t>(std::min<uint64_t>(k1 - k0, times[j] - first)) + k0 : k1;
        Word w;
        std::memcpy(&w, words + (j - 1) * sizeof(Word), sizeof(Word));
        for (; k < end; ++k) val[k] = w;
    }
    return missing;
}

// 1 when x is not 0. Written without a comparison so that loops of it
// vectorise on every x86-64 (SSE2 has no 64-bit compare).
inline uint64_t nonzero(uint64_t x) { return (x | (0 - x)) >> 63; }

inline uint64_t truthy_int(uint64_t v, uint8_t m) { return nonzero(v) & (m ^ 1u); }

}  // namespace

bool int_only(const Trace& trace, const Expr& expr) {
    for (const ExprNode& node : expr.nodes) {
        if (node.kind == ExprKind::Signal) {
            const Column* c = trace.store().column(node.id);
            if (c && !c->tags.empty()) return false;
        } else if (node.kind == ExprKind::Const && tag_of(node.value) != kInt) {
            return false;
        }
    }
    return true;
}

IntBatchEvaluator::IntBatchEvaluator(const Trace& trace, const Expr& expr, const std::vector<__int128>& shift)
    : expr_(expr), shift_(shift), length_(trace.store().length()), max_index_(trace.max_index()) {
    leaves_.resize(expr.nodes.size());
    for (size_t i = 0; i < expr.nodes.size(); ++i)
        if (expr.nodes[i].kind == ExprKind::Signal) leaves_[i] = {trace.store().column(expr.nodes[i].id), shift[i]};
    size_t depth = std::max<size_t>(1, stack_depth(expr));
    batch_ = std::clamp<size_t>(kScratchBytes / (depth * (sizeof(uint64_t) + 1)), 1, kMaxBatch);
    val_.resize(depth * batch_);
    miss_.resize(depth * batch_);
    has_miss_.resize(depth);
}

bool IntBatchEvaluator::read_leaf(const Leaf& leaf, const uint64_t* points, size_t n, uint64_t* val,
                                  uint8_t* miss) const {
    // Plain variables, not a structured binding: the reader lambda below captures them.
    std::pair<size_t, size_t> range = leaf.column ? in_range(points, n, leaf.shift, length_) : std::pair<size_t, size_t>{0, 0};
    size_t k0 = range.first, k1 = range.second;
    if (k0 == k1) {
        std::fill(miss, miss + n, 1);
        return true;
    }
    // Inside [k0, k1) the position is below 2^64, so wrapping addition is exact.
    uint64_t s = static_cast<uint64_t>(leaf.shift);
    bool consecutive = points[k1 - 1] - points[k0] == k1 - 1 - k0;
    bool missing = false;
    auto read = [&]<class Word>(Word) {
        missing = consecutive ? fill_runs<Word>(*leaf.column, points[k0] + s, k0, k1, val, miss)
                              : gather<Word>(*leaf.column, points, k0, k1, s, val, miss);
    };
    switch (leaf.column->word_bytes) {
        case 1: read(uint8_t{}); break;
        case 2: read(uint16_t{}); break;
        case 4: read(uint32_t{}); break;
        default: read(uint64_t{}); break;
    }
    if (k0 == 0 && k1 == n && !missing) return false;
    std::fill(miss, miss + k0, 1);
    std::fill(miss + k1, miss + n, 1);
    if (consecutive && !missing) std::fill(miss + k0, miss + k1, 0);
    return true;
}

void IntBatchEvaluator::eval_bool(const uint64_t* points, size_t n, uint8_t* truth) {
    if (expr_.nodes.empty()) {  // an empty tree is Missing: false
        std::fill(truth, truth + n, 0);
        return;
    }
    // Slot j of the stack holds values val(j) and, when has_miss_[j], flags
    // miss(j) of the positions that are Missing; otherwise none is.
    size_t top = 0;
    auto val = [&](size_t slot) { return val_.data() + slot * batch_; };
    auto miss = [&](size_t slot) { return miss_.data() + slot * batch_; };
    auto flags = [&](size_t slot) {  // the miss flags, written out if they were implicit
        if (!has_miss_[slot]) std::fill(miss(slot), miss(slot) + n, 0);
        has_miss_[slot] = 1;
        return miss(slot);
    };
    const auto& nodes = expr_.nodes;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ExprNode& node = nodes[i];
        int children = child_count(node.kind);
        if (children == 0) {
            uint64_t* v = val(top);
            if (node.kind == ExprKind::Signal) {
                has_miss_[top] = read_leaf(leaves_[i], points, n, v, miss(top));
            } else {
                std::fill(v, v + n, node.kind == ExprKind::Const ? std::get<uint64_t>(node.value) : 1);
                has_miss_[top] = 0;
            }
            ++top;
            continue;
        }
        if (children == 1) {
            size_t slot = top - 1;
            uint64_t* __restrict v = val(slot);
            switch (node.kind) {
                case ExprKind::RelEval: {
                    // Missing where this node's target leaves 0..max_index.
                    auto [k0, k1] = in_range(points, n, shift_[i], static_cast<__int128>(max_index_) + 1);
                    if (k0 == 0 && k1 == n) break;
                    uint8_t* m = flags(slot);
                    std::fill(m, m + k0, 1);
                    std::fill(m + k1, m + n, 1);
                    break;
                }
                case ExprKind::Not:
                    if (has_miss_[slot]) {
                        const uint8_t* __restrict m = miss(slot);
                        for (size_t k = 0; k < n; ++k) v[k] = truthy_int(v[k], m[k]) ^ 1;
                    } else {
                        for (size_t k = 0; k < n; ++k) v[k] = nonzero(v[k]) ^ 1;
                    }
                    has_miss_[slot] = 0;
                    break;
                case ExprKind::Slice:
                    for (size_t k = 0; k < n; ++k) v[k] = slice_bits(v[k], node.high, node.low);
                    break;
                case ExprKind::IsX:  // an Int has no x bit; Missing counts as x
                    if (has_miss_[slot]) {
                        const uint8_t* __restrict m = miss(slot);
                        for (size_t k = 0; k < n; ++k) v[k] = m[k];
                    } else {
                        std::fill(v, v + n, 0);
                    }
                    has_miss_[slot] = 0;
                    break;
                case ExprKind::IsZ:
                    std::fill(v, v + n, 0);
                    has_miss_[slot] = 0;
                    break;
                default:  // Signed: an Int stays itself, Missing stays Missing
                    break;
            }
            continue;
        }
        // The arrays never overlap; saying so lets the loops vectorise
        // despite the byte-sized flags, which could alias anything.
        --top;
        size_t left = top - 1;
        uint64_t* __restrict a = val(left);
        const uint64_t* __restrict b = val(top);
        bool any_miss = has_miss_[left] || has_miss_[top];
        // Logical and equality results are never Missing; arithmetic and
        // comparison results are Missing when either side is. Without
        // Missing values on either side both reduce to plain integer loops.
        auto logical = [&](auto f) {
            if (any_miss) {
                uint8_t* __restrict ma = flags(left);
                const uint8_t* __restrict mb = flags(top);
                for (size_t k = 0; k < n; ++k) a[k] = f(a[k], ma[k], b[k], mb[k]);
            } else {
                for (size_t k = 0; k < n; ++k) a[k] = f(a[k], uint8_t{0}, b[k], uint8_t{0});
            }
            has_miss_[left] = 0;
        };
        auto arith = [&](auto f) {
            for (size_t k = 0; k < n; ++k) a[k] = f(a[k], b[k]);
            if (any_miss) {
                uint8_t* __restrict ma = flags(left);
                const uint8_t* __restrict mb = flags(top);
                for (size_t k = 0; k < n; ++k) ma[k] |= mb[k];
            }
        };
        auto equal = [](uint64_t x, uint8_t mx, uint64_t y, uint8_t my) -> uint64_t {
            return (mx | my) ? (mx & my) : nonzero(x ^ y) ^ 1;
        };
        switch (node.kind) {
            case ExprKind::And:
                logical([](uint64_t x, uint8_t mx, uint64_t y, uint8_t my) -> uint64_t {
                    return truthy_int(x, mx) & truthy_int(y, my);
                });
                break;
            case ExprKind::Or:
                logical([](uint64_t x, uint8_t mx, uint64_t y, uint8_t my) -> uint64_t {
                    return truthy_int(x, mx) | truthy_int(y, my);
                });
                break;
            case ExprKind::Eq: logical(equal); break;
            case ExprKind::Neq:
                logical([&](uint64_t x, uint8_t mx, uint64_t y, uint8_t my) -> uint64_t {
                    return equal(x, mx, y, my) ^ 1;
                });
                break;
            case ExprKind::Gt: arith([](uint64_t x, uint64_t y) -> uint64_t { return x > y; }); break;
            case ExprKind::Lt: arith([](uint64_t x, uint64_t y) -> uint64_t { return x < y; }); break;
            case ExprKind::Gte: arith([](uint64_t x, uint64_t y) -> uint64_t { return x >= y; }); break;
            case ExprKind::Lte: arith([](uint64_t x, uint64_t y) -> uint64_t { return x <= y; }); break;
            case ExprKind::Add: arith([](uint64_t x, uint64_t y) { return x + y; }); break;
            case ExprKind::Sub: arith([](uint64_t x, uint64_t y) { return x - y; }); break;
            case ExprKind::BitAnd: arith([](uint64_t x, uint64_t y) { return x & y; }); break;
            case ExprKind::BitOr: arith([](uint64_t x, uint64_t y) { return x | y; }); break;
            default: arith([](uint64_t x, uint64_t y) { return x ^ y; }); break;  // BitXor
        }
    }
    const uint64_t* __restrict v = val(0);
    if (has_miss_[0]) {
        const uint8_t* __restrict m = miss(0);
        for (size_t k = 0; k < n; ++k) truth[k] = static_cast<uint8_t>(truthy_int(v[k], m[k]));
    } else {
        for (size_t k = 0; k < n; ++k) truth[k] = static_cast<uint8_t>(nonzero(v[k]));
    }
}

}  // namespace wq
