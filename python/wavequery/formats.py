"""Choosing the reader for a trace file from its first bytes."""

import builtins
import os

from ._core import PyTrace

_FST_HEADER = bytes([0]) + (329).to_bytes(8, "big")
_SHM_MAGIC = bytes.fromhex("A19511BF")


def detect(path):
    """The format name of a trace: "shm" for a directory, else from the
    file's magic bytes, and from the extension where a format has none."""
    if os.path.isdir(path):
        return "shm"
    try:
        with builtins.open(path, "rb") as f:
            head = f.read(64)
    except OSError as e:
        raise ValueError(f"Failed to read {path}: {e.strerror} (os error {e.errno})") from None
    ext = os.path.splitext(path)[1].lower()
    wrapped = head[:1] == b"\xfe" and head[17:20] == b"\x1f\x8b\x08"  # an FST inside a gzip wrapper
    if head.startswith(_FST_HEADER) or wrapped:
        return "fst"
    if head[4:8] in (bytes.fromhex("FDE099C1"), bytes.fromhex("1C3ED948")):
        return "fsdb"
    if head[:4] == bytes.fromhex("78563412"):
        return "vpd"
    if head[:4] == _SHM_MAGIC:
        return "shm"
    text = head.lstrip()
    if text[:1] in (b"$", b"#"):
        return "vcd"
    if ext in (".wlf", ".vcd", ".fst", ".fsdb", ".vpd"):
        return ext[1:]
    raise ValueError(f"Unknown trace format: {path} (first bytes {head[:8].hex(' ')}, "
                     f"extension {ext or 'none'}); expected VCD, FST, FSDB, VPD, WLF or an SHM database")


LOADERS = {"vcd": PyTrace.from_vcd, "fst": PyTrace.from_fst, "fsdb": PyTrace.from_fsdb, "vpd": PyTrace.from_vpd,
           "wlf": PyTrace.from_wlf, "shm": PyTrace.from_shm}


def open(path):  # noqa: A001 - the package's entry point is deliberately wavequery.open
    """Load the trace at `path` with the reader its contents call for.

    >>> trace = wavequery.open("examples/counter_fsm.vcd")
    """
    path = os.fspath(path)
    return LOADERS[detect(path)](path)
