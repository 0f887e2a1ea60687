"""The wavequery command line: ask a trace questions from the shell.

    wavequery info FILE
    wavequery signals FILE [--glob PATTERN | --grep TEXT]
    wavequery value FILE SIGNAL --index I
    wavequery find FILE CONDITION [--values SIG,...] [--limit N]
    wavequery count FILE CONDITION
    wavequery changes FILE --index I [--scope S]
    wavequery transitions FILE SIGNAL
    wavequery stats FILE SIGNAL
    wavequery snapshot FILE --index I [--scope S]

Every command takes --json. Exit status: 0, 1 when find matches nothing,
2 on an error (one line on stderr). `wavequery FILE` is `wavequery info FILE`.
"""

import argparse
import difflib
import json
import math
import sys
import threading
import time

from . import condition, formats

COMMANDS = ["info", "signals", "value", "find", "count", "changes", "transitions", "stats", "snapshot"]
SHOWN_SIGNALS = 8


def load(path):
    """Loads a trace; on a terminal, a load over a second shows its progress."""
    done = threading.Event()

    def progress():
        start = time.monotonic()
        if done.wait(1.0):
            return
        while not done.wait(0.5):
            sys.stderr.write(f"\rloading {path} ... {time.monotonic() - start:.0f} s")
            sys.stderr.flush()
        sys.stderr.write("\r" + " " * (len(path) + 24) + "\r")

    watcher = threading.Thread(target=progress, daemon=True) if sys.stderr.isatty() else None
    if watcher:
        watcher.start()
    try:
        return formats.open(path)
    finally:
        done.set()
        if watcher:
            watcher.join()


def plain(value):
    """A value as JSON can hold it (NaN and infinities as text)."""
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value


def table(rows, headers):
    """Rows of cells as aligned text columns."""
    cells = [[str(h) for h in headers]] + [["-" if c is None else str(c) for c in row] for row in rows]
    widths = [max(len(r[k]) for r in cells) for k in range(len(headers))]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in cells)


def count_transitions(trace, name):
    return len(trace.transitions(name))


def cmd_info(trace, args):
    names = trace.signal_names()
    last = trace.max_index()
    info = {"file": args.file, "format": formats.detect(args.file), "signals": len(names),
            "scopes": len(trace.scopes()), "time_stamps": last + 1, "first_time": trace.timestamp(0),
            "last_time": trace.timestamp(last), "top_scopes": trace.local_scopes(""),
            "first_signals": [{"name": n, "width": trace.signal_width(n), "transitions": count_transitions(trace, n)}
                              for n in names[:SHOWN_SIGNALS]]}
    if args.json:
        return info
    lines = [f"format:  {info['format']}", f"signals: {info['signals']}", f"scopes:  {info['scopes']}",
             f"time:    {info['first_time']} .. {info['last_time']} ({info['time_stamps']} time stamps)",
             f"top:     {', '.join(info['top_scopes']) or '-'}"]
    if names:
        rows = [(s["name"], s["width"], s["transitions"]) for s in info["first_signals"]]
        lines += ["", table(rows, ["signal", "width", "transitions"])]
        if len(names) > SHOWN_SIGNALS:
            lines.append(f"... and {len(names) - SHOWN_SIGNALS} more")
    return "\n".join(lines)


def cmd_signals(trace, args):
    if args.glob is not None:
        names = trace.find_signals_glob(args.glob)
    elif args.grep is not None:
        names = trace.find_signals_containing(args.grep)
    else:
        names = trace.signal_names()
    rows = [(n, trace.signal_width(n)) for n in names]
    if args.json:
        return [{"name": n, "width": w} for n, w in rows]
    return table(rows, ["signal", "width"]) if rows else ""


def need_signal(trace, name):
    if trace.signal_id(name) is None:
        close = difflib.get_close_matches(name, trace.signal_names(), n=3, cutoff=0.6)
        raise ValueError(f"unknown signal {name!r}" + (f"; did you mean {', '.join(close)}?" if close else ""))


def cmd_value(trace, args):
    need_signal(trace, args.signal)
    value = trace.signal_value(args.signal, args.index)
    if args.json:
        return {"signal": args.signal, "index": args.index, "time": trace.timestamp(args.index), "value": plain(value)}
    return "-" if value is None else str(value)


