"""Constant powers, floored division and remainder, and inputs of other
layouts than contiguous (strided, Fortran, transposed, reversed, broadcast):
bm.evaluate against numexpr and NumPy, at n = 5e6 with 2 threads for both
brindlemox and numexpr; every figure is the median of interleaved repeats in
this one process. Run with `make bench`.
"""

import argparse

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

# numexpr computes the integral and half-integral powers by products and a
# square root, with other bits than NumPy's; x**2.3 is a power it too takes
# pow for.
TEXTS = ("x**2", "x**-1", "x**0.5", "x**3", "x**-0.5", "x**2.5", "x**2.3", "x % 2.5", "x // 2.5")
THREADS = 2


def bench(n, repeats):
    rng = np.random.default_rng(0)
    rows = []
    for dtype in (np.float64, np.float32):
        # Positive values, so that every power is a number.
        names = {"x": (rng.random(n) * 100 + 0.5).astype(dtype)}
        for text in TEXTS:
            candidates = {
                "numpy": lambda: eval(text, {"__builtins__": {}}, names),  # noqa: S307
                "brindlemox": lambda: bm.evaluate(text, names),
            }
            if ne is not None:
                candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
            rows.append((f"{np.dtype(dtype).name} `{text}`", measure(candidates, repeats)))
    return rows


def layouts(n, rng):
    """(label, names) of `a*b + 1` over arrays of about `n` elements read
    in other layouts than contiguous; the label says how each is sliced."""
    side = int(n**0.5)
    square = {name: rng.random((side, side)) for name in "ab"}

    def strided(dtype):
        if np.dtype(dtype).kind == "i":
            return {name: rng.integers(-1000, 1000, 2 * n)[::2] for name in "ab"}
        return {name: rng.random(2 * n).astype(dtype)[::2] for name in "ab"}

    return [
        ("float64 `a[::2]*b[::2] + 1`, 2n backing", strided(np.float64)),
        ("float64 Fortran `a*b + 1`", {name: np.asfortranarray(value) for name, value in square.items()}),
        ("float64 `a.T*b + 1`", {"a": square["a"].T, "b": square["b"]}),
        ("float64 `a[::-1]*b[::-1] + 1`", {name: rng.random(n)[::-1] for name in "ab"}),
        ("float64 column by row `a*b + 1`", {"a": rng.random((side, 1)), "b": rng.random((1, side))}),
        ("float32 `a[::2]*b[::2] + 1`, 2n backing", strided(np.float32)),
        ("int64 `a[::2]*b[::2] + 1`, 2n backing", strided(np.int64)),
    ]


def bench_layouts(n, repeats):
    rng = np.random.default_rng(1)
    rows = []
    text = "a*b + 1"
    for label, names in layouts(n, rng):
        candidates = {
            "numpy": lambda: eval(text, {"__builtins__": {}}, names),  # noqa: S307
            "brindlemox": lambda: bm.evaluate(text, names),
        }
        if ne is not None:
            candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
        rows.append((label, measure(candidates, repeats)))
    return rows


def print_rows(rows):
    nan = float("nan")
    print("| expression | numpy | numexpr | brindlemox | bm/numexpr | bm/numpy |")
    print("|---|---|---|---|---|---|")
    for label, t in rows:
        nex = t.get("numexpr", nan)
        print(
            f"| {label} | {fmt(t['numpy'])} | {fmt(nex)} | {fmt(t['brindlemox'])} "
            f"| {t['brindlemox'] / nex:.2f} | {t['brindlemox'] / t['numpy']:.2f} |"
        )
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", default="5e6")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--only", choices=("powers", "layouts"), help="one of the two tables")
    args = parser.parse_args()
    if ne is not None:
        ne.set_num_threads(THREADS)
    with bm.num_threads(THREADS):
        for n in [int(float(size)) for size in args.sizes.split(",")]:
            if args.only != "layouts":
                print(f"# constant powers, % and // at n = {n:.0e} ({THREADS} threads each)\n")
                print_rows(bench(n, args.repeats))
            if args.only != "powers":
                print(f"# inputs of other layouts at n = {n:.0e} ({THREADS} threads each)\n")
                print_rows(bench_layouts(n, args.repeats))


if __name__ == "__main__":
    main()
