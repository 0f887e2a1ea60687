"""Expressions, evaluation and condition search, checked against the slow
reference evaluator on random traces and trees."""

import math
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from wavequery import PyExpr, PyTrace
from reference import as_py, evaluate, reference_parse

HEADER = ("$scope module t $end\n$var wire 1 ! a $end\n$var wire 4 \" b $end\n"
          "$var real 1 # r $end\n$var wire 8 $ c $end\n$upscope $end\n$enddefinitions $end\n")
CHANGE = st.one_of(
    st.builds(lambda v: f"{v}!", st.sampled_from("01xz")),
    st.builds(lambda d: f"b{d} \"", st.text("01xz", min_size=1, max_size=4)),
    st.builds(lambda r: f"r{r} #", st.sampled_from(["0", "-0", "1.5", "nan", "3", "inf"])),
    st.builds(lambda n: f"b{n:b} $", st.integers(0, 255)),
    st.just("x$"),
)
# 2-state changes only: every value is an Int, which searches evaluate in batches.
CHANGE_2STATE = st.one_of(
    st.builds(lambda v: f"{v}!", st.sampled_from("01")),
    st.builds(lambda d: f"b{d} \"", st.text("01", min_size=1, max_size=4)),
    st.builds(lambda n: f"b{n:b} $", st.integers(0, 255)),
)


def traces(change):
    # A step is a few changes after a gap of unchanged time stamps; long gaps
    # make searches merge change points instead of visiting every index.
    step = st.tuples(st.sampled_from([1, 1, 1, 2, 7, 40]), st.lists(change, max_size=3))
    return st.lists(step, max_size=14).map(
        lambda steps: HEADER + "".join("#1\n" * gap + "".join(c + "\n" for c in cs) for gap, cs in steps))


TRACE = traces(CHANGE)
TRACE_2STATE = traces(CHANGE_2STATE)

LEAF = st.one_of(
    st.builds(lambda i: ("signal", i), st.integers(0, 4)),
    st.builds(lambda v: ("const", v), st.integers(0, 16) | st.sampled_from([2**64 - 1])),
    st.builds(lambda v: ("const", v), st.sampled_from([0.0, 1.5, float("nan"), -2.0])),
    st.builds(lambda v: ("const", ("T", v)), st.sampled_from(["", "3", "+1", "x"])),
    st.just(("true",)),
)
BINARY = ["and", "or", "eq", "neq", "gt", "lt", "gte", "lte", "add", "sub", "bit_and", "bit_or", "bit_xor"]


def extend(children):
    return st.one_of(
        st.builds(lambda k, a, b: (k, a, b), st.sampled_from(BINARY), children, children),
        st.builds(lambda k, a: (k, a), st.sampled_from(["not", "signed", "is_x", "is_z"]), children),
        st.builds(lambda a, o: ("rel", a, o), children, st.integers(-20, 20) | st.sampled_from([-(2**63), 2**63 - 1])),
        st.builds(lambda a, h, l: ("slice", a, h, l), children, st.integers(0, 70), st.integers(0, 70)),
    )


TREE = st.recursive(LEAF, extend, max_leaves=8)
INT_LEAF = st.one_of(
    st.builds(lambda i: ("signal", i), st.integers(0, 4)),
    st.builds(lambda v: ("const", v), st.integers(0, 16) | st.sampled_from([2**64 - 1])),
    st.just(("true",)),
)
INT_TREE = st.recursive(INT_LEAF, extend, max_leaves=8)
BUILDERS = {"and": "and_", "or": "or_", "eq": "eq_", "neq": "neq", "gt": "gt_", "lt": "lt_", "gte": "gte",
            "lte": "lte", "add": "add", "sub": "sub", "bit_and": "bit_and", "bit_or": "bit_or", "bit_xor": "bit_xor"}


def build(tree):
    kind = tree[0]
    if kind == "signal":
        return PyExpr.signal(tree[1])
    if kind == "const":
        v = tree[1]
        if isinstance(v, float):
            return PyExpr.const_float(v)
        if isinstance(v, int):
            return PyExpr.const_int(v)
        return PyExpr.const_str(v[1])
    if kind == "true":
        return PyExpr.always_true()
    if kind == "rel":
        return build(tree[1]).rel_eval(tree[2])
    if kind == "slice":
        return build(tree[1]).slice(tree[2], tree[3])
    if kind in ("not", "signed", "is_x", "is_z"):
        return getattr(build(tree[1]), {"not": "not_"}.get(kind, kind))()
    return getattr(build(tree[1]), BUILDERS[kind])(build(tree[2]))


