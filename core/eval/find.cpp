#include "find.hpp"

#include <algorithm>
#include <numeric>
#include <optional>

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "int_batch.hpp"

namespace wq {

namespace {

// Indices per chunk of work: the unit in which change points are gathered
// and the smallest piece the parallel searches hand to a worker.
constexpr uint64_t kChunkSpan = uint64_t{1} << 16;

// A Signal leaf's column and the offset of its reads from the search index.
struct Leaf {
    const Column* column;
    __int128 shift;
    auto operator<=>(const Leaf&) const = default;
};

// What every worker of one search shares, read-only.
struct SearchPlan {
    const Trace& trace;
    const Expr& expr;
    uint64_t end;                  // one past the last index searched
    std::vector<__int128> shift;   // per node: the RelEval offsets at and above it
    std::vector<Leaf> leaves;      // distinct, with a column
    std::vector<uint64_t> edges;   // indices where a RelEval target or a leaf read crosses a bound
    bool int_only;
};

void add_if_below(std::vector<uint64_t>& out, __int128 i, uint64_t end) {
    if (i >= 0 && i < static_cast<__int128>(end)) out.push_back(static_cast<uint64_t>(i));
}

SearchPlan make_plan(const Trace& trace, const Expr& expr) {
    SearchPlan plan{trace, expr, trace.max_index() + 1, {}, {}, {}, int_only(trace, expr)};
    const auto& nodes = expr.nodes;
    const uint64_t length = trace.store().length();
    std::vector<int32_t> parent = expr_parents(expr);
    plan.shift.assign(nodes.size(), 0);
    for (size_t i = nodes.size(); i-- > 0;) {  // parents before children
        const ExprNode& node = nodes[i];
        __int128 above = parent[i] >= 0 ? plan.shift[parent[i]] : 0;
        __int128 s = plan.shift[i] = above + (node.kind == ExprKind::RelEval ? node.offset : 0);
        if (node.kind == ExprKind::RelEval) {
            add_if_below(plan.edges, -s, plan.end);             // target reaches 0
            add_if_below(plan.edges, plan.end - s, plan.end);   // target passes max_index
        } else if (node.kind == ExprKind::Signal) {
            if (const Column* c = trace.store().column(node.id)) plan.leaves.push_back({c, s});
            add_if_below(plan.edges, static_cast<__int128>(length) - s, plan.end);  // reads past the values
        }
    }
    std::sort(plan.edges.begin(), plan.edges.end());
    plan.edges.erase(std::unique(plan.edges.begin(), plan.edges.end()), plan.edges.end());
    std::sort(plan.leaves.begin(), plan.leaves.end());
    plan.leaves.erase(std::unique(plan.leaves.begin(), plan.leaves.end()), plan.leaves.end());
    return plan;
}

// Points [first, last) of a column whose time t has lo <= t - shift < hi.
std::pair<size_t, size_t> points_within(const Leaf& leaf, uint64_t lo, uint64_t hi) {
    auto first_at_least = [&](__int128 t) -> size_t {
        const auto& times = leaf.column->times;
        if (t <= 0) return 0;
        if (t > UINT32_MAX) return times.size();
        return static_cast<size_t>(std::lower_bound(times.begin(), times.end(), static_cast<uint32_t>(t)) -
                                   times.begin());
    };
    return {first_at_least(lo + leaf.shift), first_at_least(hi + leaf.shift)};
}

// out = the sorted union of two ascending lists without repeats. Branch-free:
// the interleaving of two signals' changes is random to a branch predictor.
void merge_union(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b, std::vector<uint64_t>& out) {
    out.resize(a.size() + b.size());
    size_t i = 0, j = 0, m = 0;
    while (i < a.size() && j < b.size()) {
        uint64_t x = a[i], y = b[j];
        out[m++] = std::min(x, y);
        i += x <= y;
        j += y <= x;
    }
    for (; i < a.size(); ++i) out[m++] = a[i];
    for (; j < b.size(); ++j) out[m++] = b[j];
    out.resize(m);
}

// One worker's evaluators and scratch, made once per piece of work.
struct Worker {
    const SearchPlan& plan;
    std::optional<IntBatchEvaluator> ints;
    std::optional<Evaluator> generic;
    std::vector<uint64_t> points, shifted, merged, run_edges;
    std::vector<uint8_t> truth;

    explicit Worker(const SearchPlan& p) : plan(p) {
        if (p.int_only)
            ints.emplace(p.trace, p.expr, p.shift);
        else
            generic.emplace(p.trace, p.expr);
    }

    // The indices in [lo, hi) where the tree may change value, lo first.
    // Where changes are dense, every index is taken: cheaper than merging.
    void gather_points(uint64_t lo, uint64_t hi) {
        size_t changes = 0;
        for (const Leaf& leaf : plan.leaves) {
            auto [a, b] = points_within(leaf, lo, hi);
            changes += b - a;
        }
        points.clear();
        if (changes * 4 >= hi - lo) {
            points.resize(hi - lo);
            std::iota(points.begin(), points.end(), lo);
            return;
        }
        points.push_back(lo);
        auto e = std::upper_bound(plan.edges.begin(), plan.edges.end(), lo);
        for (; e != plan.edges.end() && *e < hi; ++e) points.push_back(*e);
        for (const Leaf& leaf : plan.leaves) {
            auto [a, b] = points_within(leaf, lo, hi);
            if (a == b) continue;
            shifted.resize(b - a);
            // Within [lo, hi) the shifted time is below 2^64: wrapping subtraction is exact.
            uint64_t s = static_cast<uint64_t>(leaf.shift);
            for (size_t k = a; k < b; ++k) shifted[k - a] = leaf.column->times[k] - s;
            merge_union(points, shifted, merged);
            points.swap(merged);
        }
    }

