"""SignalValue packing, to_u64 and carrying, reached through VCD values."""

import math

import pytest

from conftest import values, vcd

HEADER = "$var wire 8 ! v $end\n$var real 1 # r $end\n$enddefinitions $end\n"


# (vector change as written, signal_value, signal_value_raw)
BINARY = [
    ("B0101 !", 5, 5),
    ("b10x1 !", None, 0),  # Logic: x present
    ("b1z !", None, 0),
    ("b1u !", 2, 2),  # no x or z, so u counts as 0
    ("bX- !", None, 0),
    ("bbb1 !", 1, 1),  # only one leading b is dropped; the second counts as 0
    ("b" + "1" + "0" * 64 + " !", 0, 0),  # the last 64 digits are kept
    ("b" + "1" * 70 + " !", 2**64 - 1, 2**64 - 1),
    ("b !", None, 0),  # no digits: Missing
    ("b1 !", 1, 1),
]


@pytest.mark.parametrize("line,value,raw", BINARY, ids=[b[0][:12] for b in BINARY])
def test_vector_digits(line, value, raw):
    t = vcd(f"#0\n{line}\n", HEADER)
    assert t.signal_value("v", 0) == value
    assert t.signal_value_raw("v", 0) == raw


REALS = [
    ("r1.5e3", 1500.0, 1500),
    ("rfoo", 0.0, 0),
    ("r3.9", 3.9, 3),
    ("r-0.5", -0.5, 0),
    ("r1e30", 1e30, 2**64 - 1),
    ("rinf", math.inf, 2**64 - 1),
    ("r-inf", -math.inf, 0),
    ("r+2.5", 2.5, 2),
    ("r1e400", math.inf, 2**64 - 1),
    ("r.5", 0.5, 0),
    ("r1e", 0.0, 0),
]


@pytest.mark.parametrize("text,value,raw", REALS, ids=[r[0] for r in REALS])
def test_real_values(text, value, raw):
    t = vcd(f"#0\n{text} #\n", HEADER)
    got = t.signal_value("r", 0)
    assert isinstance(got, float) and got == value
    assert t.signal_value_raw("r", 0) == raw


def test_real_nan_reads_as_float_and_raw_zero():
    t = vcd("#0\nrnan #\n", HEADER)
    assert math.isnan(t.signal_value("r", 0))
    assert t.signal_value_raw("r", 0) == 0


def test_negative_zero_is_kept_after_positive_zero():
    t = vcd("#0\nr0 #\n#1\nr-0 #\n", HEADER)
    assert math.copysign(1, t.signal_value("r", 0)) == 1
    assert math.copysign(1, t.signal_value("r", 1)) == -1


def test_values_carry_until_changed_and_x_stops_carrying():
    t = vcd("#0\n1!\n#1\n#2\nx!\n#3\n#4\nz!\n#5\n#6\n0!\n#7\n")
    assert values(t, "top.a") == [1, 1, None, None, None, None, 0, 0, None, None]
    raw = [t.signal_value_raw("top.a", i) for i in range(8)]
    assert raw == [1, 1, 0, 0, 0, 0, 0, 0]


def test_last_change_at_an_index_wins():
    t = vcd("#0\n1!\n0!\n#1\n1!\nx!\n1!\n#2\n0!\n1!\n")
    assert values(t, "top.a", 0) == [0, 1, 1]


def test_range_bounds():
    t = vcd("#0\n1!\n#1\n0!\n")
    assert t.signal_values_range("top.a", 3, 3) == []
    assert t.signal_values_range("top.a", 5, 2) == []
    assert t.signal_values_range("nope", 5, 2) == []
    assert t.signal_values_range("nope", 2, 5) == [None, None, None]
    assert t.signal_values_range("top.a", 1, 4) == [0, None, None]
