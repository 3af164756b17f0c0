"""Constant powers, floored division and remainder: bm.evaluate against
numexpr and NumPy, float64 and float32, at n = 5e6 with 2 threads for both
brindlemox and numexpr; every figure is the median of interleaved repeats in
this one process. Run with `make bench`.
"""

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure, size_arguments

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

TEXTS = ("x**2", "x**-1", "x**0.5", "x**3", "x**-0.5", "x**2.5", "x % 2.5", "x // 2.5")
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


def main():
    sizes, repeats = size_arguments(__doc__, "5e6", 7)
    nan = float("nan")
    if ne is not None:
        ne.set_num_threads(THREADS)
    with bm.num_threads(THREADS):
        for n in sizes:
            print(f"# constant powers, % and // at n = {n:.0e} ({THREADS} threads each)\n")
            print("| expression | numpy | numexpr | brindlemox | bm/numexpr | bm/numpy |")
            print("|---|---|---|---|---|---|")
            for label, t in bench(n, repeats):
                nex = t.get("numexpr", nan)
                print(
                    f"| {label} | {fmt(t['numpy'])} | {fmt(nex)} | {fmt(t['brindlemox'])} "
                    f"| {t['brindlemox'] / nex:.2f} | {t['brindlemox'] / t['numpy']:.2f} |"
                )
            print()


if __name__ == "__main__":
    main()
