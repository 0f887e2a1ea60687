"""FSDB byte scanning: error texts, the legacy layout, name, type and value
blocks of the modern layout, built byte by byte, and the corpus files."""

import os
import struct
import zlib

import pytest

from wavequery import PyTrace

LEGACY = bytes.fromhex("FDE099C1")
MODERN = bytes.fromhex("1C3ED948")
START = bytes.fromhex("384300040008")     # '8' 'C' 00 04 00 08
SECTION = bytes.fromhex("440063000308")   # 'D' 00 'c' 00 03 08


def load(tmp_path, data, name="t.fsdb"):
    path = tmp_path / name
    path.write_bytes(data)
    return PyTrace.from_fsdb(str(path))


def legacy(body):
    return bytes(4) + LEGACY + bytes(264) + body


def modern(*streams, table=(), type_block=None, tail=b"", gate=0):
    """A modern-layout file: a 385-byte header (block table at 400 when
    given, type block after it), then the zlib streams, then `tail`."""
    header = bytearray(400)
    header[4:8] = MODERN
    struct.pack_into("<I", header, 40, gate)
    body = bytearray()
    if table:
        struct.pack_into("<Q", header, 264, 400)
        entries = bytearray(24)
        struct.pack_into("<H", entries, 22, len(table))
        body += entries + bytes(12 * len(table))
    if type_block is not None:
        struct.pack_into("<Q", header, 272, 400 + len(body))
        packed = zlib.compress(type_block)
        body += struct.pack("<I", len(packed)) + packed
    data = bytearray(header + body)
    for s in streams:
        data += b"\x00\x00" + zlib.compress(s)
    for k, block in enumerate(table):  # table blocks go at the end, their entries filled in
        offset = len(data)
        packed = zlib.compress(block)
        data += packed
        struct.pack_into("<II", data, 400 + 24 + 12 * k, offset, 0)
        struct.pack_into("<I", data, 400 + 32 + 12 * k, len(packed))
    return bytes(data + tail)


def name_block(*names):
    return b"".join(n.encode() + b"\x00" for n in names)


def test_error_texts(tmp_path):
    with pytest.raises(ValueError, match=r"^FSDB file too small$"):
        load(tmp_path, bytes(11))
    with pytest.raises(ValueError, match=r"^Not an FSDB file \(magic=0x00000000\)$"):
        load(tmp_path, bytes(12))
    with pytest.raises(ValueError, match=r"^Not an FSDB file \(magic=0xABCDEF0A\)$"):
        load(tmp_path, bytes(4) + bytes.fromhex("ABCDEF0A") + bytes(8))
    with pytest.raises(ValueError, match=r"^Failed to read .*nope\.fsdb: No such file or directory \(os error 2\)$"):
        PyTrace.from_fsdb(str(tmp_path / "nope.fsdb"))
    with pytest.raises(ValueError, match=r"^Failed to read .*: Is a directory \(os error 21\)$"):
        PyTrace.from_fsdb(str(tmp_path))


def test_legacy_layout(tmp_path):
    t = load(tmp_path, legacy(b"\x00top.cpu.clk\x00"))
    assert t.signal_names() == ["top.cpu.clk"] and t.signal_id("top.cpu.clk") == 0
    assert t.scopes() == ["top", "top.cpu"] and t.signal_width("top.cpu.clk") == 1
    assert t.max_index() == 0 and t.signal_value("top.cpu.clk", 0) is None
    assert load(tmp_path, legacy(b"\x00top.cpu.clk\x0a")).signal_names() == []
    assert load(tmp_path, (bytes(4) + LEGACY + bytes(264))[:272]).signal_names() == []


IDENTIFIERS = [
    ("a", True), ("_x", True), ("top.u1.q[3]", True), ("a$b", True), ("x:y", True),
    ("1abc", False), (".a", False), ("$a", False), ("a.1b", False), ("a..b", False), ("a.", False),
    ("a b", False), ("a-b", False), ("a/b", False), ("a(b", False), ("a{b", False), ("a@b", False),
    ("a=b", False), ("a+b", False), ("a\\b", False), ("run.log", False), ("x.tcl", False),
    ("w.fsdb", False), ("my_simv_top", False), ("csrc", False), ("daidir", False),
]