def same_py(a, b):
    return repr(a) == repr(b)  # NaN and -0.0 compare by form


@settings(max_examples=400, deadline=None)
@given(TRACE, TREE)
def test_search_matches_reference(text, tree):
    check_against_reference(text, tree)


@settings(max_examples=300, deadline=None)
@given(TRACE_2STATE, INT_TREE)
def test_2state_search_matches_reference(text, tree):
    check_against_reference(text, tree)


def check_against_reference(text, tree):
    trace = PyTrace.from_vcd_string(text)
    _, _, stamps, _, grid = reference_parse(text)
    m = max(len(stamps) - 1, 0)
    expr = build(tree)
    want = [i for i in range(m + 1) if _truthy(evaluate(tree, grid, i, m))]
    assert trace.find(expr) == want
    assert trace.parallel_find(expr) == want
    assert trace.parallel_count(expr) == len(want)
    for i in range(m + 3):
        assert same_py(trace.eval_expr(expr, i), as_py(evaluate(tree, grid, i, m)))
        assert trace.eval_expr_bool(expr, i) == _truthy(evaluate(tree, grid, i, m))
    rows = trace.find_with_values(expr, ["t.a", "t.c", "nope", "t.a"])
    assert [r[0] for r in rows] == want
    for i, row in rows:
        assert row[0] == row[3] == trace.signal_value("t.a", i) and row[2] is None
        assert row[1] == trace.signal_value("t.c", i)


def _truthy(v):
    from reference import truthy
    return truthy(v)


E = PyExpr
CASES = [
    ("eq two missing", E.signal(9).eq_(E.signal(8)), 1),
    ("eq missing int0", E.signal(9).eq_(E.const_int(0)), 0),
    ("neq two missing", E.signal(9).neq(E.signal(8)), 0),
    ("text 10 == 10", E.const_str("10").eq_(E.const_int(10)), 1),
    ("1.5 == 1.7", E.const_float(1.5).eq_(E.const_float(1.7)), 1),
    ("nan == nan", E.const_float(math.nan).eq_(E.const_float(math.nan)), 1),
    ("add wraps", E.const_int(2**64 - 1).add(E.const_int(1)), 0),
    ("sub wraps", E.const_int(0).sub(E.const_int(1)), 2**64 - 1),
    ("gt 0.9 0", E.const_float(0.9).gt_(E.const_int(0)), 0),
    ("slice 63..0", E.const_int(2**64 - 1).slice(63, 0), 2**64 - 1),
    ("slice high<low", E.const_int(255).slice(3, 5), 0),
    ("slice F0 7..4", E.const_int(0xF0).slice(7, 4), 15),
    ("signed -1.5", E.const_float(-1.5).signed(), 0),
    ("is_x missing", E.signal(9).is_x(), 1),
    ("is_z missing", E.signal(9).is_z(), 0),
    ("is_x 5", E.const_int(5).is_x(), 0),
    ("not empty text", E.const_str("").not_(), 1),
    ("not text 0", E.const_str("0").not_(), 0),
    ("and nan 1", E.const_float(math.nan).and_(E.const_int(1)), 1),
    ("lt missing", E.signal(9).lt_(E.const_int(1)), None),
    ("const float", E.const_float(2.5), 2.5),
    ("const str", E.const_str("hi"), "hi"),
]


