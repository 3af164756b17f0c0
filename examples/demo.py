"""An end-to-end tour of brindlemox."""

import numpy as np

import _brindlemox as bm

rt = bm._RuntimeModule()
k = bm._KernelModule()

print("== buffers: NumPy in, engine buffer, NumPy out")
source = np.array([1.0, 2.5, -0.0, np.inf])
buffer = rt.asarray(source)
print("in: ", source)
print("buffer:", repr(buffer), "len", len(buffer))
print("out:", buffer.numpy(), "first element", buffer.scalar())

print("\n== expressions and kernels")
x, y = k.args("x", "y")
for expr in [x * 2 + y, k.sqrt(x * x + y * y), k.where_(x > 0, x, 0), k.sin(x) * k.exp(-x)]:
    print(repr(expr))
spec = k.elementwise(x * 2 + y)
print("kernel:", type(spec).__name__, "bound:", type(k.map(spec, x=buffer, y=1.5)).__name__)
