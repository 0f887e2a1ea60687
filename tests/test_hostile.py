"""Bad input: never a crash, a hang or an unbounded allocation."""

import os
import random

import pytest

from wavequery import PyTrace
from conftest import values


def test_directory_gives_a_clear_error(tmp_path):
    with pytest.raises(ValueError, match=r"^Failed to read .*: Is a directory \(os error 21\)$"):
        PyTrace.from_vcd(str(tmp_path))


def test_binary_garbage_loads_as_an_empty_trace(tmp_path):
    rng = random.Random(3)
    path = tmp_path / "garbage.vcd"
    path.write_bytes(bytes(rng.getrandbits(8) for _ in range(1 << 20)))
    t = PyTrace.from_vcd(str(path))
    assert isinstance(t.signal_names(), list)


def test_line_of_100_mb_without_line_feed_is_skipped(tmp_path):
    path = tmp_path / "long.vcd"
    with open(path, "wb") as f:
        f.write(b"$var wire 1 ! a $end\n#0\n1!\n#1\nb")
        block = b"01" * (1 << 19)
        for _ in range(100):
            f.write(block)
        f.write(b" !\n#2\n0!\n")
    t = PyTrace.from_vcd(str(path))
    assert values(t, "a", 0) == [1, 1, 0]  # the over-long vector change is dropped
    # the same over-long line in memory is dropped the same way
    text = "$var wire 1 ! a $end\n#0\n1!\nb" + "1" * (17 << 20) + " !\n#1\n"
    assert values(PyTrace.from_vcd_string(text), "a", 0) == [1, 1]


def test_truncated_file_keeps_what_was_read(tmp_path):
    full = "$scope module top $end\n$var wire 8 ! v $end\n$upscope $end\n#0\nb101 !\n#1\nb110 !\n"
    path = tmp_path / "cut.vcd"
    for cut in range(len(full)):
        path.write_text(full[:cut])
        PyTrace.from_vcd(str(path))
    path.write_text(full[:-4])  # the last change lost its code
    t = PyTrace.from_vcd(str(path))
    assert values(t, "top.v", 0) == [5, 5]


def test_huge_declared_width_allocates_nothing():
    t = PyTrace.from_vcd_string("$var wire 4294967295 ! w $end\n#0\nb1 !\n")
    assert t.signal_width("w") == 4294967295
    assert t.signal_value("w", 0) == 1


def test_ten_thousand_character_identifier():
    code = "".join(chr(33 + i % 94) for i in range(10_000))
    t = PyTrace.from_vcd_string(f"$var wire 1 {code} s $end\n#0\n1{code}\n")
    assert t.signal_value("s", 0) == 1


def test_huge_range_is_a_prompt_memory_error():
    t = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n")
    for end in (2**63, 2**64 - 1):
        with pytest.raises(MemoryError):
            t.signal_values_range("a", 0, end)
    with pytest.raises(MemoryError):
        t.signal_values_range("nope", 0, 2**62)


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_device_without_line_feeds_is_bounded(tmp_path):
    # 64 MiB of NUL bytes through a FIFO: one endless line, skipped with bounded memory.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    pid = os.fork()
    if pid == 0:
        try:
            with open(fifo, "wb") as f:
                zeros = bytes(1 << 20)
                for _ in range(64):
                    f.write(zeros)
                f.write(b"\n$var wire 1 ! a $end\n#0\n1!\n")
        finally:
            os._exit(0)
    t = PyTrace.from_vcd(str(fifo))
    os.waitpid(pid, 0)
    assert t.signal_value("a", 0) == 1
