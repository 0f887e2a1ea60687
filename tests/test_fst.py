"""FST loading: differential checks against the VCD a file was made from
(vcd2fst in every packing, Icarus Verilog in every FST mode), hand-built
files for the layouts the tools do not write, damaged and hostile files, and
the shared corpus."""

import math
import pathlib
import re
import shutil
import struct
import subprocess

import pytest

import fstbuild as fb
from conftest import DATA
from wavequery import PyTrace

RANGE = re.compile(r" ?\[[^\]]*\]$")
SEEDS = pathlib.Path(__file__).resolve().parent / "fuzz" / "fst_seeds"


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def assert_matches_vcd(fst, vcd, skip_values=lambda a, b: False):
    """Names (the FST's may carry the bit range), scopes, widths (a real is
    8 bytes in FST), alias classes, time stamps, and every value at every
    index agree."""
    names = {RANGE.sub("", n): n for n in fst.signal_names()}
    assert sorted(names) == sorted(vcd.signal_names())
    assert fst.scopes() == vcd.scopes()
    assert [fst.timestamp(i) for i in range(fst.max_index() + 1)] == \
        [vcd.timestamp(i) for i in range(vcd.max_index() + 1)]
    classes = {}
    for n in vcd.signal_names():
        classes.setdefault(vcd.signal_id(n), set()).add(n)
    for members in classes.values():
        assert len({fst.signal_id(names[n]) for n in members}) == 1
    assert len({fst.signal_id(n) for n in fst.signal_names()}) == len(classes)
    for n, f in names.items():
        width = fst.signal_width(f)
        assert width == vcd.signal_width(n) or (width == 8 and isinstance(fst.signal_value(f, 1), float))
        for i in range(vcd.max_index() + 2):
            a, b = vcd.signal_value(n, i), fst.signal_value(f, i)
            if not skip_values(a, b):
                assert same(a, b), (n, i, a, b)
            assert vcd.signal_value_raw(n, i) == fst.signal_value_raw(f, i) or skip_values(a, b)


needs_vcd2fst = pytest.mark.skipif(not shutil.which("vcd2fst"), reason="GTKWave's vcd2fst is not installed")
needs_iverilog = pytest.mark.skipif(not shutil.which("iverilog"), reason="Icarus Verilog is not installed")


@needs_vcd2fst
@pytest.mark.parametrize("option", ["-4", "-F", "-Z", "-c", "-p"])
def test_vcd2fst_packings_match_the_vcd(tmp_path, option):
    source = DATA / "fst_source.vcd"
    out = tmp_path / "t.fst"
    subprocess.run(["vcd2fst", option, str(source), str(out)], check=True, capture_output=True)
    assert_matches_vcd(PyTrace.from_fst(str(out)), PyTrace.from_vcd(str(source)))


@needs_vcd2fst
def test_vcd2fst_long_trace_with_wide_signals(tmp_path):
    # Wide vectors over 2,000 steps make per-signal streams past 64 KiB: FastLZ level 2.
    lines = ["$scope module t $end", "$var wire 300 ! w [299:0] $end", "$var wire 1 \" b $end",
             "$upscope $end", "$enddefinitions $end"]
    for k in range(2000):
        lines += [f"#{k * 3}", "b" + format(k * 2654435761 % (1 << 300), "b") + " !", f"{k % 2}\""]
    source = tmp_path / "long.vcd"
    source.write_text("\n".join(lines) + "\n")
    vcd = PyTrace.from_vcd(str(source))
    for option in ["-F", "-4", "-Z"]:
        out = tmp_path / f"long{option}.fst"
        subprocess.run(["vcd2fst", option, str(source), str(out)], check=True, capture_output=True)
        assert_matches_vcd(PyTrace.from_fst(str(out)), vcd)


@needs_iverilog
@pytest.mark.parametrize("mode", ["-fst", "-fst-speed", "-fst-space"])
def test_icarus_fst_matches_its_vcd(tmp_path, mode):
    sim = tmp_path / "d.vvp"
    subprocess.run(["iverilog", "-o", str(sim), str(DATA / "fst_design.v")], check=True, capture_output=True)
    subprocess.run(["vvp", "-n", str(sim), "+dump=d.vcd"], check=True, capture_output=True,
                   cwd=tmp_path)
    subprocess.run(["vvp", "-n", str(sim), mode, "+dump=d.fst"], check=True, capture_output=True,
                   cwd=tmp_path)
    fst = PyTrace.from_fst(str(tmp_path / "d.fst"))
    # Icarus writes the VCD's x scalars as x in the FST too, which both read as None.
    assert_matches_vcd(fst, PyTrace.from_vcd(str(tmp_path / "d.vcd")))
    assert fst.max_index() == 480


