"""Every VCD of the shared corpus of real traces loads."""

import csv

from wavequery import PyTrace


def vcd_files(corpus):
    with open(corpus / "MANIFEST.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["format"].startswith(("VCD", "EVCD", "empty file")):
                yield corpus / row["path"]


def test_every_vcd_loads(corpus):
    loaded = 0
    for path in vcd_files(corpus):
        t = PyTrace.from_vcd(str(path))
        names = t.signal_names()
        last = t.max_index()
        for name in names[:50]:
            t.signal_values_range(name, 0, min(last + 1, 10_000))
        loaded += 1
    assert loaded >= 90


def test_icarus_trace_reads_like_the_file_says(corpus):
    # A known Icarus Verilog dump: every declared name is there with its width.
    for path in vcd_files(corpus):
        text = path.read_text(errors="replace")
        if "Icarus Verilog" not in text[:2000]:
            continue
        t = PyTrace.from_vcd(str(path))
        declared = [line.split() for line in text.splitlines() if line.startswith("$var")]
        assert all(t.signal_width(n) >= 1 for n in t.signal_names())
        assert len(t.signal_names()) <= len(declared)
        stamps = sum(1 for line in text.splitlines() if line.strip().startswith("#"))
        assert t.max_index() == max(stamps - 1, 0)
