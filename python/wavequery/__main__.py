"""python -m wavequery TRACE: a short summary of a VCD or FST trace."""

import argparse
import sys

from ._core import PyTrace

SHOWN_SIGNALS = 8


def count_transitions(trace, name, last_index):
    values = trace.signal_values_range(name, 0, last_index + 1)
    return sum(1 for before, after in zip(values, values[1:]) if before != after)


def summarize(trace, out=sys.stdout):
    names = trace.signal_names()
    last = trace.max_index()
    start, end = trace.timestamp(0), trace.timestamp(last)
    print(f"signals: {len(names)}", file=out)
    print(f"scopes:  {len(trace.scopes())}", file=out)
    print(f"time:    {start} .. {end} ({last + 1 if names else 0} time stamps)", file=out)
    if not names:
        return
    shown = names[:SHOWN_SIGNALS]
    wide = max(len(n) for n in shown)
    print(f"\n{'signal':<{wide}}  width  transitions", file=out)
    for name in shown:
        width = trace.signal_width(name)
        print(f"{name:<{wide}}  {width:>5}  {count_transitions(trace, name, last):>11}", file=out)
    if len(names) > len(shown):
        print(f"... and {len(names) - len(shown)} more", file=out)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="wavequery", description="Summarize a VCD or FST trace.")
    parser.add_argument("trace", help="path of a VCD file, or of an FST file (ending in .fst)")
    args = parser.parse_args(argv)
    load = PyTrace.from_fst if args.trace.lower().endswith(".fst") else PyTrace.from_vcd
    try:
        trace = load(args.trace)
    except ValueError as err:
        print(f"wavequery: {err}", file=sys.stderr)
        return 2
    try:
        summarize(trace)
    except BrokenPipeError:  # the reader of our output went away (e.g. `| head`)
        sys.stderr.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
