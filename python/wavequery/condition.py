"""A condition language in the style of SystemVerilog assertions, compiled to
PyExpr trees over one trace's signals.

    wavequery.compile(trace, "top.valid && !top.ready")
    wavequery.find(trace, "$rose(top.clk) && top.count == 8'hFF")

Grammar (lowest precedence first; all binary operators are left-associative):

    condition := or
    or        := and ( "||" and )*
    and       := bitor ( "&&" bitor )*
    bitor     := bitxor ( "|" bitxor )*
    bitxor    := bitand ( "^" bitand )*
    bitand    := equality ( "&" equality )*
    equality  := relation ( ( "==" | "!=" ) relation )*
    relation  := sum ( ( "<" | ">" | "<=" | ">=" ) sum )*
    sum       := unary ( ( "+" | "-" ) unary )*
    unary     := "!" unary | postfix
    postfix   := primary ( "[" INT ( ":" INT )? "]" )*
    primary   := NAME | `QUOTED NAME` | NUMBER | REAL | "STRING"
               | FUNCTION "(" condition ( "," INT )? ")" | "(" condition ")"

NAME is a hierarchical signal name: letters, digits, _ and $, in parts joined
by "."; a name with blanks, brackets or other characters is written quoted,
`top.count [7:0]`. NUMBER is decimal, 0x
hex, 0b binary, or sized Verilog (8'hFF, 4'b1010, 'd10; x and z digits are not
allowed). FUNCTION is one of $isx, $isz, $past (with an optional number of
indices back), $rose, $fell, $changed, $stable. x[3] is bit 3, x[7:4] the
field from bit 7 down to bit 4. Comparisons are unsigned; values with x or z
bits compare as unknown (false), as in the expression engine.
"""

import difflib
import re

from ._core import PyExpr

__all__ = ["ConditionError", "compile", "find", "count"]


class ConditionError(ValueError):
    """A condition that does not parse, or names a signal the trace lacks."""

    def __init__(self, text, column, message):
        self.text, self.column = text, column
        super().__init__(f"{message} at column {column + 1}\n  {text}\n  {' ' * column}^")


