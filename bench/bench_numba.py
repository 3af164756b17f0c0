"""bm.evaluate against numba's parallel compiled loops, NumPy and numexpr.

The package benchmark's four expressions over float64 arrays, with 2 threads
for brindlemox, numba and numexpr, each call making a new result; `2*x + y`
also with `out=` against numba's loop into the same output and the two-thread
streaming bound (bytes read plus written at np.copyto's rate, copies on two
threads); and a kernel call against `evaluate` of the same text. numba is an
optional dependency of the benchmarks: without it its columns are left empty.
Every figure is the median of interleaved repeats in this one process, each
repeat after a pause of SETTLE seconds: numba's OpenMP workers spin for a while
after each of its calls, and a candidate timed right after them shared the
two cores with them (brindlemox's `out=` row at 1e7 measured 1.3-1.4x numba's
interleaved, 1.0-1.1x with the pause or alone). Run with `make bench`.
"""

import functools
import os
import threading

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure, size_arguments
from figures import panel, save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None
try:
    import numba
    from numba import njit, prange
except ImportError:
    numba = None

THREADS = 2
SETTLE = 0.1  # seconds before each timed repeat (see above)
#: Every timing here pauses SETTLE seconds before each repeat.
settled = functools.partial(measure, settle=SETTLE)
TEXTS = ("2*x + y", "sqrt(x*x + y*y)", "where(x > 0, x, 0)", "sin(x)*exp(-x)")
#: The math mode of each text; the transcendental row is the fast one.
MATH = {"sin(x)*exp(-x)": "fast"}


def _numpy_forms():
    return {
        "2*x + y": lambda x, y: 2 * x + y,
        "sqrt(x*x + y*y)": lambda x, y: np.sqrt(x * x + y * y),
        "where(x > 0, x, 0)": lambda x, y: np.where(x > 0, x, 0.0),
        "sin(x)*exp(-x)": lambda x, y: np.sin(x) * np.exp(-x),
    }


def _numba_forms():
    """Each text as numba's parallel loop making a new result, and `2*x + y` into an output."""
    if numba is None:
        return {}, None

    @njit(parallel=True)
    def affine(x, y):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = 2.0 * x[i] + y[i]
        return out

    @njit(parallel=True)
    def hypot(x, y):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = np.sqrt(x[i] * x[i] + y[i] * y[i])
        return out

    @njit(parallel=True)
    def relu(x, y):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = x[i] if x[i] > 0 else 0.0
        return out

    @njit(parallel=True)
    def damped(x, y):
        out = np.empty_like(x)
        for i in prange(x.size):
            out[i] = np.sin(x[i]) * np.exp(-x[i])
        return out

    @njit(parallel=True)
    def affine_into(x, y, out):
        for i in prange(x.size):
            out[i] = 2.0 * x[i] + y[i]
        return out

    forms = {"2*x + y": affine, "sqrt(x*x + y*y)": hypot, "where(x > 0, x, 0)": relu, "sin(x)*exp(-x)": damped}
    return forms, affine_into


