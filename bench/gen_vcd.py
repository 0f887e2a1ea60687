"""Writes a synthetic VCD trace for the load benchmarks.

    python bench/gen_vcd.py OUT.vcd --signals 2000 --steps 200000 --changes 40 \
        --vectors 0.3 --xz 0.02

Each time step changes `--changes` randomly chosen signals. `--vectors` is the
share of signals that are vectors (2 to 64 bits, a few wider), `--xz` the
share of changes that write x or z bits. The scope tree is three levels deep.
Prints the number of value changes written.
"""

import argparse
import random


def id_code(n):
    """Identifier codes in the usual writers' counting order: '!', '"', ... '~', '!!', ..."""
    chars = []
    n += 1
    while n:
        n -= 1
        chars.append(chr(33 + n % 94))
        n //= 94
    return "".join(chars)


def declare(out, widths, codes):
    out.write("$date today $end\n$version wavequery bench/gen_vcd.py $end\n$timescale 1ps $end\n")
    out.write("$scope module top $end\n")
    per_unit = max(1, len(widths) // 20)
    open_units = 0
    for i, width in enumerate(widths):
        if i % per_unit == 0:
            if open_units:
                out.write("$upscope $end\n$upscope $end\n")
            out.write(f"$scope module unit{i // per_unit} $end\n$scope module core $end\n")
            open_units = 1
        kind = "wire" if width == 1 else "reg"
        rng = "" if width == 1 else f" [{width - 1}:0]"
        out.write(f"$var {kind} {width} {codes[i]} sig{i}{rng} $end\n")
    if open_units:
        out.write("$upscope $end\n$upscope $end\n")
    out.write("$upscope $end\n$enddefinitions $end\n")


def value_line(rng, width, code, xz):
    if width == 1:
        if rng.random() < xz:
            return f"{rng.choice('xz')}{code}\n"
        return f"{rng.getrandbits(1)}{code}\n"
    if rng.random() < xz:
        digits = "".join(rng.choice("01xz") for _ in range(width))
    else:
        digits = format(rng.getrandbits(width), "b")
    return f"b{digits} {code}\n"


def generate(path, signals, steps, changes, vectors, xz, seed):
    rng = random.Random(seed)
    widths = []
    for _ in range(signals):
        if rng.random() < vectors:
            widths.append(rng.choice([2, 4, 8, 8, 16, 32, 32, 64, 128]))
        else:
            widths.append(1)
    codes = [id_code(i) for i in range(signals)]
    written = 0
    with open(path, "w") as out:
        declare(out, widths, codes)
        out.write("#0\n$dumpvars\n")
        for i in range(signals):
            out.write(value_line(rng, widths[i], codes[i], xz))
        written += signals
        out.write("$end\n")
        time = 0
        for _ in range(1, steps):
            time += rng.choice((1, 2, 5, 10))
            lines = [f"#{time}\n"]
            for i in rng.sample(range(signals), min(changes, signals)):
                lines.append(value_line(rng, widths[i], codes[i], xz))
            written += len(lines) - 1
            out.write("".join(lines))
    return written


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out")
    p.add_argument("--signals", type=int, default=2000)
    p.add_argument("--steps", type=int, default=200000)
    p.add_argument("--changes", type=int, default=40, help="value changes per time step")
    p.add_argument("--vectors", type=float, default=0.3, help="share of vector signals")
    p.add_argument("--xz", type=float, default=0.02, help="share of changes with x or z")
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    print(generate(a.out, a.signals, a.steps, a.changes, a.vectors, a.xz, a.seed))


if __name__ == "__main__":
    main()
