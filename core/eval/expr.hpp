// Expression trees over signals and constants, and their evaluation at one
// time index of a trace.
//
// Builders make `ExprTree` nodes, which share their operands instead of
// copying them: wrapping a tree costs O(1) however deep it is, and since no
// node changes after it is made, sharing is invisible to callers. Evaluation
// and search use `Expr`, the same tree stored flat in post-order (every node
// follows the nodes of its children, `left` subtree before `right`), made
// once per call by `flatten`. Nothing here recurses over a tree's depth, so
// a tree 200,000 levels deep is as safe as a flat one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "../trace/trace.hpp"

namespace wq {

enum class ExprKind : uint8_t {
    Signal, Const, RelEval, Not, And, Or, Eq, Neq, Gt, Lt, Gte, Lte,
    Add, Sub, BitAnd, BitOr, BitXor, Slice, Signed, IsX, IsZ, AlwaysTrue,
};

// Number of child subtrees of a node of this kind.
int child_count(ExprKind kind);

struct ExprNode {
    ExprKind kind;
    uint32_t high = 0, low = 0;  // Slice
    uint64_t id = 0;             // Signal
    int64_t offset = 0;          // RelEval
    SignalValue value;           // Const
};

struct Expr {
    std::vector<ExprNode> nodes;  // post-order; the root is the last node
};

// The parent of every node, -1 for the root.
std::vector<int32_t> expr_parents(const Expr& expr);

struct ExprTree;
using ExprRef = std::shared_ptr<const ExprTree>;

struct ExprTree {
    ExprNode node;
    ExprRef left, right;  // a unary node's operand is `left`
    uint64_t size = 1;    // nodes of the flat form, saturating at 2^64 - 1

    ExprTree(ExprNode n, ExprRef l, ExprRef r);
    ExprTree(const ExprTree&) = delete;
    ExprTree& operator=(const ExprTree&) = delete;
    // Frees a chain of sole-owned descendants iteratively, not recursively.
    ~ExprTree();
};

// A leaf of one node.
ExprRef make_leaf(ExprNode node);
// `node` over one operand (RelEval, Not, Slice, Signed, IsX, IsZ).
ExprRef make_unary(ExprNode node, ExprRef operand);
// `node` over two operands; `left` is the receiver of the Python builder.
ExprRef make_binary(ExprNode node, ExprRef left, ExprRef right);

// Largest flat form `flatten` makes. Shared operands are expanded, so a tree
// built by doubling (`e = e.and_(e)`) grows past it after 24 steps.
constexpr uint64_t kMaxFlatNodes = uint64_t{1} << 24;

// The flat post-order form of a tree; nothing if it has more than
// kMaxFlatNodes nodes.
std::optional<Expr> flatten(const ExprTree& tree);

// Bits high..low of a value: 0 when high < low; a low of 64 or more shifts
// by low mod 64, and the width high - low + 1 wraps at 2^32.
inline uint64_t slice_bits(uint64_t value, uint32_t high, uint32_t low) {
    if (high < low) return 0;
    uint32_t width = high - low + 1;
    uint64_t r = value >> (low % 64);
    return width < 64 ? r & ((uint64_t{1} << width) - 1) : r;
}

// True/false of a value: non-zero Int, any non-zero Wide word, a 1 code in a
// Logic, a Real other than 0.0 (NaN is true), a non-empty Text; never Missing.
bool truthy(const SignalValue& v);

// Evaluates one tree against one trace, at any number of indices. Signal
// values are read through cursors that move forward when indices ascend, so a
// scan costs O(1) per index and a random index costs a binary search.
class Evaluator {
public:
    Evaluator(const Trace& trace, const Expr& expr);
    SignalValue eval(uint64_t index);
    bool eval_bool(uint64_t index) { return truthy(eval(index)); }

private:
    const Expr& expr_;
    uint64_t max_index_;
    std::vector<int32_t> rel_parent_;  // nearest RelEval ancestor per node, -1 for none
    std::vector<uint64_t> target_;     // per RelEval node: its target index for this eval
    std::vector<uint8_t> in_range_;    // per RelEval node: target (and every target above) in 0..max
    std::vector<ValueCursor> cursors_; // per Signal node
    std::vector<SignalValue> stack_;
};

SignalValue eval(const Trace& trace, const Expr& expr, uint64_t index);
bool eval_bool(const Trace& trace, const Expr& expr, uint64_t index);

}  // namespace wq
