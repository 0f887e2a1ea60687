// Condition search: the time indices at which a tree is true.
//
// A tree's value can change only at an index where one of its Signal leaves
// changes (shifted by the RelEval offsets above it), or where a RelEval
// target enters or leaves 0..max_index. The searches evaluate the tree at
// those indices only and extend each answer over the run up to the next one,
// so their cost follows the number of changes, not of time stamps. Where
// changes are dense they evaluate every index instead, in batches (see
// int_batch.hpp), and the parallel searches split the index range in chunks.
#pragma once

#include <cstdint>
#include <vector>

#include "expr.hpp"

namespace wq {

// Indices [begin, end) where the tree holds.
struct IndexRun {
    uint64_t begin, end;
};

// Number of indices the runs cover.
uint64_t run_length(const std::vector<IndexRun>& runs);

// Runs of indices in 0..max_index where eval_bool is true, ascending and
// disjoint; serially or on the oneTBB pool.
std::vector<IndexRun> find_runs(const Trace& trace, const Expr& expr);
std::vector<IndexRun> parallel_find_runs(const Trace& trace, const Expr& expr);

// Number of indices where the tree holds, counted on the oneTBB pool.
uint64_t parallel_count(const Trace& trace, const Expr& expr);

}  // namespace wq
