"""Building an expression by repeated operators: time and growth with its size.

`e = e + x` repeated n times, next to the same loop building nested Python
tuples `(op, e, x)`, the least any builder driven from a Python loop can cost.
Also `elementwise` of the result (which expands it once into the kernel's
form) and dropping it. Every figure is the median of interleaved repeats in
this one process. Run with `make bench`.
"""

import argparse
import gc
import statistics
import time

import _brindlemox as bm
from figures import panel, save

k = bm._KernelModule()


def build_expr(x, n):
    e = x
    for _ in range(n):
        e = e + x
    return e


def build_tuples(x, n):
    e = x
    for _ in range(n):
        e = ("add", e, x)
    return e


def timed(call):
    start = time.perf_counter()
    value = call()
    return time.perf_counter() - start, value


def measure(n, repeats):
    """Median seconds of each phase over interleaved repeats."""
    samples = {"expr": [], "tuples": [], "elementwise": [], "drop": []}
    x = k.arg("x")
    for _ in range(repeats):
        gc.collect()
        seconds, e = timed(lambda: build_expr(x, n))
        samples["expr"].append(seconds)
        seconds, spec = timed(lambda: k.elementwise(e))
        samples["elementwise"].append(seconds)
        del spec
        start = time.perf_counter()
        del e
        samples["drop"].append(time.perf_counter() - start)
        seconds, chain = timed(lambda: build_tuples("x", n))
        samples["tuples"].append(seconds)
        del chain
    return {name: statistics.median(values) for name, values in samples.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    print("| n | `e = e + x` | nested tuples | expr/tuples | elementwise | drop | time per step |")
    print("|---|---|---|---|---|---|---|")
    times = {"`e = e + x`": [], "nested tuples": [], "elementwise": [], "drop": []}
    for n in (10_000, 100_000, 1_000_000):
        got = measure(n, options.repeats)
        for label, phase in zip(times, ("expr", "tuples", "elementwise", "drop")):
            times[label].append((n, got[phase]))
        print(
            f"| {n:.0e} | {got['expr']:.3f} s | {got['tuples']:.3f} s | {got['expr'] / got['tuples']:.2f} "
            f"| {got['elementwise']:.3f} s | {got['drop']:.3f} s | {got['expr'] / n * 1e9:.0f} ns |"
        )
    ratio = [(n, expr / tuples) for (n, expr), (_, tuples) in zip(times["`e = e + x`"], times["nested tuples"])]
    save(
        "expr_build",
        "Building an expression by `e = e + x` n times, against nested Python tuples",
        [
            panel("seconds per phase (linear growth: slope 1)", "seconds", times, xlabel="n (steps)"),
            panel("expression / tuples (below 1: expression faster)", "time ratio", {"`e = e + x`": ratio},
                  xlabel="n (steps)", reference=1.0),
        ],
    )


if __name__ == "__main__":
    main()
