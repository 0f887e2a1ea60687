"""SHM databases built byte by byte: locating the files, design records,
transition blocks, and the corpus databases."""

import struct

import pytest

from wavequery import PyTrace

MAGIC = bytes.fromhex("A19511BF")
SIGNAL = bytes.fromhex("00090700")
SCOPE_INST = bytes.fromhex("00070601")
SCOPE_DEF = bytes.fromhex("00270501")
META = bytes.fromhex("00010102")


def dsn(*records):
    """A design file: magic, header, then records chained by their next offsets.
    Each record is (tag, strings) or (tag, strings, name_offset)."""
    data = bytearray(MAGIC + bytes(124))
    for k, record in enumerate(records):
        tag, texts = record[0], record[1]
        body = b"".join(t.encode() + b"\x00" for t in texts)
        start = len(data)
        next_offset = start + 12 + len(body) if k + 1 < len(records) else 0
        name_offset = record[2] if len(record) > 2 else 0
        data += tag + struct.pack(">II", next_offset, name_offset) + body
    return bytes(data + bytes(16))


def block(states, frames, time, changes=b""):
    """A value block (64-byte header) followed by its state bytes and change data;
    the absolute offsets are filled in by trn()."""
    return (states, frames, time, changes)


def trn(*blocks, unit=7):
    data = bytearray(MAGIC + bytes(4) + struct.pack(">I", unit) + bytes(12))
    for states, frames, time, changes in blocks:
        header = bytearray(64)
        header[0:4] = bytes.fromhex("001B2200")
        start = len(data) + 64
        s, c, e = start, start + len(states), start + len(states) + len(changes)
        struct.pack_into(">I", header, 28, time)
        struct.pack_into(">I", header, 40, frames)
        struct.pack_into(">III", header, 48, e, s, c)
        data += header + states + changes
    return bytes(data)


def database(tmp_path, design, *transitions, names=("waves.dsn", "waves.trn")):
    """A database directory; transition files after the first are named
    waves_1.trn, waves_2.trn, ..., which sort after waves.trn."""
    folder = tmp_path / "waves.shm"
    folder.mkdir(exist_ok=True)
    (folder / names[0]).write_bytes(design)
    for k, t in enumerate(transitions):
        (folder / (names[1] if k == 0 else f"waves_{k}.trn")).write_bytes(t)
    return folder


TWO = dsn((SCOPE_INST, ["top"]), (SIGNAL, ["a"]), (SIGNAL, ["b"]))


def stamps(t):
    return [t.timestamp(i) for i in range(t.max_index() + 1)]


def test_evenly_spaced_toggles(tmp_path):
    folder = database(tmp_path, TWO, trn(block(b"\x10\x08", 3, 1000)))
    t = PyTrace.from_shm(str(folder))
    assert t.signal_names() == ["a", "b"] and t.scopes() == ["top"]
    assert stamps(t) == [0, 250, 500, 750, 1000]
    assert t.signal_values_range("a", 0, 5) == [1, 0, 1, 0, 0]
    assert t.signal_values_range("b", 0, 5) == [0, 1, 0, 1, 1]
    assert t.signal_width("a") == 1


def test_time_unit_and_delta_frames(tmp_path):
    # Unit code 6: times scale by 100/1000. Six state bytes, F = 3: delta frames
    # flip bits of the first state byte (bit 7 is slot 0).
    names = dsn((SIGNAL, ["s0", "s1", "s2"]))
    states = bytes([0b10100000, 0b10000000, 0b01000000, 0b11000000, 0, 0])
    folder = database(tmp_path, names, trn(block(states, 3, 80, b""), unit=6))
    t = PyTrace.from_shm(str(folder))
    assert stamps(t) == [0, 2, 4, 6, 8]
    assert t.signal_values_range("s0", 0, 5) == [1, 0, 0, 1, 1]
    assert t.signal_values_range("s1", 0, 5) == [0, 0, 1, 0, 0]
    assert t.signal_values_range("s2", 0, 5) == [1, 1, 1, 1, 1]


def test_design_records(tmp_path):
    design = dsn((SIGNAL, ["clk", "9bad", "data_1", "clk"]), (SCOPE_INST, ["top", "u"]), (SCOPE_DEF, ["top"]),
                 (META, ["meta_name"]))
    folder = database(tmp_path, design, trn())
    t = PyTrace.from_shm(str(folder))
    assert t.signal_names() == ["clk", "data_1"] and t.scopes() == ["top", "top"]
    assert stamps(t) == [0] and t.signal_values_range("clk", 0, 1) == [0]  # zero fill


