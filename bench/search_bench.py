"""Condition-search benchmark: wavequery's find / parallel_find /
parallel_count against the same condition computed with numpy over dense
per-index arrays of the signals (building the arrays is not timed).

The generated trace has 10,000,000 time stamps and four 2-bit signals: s1 and
s2 change on 1% of the time stamps, d1 and d2 at every one. Each change picks
a new value among 0..3, so a signal is true three quarters of the time.

    python bench/search_bench.py bench/data/search.vcd [--repeat 5]

The trace is generated on the first run (about a minute) next to a .npz file
holding the same values as dense arrays.
"""

import argparse
import os
import statistics
import sys
import time

import numpy as np

from wavequery import PyExpr as E
from wavequery import PyTrace

STEPS = 10_000_000
NAMES = ["s1", "s2", "d1", "d2"]
CODES = ["!", '"', "#", "$"]


def changing_values(rng, steps, rate):
    """Values 0..3 that take a new value at about `rate` of the steps."""
    changes = rng.random(steps) < rate
    changes[0] = True
    # A step of 1..3 modulo 4 always lands on a different value.
    steps_mod = np.where(changes, rng.integers(1, 4, steps), 0)
    return (np.cumsum(steps_mod) % 4).astype(np.uint8), changes


def generate(path):
    rng = np.random.default_rng(7)
    columns = [changing_values(rng, STEPS, rate) for rate in (0.01, 0.01, 1.0, 1.0)]
    text = [f"b{v:b}" for v in range(4)]
    with open(path, "w") as out:
        out.write("$timescale 1ns $end\n$scope module top $end\n")
        for name, code in zip(NAMES, CODES):
            out.write(f"$var wire 2 {code} {name} $end\n")
        out.write("$upscope $end\n$enddefinitions $end\n")
        s1, c1 = columns[0]
        s2, c2 = columns[1]
        d1, d2 = columns[2][0], columns[3][0]
        sparse = np.flatnonzero(c1 | c2)
        sparse_set = set(sparse.tolist())
        lines = []
        for k in range(STEPS):
            lines.append(f"#{k}\n{text[d1[k]]} #\n{text[d2[k]]} $\n")
            if k in sparse_set:
                if c1[k]:
                    lines.append(f"{text[s1[k]]} !\n")
                if c2[k]:
                    lines.append(f"{text[s2[k]]} \"\n")
            if len(lines) >= 100_000:
                out.write("".join(lines))
                lines.clear()
        out.write("".join(lines))
    np.savez(path + ".npz", **{n: c[0] for n, c in zip(NAMES, columns)})


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times), result


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("vcd")
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    if not os.path.exists(args.vcd) or not os.path.exists(args.vcd + ".npz"):
        print(f"generating {args.vcd} ...", file=sys.stderr)
        generate(args.vcd)
    dense = np.load(args.vcd + ".npz")
    t0 = time.perf_counter()
    trace = PyTrace.from_vcd(args.vcd)
    print(f"loaded {args.vcd}: {trace.max_index() + 1:,} time stamps in {time.perf_counter() - t0:.2f} s")
    sig = {n: E.signal(trace.signal_id(f"top.{n}")) for n in NAMES}
    arr = {n: dense[n] for n in NAMES}  # uint8 values, one per time stamp
    land, lnot = np.logical_and, np.logical_not

    cases = [
        ("a: s1 and s2 (1% changes)", sig["s1"].and_(sig["s2"]), lambda: land(arr["s1"], arr["s2"])),
        ("b: d1 and d2 (every index)", sig["d1"].and_(sig["d2"]), lambda: land(arr["d1"], arr["d2"])),
        ("c: rising s1 (1% changes)", sig["s1"].and_(sig["s1"].rel_eval(-1).not_()),
         lambda: np.concatenate(([arr["s1"][0] != 0], land(arr["s1"][1:], lnot(arr["s1"][:-1]))))),
        ("c': rising d1 (every index)", sig["d1"].and_(sig["d1"].rel_eval(-1).not_()),
         lambda: np.concatenate(([arr["d1"][0] != 0], land(arr["d1"][1:], lnot(arr["d1"][:-1]))))),
    ]
    print(f"\nbest of {args.repeat} runs, milliseconds; a ratio above 1 means wavequery is faster")
    print(f"{'case':30} {'hits':>10} {'find':>8} {'pfind':>8} {'pcount':>8} {'np.nz':>8} {'np.list':>8} "
          f"{'np.cnt':>8} {'count':>7} {'list':>7} {'array':>7}")
    for name, expr, condition in cases:
        t_find, _, found = best(lambda: trace.find(expr), args.repeat)
        t_pfind, _, pfound = best(lambda: trace.parallel_find(expr), args.repeat)
        t_pcount, _, count = best(lambda: trace.parallel_count(expr), args.repeat)
        t_nz, _, nz = best(lambda: np.flatnonzero(condition()), args.repeat)
        t_list, _, _ = best(lambda: np.flatnonzero(condition()).tolist(), args.repeat)
        t_cnt, _, cnt = best(lambda: int(np.count_nonzero(condition())), args.repeat)
        assert count == cnt == len(found) == len(nz) and found == pfound, name
        ms = lambda s: f"{s * 1e3:8.2f}"
        print(f"{name:30} {count:>10,} {ms(t_find)} {ms(t_pfind)} {ms(t_pcount)} {ms(t_nz)} {ms(t_list)} "
              f"{ms(t_cnt)} {t_cnt / t_pcount:6.2f}x {t_list / t_pfind:6.2f}x {t_nz / t_pfind:6.2f}x")
    print("""
find, pfind (parallel_find): a Python list of indices; pcount: parallel_count.
numpy over dense uint8 arrays: np.nz = np.flatnonzero(cond), np.list = the
same as a list, np.cnt = np.count_nonzero(cond).
Ratios: count = np.cnt / pcount, list = np.list / pfind, array = np.nz / pfind.
The parallel speedup without Python lists: build/native/search_native.""")


if __name__ == "__main__":
    main()
