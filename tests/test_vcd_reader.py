"""The VCD reader's rules: declarations, scopes, aliases, time stamps and the
lines it ignores; and a check against a slow grid-based reader on random text."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from wavequery import PyTrace
from conftest import values, vcd
from reference import reference_parse


def test_scopes_names_ids_widths():
    t = PyTrace.from_vcd_string(
        "$scope module top $end\n$var wire 1 ! clk $end\n$scope module cpu $end\n"
        "$var reg 8 \" data [7:0] $end\n$upscope $end\n$scope module cpu $end\n"  # reopened scope
        "$var wire 1 ! clk_alias $end\n$upscope $end\n$upscope $end\n"
        "$var wire +3 # top_level $end\n$var wire 4294967296 $ bad_width $end\n"
        "$var wire 1 % [3] $end\n$upscope $end\n$enddefinitions $end\n"
    )
    assert t.scopes() == ["top", "top.cpu"]
    assert t.signal_names() == ["top.clk", "top.cpu.data", "top.cpu.clk_alias", "top_level", "bad_width", ""]
    assert [t.signal_id(n) for n in t.signal_names()] == [0, 1, 0, 2, 3, 4]
    assert [t.signal_width(n) for n in t.signal_names()] == [1, 8, 1, 3, 1, 1]
    assert t.signal_width("missing") == 0 and t.signal_id("missing") is None


def test_alias_changes_show_under_every_name():
    t = PyTrace.from_vcd_string(
        "$scope module a $end\n$var wire 1 ! x $end\n$upscope $end\n"
        "$scope module b $end\n$var wire 1 ! y $end\n$upscope $end\n#0\n1!\n#1\n0!\n"
    )
    assert values(t, "a.x", 0) == values(t, "b.y", 0) == [1, 0]


def test_same_name_after_cutting_the_range_keeps_the_later_declaration():
    t = PyTrace.from_vcd_string(
        "$scope module m $end\n$var wire 1 ! mem[0] $end\n$var wire 4 \" mem[1] $end\n$upscope $end\n"
        "#0\n1!\nb1010 \"\n"
    )
    assert t.signal_names() == ["m.mem"]
    assert t.signal_id("m.mem") == 1 and t.signal_width("m.mem") == 4
    assert t.signal_value("m.mem", 0) == 10


# (body after a header declaring top.a as "!", values of top.a at indices 0..)
TOLERANCE = [
    ("change before the first time stamp", "$dumpvars\n1!\n$end\n#0\n#1\n", [None, None]),
    ("space before the code", "#0\n1 !\n", [None]),
    ("tab in a vector change", "#0\nb1\t!\n", [None]),
    ("unknown code", "#0\n1?\n", [None]),
    ("string change", "#0\nsabc !\n", [None]),
    ("CRLF and indentation", "#0\r\n  1!  \r\n", [1]),
    ("keywords in the body", "#0\n$dumpall\n1!\n$end\n$dumpoff\n#1\n$comment\n#5 in a comment\n$end\n", [1, 1, 1]),
    ("non-ASCII text after the code", "#0\n1!\u00ff\n", [None]),
    ("Unicode spaces trimmed", "#0\n\u00a01!\u3000\n", [1]),
    ("vector split at the first space", "#0\nb1 ! \n", [1]),
]


@pytest.mark.parametrize("body,want", [c[1:] for c in TOLERANCE], ids=[c[0] for c in TOLERANCE])
def test_tolerance(body, want):
    assert values(vcd(body), "top.a", 0) == want


def test_undecodable_line_in_a_file_is_skipped(tmp_path):
    path = tmp_path / "latin1.vcd"
    path.write_bytes(b"$scope module top $end\n$var wire 1 ! a $end\n$upscope $end\n#0\n1!\n#1\n0!\xe9\n#2\n")
    assert values(PyTrace.from_vcd(str(path)), "top.a", 0) == [1, 1, 1]


def test_time_stamps_are_kept_as_written():
    t = vcd("#10\n#abc\n#10\n#5\n# 7 \n#+3\n#18446744073709551616\n")
    assert [t.timestamp(i) for i in range(8)] == [10, 0, 10, 5, 7, 3, 0, 0]
    assert t.max_index() == 6


def test_declarations_only_and_empty_text():
    t = vcd("")
    assert t.max_index() == 0 and t.timestamp(0) == 0 and t.signal_value("top.a", 0) is None
    empty = PyTrace.from_vcd_string("")
    assert empty.signal_names() == [] and empty.scopes() == [] and empty.max_index() == 0


def test_var_line_with_four_tokens_declares_nothing():
    t = PyTrace.from_vcd_string("$var wire 1 !\na $end\n#0\n1!\n")
    assert t.signal_names() == []


def test_declarations_after_data_start():
    t = vcd("#0\n1!\n$scope module late $end\n$var wire 1 \" b $end\n$upscope $end\n#1\n1\"\n")
    assert t.scopes() == ["top", "late"]
    assert values(t, "late.b", 0) == [None, 1]


def test_identifier_codes_of_every_shape():
    codes = ["!", "~", "!!", "~~~~", "abcde", "%$#@!", "\u00e9t\u00e9", "x" * 10_000]
    header = "".join(f"$var wire 1 {c} s{i} $end\n" for i, c in enumerate(codes))
    body = "#0\n" + "".join(f"1{c}\n" for c in codes) + "#1\n" + "".join(f"b0 {c}\n" for c in codes[::2])
    t = PyTrace.from_vcd_string(header + body)
    for i in range(len(codes)):
        assert values(t, f"s{i}", 0) == [1, 0 if i % 2 == 0 else 1]


def test_dense_identifier_codes_beyond_one_character():
    # Writers count codes up: '!' .. '~', then '!!', '"!', ...; check thousands of them.
    def code(n):
        out = []
        n += 1
        while n:
            n -= 1
            out.append(chr(33 + n % 94))
            n //= 94
        return "".join(out)

    n = 20_000
    header = "".join(f"$var wire 8 {code(i)} s{i} $end\n" for i in range(n))
    body = "#0\n" + "".join(f"b{i % 256:b} {code(i)}\n" for i in range(n))
    t = PyTrace.from_vcd_string(header + body)
    assert all(t.signal_value(f"s{i}", 0) == i % 256 for i in range(0, n, 7))
    assert t.signal_id(f"s{n - 1}") == n - 1


def _as_py(v):
    return v if isinstance(v, (int, float)) else None


CODES = ["!", '"', "#", "$", "%%", "ab"]
LINE = st.one_of(
    st.builds(lambda n: f"#{n}", st.integers(0, 50)),
    st.just("#x"),
    st.builds(lambda v, c: f"{v}{c}", st.sampled_from("01xXzZ"), st.sampled_from(CODES + ["?"])),
    st.builds(lambda d, c: f"b{d} {c}", st.text("01xz-u", max_size=70), st.sampled_from(CODES)),
    st.builds(lambda r, c: f"r{r} {c}", st.sampled_from(["1.5", "-0", "nan", "x", "2e3", "inf"]), st.sampled_from(CODES)),
    st.sampled_from(["$dumpvars", "$end", "$comment", "1 !", "b1\t!", "   ", "$scope module late $end",
                     "$var wire 3 ab late_v $end", "$upscope $end", "$var wire 2 ! [1:0] $end"]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(LINE, max_size=60), st.sampled_from(["\n", "\r\n"]))
def test_matches_grid_reference(lines, eol):
    header = ("$scope module top $end\n$var wire 1 ! a $end\n$var wire 4 \" b [3:0] $end\n"
              "$scope module sub $end\n$var wire 1 ! a_alias $end\n$var real 1 # r $end\n"
              "$var wire 9 $ c $end\n$var wire 2 %% d $end\n$upscope $end\n$upscope $end\n")
    text = header + eol.join(lines) + eol
    t = PyTrace.from_vcd_string(text)
    names, scopes, stamps, vars_, grid = reference_parse(text)
    assert t.signal_names() == names and t.scopes() == scopes
    assert [t.timestamp(i) for i in range(len(stamps))] == stamps
    assert t.max_index() == max(len(stamps) - 1, 0)
    for name, (ident, width) in vars_.items():
        assert (t.signal_id(name), t.signal_width(name)) == (ident, width)
        col = grid.get(ident, [])
        want = [_as_py(col[i]) if i < len(col) else None for i in range(len(stamps) + 2)]
        got = t.signal_values_range(name, 0, len(stamps) + 2)
        assert [repr(g) for g in got] == [repr(w) for w in want]  # repr: NaN and -0.0 compare by form
        assert [t.signal_value(name, i) for i in range(len(stamps) + 2)].__repr__() == got.__repr__()


def test_file_and_string_agree(tmp_path):
    rng = random.Random(7)
    lines = ["$scope module top $end", "$var wire 8 ! v $end", "$upscope $end", "$enddefinitions $end"]
    for i in range(20_000):
        lines.append(f"#{i}")
        lines.append(f"b{rng.getrandbits(8):b} !" if rng.random() < 0.9 else "bx1 !")
    text = "\n".join(lines)
    path = tmp_path / "t.vcd"
    path.write_text(text)
    a, b = PyTrace.from_vcd(str(path)), PyTrace.from_vcd_string(text)
    assert a.max_index() == b.max_index() == 19_999
    assert values(a, "top.v") == values(b, "top.v")