def test_signal_name_before_the_record_and_forward_search(tmp_path):
    data = bytearray(dsn((META, ["pad"])))
    name_at = len(data)
    data += b"early_name\x00other\x00"
    while (len(data) - 128) % 4:  # the forward search looks at every fourth byte from a record
        data += b"\x00"
    record = len(data)
    data += SIGNAL + struct.pack(">II", 0, name_at) + b"ignored_here\x00"
    data += bytes(3) + b"\x00" * 5  # then, 4-aligned from the record, a word shaped like a tag
    while (len(data) - record) % 4:
        data += b"\x00"
    data += SIGNAL + struct.pack(">II", 0, 0) + b"found_later\x00" + bytes(16)
    folder = database(tmp_path, bytes(data))
    assert PyTrace.from_shm(str(folder)).signal_names() == ["early_name", "found_later"]


def test_locating_files(tmp_path):
    folder = database(tmp_path, TWO, trn(block(b"\x10\x08", 3, 1000)), names=("X.DSN", "Y.TRN"))
    t = PyTrace.from_shm(str(folder))
    assert t.signal_names() == ["a", "b"] and t.max_index() == 4
    # A file path finds its sibling of the other kind.
    assert PyTrace.from_shm(str(folder / "Y.TRN")).signal_names() == []  # no y.dsn
    solo = tmp_path / "solo"
    solo.mkdir()
    (solo / "x.dsn").write_bytes(TWO)
    (solo / "x.trn").write_bytes(trn(block(b"\x10\x08", 3, 1000)))
    assert PyTrace.from_shm(str(solo / "x.dsn")).max_index() == 4
    assert PyTrace.from_shm(str(solo / "x.trn")).signal_names() == ["a", "b"]
    lone = tmp_path / "lone"
    lone.mkdir()
    (lone / "z.trn").write_bytes(trn(block(b"\x10\x08", 3, 1000)))
    t = PyTrace.from_shm(str(lone / "z.trn"))
    assert t.signal_names() == [] and t.scopes() == [] and stamps(t) == [0]


def test_errors(tmp_path):
    empty = tmp_path / "empty.shm"
    empty.mkdir()
    (empty / "notes.txt").write_text("x")
    with pytest.raises(ValueError, match=r"^No \.dsn/\.trn in .*empty\.shm$"):
        PyTrace.from_shm(str(empty))
    with pytest.raises(ValueError, match=r"^DSN: No such file or directory \(os error 2\)$"):
        PyTrace.from_shm(str(tmp_path / "missing.dsn"))
    for head, text in [(bytes.fromhex("12345678"), "12345678"), (bytes.fromhex("0000000A"), "0000000A")]:
        (tmp_path / "bad.dsn").write_bytes(head + bytes(196))
        with pytest.raises(ValueError, match=rf"^Bad DSN magic: 0x{text}$"):
            PyTrace.from_shm(str(tmp_path / "bad.dsn"))
    (tmp_path / "short.dsn").write_bytes(b"\x12" * 100)
    assert PyTrace.from_shm(str(tmp_path / "short.dsn")).signal_names() == []


def test_several_transition_files_share_one_time_list(tmp_path):
    folder = database(tmp_path, TWO, trn(block(b"\x10\x08", 1, 1000)), trn(block(b"\x08\x10", 1, 500)))
    t = PyTrace.from_shm(str(folder))
    assert stamps(t) == [0, 250, 500, 1000]
    # First file: a toggles to 0 at 500 (1000 / 2), b to 1. Second file: the states
    # at 0 again, a to 1 and b to 0 at 250; each value stays at its own time.
    assert t.signal_values_range("a", 0, 4) == [0, 1, 0, 0]
    assert t.signal_values_range("b", 0, 4) == [1, 0, 1, 1]


def test_hostile_blocks_are_dropped_or_capped(tmp_path):
    data = bytearray(trn(block(b"\x10\x08", 3, 1000)))
    struct.pack_into(">I", data, 24 + 48, 2**32 - 1)  # data end past the file: dropped, its time kept
    folder = database(tmp_path, TWO, bytes(data))
    assert stamps(PyTrace.from_shm(str(folder))) == [0, 1000]
    huge = trn(block(b"\x10\x08", 2**32 - 1, 2**32 - 1))  # four billion frames: capped
    folder = database(tmp_path, TWO, huge)
    assert PyTrace.from_shm(str(folder)).max_index() > 1000


def test_corpus_databases(corpus):
    folders = sorted(corpus.glob("vendor-shm/**/*.shm"))
    assert folders
    for folder in folders:
        PyTrace.from_shm(str(folder))
    fifo = PyTrace.from_shm(str(corpus / "vendor-shm/khanhkhanh1210_Asyn-FIFO/waves.shm"))
    assert {"data_in", "data_out", "empty", "full"} <= set(fifo.signal_names())