def streaming_bound(n, repeats):
    """Seconds to read two arrays of n doubles and write one, at the rate of
    two threads each copying half of an array (np.copyto releases the lock)."""
    source = np.random.default_rng(1).standard_normal(n)
    target = np.empty_like(source)
    halves = [(source[: n // 2], target[: n // 2]), (source[n // 2 :], target[n // 2 :])]

    def two_thread_copy():
        other = threading.Thread(target=np.copyto, args=halves[1][::-1])
        other.start()
        np.copyto(halves[0][1], halves[0][0])
        other.join()

    seconds = settled({"copy": two_thread_copy}, repeats)["copy"]
    rate = 2 * source.nbytes / seconds  # bytes read plus bytes written
    return 3 * 8 * n / rate


def bench(sizes, repeats):
    rng = np.random.default_rng(0)
    numpy_forms = _numpy_forms()
    numba_forms, numba_into = _numba_forms()
    rows = []
    for n in sizes:
        x, y = rng.standard_normal(n), rng.standard_normal(n)
        names = {"x": x, "y": y}
        for text in TEXTS:
            math_mode = MATH.get(text, "libm")
            candidates = {
                "numpy": lambda: numpy_forms[text](x, y),
                "brindlemox": lambda: bm.evaluate(text, names, math=math_mode),
            }
            if ne is not None:
                candidates["numexpr"] = lambda: ne.evaluate(text, local_dict=names)
            if numba_forms:
                form = numba_forms[text]
                candidates["numba"] = lambda: form(x, y)
            rows.append((n, text, settled(candidates, repeats)))
    return rows


def bench_out(n, repeats):
    """`2*x + y` into a given output at n, brindlemox against numba."""
    rng = np.random.default_rng(3)
    x, y = rng.standard_normal(n), rng.standard_normal(n)
    out_bm, out_numba = np.empty(n), np.empty(n)
    names = {"x": x, "y": y}
    candidates = {"brindlemox": lambda: bm.evaluate("2*x + y", names, out=out_bm)}
    _, numba_into = _numba_forms()
    if numba_into is not None:
        candidates["numba"] = lambda: numba_into(x, y, out_numba)
    return settled(candidates, repeats)


def bench_kernel(n, repeats):
    """A kernel call against evaluate of the same text, at n."""
    rng = np.random.default_rng(4)
    x, y = rng.standard_normal(n), rng.standard_normal(n)
    a, b = bm.arg("a"), bm.arg("b")
    kernel = bm.kernel(bm.sqrt(a * a + b * b))
    names = {"a": x, "b": y}
    return settled(
        {"kernel": lambda: kernel(x, y), "evaluate": lambda: bm.evaluate("sqrt(a*a + b*b)", names)}, repeats
    )


def main():
    sizes, repeats = size_arguments(__doc__, "1e3,1e4,1e5,1e6,1e7", 7)
    nan = float("nan")
    bm.set_num_threads(THREADS)
    if ne is not None:
        ne.set_num_threads(THREADS)
    if numba is not None:
        numba.set_num_threads(THREADS)
    print(
        f"# bm.evaluate against numba njit(parallel=True) ({os.cpu_count()} logical processors, "
        f"{THREADS} threads each; numba {numba.__version__ if numba else 'not installed'})\n"
    )
    print("| n | expression | numpy | numexpr | numba | brindlemox | bm/numba | bm ns/element |")
    print("|---|---|---|---|---|---|---|---|")
    rows = bench(sizes, repeats)
    for n, text, t in rows:
        print(
            f"| {n:.0e} | `{text}` | {fmt(t['numpy'])} | {fmt(t.get('numexpr', nan))} | {fmt(t.get('numba', nan))} "
            f"| {fmt(t['brindlemox'])} | {t['brindlemox'] / t.get('numba', nan):.2f} "
            f"| {t['brindlemox'] / n * 1e9:.3f} |"
        )
    ratios = [t["brindlemox"] / t.get("numba", nan) for n, _, t in rows if n == 10**6]
    if ratios:
        print(f"\nworst bm/numba at n = 1e6 (new result): {max(ratios):.2f} (target <= 1.0)")

    n_out = max(sizes)
    out = bench_out(n_out, repeats)
    bound = streaming_bound(n_out, repeats)
    print(
        f"`2*x + y` at {n_out:.0e} with out=: brindlemox {fmt(out['brindlemox'])}, numba {fmt(out.get('numba', nan))}, "
        f"bm/numba {out['brindlemox'] / out.get('numba', nan):.2f} (target <= 1.0); two-thread streaming bound "
        f"{fmt(bound)}, bm/bound {out['brindlemox'] / bound:.2f} (target <= 1.05)"
    )
    kernel = bench_kernel(10**6, repeats)
    print(
        f"kernel `sqrt(a*a + b*b)` at 1e6: call {fmt(kernel['kernel'])}, evaluate {fmt(kernel['evaluate'])}, "
        f"ratio {kernel['kernel'] / kernel['evaluate']:.2f} (target <= 1.05)"
    )

    def per_element(text):
        return panel(
            f"`{text}`, new result, {THREADS} threads",
            "ns per element",
            {
                who: [(n, t[who] / n * 1e9) for n, label, t in rows if label == text and who in t]
                for who in ("numpy", "numexpr", "numba", "brindlemox")
            },
        )

    save(
        "numba",
        "Time per element against n: NumPy, numexpr, numba njit(parallel=True) and brindlemox",
        [per_element(text) for text in TEXTS],
    )


if __name__ == "__main__":
    main()
