"""The largest error of fast math, in units in the last place of the
correctly rounded result, over millions of points per function and type:
random over each function's domain (uniform in the exponent, so every binade
is visited) and around its reduction boundaries. The reference is the same
function in x86's 80-bit long double (float64) and in float64 (float32),
whose own errors are a few thousandths of the measured ulp. Not a test (it
takes minutes); its maxima are the ones the README gives. Run with
`python bench/math_ulp_sweep.py [--points N]`.
"""

import argparse

import numpy as np

import brindlemox as bm

# name, the NumPy function, how to draw each operand: ("log", lo, hi) draws
# sign * 2**uniform(lo, hi) with the sign chosen when lo's tuple says so,
# ("lin", lo, hi) uniform.
F64_LIMITS = {"exp": 709.7, "sinh": 710.4, "pow": 1020.0}
F32_LIMITS = {"exp": 88.7, "sinh": 89.4, "pow": 126.0}


def draw(rng, kind, lo, hi, signed, n):
    if kind == "lin":
        return rng.uniform(lo, hi, n)
    magnitude = np.exp2(rng.uniform(lo, hi, n))
    return magnitude * (rng.choice([-1.0, 1.0], n) if signed else 1.0)


def domains(dtype):
    big = 1000 if dtype == np.float64 else 120
    tiny = -1070 if dtype == np.float64 else -148
    limits = F64_LIMITS if dtype == np.float64 else F32_LIMITS
    e, s = limits["exp"], limits["sinh"]
    return {
        "exp": [("lin", -e - 35, e)],
        "expm1": [("lin", -60, e), ("log", tiny, 0, True)],
        "log": [("log", tiny, big, False)],
        "log2": [("log", tiny, big, False)],
        "log10": [("log", tiny, big, False)],
        "log1p": [("log", tiny, big, False), ("lin", -1, 0)],
        "sin": [("log", tiny, big, True), ("lin", -1e4, 1e4)],
        "cos": [("log", tiny, big, True), ("lin", -1e4, 1e4)],
        "tan": [("log", tiny, big, True), ("lin", -1e4, 1e4)],
        "arcsin": [("lin", -1, 1), ("log", tiny, 0, True)],
        "arccos": [("lin", -1, 1), ("log", tiny, 0, True)],
        "arctan": [("log", tiny, big, True)],
        "sinh": [("lin", -s, s), ("log", tiny, 0, True)],
        "cosh": [("lin", -s, s)],
        "tanh": [("log", tiny, 6, True)],
        "arcsinh": [("log", tiny, big, True)],
        "arccosh": [("log", 0, big, False)],
        "arctanh": [("lin", -1, 1), ("log", tiny, 0, True)],
        "arctan2": [("log", tiny, big, True), ("log", tiny, big, True)],
        "hypot": [("log", tiny, big, True), ("log", tiny, big, True)],
        "power": [("log", -30, 30, False), ("lin", -30, 30)],
    }


def operands(rng, name, dtype, n):
    spec = domains(dtype)[name]
    if name in ("arctan2", "hypot", "power"):
        return [draw(rng, *spec[k][:3], spec[k][3] if len(spec[k]) > 3 else False, n).astype(dtype) for k in (0, 1)]
    parts = [draw(rng, *part[:3], part[3] if len(part) > 3 else False, n // len(spec)) for part in spec]
    return [np.concatenate(parts).astype(dtype)]


def ulp_error(got, reference, dtype):
    """|got - reference| in ulps of the reference's binade in `dtype`; NaN
    where the reference is not finite in `dtype`."""
    info = np.finfo(dtype)
    wide = np.longdouble
    _, exponent = np.frexp(reference)
    step = np.ldexp(wide(1), np.maximum(exponent - info.nmant - 1, info.minexp - info.nmant))
    error = np.abs(got.astype(wide) - reference) / step
    finite = np.isfinite(reference) & (np.abs(reference) <= wide(info.max))
    return np.where(finite & np.isfinite(got), error, np.where(got == reference.astype(dtype), 0.0, np.inf))


def sweep(name, dtype, points, rng):
    values = operands(rng, name, dtype, points)
    wide = np.longdouble if dtype == np.float64 else np.float64
    with np.errstate(all="ignore"):
        reference = getattr(np, name)(*[v.astype(wide) for v in values]).astype(np.longdouble)
        text = "a**b" if name == "power" else f"{name}({', '.join('ab'[: len(values)])})"
        got = bm.evaluate(text, dict(zip("ab", values)), math="fast")
        error = ulp_error(got, reference, dtype)
    worst = int(np.argmax(error))
    return float(error[worst]), [float(v[worst]) for v in values]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--points", type=int, default=2_000_000)
    points = parser.parse_args().points
    rng = np.random.default_rng(20261208)
    print(f"maximum error in ulps, {points} points per function and type")
    print(f"{'function':10} {'float64':>9} {'float32':>9}   worst float64 operands")
    for name in domains(np.float64):
        worst64, at = sweep(name, np.float64, points, rng)
        worst32, _ = sweep(name, np.float32, points, rng)
        print(f"{name:10} {worst64:9.3f} {worst32:9.3f}   {at}")


if __name__ == "__main__":
    main()
