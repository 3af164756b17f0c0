"""bm.evaluate against numexpr.evaluate and NumPy on the same NumPy arrays.

Four expressions at n = 1e3 ... 1e7, each with a new result array and with
`out=`; every figure is the median of interleaved repeats in this one process,
so ratios compare the three under the same machine conditions. Run with
`make bench`.
"""

import math
import os

import numpy as np

import brindlemox as bm
from bench_compute import copy_bandwidth, fmt, measure, ratio_panel, size_arguments
from figures import save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None


def _numpy_forms():
    """Each expression as NumPy computes it, without and with an output array."""

    def affine(x, y, out=None):
        if out is None:
            return 2 * x + y
        np.multiply(x, 2, out=out)
        return np.add(out, y, out=out)

    def hypot(x, y, out=None):
        if out is None:
            return np.sqrt(x * x + y * y)
        np.multiply(x, x, out=out)
        out += y * y
        return np.sqrt(out, out=out)

    def relu(x, y, out=None):
        if out is None:
            return np.where(x > 0, x, 0.0)
        np.copyto(out, 0.0)
        np.copyto(out, x, where=x > 0)
        return out

    def damped(x, y, out=None):
        if out is None:
            return np.sin(x) * np.exp(-x)
        np.sin(x, out=out)
        return np.multiply(out, np.exp(-x), out=out)

    return {"2*x + y": affine, "sqrt(x*x + y*y)": hypot, "where(x > 0, x, 0)": relu, "sin(x)*exp(-x)": damped}


EXPRESSIONS = _numpy_forms()


def bench(sizes, repeats):
    rng = np.random.default_rng(0)
    rows = []
    for n in sizes:
        x, y = rng.standard_normal(n), rng.standard_normal(n)
        names = {"x": x, "y": y}
        outs = {who: np.empty(n) for who in ("numpy", "numexpr", "brindlemox")}
        for text, numpy_form in EXPRESSIONS.items():
            candidates = {
                "numpy": lambda: numpy_form(x, y),
                "brindlemox": lambda: bm.evaluate(text, names),
                "numpy out": lambda: numpy_form(x, y, out=outs["numpy"]),
                "brindlemox out": lambda: bm.evaluate(text, names, out=outs["brindlemox"]),
            }
            if ne is not None:
                candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
                candidates["numexpr out"] = lambda: ne.evaluate(text, local_dict=names, out=outs["numexpr"])
            rows.append((n, text, measure(candidates, repeats)))
    return rows


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def main():
    sizes, repeats = size_arguments(__doc__, "1e3,1e4,1e5,1e6,1e7", 7)
    nan = float("nan")

    print(
        f"# bm.evaluate benchmark ({os.cpu_count()} logical processors, brindlemox threads {bm.get_num_threads()}, "
        f"numexpr threads {ne.get_num_threads() if ne else 'n/a'})\n"
    )
    print(
        "| n | expression | numpy | numexpr | brindlemox | bm/numexpr | bm/numpy "
        "| numpy out= | numexpr out= | brindlemox out= | bm/numexpr out= |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    rows = bench(sizes, repeats)
    for n, text, t in rows:
        nex, nex_out = t.get("numexpr", nan), t.get("numexpr out", nan)
        print(
            f"| {n:.0e} | `{text}` | {fmt(t['numpy'])} | {fmt(nex)} | {fmt(t['brindlemox'])} "
            f"| {t['brindlemox'] / nex:.2f} | {t['brindlemox'] / t['numpy']:.2f} | {fmt(t['numpy out'])} "
            f"| {fmt(nex_out)} | {fmt(t['brindlemox out'])} | {t['brindlemox out'] / nex_out:.2f} |"
        )

    at_1e6 = [t["brindlemox"] / t.get("numexpr", nan) for n, _, t in rows if n == 10**6]
    above = [
        (n, text, form, t[f"brindlemox{form}"] / t.get(f"numexpr{form}", nan))
        for n, text, t in rows
        if n >= 10**4
        for form in ("", " out")
    ]
    worst = max(above, key=lambda row: row[3], default=None)
    print(f"\ngeometric mean of bm/numexpr at n = 1e6 (new result): {geomean(at_1e6):.2f} (target <= 0.7)")
    if worst is not None:
        n, text, form, ratio = worst
        print(f"largest bm/numexpr from n = 1e4 up: {ratio:.2f} at {n:.0e} `{text}`{form} (target <= 1.0)")
    for n, text, t in rows:
        if n == 10**3:
            print(f"n = 1e3 `{text}`: bm/numpy {t['brindlemox'] / t['numpy']:.2f} (target <= 2)")
    if 10**7 in sizes:
        n = 10**7
        bandwidth = copy_bandwidth(n, repeats)
        bound = 3 * 8 * n / bandwidth  # two inputs read, one result written
        affine = next(t for m, text, t in rows if m == n and text == "2*x + y")
        print(
            f"copy bandwidth (np.copyto, 1e7 doubles, read+write) {bandwidth / 1e9:.2f} GB/s; bound for "
            f"`2*x + y` at 1e7 {fmt(bound)}; bm out= {fmt(affine['brindlemox out'])}, "
            f"ratio {affine['brindlemox out'] / bound:.2f} (target <= 1.2)"
        )
    save(
        "evaluate",
        "bm.evaluate against numexpr.evaluate and NumPy (below 1: brindlemox faster)",
        [
            ratio_panel("bm.evaluate / numexpr, new result", rows, "brindlemox", "numexpr"),
            ratio_panel("bm.evaluate / numexpr, out=", rows, "brindlemox out", "numexpr out"),
            ratio_panel("bm.evaluate / NumPy, new result", rows, "brindlemox", "numpy"),
            ratio_panel("bm.evaluate / NumPy, out=", rows, "brindlemox out", "numpy out"),
        ],
    )


if __name__ == "__main__":
    main()
