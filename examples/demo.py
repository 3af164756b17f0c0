"""An end-to-end tour of brindlemox: buffers, expressions, kernels over a
million elements, reductions, errors, and a channel pipeline with select."""

import threading
import time

import numpy as np

import _brindlemox as bm

rt = bm._RuntimeModule()
k = bm._KernelModule()

print("== buffers: NumPy in, engine buffer, NumPy out")
source = np.array([1.0, 2.5, -0.0, np.inf])
buffer = rt.asarray(source)
print("in:    ", source)
print("buffer:", repr(buffer), "len", len(buffer))
print("out:   ", buffer.numpy(), "first element", buffer.scalar())

print("\n== expressions build trees; nothing is computed")
x, y = k.args("x", "y")
kernels = {
    "2*x + y": 2 * x + y,
    "sqrt(x*x + y*y)": k.sqrt(x * x + y * y),
    "where(x > 0, x, 0)": k.where_(x > 0, x, 0),
    "sin(x)*exp(-x)": k.sin(x) * k.exp(-x),
}
for name, expr in kernels.items():
    print(f"{name:20} {expr!r}")

print("\n== kernels over a million elements (GIL released, work-stealing pool)")
n = 1_000_000
rng = np.random.default_rng(0)
xs, ys = rng.standard_normal(n), rng.standard_normal(n)
bx, by = rt.asarray(xs), rt.asarray(ys)
references = {
    "2*x + y": 2 * xs + ys,
    "sqrt(x*x + y*y)": np.sqrt(xs * xs + ys * ys),
    "where(x > 0, x, 0)": np.where(xs > 0, xs, 0.0),
    "sin(x)*exp(-x)": np.sin(xs) * np.exp(-xs),
}
for name, expr in kernels.items():
    spec = k.elementwise(expr)
    start = time.perf_counter()
    handle = rt.go(k.map(spec, x=bx, y=by) if "y" in name else k.map(spec, x=bx))
    result = handle.result().numpy()
    elapsed = time.perf_counter() - start
    close = np.allclose(result, references[name], rtol=1e-15, atol=0)
    print(f"{name:20} {elapsed * 1e3:7.2f} ms  {handle!r}  first {result[:2]}  matches NumPy: {close}")

print("\n== reductions (strictly sequential, exact)")
for name, factory in [("sum", k.sum), ("mean", k.mean), ("min", k.min_reduce), ("max", k.max_reduce)]:
    print(f"{name:5}", rt.go(factory(bx)).result().scalar())
print("sum of [1e16, 1.0, -1e16] =", rt.go(k.sum(rt.asarray(np.array([1e16, 1.0, -1e16])))).result().scalar())

print("\n== errors come back from result(), never from go()")
failing = [
    ("missing binding", k.map(k.elementwise(x + y), x=bx)),
    ("length mismatch", k.map(k.elementwise(x + y), x=bx, y=rt.asarray(np.zeros(3)))),
    ("empty reduction", k.mean(rt.asarray(np.zeros(0)))),
]
for name, spec in failing:
    handle = rt.go(spec)
    try:
        handle.result()
    except ValueError as error:
        print(f"{name:16} {handle!r}  ->  ValueError: {error}")

print("\n== pipeline: producers submit with go(out=...), a consumer selects")
channels = [rt.chan(2) for _ in range(3)]
scale = k.elementwise(x * 10 + y)


def producer(index):
    for step in range(4):
        data = rt.asarray(np.full(5, float(step)))
        rt.go(k.map(scale, x=data, y=float(index)), out=channels[index])


threads = [threading.Thread(target=producer, args=(i,)) for i in range(3)]
for thread in threads:
    thread.start()
cases = [bm.RecvCase(channel) for channel in channels]
counts = [0, 0, 0]
for _ in range(12):
    index, got = bm.py_select(*cases)
    counts[index] += 1
    print(f"from channel {index}: {got.numpy()[:3]}")
for thread in threads:
    thread.join()
for channel in channels:
    channel.close()
print("received per channel:", counts)
try:
    bm.py_select(*cases)
except RuntimeError as error:
    print("after close:", error)
