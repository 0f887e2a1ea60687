"""The pure-Python layer: format detection, the condition language, the
command line, the type stub and the README's examples."""

import ast
import json
import pathlib
import re
import struct
import subprocess
import sys

import pytest

import wavequery
from conftest import ROOT
from wavequery import PyExpr as E
from wavequery import PyTrace

EXAMPLE = str(ROOT / "examples" / "counter_fsm.vcd")
SEEDS = ROOT / "tests" / "fuzz"


@pytest.fixture(scope="module")
def trace():
    return wavequery.open(EXAMPLE)


def test_open_detects_each_format(tmp_path):
    cases = {
        "vcd": pathlib.Path(EXAMPLE),
        "fst": SEEDS / "fst_seeds" / "mixed_Z.fst",
        "fst (gzip-wrapped)": SEEDS / "fst_seeds" / "mixed_c.fst",
        "fsdb": SEEDS / "fsdb_seeds" / "names_values.fsdb",
    }
    vpd = tmp_path / "x.bin"
    vpd.write_bytes(struct.pack("<I", 0x12345678) + bytes(200))
    cases["vpd"] = vpd
    wlf = tmp_path / "x.wlf"
    wlf.write_bytes(bytes(8192))
    cases["wlf"] = wlf
    shm = tmp_path / "db.shm"
    shm.mkdir()
    (shm / "w.trn").write_bytes(bytes.fromhex("A19511BF") + bytes(40))
    cases["shm"] = shm
    for fmt, path in cases.items():
        assert wavequery.detect(str(path)) == fmt.split()[0], fmt
        assert isinstance(wavequery.open(path), PyTrace)
    unknown = tmp_path / "x.dat"
    unknown.write_bytes(b"\x01\x02\x03 hello")
    with pytest.raises(ValueError, match=r"Unknown trace format: .*x\.dat \(first bytes 01 02 03 20"):
        wavequery.open(unknown)
    with pytest.raises(ValueError, match=r"Failed to read .*missing"):
        wavequery.open(tmp_path / "missing")


CONDITIONS = [
    # (text, equivalent tree over the example's signals)
    ("top.valid && !top.ready", lambda s: s("top.valid").and_(s("top.ready").not_())),
    ("top.valid || top.ready", lambda s: s("top.valid").or_(s("top.ready"))),
    ("top.count == 0x10", lambda s: s("top.count").eq_(E.const_int(16))),
    ("top.count != 8'hFF", lambda s: s("top.count").neq(E.const_int(255))),
    ("top.count >= 4'b1010 & top.count < 'd20", lambda s: s("top.count").gte(E.const_int(10)).bit_and(
        s("top.count").lt_(E.const_int(20)))),
    ("top.count + 1 > 3 - 1", lambda s: s("top.count").add(E.const_int(1)).gt_(E.const_int(3).sub(E.const_int(1)))),
    # Relations bind tighter than the bitwise operators, as in SystemVerilog.
    ("(top.count | 1) ^ 2 <= 5", lambda s: s("top.count").bit_or(E.const_int(1)).bit_xor(
        E.const_int(2).lte(E.const_int(5)))),
    ("top.count[3]", lambda s: s("top.count").slice(3, 3)),
    ("top.count[7:4] == 2", lambda s: s("top.count").slice(7, 4).eq_(E.const_int(2))),
    ("$isx(top.bus)", lambda s: s("top.bus").is_x()),
    ("$isz(top.bus)", lambda s: s("top.bus").is_z()),
    ("$past(top.count) == 3", lambda s: s("top.count").rel_eval(-1).eq_(E.const_int(3))),
    ("$past(top.count, 3) == 3", lambda s: s("top.count").rel_eval(-3).eq_(E.const_int(3))),
    ("$rose(top.valid)", lambda s: s("top.valid").slice(0, 0).and_(s("top.valid").rel_eval(-1).slice(0, 0).not_())),
    ("$fell(top.valid)", lambda s: s("top.valid").slice(0, 0).not_().and_(s("top.valid").rel_eval(-1).slice(0, 0))),
    ("$changed(top.state)", lambda s: s("top.state").neq(s("top.state").rel_eval(-1))),
    ("$stable(top.state)", lambda s: s("top.state").eq_(s("top.state").rel_eval(-1))),
    ("top.temperature > 25.0", lambda s: s("top.temperature").gt_(E.const_float(25.0))),
    ('top.count == "16"', lambda s: s("top.count").eq_(E.const_str("16"))),
    ("`top.count` == 1_6", lambda s: s("top.count").eq_(E.const_int(16))),
]


