"""Fast math against libm mode, NumPy and numexpr: each transcendental
function at n = 4096 (in cache) and 1e6, on one thread and the default
thread count, float64 and float32, on the same arrays; every figure is the
median of interleaved repeats in this one process. Then `sin(x)*exp(-x)` at
1e7 with the default threads, fast math against numexpr. Run with
`make bench` (needs SLEEF: see the README).
"""

import os

import numpy as np

import _brindlemox as ext
import brindlemox as bm
from bench_compute import fmt, measure, ratio_panel, size_arguments
from figures import save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

#: (text, NumPy's spelling, the operands' range)
FUNCTIONS = [
    ("exp(a)", "np.exp(a)", (-20, 20)),
    ("expm1(a)", "np.expm1(a)", (-20, 20)),
    ("log(a)", "np.log(a)", (1e-3, 1e3)),
    ("log1p(a)", "np.log1p(a)", (0, 1e3)),
    ("log2(a)", "np.log2(a)", (1e-3, 1e3)),
    ("log10(a)", "np.log10(a)", (1e-3, 1e3)),
    ("sin(a)", "np.sin(a)", (-10, 10)),
    ("cos(a)", "np.cos(a)", (-10, 10)),
    ("tan(a)", "np.tan(a)", (-10, 10)),
    ("arcsin(a)", "np.arcsin(a)", (-1, 1)),
    ("arccos(a)", "np.arccos(a)", (-1, 1)),
    ("arctan(a)", "np.arctan(a)", (-10, 10)),
    ("sinh(a)", "np.sinh(a)", (-20, 20)),
    ("cosh(a)", "np.cosh(a)", (-20, 20)),
    ("tanh(a)", "np.tanh(a)", (-5, 5)),
    ("arcsinh(a)", "np.arcsinh(a)", (-100, 100)),
    ("arccosh(a)", "np.arccosh(a)", (1, 100)),
    ("arctanh(a)", "np.arctanh(a)", (-0.99, 0.99)),
    ("arctan2(a, b)", "np.arctan2(a, b)", (-10, 10)),
    ("hypot(a, b)", "np.hypot(a, b)", (-10, 10)),
    ("a**b", "a**b", (0.1, 10)),
]
TARGETS = ("exp(a)", "sin(a)", "cos(a)", "tan(a)", "tanh(a)", "expm1(a)", "arctan(a)")


def isa_level():
    return ext._isa()


def candidates(text, spelling, names):
    found = {
        "libm": lambda: bm.evaluate(text, names, math="libm"),
        "fast": lambda: bm.evaluate(text, names, math="fast"),
        "numpy": lambda: eval(spelling, {"np": np}, names),  # noqa: S307
    }
    if ne is not None:
        found["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
    return found


def with_threads(threads, call):
    before = bm.set_num_threads(threads)
    before_ne = ne.set_num_threads(threads) if ne is not None else None
    try:
        return call()
    finally:
        bm.set_num_threads(before)
        if ne is not None:
            ne.set_num_threads(before_ne)


def bench(sizes, thread_counts, repeats):
    rng = np.random.default_rng(0)
    rows = []
    for n in sizes:
        for dtype in (np.float64, np.float32):
            for text, spelling, (low, high) in FUNCTIONS:
                names = {name: rng.uniform(low, high, n).astype(dtype) for name in "ab"}
                for threads in thread_counts:
                    times = with_threads(threads, lambda: measure(candidates(text, spelling, names), repeats))
                    rows.append((n, f"{np.dtype(dtype).name} {text} {threads}t", times, text, dtype, threads))
    return rows


def main():
    sizes, repeats = size_arguments(__doc__, "4096,1e6", 5)
    if "fast" not in bm.math_modes():
        raise SystemExit(f"no fast math here: {ext._math_missing('fast')}")
    default = bm.get_num_threads()
    nan = float("nan")
    print(
        f"# fast math ({os.cpu_count()} logical processors, level {isa_level()}, default threads {default}, "
        f"load average {' '.join(f'{load:.1f}' for load in os.getloadavg())})\n"
    )
    print("| n | function | libm | fast | numpy | numexpr | libm/fast | fast/numpy | fast/numexpr |")
    print("|---|---|---|---|---|---|---|---|---|")
    rows = bench(sizes, sorted({1, default}), repeats)
    for n, label, t, *_ in rows:
        nex = t.get("numexpr", nan)
        print(
            f"| {n:.0e} | {label} | {fmt(t['libm'])} | {fmt(t['fast'])} | {fmt(t['numpy'])} | {fmt(nex)} "
            f"| {t['libm'] / t['fast']:.2f} | {t['fast'] / t['numpy']:.2f} | {t['fast'] / nex:.2f} |"
        )
    print()
    fast = {(n, text, dtype, threads): t["fast"] for n, _, t, text, dtype, threads in rows}
    for n, label, t, text, dtype, threads in rows:
        if n == 4096 and threads == 1 and dtype == np.float64 and text in TARGETS:
            print(
                f"{label} at 4096: libm/fast {t['libm'] / t['fast']:.2f} (target >= 4), "
                f"fast/numpy {t['fast'] / t['numpy']:.2f} (target <= 0.8)"
            )
        if dtype == np.float32 and threads == 1:
            ratio = t["fast"] / fast[(n, text, np.float64, threads)]
            print(f"{text} at {n:.0e}: float32/float64 fast {ratio:.2f} (target <= 0.6)")
    x = np.random.default_rng(1).uniform(0, 10, 10**7)
    names = {"x": x}
    pair = {"fast": lambda: bm.evaluate("sin(x)*exp(-x)", names, math="fast")}
    if ne is not None:
        pair["numexpr"] = lambda: ne.evaluate("sin(x)*exp(-x)", local_dict=names)
    t = measure(pair, repeats)
    print(f"sin(x)*exp(-x) at 1e7, {default} threads: fast {fmt(t['fast'])}, numexpr {fmt(t.get('numexpr', nan))}, "
          f"fast/numexpr {t['fast'] / t.get('numexpr', nan):.2f} (target <= 0.35)")
    save(
        "math",
        "fast math against libm mode, NumPy and numexpr (below 1: fast math faster)",
        [
            ratio_panel("fast / libm mode", rows, "fast", "libm"),
            ratio_panel("fast / NumPy", rows, "fast", "numpy"),
            ratio_panel("fast / numexpr", rows, "fast", "numexpr"),
        ],
    )


if __name__ == "__main__":
    main()