@pytest.mark.skipif(not shutil.which("verilator"), reason="Verilator is not installed")
def test_verilator_fst_matches_its_vcd(tmp_path):
    traces = {}
    for flag, name in [("--trace", "t.vcd"), ("--trace-fst", "t.fst")]:
        subprocess.run(["verilator", "--binary", flag, "-j", "2", "-Mdir", str(tmp_path / name), "-o", "sim",
                        str(DATA / "vl_design.v")], check=True, capture_output=True, cwd=tmp_path)
        subprocess.run([str(tmp_path / name / "sim")], check=True, capture_output=True, cwd=tmp_path)
        traces[name] = str((tmp_path / "trace.out").rename(tmp_path / name / "trace"))
    fst = PyTrace.from_fst(traces["t.fst"])
    assert_matches_vcd(fst, PyTrace.from_vcd(traces["t.vcd"]))
    assert fst.max_index() == 200 and fst.signal_value("TOP.vl_design.level", 200) == 50.0


# --- hand-built files ---------------------------------------------------------------

def small_file(gen=8, alias=True):
    records = (fb.scope("top") + fb.var("a", 1) + fb.var("v", 8) + fb.var("r", 8, kind=3) + fb.var("s", 0, kind=21)
               + fb.var("b", 1) + fb.UPSCOPE + fb.var("a_alias", 1, alias=1))
    streams = [
        fb.bit(0, 1) + fb.bit(2, 0),                                # a: 1 at 10, 0 at 30
        fb.vector(1, "10100101") + fb.chars(1, "1x0z1010"),         # v: at 20, 30
        fb.real(0, 1.5) + b"\x02" + bytes([0b01100110]),            # r: 1.5 at 10, a packed real at 20
        fb.text(0, b"hello") + fb.text(1, b"1010") + fb.text(1, b"U"),  # s
        ("alias", 0) if alias else fb.bit(0, 1) + fb.bit(2, 0),     # b: the same stream as a
    ]
    frame = b"0" + b"00000000" + struct.pack("<d", 0.0) + b"x"
    blocks = [fb.value_block([10, 20, 30], streams, frame=frame, frame_handles=5, begin=5, gen=gen)]
    return fb.fst_file(records, [1, 8, 0, 0xFFFFFFFF, 1], blocks)


@pytest.mark.parametrize("gen", [1, 5, 8])
def test_position_table_generations_and_value_encodings(tmp_path, gen):
    path = tmp_path / "s.fst"
    path.write_bytes(small_file(gen, alias=gen != 1))
    t = PyTrace.from_fst(str(path))
    assert t.signal_names() == ["top.a", "top.v", "top.r", "top.s", "top.b", "a_alias"]
    assert t.scopes() == ["top"]
    assert [t.timestamp(i) for i in range(4)] == [10, 20, 30, 0]
    assert t.signal_id("a_alias") == t.signal_id("top.a") != t.signal_id("top.b")
    assert [t.signal_width(n) for n in ["top.a", "top.v", "top.r", "top.s", "nope"]] == [1, 8, 8, 0, 1]
    # The frame (begin time 5, before the first stamp) lands on index 0, and the first change there replaces it.
    assert t.signal_values_range("top.a", 0, 4) == [1, 1, 0, None]
    assert t.signal_values_range("top.b", 0, 3) == [1, 1, 0]
    assert t.signal_values_range("top.v", 0, 3) == [0, 0b10100101, None]
    packed = struct.unpack("<d", b"01100110")[0]
    assert t.signal_values_range("top.r", 0, 3) == [1.5, packed, packed]
    assert t.signal_values_range("top.s", 0, 3) == [None, 10, "U"]  # hello has h and l: Logic


