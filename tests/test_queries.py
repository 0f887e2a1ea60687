"""Change tracking, hierarchy navigation, name search, statistics, snapshots
and the integer helpers."""

import math

import pytest
from hypothesis import given, settings

from reference import MISSING, as_py, reference_parse, same
from test_search import TRACE
from wavequery import PyTrace


def trace_with(names, scopes=()):
    """A trace declaring `names` (full, "."-separated) and the scope paths
    `scopes` in that order, each name a 1-bit wire with its own code."""
    lines = []
    for k, name in enumerate(names):
        *path, leaf = name.split(".")
        lines += [f"$scope module {p} $end" for p in path]
        lines.append(f"$var wire 1 {chr(33 + k)} {leaf} $end")
        lines += ["$upscope $end"] * len(path)
    for scope in scopes:
        parts = scope.split(".")
        lines += [f"$scope module {p} $end" for p in parts] + ["$upscope $end"] * len(parts)
    return PyTrace.from_vcd_string("\n".join(lines) + "\n$enddefinitions $end\n#0\n")


def value_at(grid, ident, i):
    col = grid.get(ident, [])
    return col[i] if i < len(col) else MISSING


def py_same(a, b):
    return repr(a) == repr(b)  # NaN and -0.0 by form


@settings(max_examples=300, deadline=None)
@given(TRACE)
def test_changes_and_stats_match_a_per_index_reference(text):
    trace = PyTrace.from_vcd_string(text)
    names, _, stamps, vars_, grid = reference_parse(text)
    m = max(len(stamps) - 1, 0)
    for name in names:
        ident = vars_[name][0]
        col = [value_at(grid, ident, i) for i in range(m + 1)]
        want = [(i, as_py(col[i - 1]), as_py(col[i])) for i in range(1, m + 1) if not same(col[i - 1], col[i])]
        assert py_same(trace.transitions(name), want)
        ints = [v for v in col if isinstance(v, int)]
        logic_codes = [c for v in col if isinstance(v, tuple) and v[0] == "L" for c in v[1]]
        stats = (min(ints, default=0), max(ints, default=0), sum(ints) % 2**64, len(ints), len(want),
                 logic_codes.count(2) + col.count(MISSING), logic_codes.count(3))
        assert trace.signal_stats(name) == stats
    for i in range(1, m + 2):
        want = []
        for name in names:
            ident = vars_[name][0]
            a, b = value_at(grid, ident, i - 1), value_at(grid, ident, i)
            if not same(a, b):
                want.append((name, as_py(a), as_py(b)))
        assert py_same(trace.changed_at(i), want)
        assert py_same(trace.changed_at_scope(i, "t"), [w for w in want if w[0].startswith("t.")])


def test_change_tracking_cases():
    t = PyTrace.from_vcd_string(
        "$scope module top $end\n$var wire 1 ! a $end\n$var wire 2 \" v $end\n$scope module sub $end\n"
        "$var wire 1 # b $end\n$upscope $end\n$upscope $end\n$scope module topx $end\n$var wire 1 $ c $end\n"
        "$upscope $end\n$var wire 1 % top $end\n$var wire 1 ! a_alias $end\n$enddefinitions $end\n"
        "#0\n1!\nb1x \"\n0#\n0$\n0%\n#1\n0!\nbx1 \"\n1#\n1$\n1%\n#2\nb01 \"\n#3\nr2.5 \"\n")
    assert t.changed_at(0) == [] and t.changed_at_scope(0, "top") == []
    assert t.changed_at(1) == [("top.a", 1, 0), ("top.v", None, None), ("top.sub.b", 0, 1), ("topx.c", 0, 1),
                               ("top", 0, 1), ("a_alias", 1, 0)]
    assert [c[0] for c in t.changed_at_scope(1, "top")] == ["top.a", "top.v", "top.sub.b"]
    assert t.changed_at_scope(1, "") == []
    assert t.changed_at(2) == [("top.v", None, 1)] and t.changed_at(3) == [("top.v", 1, 2.5)]
    assert t.changed_at(4) == [("top.a", 0, None), ("top.v", 2.5, None), ("top.sub.b", 1, None),
                               ("topx.c", 1, None), ("top", 1, None), ("a_alias", 0, None)]
    assert t.transitions("top.a") == [(1, 1, 0)] and t.transitions("nope") == []
    assert PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n").transitions("a") == []


