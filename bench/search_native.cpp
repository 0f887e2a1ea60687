// Times the condition searches with the core library alone, serially, on one
// worker thread and on all of them, for the parallel speedup without the
// cost of building Python lists.
//   cmake -S . -B build/native -DWQ_BENCH=ON && cmake --build build/native
//   build/native/search_native bench/data/search.vcd
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include <tbb/global_control.h>
#include <tbb/info.h>

#include "core/eval/find.hpp"
#include "core/trace/vcd.hpp"

namespace {

double best_ms(const std::function<uint64_t()>& search, uint64_t& result) {
    double best = 1e30;
    for (int k = 0; k < 5; ++k) {
        auto start = std::chrono::steady_clock::now();
        result = search();
        best = std::min(best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

wq::ExprNode node(wq::ExprKind kind, int64_t offset = 0) {
    wq::ExprNode n;
    n.kind = kind;
    n.offset = offset;
    return n;
}

wq::ExprRef signal(uint64_t id) {
    wq::ExprNode n = node(wq::ExprKind::Signal);
    n.id = id;
    return wq::make_leaf(n);
}

wq::ExprRef rising(const wq::ExprRef& s) {
    auto before = wq::make_unary(node(wq::ExprKind::Not), wq::make_unary(node(wq::ExprKind::RelEval, -1), s));
    return wq::make_binary(node(wq::ExprKind::And), s, before);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: search_native TRACE.vcd (from bench/search_bench.py)\n");
        return 2;
    }
    wq::LoadResult r = wq::vcd::from_file(argv[1]);
    if (!r.trace) {
        std::fprintf(stderr, "%s\n", r.error.c_str());
        return 1;
    }
    const wq::Trace& trace = *r.trace;
    auto id = [&](const char* name) { return *trace.signal_id(name); };
    auto s1 = signal(id("top.s1")), s2 = signal(id("top.s2")), d1 = signal(id("top.d1")), d2 = signal(id("top.d2"));
    struct Case {
        const char* name;
        wq::ExprRef tree;
    } cases[] = {
        {"a: s1 and s2 (1% changes)", wq::make_binary(node(wq::ExprKind::And), s1, s2)},
        {"b: d1 and d2 (every index)", wq::make_binary(node(wq::ExprKind::And), d1, d2)},
        {"c: rising s1 (1% changes)", rising(s1)},
        {"c': rising d1 (every index)", rising(d1)},
    };
    int threads = static_cast<int>(tbb::info::default_concurrency());
    std::printf("best of 5, milliseconds; %d worker threads\n", threads);
    std::printf("%-30s %10s %9s %9s %9s %9s %9s\n", "case", "hits", "runs", "pruns", "count/1", "count/all",
                "speedup");
    for (const Case& c : cases) {
        wq::Expr expr = *wq::flatten(*c.tree);
        uint64_t hits = 0, one = 0, all = 0;
        double runs_ms = best_ms([&] { return wq::run_length(wq::find_runs(trace, expr)); }, hits);
        double pruns_ms = best_ms([&] { return wq::run_length(wq::parallel_find_runs(trace, expr)); }, all);
        double one_ms;
        {
            tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
            one_ms = best_ms([&] { return wq::parallel_count(trace, expr); }, one);
        }
        double all_ms = best_ms([&] { return wq::parallel_count(trace, expr); }, all);
        if (hits != all) std::printf("MISMATCH runs\n");
        if (hits != one || one != all) std::printf("MISMATCH %llu %llu %llu\n", (unsigned long long)hits,
                                                   (unsigned long long)one, (unsigned long long)all);
        std::printf("%-30s %10llu %9.2f %9.2f %9.2f %9.2f %8.2fx\n", c.name, static_cast<unsigned long long>(hits),
                    runs_ms, pruns_ms, one_ms, all_ms, one_ms / all_ms);
    }
}