def test_identifier_rules(tmp_path):
    body = b"".join(b"\x00" + text.encode() + b"\x00" for text, _ in IDENTIFIERS) + b"\x00a\x00"
    names = load(tmp_path, legacy(body)).signal_names()
    assert names == [text for text, ok in IDENTIFIERS if ok]  # "a" twice: accepted once


def test_modern_names_from_rich_marked_and_lean_blocks(tmp_path):
    rich = name_block(*[f"top.r{k}" for k in range(11)])
    marked = b"8C" + bytes(2) + name_block(*[f"top.m{k}" for k in range(6)])
    lean = name_block("top.l0", "top.l1", "top.l2")
    too_few = name_block("top.x0", "top.x1")
    t = load(tmp_path, modern(lean, too_few, marked, rich))
    assert t.signal_names() == [f"top.r{k}" for k in range(11)] + [f"top.m{k}" for k in range(6)] + \
        ["top.l0", "top.l1", "top.l2"]
    assert t.scopes() == ["top"]
    # A block mentioning simv is never used, however many names it holds.
    assert load(tmp_path, modern(rich + b"simv\x00")).signal_names() == []


def test_twenty_stream_limit(tmp_path):
    junk = [name_block("ab") for _ in range(19)]
    lean = name_block("top.a", "top.b", "top.c")
    assert load(tmp_path, modern(*junk, lean)).signal_names() == ["top.a", "top.b", "top.c"]
    assert load(tmp_path, modern(*junk, name_block("xy"), lean)).signal_names() == []


def test_names_from_the_tail(tmp_path):
    tail = bytearray(4096)
    chain = b"\x02top\x00clk\x00bad-name\x00"
    tail[100:100 + len(chain)] = chain
    skipped = b"\x04\x02skip\x00me\x00"
    tail[300:300 + len(skipped)] = skipped
    t = load(tmp_path, modern(tail=bytes(tail)))
    assert t.signal_names() == ["top", "clk"]
    # Not when a name block gave names, nor for files of 4096 bytes or fewer.
    lean = name_block("top.a1", "top.b1", "top.c1")
    assert load(tmp_path, modern(lean, tail=bytes(tail))).signal_names() == ["top.a1", "top.b1", "top.c1"]
    small = bytes(100) + chain + bytes(2000)  # the same chain in a file of 4096 bytes or fewer
    assert load(tmp_path, modern(tail=small)).signal_names() == []


def test_widths_from_the_type_block(tmp_path):
    names = name_block("top.a", "top.b", "top.c")
    t = load(tmp_path, modern(names, type_block=b"\x01\x00x\x02\x00\x00\x00\x01\x00j"))
    assert [t.signal_width(n) for n in t.signal_names()] == [16, 2, 1]
    t = load(tmp_path, modern(names, type_block=b"\x01\x00C\x00\x00\x01\x00}\x01\x00D"))
    assert [t.signal_width(n) for n in t.signal_names()] == [8, 32, 8]
    t = load(tmp_path, modern(names, type_block=b"\x21\x01\x00x"))
    assert [t.signal_width(n) for n in t.signal_names()] == [1, 1, 1]
    t = load(tmp_path, modern(names, type_block=b"\x01\x00x", gate=85))  # header gate closed
    assert t.signal_width("top.a") == 1


def values(t, name):
    return t.signal_values_range(name, 0, t.max_index() + 1)


THREE = name_block("top.s0", "top.s1", "top.s2")


def test_value_block_without_separators(tmp_path):
    t = load(tmp_path, modern(THREE, START + bytes.fromhex("01050207")))
    assert [t.timestamp(i) for i in range(3)] == [0, 10, 30]
    assert values(t, "top.s0") == [0, 5, 7]
    assert values(t, "top.s1") == [0, 0, 0] and values(t, "top.s2") == [0, 0, 0]