def test_blocks_share_boundary_times_and_repeat_times(tmp_path):
    records = fb.scope("t") + fb.var("a", 1) + fb.UPSCOPE
    first = fb.value_block([0, 10, 10], [fb.bit(0, 1) + fb.bit(1, 0) + fb.bit(1, 1)], frame=b"0", frame_handles=1)
    second = fb.value_block([10, 20], [fb.bit(1, 0)], frame=b"1", frame_handles=1)
    path = tmp_path / "m.fst"
    path.write_bytes(fb.fst_file(records, [1], [first, second]))
    t = PyTrace.from_fst(str(path))
    assert [t.timestamp(i) for i in range(3)] == [0, 10, 20] and t.max_index() == 2
    assert t.signal_values_range("t.a", 0, 3) == [1, 1, 0]  # the last change at 10 wins


def test_first_variable_of_a_name_wins(tmp_path):
    # Two variables named t.a with their own handles: the second registers nothing.
    records = fb.scope("t") + fb.var("a", 1) + fb.var("a", 1) + fb.var("b", 1) + fb.UPSCOPE
    block = fb.value_block([0, 1], [fb.bit(0, 1), fb.bit(0, 0) + fb.bit(1, 1), fb.bit(1, 1)])
    path = tmp_path / "d.fst"
    path.write_bytes(fb.fst_file(records, [1, 1, 1], [block]))
    t = PyTrace.from_fst(str(path))
    assert t.signal_names() == ["t.a", "t.b"]
    assert (t.signal_id("t.a"), t.signal_id("t.b")) == (0, 1)
    assert t.signal_values_range("t.a", 0, 2) == [1, 1] and t.signal_values_range("t.b", 0, 2) == [None, 1]


def test_file_without_changes_and_side_file_hierarchy(tmp_path):
    records = fb.scope("t") + fb.var("a", 4) + fb.UPSCOPE
    no_blocks = fb.header(max_handle=1, blocks=0) + fb.geometry([4]) + fb.hierarchy(records)
    (tmp_path / "empty.fst").write_bytes(no_blocks)
    t = PyTrace.from_fst(str(tmp_path / "empty.fst"))
    assert t.signal_names() == ["t.a"] and t.max_index() == 0 and t.signal_value("t.a", 0) is None
    # A writer still running: no geometry or hierarchy block yet, the hierarchy in "<file>.hier".
    running = fb.header(max_handle=1) + fb.value_block([0, 5], [fb.vector(0, "0011") + fb.vector(1, "0110")])
    (tmp_path / "run.fst").write_bytes(running)
    with pytest.raises(ValueError, match=r"^FST hierarchy: The FST file is incomplete: hierarchy block is missing\.$"):
        PyTrace.from_fst(str(tmp_path / "run.fst"))
    (tmp_path / "run.fst.hier").write_bytes(records)
    t = PyTrace.from_fst(str(tmp_path / "run.fst"))
    assert t.signal_values_range("t.a", 0, 2) == [3, 6]


# --- errors and hostile input -------------------------------------------------------


def test_open_errors(tmp_path):
    with pytest.raises(ValueError, match=r"^Failed to open .*nope\.fst: No such file or directory \(os error 2\)$"):
        PyTrace.from_fst(str(tmp_path / "nope.fst"))
    with pytest.raises(ValueError, match=r"^Failed to open .*: Is a directory \(os error 21\)$"):
        PyTrace.from_fst(str(tmp_path))
    (tmp_path / "x.vcd").write_text("$enddefinitions $end\n#0\n")
    with pytest.raises(ValueError, match=r"^FST open: "):
        PyTrace.from_fst(str(tmp_path / "x.vcd"))
    (tmp_path / "empty").write_bytes(b"")
    with pytest.raises(ValueError, match=r"^FST open: I/O operation failed$"):
        PyTrace.from_fst(str(tmp_path / "empty"))


def wrapper(inner_size, body, length=None):
    length = len(body) + 16 if length is None else length
    return bytes([254]) + struct.pack(">QQ", length, inner_size) + body


