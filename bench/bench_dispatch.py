"""bm.evaluate at each instruction level of its loops (forced), against NumPy
and numexpr, on one thread: float64 and float32 arithmetic and `where`, int64
arithmetic and floor division, at n = 4096 (in cache) and 1e6, on the same
arrays, and float64 `2*a + 3*b` into an `out=` array too, which leaves out
the new result's page faults; every figure is the median of interleaved
repeats in this one process.
Every level gives the same bits; only the speed differs. Run with `make bench`.
"""

import os

import numpy as np

import _brindlemox
import brindlemox as bm
from bench_compute import fmt, measure, ratio_panel, size_arguments
from figures import save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

NAMESPACE = {"sqrt": np.sqrt, "where": np.where}
LEVELS = _brindlemox._ISA_LEVELS

#: (label, dtype, expression); "out=" rows write into one array made beforehand.
ROWS = [
    ("float64", np.float64, "2*a + 3*b"),
    ("float64 out=", np.float64, "2*a + 3*b"),
    ("float64", np.float64, "sqrt(a*a + b*b)"),
    ("float64", np.float64, "where(a > b, a, b)"),
    ("float32", np.float32, "2*a + 3*b"),
    ("float32", np.float32, "sqrt(a*a + b*b)"),
    ("float32", np.float32, "where(a > b, a, b)"),
    ("int64", np.int64, "a*3 + b"),
    ("int64", np.int64, "a // 7"),
]


def arrays(dtype, n, rng):
    if np.dtype(dtype).kind == "i":
        return {name: rng.integers(-1000, 1000, n, dtype=dtype) for name in "ab"}
    return {name: rng.random(n, dtype=np.float64).astype(dtype) for name in "ab"}


def at_level(level, text, names, out):
    """One evaluation with the loops of `level`: the float64 engine builds its
    program per call, and the package keeps a typed program per level, so
    setting the level first is all it takes (and costs every level alike)."""

    def call():
        _brindlemox._isa(level)
        return bm.evaluate(text, names, out=out)

    return call


def bench(sizes, repeats):
    rng = np.random.default_rng(0)
    rows = []
    for n in sizes:
        for label, dtype, text in ROWS:
            names = arrays(dtype, n, rng)
            out = np.empty(n, dtype) if label.endswith("out=") else None
            candidates = {"numpy": lambda: eval(text, NAMESPACE, names)}  # noqa: S307
            if out is not None:
                candidates["numpy"] = lambda: np.add(np.multiply(2, names["a"]), np.multiply(3, names["b"]), out=out)
            if ne is not None:
                candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names, out=out)
            for level in LEVELS:
                candidates[level] = at_level(level, text, names, out)
            rows.append((n, f"{label} `{text}`", measure(candidates, repeats)))
    return rows


def main():
    sizes, repeats = size_arguments(__doc__, "4096,1e6", 9)
    best = _brindlemox._isa()
    previous_threads = bm.set_num_threads(1)
    if ne is not None:
        ne.set_num_threads(1)
    try:
        rows = bench(sizes, repeats)
    finally:
        bm.set_num_threads(previous_threads)
        _brindlemox._isa(best)
    nan = float("nan")
    print(
        f"# bm.evaluate by instruction level ({os.cpu_count()} logical processors, one thread each; "
        f"levels {', '.join(LEVELS)}; the default is {best})\n"
    )
    print(f"| n | expression | numpy | numexpr | {' | '.join(LEVELS)} | {best}/baseline | {best}/numexpr |")
    print(f"|---|---|---|---|{'---|' * len(LEVELS)}---|---|")
    for n, label, t in rows:
        nex = t.get("numexpr", nan)
        per_level = " | ".join(fmt(t[level]) for level in LEVELS)
        print(
            f"| {n} | {label} | {fmt(t['numpy'])} | {fmt(nex)} | {per_level} "
            f"| {t[best] / t['baseline']:.2f} | {t[best] / nex:.2f} |"
        )
    print()
    for n, label, t in rows:
        if n == 4096 and label.startswith("float64") and "where" not in label:
            speedup = t["baseline"] / t[best]
            print(f"{label} at n = 4096: {best} {speedup:.2f}x faster than baseline (target >= 1.3)")
    save(
        "dispatch",
        "bm.evaluate at its best instruction level, one thread (below 1: brindlemox faster)",
        [
            ratio_panel(f"bm.evaluate ({best}) / baseline level", rows, best, "baseline"),
            ratio_panel(f"bm.evaluate ({best}) / numexpr", rows, best, "numexpr"),
        ],
    )


if __name__ == "__main__":
    main()
