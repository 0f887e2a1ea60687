import os
import pathlib

import pytest

from wavequery import PyTrace

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus"
DATA = pathlib.Path(__file__).resolve().parent / "data"


def vcd(body, header="$scope module top $end\n$var wire 1 ! a $end\n$upscope $end\n$enddefinitions $end\n"):
    """A trace from VCD text: a one-signal header (top.a, code !) unless given."""
    return PyTrace.from_vcd_string(header + body)


def values(trace, name, extra=2):
    """Every value of `name`, plus `extra` indices past the end."""
    return trace.signal_values_range(name, 0, trace.max_index() + 1 + extra)


@pytest.fixture
def corpus():
    if not CORPUS.is_dir():
        pytest.skip("the shared corpus folder is not present")
    return CORPUS
