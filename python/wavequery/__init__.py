"""Load simulation waveform traces and query them."""

from ._core import PyExpr, PyTrace

__all__ = ["PyTrace", "PyExpr"]