@pytest.mark.parametrize("text,tree", CONDITIONS, ids=[c[0] for c in CONDITIONS])
def test_condition_constructs(trace, text, tree):
    want = trace.find(tree(lambda n: E.signal(trace.signal_id(n))))
    assert wavequery.find(trace, text) == want
    assert wavequery.count(trace, text) == len(want)


ERRORS = [
    ("top.valdi", 0, "unknown signal 'top.valdi'; did you mean top.valid"),
    ("top.count ==", 12, "expected a signal, a number or '('"),
    ("(top.count", 10, "expected ')'"),
    ("$foo(top.count)", 0, "unknown function $foo"),
    ("top.count @ 3", 10, "unexpected character '@'"),
    ("top.count 3", 10, "unexpected '3'"),
    ("2'q1", 1, "unexpected character"),
    ("99999999999999999999", 0, "does not fit in 64 bits"),
    ("top.count[a]", 10, "expected a number"),
]


@pytest.mark.parametrize("text,column,message", ERRORS, ids=[e[0] for e in ERRORS])
def test_condition_errors(trace, text, column, message):
    with pytest.raises(wavequery.ConditionError) as info:
        wavequery.compile(trace, text)
    assert info.value.column == column and message in str(info.value)
    assert str(info.value).splitlines()[-1] == " " * (2 + column) + "^"


def run(*args):
    return subprocess.run([sys.executable, "-m", "wavequery", *args], capture_output=True, text=True)


def test_command_line():
    out = run("info", EXAMPLE)
    assert out.returncode == 0 and "format:  vcd" in out.stdout and "top:     top" in out.stdout
    out = run("find", EXAMPLE, "$rose(top.valid)", "--values", "top.count", "--json")
    assert out.returncode == 0 and json.loads(out.stdout)[0] == {"index": 37, "time": 175000,
                                                                 "values": {"top.count": 16}}
    out = run("find", EXAMPLE, "top.clk", "--limit", "2")
    assert out.returncode == 0 and out.stdout.splitlines()[-1].startswith("... ")
    assert run("find", EXAMPLE, "top.count == 999").returncode == 1
    assert run("count", EXAMPLE, "top.count > 30").stdout.strip() == "74"
    assert json.loads(run("value", EXAMPLE, "top.count", "--index", "10", "--json").stdout)["value"] == 2
    assert "top.u_fsm.clk" in run("changes", EXAMPLE, "--index", "5", "--scope", "top.u_fsm").stdout
    assert json.loads(run("transitions", EXAMPLE, "top.valid", "--json").stdout)[1]["index"] == 37
    assert json.loads(run("stats", EXAMPLE, "top.count", "--json").stdout)["max"] == 63
    assert json.loads(run("snapshot", EXAMPLE, "--index", "3", "--scope", "top.u_fsm", "--json").stdout)["rst_n"] == 1
    assert run("signals", EXAMPLE, "--glob", "top.u_*.clk").stdout.split()[2:] == ["top.u_counter.clk", "1",
                                                                                   "top.u_fsm.clk", "1"]
    assert len(run("signals", EXAMPLE, "--grep", "VALID", "--json").stdout) > 10
    for args in [("find", EXAMPLE, "top.cnt"), ("value", EXAMPLE, "nope", "--index", "0"), ("info", "/nonexistent")]:
        out = run(*args)
        assert out.returncode == 2 and out.stdout == "" and len(out.stderr.strip().splitlines()) == 1


def test_stub_lists_every_method():
    stub = ast.parse((ROOT / "python" / "wavequery" / "_core.pyi").read_text())
    classes = {c.name: {f.name for f in c.body if isinstance(f, ast.FunctionDef)}
               for c in stub.body if isinstance(c, ast.ClassDef)}
    for cls in (PyTrace, E):
        public = {n for n in dir(cls) if not n.startswith("_")}
        assert public <= classes[cls.__name__], public - classes[cls.__name__]
    assert (ROOT / "python" / "wavequery" / "py.typed").exists()


def test_readme_examples_run(monkeypatch):
    monkeypatch.chdir(ROOT)
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    assert blocks
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