HOSTILE = [
    ("wrapper still compressing", wrapper(100, b"\x1f\x8b\x08" + bytes(20), length=0),
     "FST open: The FST file is still being compressed into its final GZIP wrapper."),
    ("wrapper around garbage", wrapper(100, b"garbage garbage garbage"), "FST open: failed to parse a gzip header"),
    ("wrapper with a broken stream", wrapper(100, b"\x1f\x8b\x08" + bytes(7) + b"\xff" * 30),
     "FST open: failed to decompress gzip stream"),
    ("wrapper claiming 2^60 bytes", wrapper(1 << 60, b"\x1f\x8b\x08" + bytes(30)), "FST open: I/O operation failed"),
    ("geometry of 2^32 handles", fb.header() + fb.geometry([1], handles=1 << 32), "FST open: I/O operation failed"),
    ("varint of 11 bytes", fb.header() + fb.geometry([1]) + fb.hierarchy(b"\x10\x00a\x00" + b"\x80" * 11 + b"\x00"),
     "FST hierarchy: failed to read leb128 integer, more than the expected 64 bits"),
    ("name that is not UTF-8", fb.header() + fb.geometry([1]) + fb.hierarchy(b"\x10\x00\xff\x00\x01\x00"),
     "FST hierarchy: failed to decode string"),
    ("corrupt gzip hierarchy", fb.header() + fb.geometry([1]) + fb.block(4, struct.pack(">Q", 50) + b"\x1f\x8b\x08"
                                                                         + bytes(7) + b"\x13" * 20),
     "FST hierarchy: failed to decompress gzip stream"),
    ("corrupt lz4 hierarchy", fb.header() + fb.geometry([1]) + fb.block(6, struct.pack(">Q", 50) + b"\xff" * 9),
     "FST hierarchy: failed to decompress with lz4"),
    ("stream past its block", fb.header(max_handle=1) + fb.value_block([0], [fb.bit(5, 1)]) + fb.geometry([1])
     + fb.hierarchy(fb.var("a", 1)), "FST signals: I/O operation failed"),
]


@pytest.mark.parametrize("name,data,error", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_hostile_files_give_clear_errors(tmp_path, name, data, error):
    path = tmp_path / "h.fst"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        PyTrace.from_fst(str(path))
    assert str(info.value).startswith(error)


def test_truncated_and_corrupted_files_never_crash(tmp_path):
    # Every prefix of real files, and every byte of one flipped: each loads or fails with an FST text.
    path = tmp_path / "c.fst"
    for seed in sorted(SEEDS.glob("*.fst")):
        data = seed.read_bytes()
        for cut in range(0, len(data), 7):
            path.write_bytes(data[:cut])
            try:
                PyTrace.from_fst(str(path))
            except ValueError as e:
                assert str(e).startswith("FST ")
    data = bytearray((SEEDS / "mixed_Z.fst").read_bytes())
    for at in range(len(data)):
        damaged = bytearray(data)
        damaged[at] ^= 0x5A
        path.write_bytes(damaged)
        try:
            PyTrace.from_fst(str(path))
        except ValueError as e:
            assert str(e).startswith("FST ")


# --- the shared corpus -------------------------------------------------------------


def test_corpus_fst_files_load_and_agree_with_their_vcd(corpus):
    files = sorted(p for p in corpus.rglob("*.fst"))
    assert files
    for path in files:
        PyTrace.from_fst(str(path))
    pairs = [(p.with_suffix(""), p) for p in corpus.rglob("*.vcd.fst")]
    pairs += [(p, p.with_suffix("")) for p in corpus.rglob("*.fst.vcd")]
    checked = 0
    for vcd_path, fst_path in pairs:
        if not vcd_path.exists() or not fst_path.exists():
            continue
        vcd, fst = PyTrace.from_vcd(str(vcd_path)), PyTrace.from_fst(str(fst_path))
        names = {RANGE.sub("", n): n for n in fst.signal_names()}
        stamps = vcd.max_index() + 1
        if fst.max_index() + 1 != stamps:
            continue  # the FST copy holds no value changes (libsigrok)
        step = max(1, stamps // 200)
        for n in vcd.signal_names()[:200]:
            if n not in names:
                continue  # bit-blasted names the VCD reader folds together
            for i in range(0, stamps, step):
                a, b = vcd.signal_value(n, i), fst.signal_value(names[n], i)
                # The VCD reader keeps no value before the first time stamp and reads
                # 9-state letters as digits; the FST keeps those as given.
                if a is not None and not isinstance(b, str):
                    assert same(a, b), (vcd_path.name, n, i, a, b)
        checked += 1
    assert checked >= 30