def cmd_find(trace, args):
    expr = condition.compile(trace, args.condition)
    names = [n for n in (args.values or "").split(",") if n]
    for n in names:
        need_signal(trace, n)
    indices = trace.parallel_find(expr)
    total = len(indices)
    shown = indices if args.limit is None else indices[:args.limit]  # values only for what is shown
    found = [{"index": i, "time": trace.timestamp(i)} for i in shown]
    for f in found if names else ():
        f["values"] = {n: plain(trace.signal_value(n, f["index"])) for n in names}
    if args.json:
        return found, total == 0
    rows = [(f["index"], f["time"], *[f.get("values", {}).get(n) for n in names]) for f in found]
    text = table(rows, ["index", "time", *names]) if found else "no match"
    if total > len(found):
        text += f"\n... {total - len(found)} more ({total} in all)"
    return text, total == 0


def cmd_count(trace, args):
    n = condition.count(trace, args.condition)
    return {"condition": args.condition, "count": n} if args.json else str(n)


def cmd_changes(trace, args):
    changes = trace.changed_at_scope(args.index, args.scope) if args.scope else trace.changed_at(args.index)
    if args.json:
        return [{"signal": n, "old": plain(a), "new": plain(b)} for n, a, b in changes]
    return table(changes, ["signal", "old", "new"]) if changes else "no change"


def cmd_transitions(trace, args):
    need_signal(trace, args.signal)
    rows = trace.transitions(args.signal)
    if args.json:
        return [{"index": i, "time": trace.timestamp(i), "old": plain(a), "new": plain(b)} for i, a, b in rows]
    return table([(i, trace.timestamp(i), a, b) for i, a, b in rows], ["index", "time", "old", "new"]) if rows else ""


def cmd_stats(trace, args):
    need_signal(trace, args.signal)
    keys = ["min", "max", "sum", "count", "transitions", "num_x", "num_z"]
    stats = dict(zip(keys, trace.signal_stats(args.signal)))
    return stats if args.json else table([list(stats.values())], keys)


def cmd_snapshot(trace, args):
    snap = trace.snapshot_scope(args.index, args.scope) if args.scope else trace.snapshot(args.index)
    if args.json:
        return {k: plain(v) for k, v in snap.items()}
    return table(list(snap.items()), ["signal", "value"]) if snap else ""


def parser():
    p = argparse.ArgumentParser(prog="wavequery", description="Ask a waveform trace questions.",
                                epilog="FILE is a VCD, FST, FSDB, VPD or WLF file, or an SHM database directory.")
    sub = p.add_subparsers(dest="command", required=True)

    def command(name, help_text, *extra):
        c = sub.add_parser(name, help=help_text)
        c.add_argument("file", metavar="FILE")
        for args, kwargs in extra:
            c.add_argument(*args, **kwargs)
        c.add_argument("--json", action="store_true", help="print JSON instead of a table")
        return c

    index = (("--index",), {"type": int, "required": True, "help": "time index"})
    scope = (("--scope",), {"help": "only signals below this scope"})
    signal = (("signal",), {"metavar": "SIGNAL"})
    cond = (("condition",), {"metavar": "CONDITION", "help": "e.g. \"top.valid && !top.ready\""})
    command("info", "format, counts, time span, top scopes")
    c = command("signals", "list signal names and widths")
    group = c.add_mutually_exclusive_group()
    group.add_argument("--glob", help="whole-name glob, e.g. 'top.*.clk'")
    group.add_argument("--grep", help="case-insensitive substring")
    command("value", "a signal's value at an index", signal, index)
    command("find", "time indices where a condition holds", cond,
            (("--values",), {"help": "comma-separated signals to show at each match"}),
            (("--limit",), {"type": int, "help": "show at most N matches"}))
    command("count", "how many time indices a condition holds at", cond)
    command("changes", "signals that changed at an index", index, scope)
    command("transitions", "every change of a signal", signal)
    command("stats", "min, max, sum, count, transitions, x and z counts of a signal", signal)
    command("snapshot", "every signal's value at an index", index, scope)
    return p


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] not in COMMANDS and not argv[0].startswith("-"):
        argv.insert(0, "info")  # `wavequery FILE`
    args = parser().parse_args(argv)
    if getattr(args, "index", 0) is not None and getattr(args, "index", 0) < 0:
        print("wavequery: --index must not be negative", file=sys.stderr)
        return 2
    try:
        trace = load(args.file)
        result = globals()[f"cmd_{args.command}"](trace, args)
    except (ValueError, TypeError, OverflowError) as err:
        print(f"wavequery: {str(err).splitlines()[0]}", file=sys.stderr)
        return 2
    missed = False
    if args.command == "find":
        result, missed = result
    try:
        out = json.dumps(result, indent=2) if args.json else result
        if out != "":
            print(out)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader of our output went away (e.g. `| head`)
        sys.stderr.close()
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