def test_value_block_with_separators_and_clock(tmp_path):
    t = load(tmp_path, modern(THREE, START + bytes.fromhex("0105010608020908")))
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 10]
    assert values(t, "top.s0") == [5, 6]  # the first change with delta 1 falls on the base time
    t = load(tmp_path, modern(THREE, START + bytes.fromhex("0105010608") + bytes.fromhex("40000231")))
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert stamps == [0, 5, 10, 15, 20]  # the clock: step 5 up to the last change + 10
    assert values(t, "top.s0") == [1, 0, 1, 0, 1]  # the clock, made last, wins over the changes


def test_header_values_initial_codes_fixed_value_and_offsets(tmp_path):
    # Header varints: V[3] = 2 (a limit of 2 pairs), V[4] = 9 (fixed value), V[5] = 1 (at time 10).
    header = bytes([0, 0, 0, 2, 9, 1])
    region = bytes.fromhex("8100 0101 0102 0103")  # an offset code, then three changes (the third over the limit)
    section = SECTION + bytes.fromhex("4142000000")  # initial codes 0x41 0x42
    names = name_block(*[f"top.s{k}" for k in range(6)])
    t = load(tmp_path, modern(names, header + START + region + section))
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert stamps == [0, 10, 11, 20, 21]
    assert values(t, "top.s1") == [65] * 5 and values(t, "top.s2") == [66] * 5
    assert values(t, "top.s3") == [0, 9, 9, 9, 9]          # the fixed value at 5 * V[5] + 5
    assert values(t, "top.s4") == [0, 1, 1, 2, 2]          # the changes (10, 1), (20, 2), capped at 2
    assert values(t, "top.s5") == [0, 0, 1, 1, 2]          # offset code 0x81: the changes one later
    assert values(t, "top.s0") == [0] * 5


def test_blocks_without_markers_and_too_short(tmp_path):
    # Without the start marker, C1 21 00 00 stands for a header of four varints and six
    # bytes passed over; FF FF FF FF ends the change region.
    block = bytes([1, 2, 3, 0]) + b"XXXXXX" + bytes.fromhex("0104") + b"\xff" * 110 + bytes.fromhex("C1210000")
    t = load(tmp_path, modern(THREE, block))
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 10]
    assert values(t, "top.s0") == [0, 4] and values(t, "top.s2") == [0, 0]
    # At 119 bytes the same ending makes it a name candidate with too few strings: not used.
    short = load(tmp_path, modern(THREE, block[:8] + block[-111:]))
    assert short.max_index() == 0
    assert load(tmp_path, modern(THREE, START[:4] + b"\x00\x00\x01")).max_index() == 0  # 7 bytes: skipped
    nothing = load(tmp_path, modern(THREE, b"8Cxxxxxxxxxxx"))  # no start marker, no C1 21 00 00
    assert nothing.max_index() == 0 and values(nothing, "top.s0") == [None]


def test_later_blocks_insert_times_and_carry_values(tmp_path):
    first = START + bytes.fromhex("0005 0207")          # signal 0: 5 at time 5, 7 at time 15
    second = START + bytes.fromhex("0009")              # signal 0: 9 at time 5 again
    third = START + bytes.fromhex("0102")               # signal 0: 2 at time 10, between earlier times
    t = load(tmp_path, modern(THREE, first, second, third))
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 5, 10, 15]
    # Each value stays with its time: 9 replaced 5 at time 5, 7 stays at 15, and
    # the new time 10 takes 2 while 15 keeps 7.
    assert values(t, "top.s0") == [0, 9, 2, 7]


def test_no_names_still_gets_a_clock(tmp_path):
    t = load(tmp_path, modern(START + bytes.fromhex("0105") + b"\x08" + bytes.fromhex("40000230")))
    assert t.signal_names() == [] and t.max_index() >= 1


def test_random_bytes_load_quickly(tmp_path):
    data = bytes(4) + MODERN + os.urandom(5 << 20)
    load(tmp_path, data)  # loads, whatever it finds


def test_corpus_fsdb_files_load(corpus):
    files = sorted(corpus.glob("vendor-fsdb/**/*.fsdb"))
    assert files
    for path in files:
        t = PyTrace.from_fsdb(str(path))
        assert t.max_index() >= 0 and len(t.signal_names()) == len(set(t.signal_names()))