    // Evaluates the tree over [lo, hi) chunk by chunk and hands each chunk to
    // `sink(points, truth, n, chunk_end)`: the tree holds on [points[k],
    // points[k + 1]) where truth[k] is set, the last run ending at chunk_end.
    template <class Sink>
    void scan(uint64_t lo, uint64_t hi, Sink&& sink) {
        for (uint64_t c = lo; c < hi; c += std::min(kChunkSpan, hi - c)) {
            uint64_t chunk_end = c + std::min(kChunkSpan, hi - c);
            gather_points(c, chunk_end);
            size_t n = points.size();
            truth.resize(n);
            if (ints) {
                for (size_t k = 0; k < n; k += ints->batch_limit())
                    ints->eval_bool(points.data() + k, std::min(ints->batch_limit(), n - k), truth.data() + k);
            } else {
                for (size_t k = 0; k < n; ++k) truth[k] = generic->eval_bool(points[k]);
            }
            sink(points.data(), truth.data(), n, chunk_end);
        }
    }
};

void append_run(std::vector<IndexRun>& runs, uint64_t begin, uint64_t end) {
    if (!runs.empty() && runs.back().end == begin)
        runs.back().end = end;
    else
        runs.push_back({begin, end});
}

// Sinks for Worker::scan: one gathers the runs, the other counts indices.
// Both avoid a branch per point, which random data would mispredict.
auto run_sink(std::vector<IndexRun>& runs, std::vector<uint64_t>& edges) {
    return [&runs, &edges](const uint64_t* points, const uint8_t* truth, size_t n, uint64_t chunk_end) {
        // Where the truth flips, a run starts or ends: the flips alternate
        // start, end, start, ... and a run still open ends with the chunk.
        edges.resize(n + 1);
        size_t m = 0;
        uint8_t before = 0;
        for (size_t k = 0; k < n; ++k) {
            edges[m] = points[k];
            m += truth[k] ^ before;
            before = truth[k];
        }
        if (before) edges[m++] = chunk_end;
        for (size_t i = 0; i < m; i += 2) append_run(runs, edges[i], edges[i + 1]);
    };
}

auto count_sink(uint64_t& count) {
    return [&count](const uint64_t* points, const uint8_t* truth, size_t n, uint64_t chunk_end) {
        if (n == 0) return;
        uint64_t c = 0;
        for (size_t k = 0; k + 1 < n; ++k) c += (points[k + 1] - points[k]) & (0 - uint64_t{truth[k]});
        count += c + (truth[n - 1] ? chunk_end - points[n - 1] : 0);
    };
}

// The index range [0, end) cut into pieces for the pool: kChunkSpan indices
// each, or more when that would make over kMaxPieces of them.
struct Pieces {
    static constexpr uint64_t kMaxPieces = 4096;
    uint64_t end, span, count;
    explicit Pieces(uint64_t e)
        : end(e), span(std::max(kChunkSpan, (e + kMaxPieces - 1) / kMaxPieces)), count((e + span - 1) / span) {}
    uint64_t begin_of(size_t i) const { return i * span; }
    uint64_t end_of(size_t i) const { return std::min(end, (i + 1) * span); }
};

// One Worker per pool thread, made when the thread takes its first piece.
using Workers = tbb::enumerable_thread_specific<Worker>;

}  // namespace

std::vector<IndexRun> find_runs(const Trace& trace, const Expr& expr) {
    SearchPlan plan = make_plan(trace, expr);
    std::vector<IndexRun> runs;
    Worker worker(plan);
    worker.scan(0, plan.end, run_sink(runs, worker.run_edges));
    return runs;
}

std::vector<IndexRun> parallel_find_runs(const Trace& trace, const Expr& expr) {
    SearchPlan plan = make_plan(trace, expr);
    Pieces pieces(plan.end);
    // Each piece keeps its own runs; they are joined in order at the end, so
    // no run is copied more than twice.
    std::vector<std::vector<IndexRun>> parts(pieces.count);
    Workers workers([&] { return Worker(plan); });
    tbb::parallel_for(tbb::blocked_range<size_t>(0, pieces.count, 1), [&](const tbb::blocked_range<size_t>& r) {
        Worker& worker = workers.local();
        for (size_t i = r.begin(); i < r.end(); ++i)
            worker.scan(pieces.begin_of(i), pieces.end_of(i), run_sink(parts[i], worker.run_edges));
    });
    size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<IndexRun> runs;
    runs.reserve(total);
    for (auto& part : parts) {
        for (const auto& run : part) append_run(runs, run.begin, run.end);
        std::vector<IndexRun>().swap(part);
    }
    return runs;
}

uint64_t parallel_count(const Trace& trace, const Expr& expr) {
    SearchPlan plan = make_plan(trace, expr);
    Pieces pieces(plan.end);
    Workers workers([&] { return Worker(plan); });
    return tbb::parallel_reduce(
        tbb::blocked_range<size_t>(0, pieces.count, 1), uint64_t{0},
        [&](const tbb::blocked_range<size_t>& r, uint64_t count) {
            Worker& worker = workers.local();
            for (size_t i = r.begin(); i < r.end(); ++i)
                worker.scan(pieces.begin_of(i), pieces.end_of(i), count_sink(count));
            return count;
        },
        [](uint64_t a, uint64_t b) { return a + b; });
}

uint64_t run_length(const std::vector<IndexRun>& runs) {
    uint64_t n = 0;
    for (const auto& r : runs) n += r.end - r.begin;
    return n;
}

}  // namespace wq