STATS = [
    ("3 3 5 1", "#0\nb11 !\n#1\n#2\nb101 !\n#3\nb1 !\n", (1, 5, 12, 4, 2, 0, 0)),
    ("never an Int", "#0\nr1.5 !\n#1\nbx !\n", (0, 0, 0, 0, 1, 1, 0)),
    ("no value", "#0\n#1\n#2\n", (0, 0, 0, 0, 0, 3, 0)),
    ("logic xzx1", "#0\nbxzx1 !\n", (0, 0, 0, 0, 0, 2, 1)),
    ("sum wraps", "#0\nb" + "1" * 64 + " !\n#1\nb10 !\n", (2, 2**64 - 1, 1, 2, 1, 0, 0)),
    ("Int then Real", "#0\nb1 !\n#1\nr1 !\n", (1, 1, 1, 1, 1, 0, 0)),
    ("NaN run", "#0\nrnan !\n#1\n#2\n", (0, 0, 0, 0, 2, 0, 0)),
]


@pytest.mark.parametrize("body,want", [s[1:] for s in STATS], ids=[s[0] for s in STATS])
def test_signal_stats_cases(body, want):
    t = PyTrace.from_vcd_string("$var wire 64 ! v $end\n" + body)
    assert t.signal_stats("v") == want
    assert t.signal_stats("nope") == (0,) * 7


def test_local_scopes_and_signals():
    t = trace_with(["top.clk", "top.a.d", "top.rst", "top.b.d", "topx.d"], ["top", "top.a", "top.a.x", "top.b"])
    cases = [("", ["top", "topx"]), ("top", ["top.a", "top.b"]), ("top.a", ["top.a.x"]), ("top.b", []),
             ("nope", [])]
    for scope, want in cases:
        assert t.local_scopes(scope) == want, scope
    assert t.local_signals("top") == ["top.clk", "top.rst"] and t.local_signals("") == []
    deep_only = trace_with([], ["top.a.b"])
    assert deep_only.local_scopes("") == ["top"] or deep_only.scopes()[0] == "top"
    # 100,000 children of one scope: the duplicate test stays linear.
    many = PyTrace.from_vcd_string("$scope module top $end\n" + "".join(
        f"$scope module c{k} $end\n$upscope $end\n" for k in range(100_000)) + "$upscope $end\n")
    assert len(many.local_scopes("top")) == 100_000


def test_local_scopes_of_deeper_paths_only():
    # A trace whose scope list holds only top.a.b (as a reader may list it).
    t = PyTrace.from_vcd_string("$scope module top $end\n$scope module a $end\n$scope module b $end\n"
                                "$upscope $end\n$upscope $end\n$upscope $end\n")
    assert t.scopes() == ["top", "top.a", "top.a.b"]
    assert t.local_scopes("top") == ["top.a"] and t.local_scopes("top.a") == ["top.a.b"]


def test_resolve():
    t = trace_with(["top.a.d", "top.b.d", "clk", "x.clk", "topx.e"])
    cases = [("top", "d", "top.a.d"), ("top.b", "d", "top.b.d"), ("", "clk", "clk"), ("top", "e", "topx.e"),
             ("top", "zz", None), ("", "d", "top.a.d")]
    for scope, short, want in cases:
        assert t.resolve(scope, short) == want, (scope, short)
    assert trace_with(["x.clk"]).resolve("", "clk") == "x.clk"


