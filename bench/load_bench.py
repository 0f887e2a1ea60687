"""Load the same VCD (or FST) file with wavequery and with peer libraries,
each in a fresh process, and print one table of wall time, peak RSS and bytes
of RSS per value change, with each peer's ratio to wavequery.

    python bench/load_bench.py FILE [FILE ...] [--tools wavequery,pywellen,vcdvcd] [--repeat 3]

Peers come from PyPI (pip install pywellen vcdvcd); a missing peer is skipped.
"""

import argparse
import json
import os
import subprocess
import sys

# Each loader runs in its own interpreter and prints seconds and peak RSS.
LOADERS = {
    "wavequery": """
from wavequery import PyTrace
t = PyTrace.from_vcd(PATH) if PATH.endswith('.vcd') else PyTrace.from_fst(PATH)
assert t.signal_names() is not None
""",
    # Touching var.signal makes pywellen decode that signal's values; they are
    # kept, as wavequery keeps every value it loads.
    "pywellen": """
import pywellen
w = pywellen.Waveform(PATH)
signals = [v.signal for v in w.all_vars()]
""",
    "vcdvcd": """
import vcdvcd
vcdvcd.VCDVCD(PATH, store_tvs=True)
""",
}

HARNESS = """
import resource, sys, time
PATH = sys.argv[1]
start = time.perf_counter()
{body}
elapsed = time.perf_counter() - start
peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(elapsed, peak_kib)
"""

BASELINE = """
import resource
print(0.0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def run(tool, path):
    code = HARNESS.format(body=LOADERS[tool]) if tool else BASELINE
    out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(out.stderr.strip().splitlines()[-1] if out.stderr else "failed")
    seconds, kib = out.stdout.split()
    return float(seconds), int(kib) * 1024


def count_changes(path):
    """Value change lines after $enddefinitions (VCD only)."""
    if not path.endswith(".vcd"):
        sidecar = path + ".changes"
        return int(open(sidecar).read()) if os.path.exists(sidecar) else None
    n = 0
    body = False
    with open(path, "rb") as f:
        for line in f:
            if body:
                c = line[:1]
                if c and c in b"01xXzZbBrR":
                    n += 1
            elif line.startswith(b"$enddefinitions"):
                body = True
    return n


def available(tool):
    module = {"wavequery": "wavequery", "pywellen": "pywellen", "vcdvcd": "vcdvcd"}[tool]
    probe = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
    return probe.returncode == 0


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="+")
    p.add_argument("--tools", default="wavequery,pywellen,vcdvcd")
    p.add_argument("--repeat", type=int, default=3, help="runs per tool; the fastest is kept")
    p.add_argument("--json", action="store_true")
    a = p.parse_args()
    tools = [t for t in a.tools.split(",") if available(t)]
    base_seconds, base_rss = run(None, a.files[0])
    rows = []
    for path in a.files:
        changes = count_changes(path)
        size_mb = os.path.getsize(path) / 1e6
        results = {}
        for tool in tools:
            best = None
            for _ in range(a.repeat if tool != "vcdvcd" else 1):
                try:
                    r = run(tool, path)
                except RuntimeError as err:
                    print(f"{tool} failed on {path}: {err}", file=sys.stderr)
                    break
                best = r if best is None or r[0] < best[0] else (best[0], max(best[1], r[1]))
            if best:
                results[tool] = best
        ref = results.get("wavequery")
        for tool, (seconds, rss) in results.items():
            row = {
                "file": os.path.basename(path), "size_mb": round(size_mb, 1), "changes": changes,
                "tool": tool, "seconds": round(seconds, 3), "peak_rss_mb": round(rss / 1e6, 1),
                "rss_bytes_per_change": round((rss - base_rss) / changes, 1) if changes else None,
                "time_ratio": round(seconds / ref[0], 2) if ref else None,
                "rss_ratio": round(rss / ref[1], 2) if ref else None,
            }
            rows.append(row)
    if a.json:
        print(json.dumps(rows, indent=1))
        return
    print(f"interpreter baseline RSS {base_rss / 1e6:.1f} MB (subtracted for bytes/change)")
    head = f"{'file':<16}{'MB':>7}{'changes':>11}  {'tool':<10}{'seconds':>9}{'peak MB':>9}{'B/chg':>7}{'time x':>8}{'RSS x':>7}"
    print(head)
    print("-" * len(head))
    for r in rows:
        print(f"{r['file']:<16}{r['size_mb']:>7}{r['changes'] or '-':>11}  {r['tool']:<10}{r['seconds']:>9.3f}"
              f"{r['peak_rss_mb']:>9.1f}{r['rss_bytes_per_change'] or '-':>7}{r['time_ratio'] or '-':>8}{r['rss_ratio'] or '-':>7}")


if __name__ == "__main__":
    main()
