"""The fixed cost of a call: bm.evaluate, re_evaluate, kernel calls and small
reductions at n = 1 (and the package's four expressions at n = 1e3) beside
the NumPy line (and numexpr call) they replace, and time against n from 1 to
1e5 for NumPy, numexpr and brindlemox.

A fixed cost is measured as the minimum over repeats of the mean of many
calls in a row, so that the figure is the call's own cost and not the
machine's noise. Run with `make bench`.
"""

import argparse
import os
import time

import numpy as np

import brindlemox as bm
from bench_compute import fmt
from figures import panel, save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None


def fixed_costs(calls, repeats, inner):
    """The least mean seconds per call of each of `calls` over `repeats` runs
    of `inner` calls in a row, the calls taking turns run by run, so that a
    change in the machine's load meets them all."""
    for call in calls:
        call()
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for index, call in enumerate(calls):
            start = time.perf_counter_ns()
            for _ in range(inner):
                call()
            best[index] = min(best[index], (time.perf_counter_ns() - start) / inner)
    return [seconds * 1e-9 for seconds in best]


def chain(operators):
    """A text of `operators` operators over x, each adding or subtracting a small int."""
    return "x" + "".join(f" {'+-'[k % 2]} {k % 7 + 1}" for k in range(operators))


def rows(repeats, inner):
    """(call, brindlemox seconds, reference label, reference seconds) per row."""
    measured = []

    def row(label, call, reference_label, reference):
        ours, theirs = fixed_costs([call, reference], repeats, inner)
        measured.append((label, ours, reference_label, theirs))

    x = np.ones(1)
    y = np.ones(1)
    row('evaluate("x+1", local_dict={"x": x}), n = 1', lambda: bm.evaluate("x+1", local_dict={"x": x}),
        "NumPy x+1", lambda: x + 1)

    # The caller's frame: x is the calling function's local variable.
    def from_frame(x=x):
        return bm.evaluate("x+1")

    def numpy_line(x=x):
        return x + 1

    row('evaluate("x+1") from the frame, n = 1', from_frame, "NumPy x+1 in a function", numpy_line)
    many = {f"unused{k}": k for k in range(200)} | {"x": x, "__builtins__": __builtins__}
    used = {"x": x}
    row("local_dict of 200 unused names beside x, n = 1", lambda: bm.evaluate("x+1", local_dict=many),
        "the dict of x alone", lambda: bm.evaluate("x+1", local_dict=used))
    row('math="fast" exp(x), n = 1', lambda: bm.evaluate("exp(x)", used, math="fast"),
        'math="libm"', lambda: bm.evaluate("exp(x)", used, math="libm"))
    with bm.math_mode("fast"):
        row('bm.math_mode("fast") exp(x), n = 1', lambda: bm.evaluate("exp(x)", used),
            'math="libm"', lambda: bm.evaluate("exp(x)", used, math="libm"))
    out = np.empty(1)
    row("x+1 with out=, order='C', casting='safe', n = 1",
        lambda: bm.evaluate("x+1", used, out=out, order="C", casting="safe"),
        "no options", lambda: bm.evaluate("x+1", used))
    ints, floats = {"x": np.arange(10)}, {"x": np.arange(10.0)}
    text = chain(50)
    row("int64 text of 50 operators, n = 10", lambda: bm.evaluate(text, ints),
        "the float64 text", lambda: bm.evaluate(text, floats))
    bm.evaluate("x+1", used)
    row("re_evaluate(), n = 1", lambda: bm.re_evaluate(used), "NumPy x+1", lambda: x + 1)
    k = bm.kernel(bm.arg("x") + bm.arg("y"))
    row("kernel k(x, y), n = 1", lambda: k(x, y), "NumPy x+y", lambda: x + y)
    small = np.arange(10.0)
    for name in ("sum", "mean", "min", "max"):
        ours, theirs = getattr(bm, name), getattr(np, name)
        row(f"bm.{name} of 10 float64", lambda: ours(small), f"np.{name}", lambda: theirs(small))
    rng = np.random.default_rng(0)
    names = {"x": rng.standard_normal(1000), "y": rng.standard_normal(1000)}
    for text, numpy_form in {
        "2*x + y": lambda: 2 * names["x"] + names["y"],
        "sqrt(x*x + y*y)": lambda: np.sqrt(names["x"] * names["x"] + names["y"] * names["y"]),
        "where(x > 0, x, 0)": lambda: np.where(names["x"] > 0, names["x"], 0),
        "sin(x)*exp(-x)": lambda: np.sin(names["x"]) * np.exp(-names["x"]),
    }.items():
        row(f"`{text}`, n = 1e3, against NumPy", lambda: bm.evaluate(text, names), "NumPy", numpy_form)
        if ne is not None:
            row(f"`{text}`, n = 1e3, against numexpr", lambda: bm.evaluate(text, names), "numexpr",
                lambda: ne.evaluate(text, local_dict=names))
    return measured


def sweep(repeats, inner):
    """Seconds per `2*x + y` call at n = 1 ... 1e5, for each of the three."""
    series = {"numpy": [], "numexpr": [], "brindlemox": []}
    for n in (1, 10, 100, 1000, 10_000, 100_000):
        names = {"x": np.ones(n), "y": np.ones(n)}
        count = max(10, inner // max(1, n // 100))
        calls = {"numpy": lambda: 2 * names["x"] + names["y"], "brindlemox": lambda: bm.evaluate("2*x + y", names)}
        if ne is not None:
            calls["numexpr"] = lambda: ne.evaluate("2*x + y", local_dict=names)
        for (who, _), seconds in zip(calls.items(), fixed_costs(list(calls.values()), repeats, count)):
            series[who].append((n, seconds))
    return series


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--inner", type=int, default=20_000)
    args = parser.parse_args()
    print(f"# fixed cost of a call ({os.cpu_count()} logical processors, load {os.getloadavg()[0]:.1f})\n")
    print("| call | brindlemox | reference | reference time | difference | ratio |")
    print("|---|---|---|---|---|---|")
    measured = rows(args.repeats, args.inner)
    for label, ours, reference, theirs in measured:
        print(f"| {label} | {fmt(ours)} | {reference} | {fmt(theirs)} | {(ours - theirs) * 1e6:+.2f} us "
              f"| {ours / theirs:.2f} |")
    series = sweep(args.repeats, args.inner)
    save(
        "fixed_cost",
        "Time of one call against n: `2*x + y` (brindlemox, numexpr, NumPy) and the fixed costs",
        [
            panel("seconds per call of `2*x + y`", "seconds", {who: points for who, points in series.items() if points}),
            panel("fixed cost per call, n = 1 unless stated", "microseconds",
                  {"brindlemox": [(label, ours * 1e6) for label, ours, _, _ in measured],
                   "reference": [(label, theirs * 1e6) for label, _, _, theirs in measured]},
                  xlabel="", axis="cases"),
        ],
    )


if __name__ == "__main__":
    main()
