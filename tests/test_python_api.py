"""The module's Python surface: registration, signatures, arguments and errors."""

import gc
import inspect
import pathlib

import pytest

import wavequery
from wavequery import PyExpr, PyTrace, _core
from conftest import vcd

METHODS = {
    "from_vcd": "(path)",
    "from_vcd_string": "(data)",
    "signal_names": "($self)",
    "scopes": "($self)",
    "max_index": "($self)",
    "timestamp": "($self, index)",
    "signal_value": "($self, name, index)",
    "signal_value_raw": "($self, name, index)",
    "signal_width": "($self, name)",
    "signal_id": "($self, name)",
    "signal_values_range": "($self, name, start, end)",
}


def test_module_registers_both_classes_in_order():
    assert [k for k in vars(_core) if k.startswith("Py")] == ["PyTrace", "PyExpr"]
    assert wavequery.PyTrace is _core.PyTrace and wavequery.PyExpr is _core.PyExpr
    for cls in (PyTrace, PyExpr):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("name,signature", METHODS.items(), ids=list(METHODS))
def test_text_signatures(name, signature):
    method = getattr(PyTrace, name)
    assert method.__text_signature__ == signature
    params = list(inspect.signature(method).parameters)
    assert params == [p.strip() for p in signature.strip("()").replace("$", "").split(",") if p.strip()]


def test_arguments_by_keyword():
    t = PyTrace.from_vcd_string(data="$var wire 4 ! v $end\n#3\nb101 !\n")
    assert t.timestamp(index=0) == 3
    assert t.signal_value(name="v", index=0) == 5
    assert t.signal_value("v", index=0) == 5
    assert t.signal_value_raw(index=0, name="v") == 5
    assert t.signal_width(name="v") == 4 and t.signal_id(name="v") == 0
    assert t.signal_values_range(name="v", start=0, end=2) == [5, None]


@pytest.mark.parametrize(
    "call,error,match",
    [
        (lambda t: t.timestamp(), TypeError, r"timestamp\(\) missing required argument 'index'"),
        (lambda t: t.timestamp(1, 2), TypeError, r"timestamp\(\) takes at most 1 argument \(2 given\)"),
        (lambda t: t.timestamp(1.0), TypeError, r"timestamp\(\) argument 'index' must be int, not float"),
        (lambda t: t.timestamp(-1), OverflowError, r"timestamp\(\) argument 'index'"),
        (lambda t: t.timestamp(2**64), OverflowError, r"timestamp\(\) argument 'index'"),
        (lambda t: t.timestamp(idx=1), TypeError, r"unexpected keyword argument 'idx'"),
        (lambda t: t.signal_value("a", 0, name="a"), TypeError, r"multiple values for argument 'name'"),
        (lambda t: t.signal_value(b"a", 0), TypeError, r"signal_value\(\) argument 'name' must be str, not bytes"),
        (lambda t: t.signal_values_range("a", 0, None), TypeError, r"argument 'end' must be int, not NoneType"),
        (lambda t: t.signal_names(1), TypeError, r"signal_names\(\) takes no arguments"),
        (lambda t: PyTrace.from_vcd(b"x.vcd"), TypeError, r"from_vcd\(\) argument 'path' must be str, not bytes"),
        (lambda t: PyTrace.from_vcd(pathlib.Path("x.vcd")), TypeError, r"argument 'path' must be str"),
        (lambda t: PyTrace.from_vcd_string(None), TypeError, r"argument 'data' must be str"),
        (lambda t: PyTrace.max_index(5), TypeError, r"PyTrace"),
    ],
    ids=["missing", "extra", "float", "negative", "too big", "unknown kw", "twice", "bytes name",
         "None end", "noargs", "bytes path", "path object", "None data", "unbound"],
)
def test_argument_errors(call, error, match):
    t = vcd("#0\n1!\n")
    with pytest.raises(error, match=match):
        call(t)


def test_absent_data_is_not_an_error():
    t = vcd("#0\n1!\n")
    assert t.signal_value("nope", 0) is None
    assert t.signal_value_raw("nope", 0) == 0
    assert t.signal_value("top.a", 2**64 - 1) is None
    assert t.timestamp(10**6) == 0
    assert t.signal_id("nope") is None and t.signal_width("nope") == 0
    assert t.signal_values_range("nope", 0, 3) == [None, None, None]


def test_missing_file_raises_value_error_with_os_text(tmp_path):
    path = str(tmp_path / "absent.vcd")
    with pytest.raises(ValueError) as info:
        PyTrace.from_vcd(path)
    assert str(info.value) == f"Failed to open {path}: No such file or directory (os error 2)"


def test_traces_are_independent(tmp_path):
    path = tmp_path / "t.vcd"
    path.write_text("$var wire 1 ! a $end\n#0\n1!\n")
    a, b = PyTrace.from_vcd(str(path)), PyTrace.from_vcd(str(path))
    del a
    gc.collect()
    assert b.signal_value("a", 0) == 1
