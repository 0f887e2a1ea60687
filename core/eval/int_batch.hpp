// Evaluation of a tree at a batch of indices at once, node by node over arrays,
// for trees in which every value is an Int or Missing (2-state traces, the
// common case). Each node is one tight loop over the batch that the compiler
// can vectorise, instead of a walk of the whole tree with variant values per
// index; the results equal those of Evaluator.
#pragma once

#include <cstdint>
#include <vector>

#include "expr.hpp"

namespace wq {

// True when every Signal leaf reads a column holding only Ints (or none) and
// every Const is an Int, so no value in the tree can be anything else.
bool int_only(const Trace& trace, const Expr& expr);

class IntBatchEvaluator {
public:
    // `shift[i]`: the sum of the RelEval offsets at and above node i.
    IntBatchEvaluator(const Trace& trace, const Expr& expr, const std::vector<__int128>& shift);

    // The most points one call takes.
    size_t batch_limit() const { return batch_; }

    // truth[k] = whether the tree holds at points[k], for ascending points,
    // n <= batch_limit().
    void eval_bool(const uint64_t* points, size_t n, uint8_t* truth);

private:
    struct Leaf {
        const Column* column = nullptr;
        __int128 shift = 0;
    };
    // Fills val (and miss, when it returns true: some position is Missing).
    bool read_leaf(const Leaf& leaf, const uint64_t* points, size_t n, uint64_t* val, uint8_t* miss) const;

    const Expr& expr_;
    const std::vector<__int128>& shift_;
    uint64_t length_;     // reads at or past it are Missing
    uint64_t max_index_;  // RelEval targets past it are Missing
    std::vector<Leaf> leaves_;  // per node; used for Signal nodes
    size_t batch_ = 0;
    // A stack of value arrays, slot j at [j * batch_, (j + 1) * batch_).
    std::vector<uint64_t> val_;
    std::vector<uint8_t> miss_;
    std::vector<uint8_t> has_miss_;  // per slot
};

}  // namespace wq
