"""The bundled example: real simulator output, and the summary command."""

import subprocess
import sys

from wavequery import PyTrace
from conftest import ROOT

EXAMPLE = ROOT / "examples" / "counter_fsm.vcd"


def test_example_trace_reads():
    t = PyTrace.from_vcd(str(EXAMPLE))
    assert "top.u_counter.count" in t.signal_names()
    assert t.signal_id("top.clk") == t.signal_id("top.u_counter.clk")  # one code, two names
    counts = [v for v in t.signal_values_range("top.u_counter.count", 0, t.max_index() + 1) if v is not None]
    assert all(b in (a, (a + 1) % 256) for a, b in zip(counts, counts[1:]))  # counts up by one
    assert max(counts) > 20
    assert t.signal_value("top.bus", 0) is None  # z while released


def test_summary_command():
    out = subprocess.run([sys.executable, "-m", "wavequery", str(EXAMPLE)], capture_output=True, text=True, check=True)
    assert "signals: 19" in out.stdout and "transitions" in out.stdout


def test_summary_command_error():
    out = subprocess.run([sys.executable, "-m", "wavequery", "/nonexistent.vcd"], capture_output=True, text=True)
    assert out.returncode == 2 and out.stderr.startswith("wavequery: Failed to read /nonexistent.vcd")
