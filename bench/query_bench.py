"""Times the change-tracking, hierarchy, name-search, statistics and snapshot
queries on a loaded trace (the 200 MB benchmark trace by default), and a
snapshot of a trace with 100,000 signals.

    python bench/query_bench.py bench/data/t200.vcd [--repeat 5]

The 100,000-signal trace is generated into bench/data on the first run.
"""

import argparse
import os
import subprocess
import sys
import time

from wavequery import PyTrace

HERE = os.path.dirname(os.path.abspath(__file__))


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("trace", nargs="?", default=os.path.join(HERE, "data", "t200.vcd"))
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()

    t0 = time.perf_counter()
    trace = PyTrace.from_vcd(args.trace) if args.trace.endswith(".vcd") else PyTrace.from_fst(args.trace)
    names = trace.signal_names()
    last = trace.max_index()
    print(f"{args.trace}: {len(names):,} signals, {last + 1:,} time stamps, loaded in {time.perf_counter() - t0:.2f} s")
    # The busiest signal, by its number of transitions, is the hardest case for the per-signal walks.
    sample = names[:: max(1, len(names) // 50)]
    busiest = max(sample, key=lambda n: len(trace.transitions(n)))
    scope = trace.scopes()[1] if len(trace.scopes()) > 1 else ""
    mid = last // 2
    queries = [
        ("changed_at(mid)", lambda: trace.changed_at(mid)),
        (f"changed_at_scope(mid, {scope!r})", lambda: trace.changed_at_scope(mid, scope)),
        (f"transitions(busiest)", lambda: trace.transitions(busiest)),
        (f"signal_stats(busiest)", lambda: trace.signal_stats(busiest)),
        ("signal_stats over every signal", lambda: [trace.signal_stats(n) for n in names]),
        ("local_scopes('top')", lambda: trace.local_scopes("top")),
        (f"local_signals({scope!r})", lambda: trace.local_signals(scope)),
        ("resolve('top', <a short name>)", lambda: trace.resolve("top", names[-1].rsplit(".", 1)[-1])),
        ("find_signals_containing('Sig1')", lambda: trace.find_signals_containing("Sig1")),
        ("find_signals_glob('top.*1?')", lambda: trace.find_signals_glob("top.*1?")),
        ("snapshot(mid)", lambda: trace.snapshot(mid)),
        (f"snapshot_scope(mid, {scope!r})", lambda: trace.snapshot_scope(mid, scope)),
    ]
    print(f"\nbest of {args.repeat}, milliseconds (busiest sampled signal: {busiest}, "
          f"{len(trace.transitions(busiest)):,} transitions)")
    for label, fn in queries:
        seconds, result = best(fn, args.repeat)
        size = len(result) if hasattr(result, "__len__") else 1
        print(f"  {label:45} {seconds * 1e3:9.2f}   ({size:,} results)")

    wide = os.path.join(HERE, "data", "signals100k.vcd")
    if not os.path.exists(wide):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_vcd.py"), wide, "--signals", "100000",
                        "--steps", "200", "--changes", "2000"], check=True, stdout=subprocess.DEVNULL)
    many = PyTrace.from_vcd(wide)
    seconds, snap = best(lambda: many.snapshot(many.max_index() // 2), args.repeat)
    print(f"\nsnapshot of {len(many.signal_names()):,} signals: {seconds * 1e3:.1f} ms ({len(snap):,} entries)")
    seconds, _ = best(lambda: many.changed_at(many.max_index() // 2), args.repeat)
    print(f"changed_at over {len(many.signal_names()):,} signals: {seconds * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
