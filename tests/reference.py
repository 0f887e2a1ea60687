"""Slow references written straight from the rules, to check the native code
against: a VCD reader with a dense grid (values carried forward per index), and
an expression evaluator that works index by index.

Values: int (Int), float (Real), ("L", codes) (Logic), ("M",) (Missing),
("T", text) (Text).
"""

import math


def _u(text, limit):
    text = text[1:] if text.startswith("+") else text
    return int(text) if text.isdigit() and text.isascii() and int(text) <= limit else None


def reference_parse(text):
    """Returns names, scopes, timestamps, {name: (id, width)}, and the grid."""
    names, scopes, stamps, vars_, codes, grid = [], [], [], {}, {}, {}
    stack, data, t = [], False, 0
    for raw in text.split("\n"):
        line = raw.strip(" \t\r\n\v\f")
        if not line:
            continue
        if line.startswith("$scope"):
            tok = line.split()
            if len(tok) >= 3:
                stack.append(tok[2])
                path = ".".join(stack)
                if path not in scopes:
                    scopes.append(path)
        elif line.startswith("$upscope"):
            if stack:
                stack.pop()
        elif line.startswith("$var"):
            tok = line.split()
            if len(tok) < 5:
                continue
            width = _u(tok[2], 2**32 - 1)
            ref = tok[4].split("[")[0]
            name = ".".join(stack + [ref]) if stack else ref
            ident = codes.setdefault(tok[3], len(codes))
            if name not in vars_:
                names.append(name)
            vars_[name] = (ident, 1 if width is None else width)
        elif line.startswith("$"):
            continue
        elif line[0] == "#":
            stamps.append(_u(line[1:].strip(), 2**64 - 1) or 0)
            t = len(stamps) - 1
            if t > 0:  # forward fill: carry every non-Missing value
                for col in grid.values():
                    if len(col) == t and col[t - 1] != ("M",):
                        col.append(col[t - 1])
            data = True
        elif data and line[0] in "01xXzZbBrR":
            c = line[0]
            if c in "bBrR":
                if " " not in line:
                    continue
                first, code = line.split(" ", 1)
                code = code.strip()
                if c in "bB":
                    digits = first[1:]
                    if not digits:
                        value = ("M",)
                    elif any(ch in "xXzZ" for ch in digits):
                        value = ("L", tuple(0 if ch == "0" else 1 if ch == "1" else 3 if ch in "zZ" else 2 for ch in digits))
                    else:
                        value = int("".join("1" if ch == "1" else "0" for ch in digits), 2) % 2**64
                else:
                    try:
                        value = float(first[1:])
                    except ValueError:
                        value = 0.0
            else:
                code = line[1:]
                value = int(c) if c in "01" else ("M",) if c in "xX" else ("L", (3,))
            if code in codes:
                col = grid.setdefault(codes[code], [])
                col.extend([("M",)] * (t + 1 - len(col)))
                col[t] = value
    return names, scopes, stamps, vars_, grid



MISSING = ("M",)


def to_u64(v):
    if isinstance(v, bool):
        v = int(v)
    if isinstance(v, int):
        return v
    if isinstance(v, float):
        if not v > 0:
            return 0
        return 2**64 - 1 if v >= 2.0**64 else int(v)
    if v[0] == "L":
        if any(c >= 2 for c in v[1]):
            return None
        n = 0
        for c in v[1][-64:]:
            n = n * 2 + c
        return n
    if v[0] == "T":
        t = v[1][1:] if v[1].startswith("+") else v[1]
        return int(t) if t and t.isascii() and t.isdigit() and int(t) < 2**64 else None
    return None


def same(a, b):
    """SignalValue equality: same variant and content, Real by IEEE rules."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (int, float)):
        return a == b
    return a == b


def truthy(v):
    if isinstance(v, int):
        return v != 0
    if isinstance(v, float):
        return v != 0.0
    if v[0] == "L":
        return 1 in v[1]
    if v[0] == "T":
        return v[1] != ""
    return False


def evaluate(tree, grid, index, max_index):
    """Value of a tuple tree at one index; grid maps id -> list of values."""
    kind = tree[0]
    if kind == "signal":
        col = grid.get(tree[1], [])
        return col[index] if index < len(col) else MISSING
    if kind == "const":
        return tree[1]
    if kind == "true":
        return 1
    if kind == "rel":
        target = index + tree[2]
        if target < 0 or target > max_index:
            return MISSING
        return evaluate(tree[1], grid, target, max_index)
    if kind in ("not", "slice", "signed", "is_x", "is_z"):
        v = evaluate(tree[1], grid, index, max_index)
        if kind == "not":
            return int(not truthy(v))
        if kind == "is_x":
            return int(v == MISSING or (v[0] == "L" if isinstance(v, tuple) else False) and 2 in v[1])
        if kind == "is_z":
            return int(isinstance(v, tuple) and v[0] == "L" and 3 in v[1])
        n = to_u64(v)
        if n is None:
            return MISSING
        if kind == "signed":
            return n
        high, low = tree[2], tree[3]
        if high < low:
            return 0
        width = (high - low + 1) % 2**32
        r = n >> (low % 64)
        return r & ((1 << width) - 1) if width < 64 else r
    a = evaluate(tree[1], grid, index, max_index)
    b = evaluate(tree[2], grid, index, max_index)
    if kind == "and":
        return int(truthy(a) and truthy(b))
    if kind == "or":
        return int(truthy(a) or truthy(b))
    x, y = to_u64(a), to_u64(b)
    equal = same(a, b) or (x is not None and y is not None and x == y)
    if kind == "eq":
        return int(equal)
    if kind == "neq":
        return int(not equal)
    if x is None or y is None:
        return MISSING
    ops = {"gt": lambda: int(x > y), "lt": lambda: int(x < y), "gte": lambda: int(x >= y),
           "lte": lambda: int(x <= y), "add": lambda: (x + y) % 2**64, "sub": lambda: (x - y) % 2**64,
           "bit_and": lambda: x & y, "bit_or": lambda: x | y, "bit_xor": lambda: x ^ y}
    return ops[kind]()


def as_py(v):
    """signal_value_to_py of a reference value."""
    if isinstance(v, (int, float)):
        return v
    if v[0] == "T":
        return v[1]
    return None
