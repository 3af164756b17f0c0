"""bm.evaluate in the data's own types against numexpr and NumPy: float32,
int64 and complex128 expressions and a boolean mask, at n = 1e3 ... 1e7, on
the same arrays; every figure is the median of interleaved repeats in this
one process. Run with `make bench`.
"""

import os

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure, peak_extra_bytes, ratio_panel, size_arguments
from figures import save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

NAMESPACE = {"sqrt": np.sqrt, "where": np.where}

#: (label, dtype, expression); `b` and `c` are drawn like `a`.
ROWS = [
    ("float32", np.float32, "2*a + 3*b"),
    ("float32", np.float32, "sqrt(a*a + b*b)"),
    ("float32", np.float32, "where(a > 0, a, 0)"),
    ("float32 mask", np.float32, "(a > 0.5) & (b < 0.2)"),
    ("int64", np.int64, "a*3 + b"),
    ("int64", np.int64, "(a & 4) != 0"),
    ("int64", np.int64, "a // 7"),
    ("complex128", np.complex128, "a*b + c"),
    ("float64", np.float64, "2*a + 3*b"),
]


def arrays(dtype, n, rng):
    if np.dtype(dtype).kind == "i":
        return {name: rng.integers(-1000, 1000, n, dtype=dtype) for name in "abc"}
    if np.dtype(dtype).kind == "c":
        return {name: rng.random(n) + 1j * rng.random(n) for name in "abc"}
    return {name: rng.random(n, dtype=np.float64).astype(dtype) for name in "abc"}


def bench(sizes, repeats):
    rng = np.random.default_rng(0)
    rows = []
    for n in sizes:
        for label, dtype, text in ROWS:
            names = arrays(dtype, n, rng)
            candidates = {
                "numpy": lambda: eval(text, NAMESPACE, names),  # noqa: S307
                "brindlemox": lambda: bm.evaluate(text, names),
            }
            if ne is not None:
                candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
            rows.append((n, f"{label} `{text}`", measure(candidates, repeats)))
    return rows


def main():
    sizes, repeats = size_arguments(__doc__, "1e3,1e5,1e6,1e7", 7)
    nan = float("nan")
    print(
        f"# bm.evaluate by dtype ({os.cpu_count()} logical processors, brindlemox threads {bm.get_num_threads()}, "
        f"numexpr threads {ne.get_num_threads() if ne else 'n/a'})\n"
    )
    print("| n | expression | numpy | numexpr | brindlemox | bm/numexpr | bm/numpy |")
    print("|---|---|---|---|---|---|---|")
    rows = bench(sizes, repeats)
    for n, label, t in rows:
        nex = t.get("numexpr", nan)
        print(
            f"| {n:.0e} | {label} | {fmt(t['numpy'])} | {fmt(nex)} | {fmt(t['brindlemox'])} "
            f"| {t['brindlemox'] / nex:.2f} | {t['brindlemox'] / t['numpy']:.2f} |"
        )
    print()
    for n, label, t in rows:
        if n >= 10**5 and not label.startswith(("float64", "complex")):
            print(f"{label} at {n:.0e}: bm/numexpr {t['brindlemox'] / t.get('numexpr', nan):.2f} (target <= 0.8)")
        if n == 10**3:
            print(f"{label} at 1e3: bm/numpy {t['brindlemox'] / t['numpy']:.2f} (target <= 2)")
    if 10**7 in sizes:
        times = {label: t["brindlemox"] for n, label, t in rows if n == 10**7}
        ratio = times["float32 `2*a + 3*b`"] / times["float64 `2*a + 3*b`"]
        print(f"float32 / float64 `2*a + 3*b` at 1e7: {ratio:.2f} (target <= 0.6)")
        mask = arrays(np.float32, 10**7, rng=np.random.default_rng(1))
        extra = peak_extra_bytes(lambda: bm.evaluate("(a > 0.5) & (b < 0.2)", mask))
        print(f"mask at 1e7: peak extra memory {extra / 2**20:.1f} MiB (the result: {10**7 / 2**20:.1f} MiB)")
    save(
        "dtypes",
        "bm.evaluate by dtype against numexpr and NumPy (below 1: brindlemox faster)",
        [
            ratio_panel("bm.evaluate / numexpr", rows, "brindlemox", "numexpr"),
            ratio_panel("bm.evaluate / NumPy", rows, "brindlemox", "numpy"),
        ],
    )


if __name__ == "__main__":
    main()
