"""Reductions inside the text against numexpr's and NumPy's spellings of the
same computation, measured in one run: `sum(a*b)` (with `np.dot` beside it),
min-max scaling, and a row sum. Run with `make bench`."""

import argparse

import numexpr
import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure


def cases(n, rows, columns):
    rng = np.random.default_rng(7)
    a, b, x = rng.random(n), rng.random(n), rng.random(n)
    m = rng.random((rows, columns))
    yield "sum(a*b)", 0.6, {
        "brindlemox": lambda: bm.evaluate("sum(a*b)", {"a": a, "b": b}),
        "numexpr": lambda: numexpr.evaluate("sum(a*b)", {"a": a, "b": b}),
        "np.dot(a, b)": lambda: np.dot(a, b),
    }
    yield "(x - min(x)) / (max(x) - min(x))", 0.5, {
        "brindlemox": lambda: bm.evaluate("(x - min(x)) / (max(x) - min(x))", {"x": x}),
        "NumPy": lambda: (x - x.min()) / (x.max() - x.min()),
    }
    yield f"sum(m, axis=1) of {rows}x{columns}", 1.5, {
        "brindlemox": lambda: bm.evaluate("sum(m, axis=1)", {"m": m}),
        "NumPy": lambda: m.sum(axis=1),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    print(f"# reductions in the text, n = {args.n:,}, {bm.get_num_threads()} threads "
          f"(median of {args.repeats} interleaved repeats)\n")
    print("| case | brindlemox | reference | ratio | target |")
    print("|---|---|---|---|---|")
    for name, target, candidates in cases(args.n, 1000, 10_000):
        times = measure(candidates, args.repeats)
        reference = [key for key in candidates if key != "brindlemox"]
        extra = "".join(f"; {key} {fmt(times[key])}" for key in reference[1:])
        ratio = times["brindlemox"] / times[reference[0]]
        print(f"| {name} | {fmt(times['brindlemox'])} | {reference[0]} {fmt(times[reference[0]])}{extra} "
              f"| {ratio:.2f} | at most {target} |")


if __name__ == "__main__":
    main()