_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<real>\d+\.\d*(?:[eE][+-]?\d+)?|\d+[eE][+-]?\d+)
  | (?P<sized>\d*'[sS]?[hHdDbBoO][0-9a-fA-F_]+)
  | (?P<number>0[xX][0-9a-fA-F_]+|0[bB][01_]+|\d[\d_]*)
  | (?P<string>"(?:[^"\\]|\\.)*")
  | (?P<quoted>`[^`]*`)
  | (?P<function>\$[a-z]+)
  | (?P<name>[A-Za-z_][A-Za-z0-9_$]*(?:\.[A-Za-z_][A-Za-z0-9_$]*)*)
  | (?P<op>\|\||&&|==|!=|<=|>=|[!<>+\-&|^()\[\]:,])
""", re.VERBOSE)

_FUNCTIONS = {"$isx": 1, "$isz": 1, "$past": 2, "$rose": 1, "$fell": 1, "$changed": 1, "$stable": 1}
_BASES = {"h": 16, "d": 10, "b": 2, "o": 8}
_LEVELS = [["||"], ["&&"], ["|"], ["^"], ["&"], ["==", "!="], ["<", ">", "<=", ">="], ["+", "-"]]
_BUILDERS = {"||": "or_", "&&": "and_", "|": "bit_or", "^": "bit_xor", "&": "bit_and", "==": "eq_", "!=": "neq",
             "<": "lt_", ">": "gt_", "<=": "lte", ">=": "gte", "+": "add", "-": "sub"}


def _tokens(text):
    pos = 0
    out = []
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m:
            raise ConditionError(text, pos, f"unexpected character {text[pos]!r}")
        if m.lastgroup != "space":
            out.append((m.lastgroup, m.group(), pos))
        pos = m.end()
    out.append(("end", "", len(text)))
    return out


def _integer(kind, word, text, column):
    digits = word.replace("_", "")
    try:
        if kind == "sized":
            size, _, rest = digits.partition("'")
            rest = rest.lstrip("sS")
            value = int(rest[1:], _BASES[rest[0].lower()])
            if size and int(size) < 64:
                value &= (1 << int(size)) - 1
        else:
            value = int(digits, 0) if digits[:2].lower() in ("0x", "0b") else int(digits, 10)
    except ValueError:
        raise ConditionError(text, column, f"bad number {word!r}") from None
    if value >= 1 << 64:
        raise ConditionError(text, column, f"number {word!r} does not fit in 64 bits")
    return value


class _Parser:
    def __init__(self, trace, text):
        self.trace, self.text = trace, text
        self.toks = _tokens(text)
        self.i = 0

    def peek(self):
        return self.toks[self.i]

    def take(self):
        tok = self.toks[self.i]
        self.i += 1
        return tok

    def expect(self, word):
        kind, got, col = self.take()
        if got != word:
            raise ConditionError(self.text, col, f"expected {word!r}, found {got or 'the end'!r}")

    def fail(self, tok, message):
        raise ConditionError(self.text, tok[2], message)

    def parse(self):
        tree = self.binary(0)
        if self.peek()[0] != "end":
            self.fail(self.peek(), f"unexpected {self.peek()[1]!r}")
        return tree

    def binary(self, level):
        if level == len(_LEVELS):
            return self.unary()
        left = self.binary(level + 1)
        while self.peek()[0] == "op" and self.peek()[1] in _LEVELS[level]:
            op = self.take()[1]
            right = self.binary(level + 1)
            left = getattr(left, _BUILDERS[op])(right)
        return left

    def unary(self):
        if self.peek()[1] == "!":
            self.take()
            return self.unary().not_()
        return self.postfix()

    def small_int(self):
        tok = self.take()
        if tok[0] not in ("number", "sized"):
            self.fail(tok, f"expected a number, found {tok[1] or 'the end'!r}")
        return _integer(tok[0], tok[1], self.text, tok[2])

    def postfix(self):
        tree = self.primary()
        while self.peek()[1] == "[":
            self.take()
            high = self.small_int()
            low = high
            if self.peek()[1] == ":":
                self.take()
                low = self.small_int()
            self.expect("]")
            if high >= 1 << 32 or low >= 1 << 32:
                self.fail(self.peek(), "bit index too large")
            tree = tree.slice(high, low)
        return tree

    def signal(self, name, tok):
        ident = self.trace.signal_id(name)
        if ident is None:
            close = difflib.get_close_matches(name, self.trace.signal_names(), n=3, cutoff=0.6)
            hint = f"; did you mean {', '.join(close)}?" if close else ""
            self.fail(tok, f"unknown signal {name!r}{hint}")
        return PyExpr.signal(ident)

    def primary(self):
        tok = self.take()
        kind, word, col = tok
        if kind == "name":
            return self.signal(word, tok)
        if kind == "quoted":
            return self.signal(word[1:-1], tok)
        if kind in ("number", "sized"):
            return PyExpr.const_int(_integer(kind, word, self.text, col))
        if kind == "real":
            return PyExpr.const_float(float(word))
        if kind == "string":
            return PyExpr.const_str(bytes(word[1:-1], "utf-8").decode("unicode_escape"))
        if kind == "function":
            return self.function(tok)
        if word == "(":
            tree = self.binary(0)
            self.expect(")")
            return tree
        self.fail(tok, f"expected a signal, a number or '(', found {word or 'the end'!r}")

    def function(self, tok):
        name = tok[1]
        if name not in _FUNCTIONS:
            self.fail(tok, f"unknown function {name}; known: {', '.join(sorted(_FUNCTIONS))}")
        self.expect("(")
        arg = self.binary(0)
        back = 1
        if self.peek()[1] == "," and _FUNCTIONS[name] == 2:
            self.take()
            back = self.small_int()
            if back >= 1 << 63:
                self.fail(tok, "$past distance too large")
        self.expect(")")
        past = arg.rel_eval(-back)
        if name == "$isx":
            return arg.is_x()
        if name == "$isz":
            return arg.is_z()
        if name == "$past":
            return past
        if name == "$changed":
            return arg.neq(past)
        if name == "$stable":
            return arg.eq_(past)
        now_bit, before_bit = arg.slice(0, 0), past.slice(0, 0)
        if name == "$rose":
            return now_bit.and_(before_bit.not_())
        return now_bit.not_().and_(before_bit)  # $fell


def compile(trace, text):  # noqa: A001 - mirrors re.compile
    """The PyExpr tree of a condition over `trace`'s signals; ConditionError
    (a ValueError) with the column of the problem otherwise."""
    if not isinstance(text, str):
        raise TypeError(f"condition must be str, not {type(text).__name__}")
    return _Parser(trace, text).parse()


def find(trace, text):
    """The time indices where the condition holds (on all cores)."""
    return trace.parallel_find(compile(trace, text))


def count(trace, text):
    """How many time indices the condition holds at."""
    return trace.parallel_count(compile(trace, text))