@pytest.mark.parametrize("expr,want", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_evaluation_rules(expr, want):
    t = PyTrace.from_vcd_string("")
    assert same_py(t.eval_expr(expr, 0), want)


def test_searches_on_a_trace_without_time_stamps():
    t = PyTrace.from_vcd_string("")
    assert t.find(E.always_true()) == [0] and t.parallel_count(E.always_true()) == 1
    assert t.find(E.signal(0)) == [] and t.parallel_count(E.signal(0)) == 0


def test_rising_edge_and_rel_eval_bounds():
    t = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n0!\n#1\n1!\n#2\n#3\n0!\n#4\n1!\n")
    a = E.signal(0)
    assert t.find(a.and_(a.rel_eval(-1).not_())) == [1, 4]
    assert t.eval_expr(a.rel_eval(-1), 0) is None and t.eval_expr(a.rel_eval(1), 4) is None
    assert t.find(a.rel_eval(2**63 - 1)) == [] and t.find(a.rel_eval(-(2**63)).is_x()) == [0, 1, 2, 3, 4]


def test_logic_value_is_none_but_true_with_a_one_bit():
    t = PyTrace.from_vcd_string("$var wire 2 ! v $end\n#0\nb1x !\n")
    assert t.eval_expr(E.signal(0), 0) is None and t.eval_expr_bool(E.signal(0), 0) is True
    assert t.eval_expr(E.signal(0), 5) is None and t.eval_expr_bool(E.signal(0), 5) is False


def test_search_cost_follows_changes():
    # 10,000,000 time stamps, the tested signals change 10,000 times.
    lines = ["$var wire 1 ! a $end", "$var wire 1 \" b $end"]
    for k in range(10_000):
        lines.append(f"#{k}")
        lines.append(f"{k % 2}!")
    lines.append("1\"")
    lines.extend(["#0"] * 9_990_000)
    t = PyTrace.from_vcd_string("\n".join(lines) + "\n")
    assert t.max_index() == 9_999_999
    cond = E.signal(0).and_(E.signal(1)).not_()
    n = t.parallel_count(cond)
    assert n == len(t.find(cond)) == 9_999  # b is set at index 9,999, where a is 1 from then on


def test_deep_trees_build_copy_evaluate_and_free():
    # Built, searched and freed on a thread with a small C stack, so any
    # recursion over the depth would crash the test run.
    results = {}

    def work():
        deep = E.signal(0)
        for _ in range(200_000):
            deep = deep.not_()
        left = right = E.always_true()
        for k in range(200_000):
            left = left.and_(E.signal(0).rel_eval(-(k % 3)))
            right = E.always_true().and_(right)
        t = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n#1\n0!\n#2\n1!\n")
        both = deep.and_(deep)
        results["deep"] = t.find(deep), t.parallel_find(both)  # an even number of nots
        results["left"] = t.find(left)  # a at k, k-1 and k-2 all true: never
        results["right"] = t.parallel_count(right), t.eval_expr(right, 1)
        del deep, both, left, right

    previous = threading.stack_size(512 * 1024)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert results == {"deep": ([0, 2], [0, 2]), "left": [], "right": (3, 1)}


def test_shared_operands_expanded_past_the_limit_raise_memory_error():
    doubled = E.signal(0)
    for _ in range(40):
        doubled = doubled.or_(doubled)  # 2^41 - 1 nodes once copied out
    t = PyTrace.from_vcd_string("$var wire 1 ! a $end\n#0\n1!\n")
    with pytest.raises(MemoryError, match="find"):
        t.find(doubled)
    smaller = E.signal(0)
    for _ in range(10):
        smaller = smaller.or_(smaller)
    assert t.find(smaller) == [0]


def test_builders_signatures_and_errors():
    assert E.signal.__text_signature__ == "(id)" and E.and_.__text_signature__ == "($self, other)"
    assert E.slice.__text_signature__ == "($self, high, low)" and E.always_true.__text_signature__ == "()"
    assert E.const_int(2**64 - 1) is not None and E.const_float(1) is not None
    assert E.const_int(1).slice(0, 7) is not None
    for call, error in [(lambda: E.const_int(-1), OverflowError), (lambda: E.signal(-1), OverflowError),
                        (lambda: E.signal(1).and_(3), TypeError), (lambda: E.signal(1).not_(1), TypeError),
                        (lambda: E.signal(1).rel_eval(2**63), OverflowError), (lambda: E.signal("a"), TypeError)]:
        with pytest.raises(error):
            call()
    with pytest.raises(TypeError, match="'other'"):
        E.signal(1).and_(3)
    t = PyTrace.from_vcd_string("")
    with pytest.raises(TypeError, match="'expr'"):
        t.find(1)
    with pytest.raises(TypeError, match="signal_names"):
        t.find_with_values(E.always_true(), "abc")
    with pytest.raises(TypeError, match="signal_names"):
        t.find_with_values(E.always_true(), ["a", 1])
    assert t.find_with_values(E.always_true(), []) == [(0, [])]
    assert t.find_with_values(expr=E.always_true(), signal_names=("x",)) == [(0, [None])]
