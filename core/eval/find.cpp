#include "find.hpp"

#include <algorithm>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

namespace wq {

namespace {

// Sorted union of two ascending lists.
std::vector<uint64_t> merge_unique(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) {
    std::vector<uint64_t> out;
    out.reserve(a.size() + b.size());
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

void add_if_in_range(std::vector<uint64_t>& out, __int128 i, uint64_t max) {
    if (i >= 0 && i <= static_cast<__int128>(max)) out.push_back(static_cast<uint64_t>(i));
}

void append_run(std::vector<IndexRun>& runs, uint64_t begin, uint64_t end) {
    if (!runs.empty() && runs.back().end == begin)
        runs.back().end = end;
    else
        runs.push_back({begin, end});
}

// Evaluates at change indices [from, to) of `points` and records the runs.
void scan(const Trace& trace, const Expr& expr, const std::vector<uint64_t>& points, size_t from, size_t to,
          std::vector<IndexRun>& runs) {
    Evaluator ev(trace, expr);
    uint64_t end_all = trace.max_index() + 1;
    for (size_t k = from; k < to; ++k)
        if (ev.eval_bool(points[k])) append_run(runs, points[k], k + 1 < points.size() ? points[k + 1] : end_all);
}

std::vector<uint64_t> expand(const std::vector<IndexRun>& runs) {
    std::vector<uint64_t> out;
    out.reserve(run_length(runs));
    for (const auto& r : runs)
        for (uint64_t i = r.begin; i < r.end; ++i) out.push_back(i);
    return out;
}

}  // namespace

std::vector<uint64_t> change_indices(const Trace& trace, const Expr& expr) {
    const auto& nodes = expr.nodes;
    const uint64_t max = trace.max_index();
    const uint64_t length = trace.store().length();
    // Shift of every node: the sum of the RelEval offsets above it (and its own, for a RelEval).
    size_t n = nodes.size();
    std::vector<int32_t> parent = expr_parents(expr);
    std::vector<__int128> shift(n, 0);
    std::vector<std::pair<const Column*, __int128>> leaves;
    std::vector<uint64_t> edges{0};
    for (size_t i = n; i-- > 0;) {
        const ExprNode& node = nodes[i];
        __int128 above = parent[i] >= 0 ? shift[parent[i]] : 0;
        shift[i] = above + (node.kind == ExprKind::RelEval ? node.offset : 0);
        if (node.kind == ExprKind::RelEval) {
            add_if_in_range(edges, -shift[i], max);              // target reaches 0
            add_if_in_range(edges, static_cast<__int128>(max) + 1 - shift[i], max);  // target passes max
        } else if (node.kind == ExprKind::Signal) {
            if (const Column* c = trace.store().column(node.id)) leaves.emplace_back(c, shift[i]);
            add_if_in_range(edges, static_cast<__int128>(length) - shift[i], max);  // reads past the values
        }
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::sort(leaves.begin(), leaves.end());
    leaves.erase(std::unique(leaves.begin(), leaves.end()), leaves.end());
    std::vector<uint64_t> points = std::move(edges);
    for (const auto& [column, s] : leaves) {
        std::vector<uint64_t> moved;
        moved.reserve(column->size());
        for (uint32_t t : column->times) add_if_in_range(moved, static_cast<__int128>(t) - s, max);
        points = merge_unique(points, moved);
    }
    return points;
}

std::vector<IndexRun> find_runs(const Trace& trace, const Expr& expr) {
    std::vector<uint64_t> points = change_indices(trace, expr);
    std::vector<IndexRun> runs;
    scan(trace, expr, points, 0, points.size(), runs);
    return runs;
}

std::vector<IndexRun> parallel_find_runs(const Trace& trace, const Expr& expr) {
    std::vector<uint64_t> points = change_indices(trace, expr);
    using Range = tbb::blocked_range<size_t>;
    return tbb::parallel_reduce(
        Range(0, points.size()), std::vector<IndexRun>{},
        [&](const Range& r, std::vector<IndexRun> runs) {
            scan(trace, expr, points, r.begin(), r.end(), runs);
            return runs;
        },
        [](std::vector<IndexRun> left, const std::vector<IndexRun>& right) {
            for (const auto& run : right) append_run(left, run.begin, run.end);
            return left;
        });
}

std::vector<uint64_t> find(const Trace& trace, const Expr& expr) { return expand(find_runs(trace, expr)); }

std::vector<uint64_t> parallel_find(const Trace& trace, const Expr& expr) {
    return expand(parallel_find_runs(trace, expr));
}

uint64_t parallel_count(const Trace& trace, const Expr& expr) { return run_length(parallel_find_runs(trace, expr)); }

uint64_t run_length(const std::vector<IndexRun>& runs) {
    uint64_t n = 0;
    for (const auto& r : runs) n += r.end - r.begin;
    return n;
}

}  // namespace wq
