"""A tour of brindlemox: evaluate() beside NumPy and numexpr on the same
arrays, kernels, exact reductions, errors, and a channel pipeline with select."""

import statistics
import threading
import time

import numpy as np

import brindlemox as bm

try:
    import numexpr as ne
except ImportError:  # the numexpr column is left out
    ne = None


def median_seconds(call, repeats=7, inner=5):
    """Median over `repeats` rounds of the mean of `inner` warm calls."""
    call()
    rounds = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(inner):
            call()
        rounds.append((time.perf_counter() - start) / inner)
    return statistics.median(rounds)


print(f"== evaluate() beside NumPy and numexpr (warm, median of 7; {bm.get_num_threads()} threads)")
rng = np.random.default_rng(0)
n = 1_000_000
x, y = rng.standard_normal(n), rng.standard_normal(n)
forms = {
    "2*x + y": lambda: 2 * x + y,
    "sqrt(x*x + y*y)": lambda: np.sqrt(x * x + y * y),
    "where(x > 0, x, 0)": lambda: np.where(x > 0, x, 0.0),
    "sin(x)*exp(-x)": lambda: np.sin(x) * np.exp(-x),
}
for text, numpy_form in forms.items():
    mine = median_seconds(lambda: bm.evaluate(text))
    theirs = median_seconds(numpy_form)
    line = f"{text:20} brindlemox {mine * 1e3:6.2f} ms   numpy {theirs * 1e3:6.2f} ms"
    if ne is not None:
        line += f"   numexpr {median_seconds(lambda: ne.evaluate(text)) * 1e3:6.2f} ms"
    same = np.array_equal(bm.evaluate(text), numpy_form())
    print(line + f"   bit-equal to NumPy: {same}")
print("(sin and exp are the platform's libm; NumPy has its own SIMD versions, which differ in the last bit)")

print("\n== in place: out= may be an input (no copy of x, no new array)")
z = np.arange(5.0)
before = z.copy()  # printed before the call: z itself changes in place
returned = bm.evaluate("z * 2 + 1", out=z)
print("z =", before, "-> z =", z, "returned object is z:", returned is z)

print("\n== kernels: compiled once, called on arrays of any shape")


@bm.kernel
def hypot(a, b):
    return bm.sqrt(a * a + b * b)


grid = np.arange(6.0).reshape(2, 3)
print(hypot, "on a 2x3 grid and a scalar:\n", hypot(grid, 4.0))

print("\n== reductions: strictly sequential, so bit-reproducible")
print("sum", bm.sum(x), "mean", bm.mean(x), "min", bm.min(x), "max", bm.max(x))
cancelling = np.array([1e16] + [1.0] * 20 + [-1e16])
print(f"sum of [1e16, twenty 1.0, -1e16]: {bm.sum(cancelling)} left to right, {np.sum(cancelling)} by NumPy's pairwise sum")

print("\n== errors in Python's own words")
for text in ("x % 2", "cosh(x)", "sqrt(x, y)", "q + 1", "x +"):
    try:
        bm.evaluate(text)
    except (ValueError, TypeError, NameError, SyntaxError) as error:
        print(f"{text:12} -> {type(error).__name__}: {error}")

print("\n== pipeline: producers submit with go(out=...), a consumer selects")
channels = [bm.chan(2) for _ in range(3)]
scale = bm.kernel(lambda v, offset: v * 10 + offset)


def producer(index):
    for step in range(4):
        bm.go(scale.map(v=bm.asarray(np.full(5, float(step))), offset=float(index)), out=channels[index])


threads = [threading.Thread(target=producer, args=(i,)) for i in range(3)]
for thread in threads:
    thread.start()
cases = [bm.RecvCase(channel) for channel in channels]
counts = [0, 0, 0]
for _ in range(12):
    index, got = bm.select(*cases)
    counts[index] += 1
    print(f"from channel {index}: {np.asarray(got)[:3]}")
for thread in threads:
    thread.join()
for channel in channels:
    channel.close()
print("received per channel:", counts)
try:
    bm.select(*cases)
except RuntimeError as error:
    print("after close:", error)