def test_name_search():
    t = trace_with(["top.CLK", "top.clk_en", "top.data", "top.ΟΔΟΣ", "a*b", "é"])
    assert t.find_signals_containing("clk") == ["top.CLK", "top.clk_en"]
    assert t.find_signals_containing("CLK") == ["top.CLK", "top.clk_en"]
    assert t.find_signals_containing("") == t.signal_names()
    assert t.find_signals_containing("οδος") == ["top.ΟΔΟΣ"]  # a final capital sigma lowers to ς
    assert t.find_signals_containing("οδοσ") == []
    assert t.find_signals_containing("\u212a") == ["top.CLK", "top.clk_en"]  # KELVIN SIGN lowers to k
    globs = [("top.*", ["top.CLK", "top.clk_en", "top.data", "top.ΟΔΟΣ"]), ("*clk*", ["top.clk_en"]), ("top.???", ["top.CLK"]),
             ("top.????", ["top.data"]), ("clk", []), ("a**", ["a*b"]), ("a?b", ["a*b"]), ("??", ["é"]),
             ("?", []), ("*", t.signal_names()), ("", [])]
    for pattern, want in globs:
        assert t.find_signals_glob(pattern) == want, pattern


def test_glob_star_meets_star_literally():
    t = trace_with(["a*b"])
    assert t.find_signals_glob("a*") == []


def test_snapshots():
    t = PyTrace.from_vcd_string(
        "$scope module top $end\n$var wire 1 ! a $end\n$var wire 1 \" b $end\n$scope module sub $end\n"
        "$var wire 2 # c $end\n$upscope $end\n$upscope $end\n$scope module topx $end\n$var wire 1 $ d $end\n"
        "$upscope $end\n$enddefinitions $end\n#0\n1!\nb1x #\n1$\n")
    assert list(t.snapshot(0).items()) == [("top.a", 1), ("top.b", None), ("top.sub.c", None), ("topx.d", 1)]
    assert t.snapshot_scope(0, "top") == {"a": 1, "b": None, "sub.c": None}
    assert t.snapshot_scope(0, "") == {}
    assert t.snapshot(5) == {"top.a": None, "top.b": None, "top.sub.c": None, "topx.d": None}


def test_integer_helpers():
    t = PyTrace.from_vcd_string("")
    for args, want in [((0xF0, 7, 4), 15), ((0xF0, 3, 5), 0), ((2**64 - 1, 63, 0), 2**64 - 1),
                       ((0xF0, 2**32 - 1, 0), 0), ((0xF0, 71, 68), 15)]:
        assert t.bit_slice_val(*args) == want, args
    for args, want in [((0xFF, 8), -1), ((0x7F, 8), 127), ((0x100, 8), 256), ((0x80, 0), 128),
                       ((2**63, 64), -(2**63)), ((1, 1), -1)]:
        assert t.sign_extend_val(*args) == want, args


def test_argument_errors_and_docstrings():
    t = PyTrace.from_vcd_string("")
    errors = [(lambda: t.changed_at(-1), OverflowError, "index"), (lambda: t.changed_at_scope(1, 2), TypeError, "scope"),
              (lambda: t.transitions(1), TypeError, "name"), (lambda: t.resolve("a", None), TypeError, "short_name"),
              (lambda: t.local_scopes(b"x"), TypeError, "scope_name"),
              (lambda: t.find_signals_glob(1), TypeError, "pattern"),
              (lambda: t.snapshot(2**64), OverflowError, "index"), (lambda: t.bit_slice_val(1, -1, 0), OverflowError, "high"),
              (lambda: t.sign_extend_val(1, 2**32), OverflowError, "width")]
    for call, error, name in errors:
        with pytest.raises(error, match=name):
            call()
    # Python keeps the signature line apart from the description.
    assert PyTrace.changed_at.__text_signature__ == "($self, index)"
    assert PyTrace.changed_at.__doc__ == ("Get all signals that changed value at a specific index.\n"
                                          "Returns list of (name, old_value, new_value) tuples.")
    assert PyTrace.signal_stats.__doc__.endswith("(min, max, sum, count, transitions, num_x, num_z)")
    assert PyTrace.resolve.__text_signature__ == "($self, scope_name, short_name)"
    assert PyTrace.local_scopes.__doc__ is None and PyTrace.snapshot.__doc__.endswith("per signal.")
