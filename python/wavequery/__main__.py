"""python -m wavequery TRACE: a short summary of a trace (VCD, FST, FSDB, VPD, WLF or SHM)."""

import argparse
import os
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


def loader_for(path):
    """The PyTrace loader for a path, by its extension; a directory is an SHM database."""
    if os.path.isdir(path):
        return PyTrace.from_shm
    ext = os.path.splitext(path)[1].lower()
    return {".fst": PyTrace.from_fst, ".fsdb": PyTrace.from_fsdb, ".vpd": PyTrace.from_vpd, ".wlf": PyTrace.from_wlf,
            ".shm": PyTrace.from_shm, ".dsn": PyTrace.from_shm, ".trn": PyTrace.from_shm}.get(ext, PyTrace.from_vcd)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="wavequery", description="Summarize a waveform trace.")
    parser.add_argument("trace", help="a VCD, .fst, .fsdb, .vpd or .wlf file, or an SHM database directory")
    args = parser.parse_args(argv)
    load = loader_for(args.trace)
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
