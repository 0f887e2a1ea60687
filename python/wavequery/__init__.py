"""Load simulation waveform traces and query them.

    import wavequery
    trace = wavequery.open("run.fst")                 # VCD, FST, FSDB, VPD, WLF or SHM
    wavequery.find(trace, "top.valid && !top.ready")  # time indices where it holds
"""

from ._core import PyExpr, PyTrace
from .condition import ConditionError, compile, count, find
from .formats import detect, open

__all__ = ["PyTrace", "PyExpr", "open", "detect", "compile", "find", "count", "ConditionError"]
