"""Repeated subexpressions: what a kernel with repeats costs against one without.

Each pair is measured in the same interleaved rounds (medians), at n = 1e6 by
default: an expression whose subexpressions recur, beside the expression
that computes each distinct subexpression once by hand. With every repeat
computed once, the two cost about the same; numexpr runs the same texts for
comparison. Then the squaring chains `e = e * e` (22 and 60 times, 2**23 and
2**61 nodes expanded) are made kernels in a fresh process each: the time of
`elementwise` plus the first compile, and the growth of the process's peak
resident memory. The load average is printed before and after, as the
machine may be shared. Run with `make bench`.
"""

import argparse
import os
import subprocess
import sys

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure
from figures import panel, save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

# (with repeats, the same work without them, target ratio or None)
PAIRS = [
    ("sin(x)*sin(x) + cos(x)*cos(x) + sin(x)", "sin(x) + cos(x)", 1.15),
    ("(x + y) * (x + y)", "(x + y) * y", None),
    ("exp(-(x*x)) * sin(x*x) + exp(-(x*x))", "exp(-y) * sin(x*x) + y", None),
    ("where(sin(x) > 0, sin(x), sin(x)*sin(x))", "where(sin(x) > 0, y, x*y)", None),
]


def load():
    return "{:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


CHAIN = """
import resource, sys, time
import _brindlemox as ext
k = ext._KernelModule()
e = k.arg("x")
for _ in range({steps}):
    e = e * e
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
ext._compile(k.elementwise(e))
seconds = time.perf_counter() - start
print(seconds, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""


def compile_chain(steps):
    """Seconds and peak resident bytes added by elementwise and the first
    compile of the squaring chain, in a fresh process (an empty cache)."""
    out = subprocess.run([sys.executable, "-c", CHAIN.format(steps=steps)], capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]), int(out[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--n", type=float, default=1e6)
    args = parser.parse_args()
    n = int(args.n)
    rng = np.random.default_rng(0)
    names = {"x": rng.standard_normal(n), "y": rng.standard_normal(n)}

    print(f"# repeated subexpressions, n = {n:.0e} ({os.cpu_count()} logical processors, "
          f"brindlemox threads {bm.get_num_threads()}, load average before {load()})\n")
    print("| expression | brindlemox | without repeats | ratio | target | numexpr | numexpr ratio |")
    print("|---|---|---|---|---|---|---|")
    ratios = {"brindlemox": [], "numexpr": []}
    for repeated, plain, target in PAIRS:
        candidates = {
            "repeated": lambda: bm.evaluate(repeated, names),
            "plain": lambda: bm.evaluate(plain, names),
        }
        if ne is not None:
            candidates["ne repeated"] = lambda: ne.evaluate(repeated, local_dict=names)
            candidates["ne plain"] = lambda: ne.evaluate(plain, local_dict=names)
        t = measure(candidates, args.repeats)
        ratio = t["repeated"] / t["plain"]
        ratios["brindlemox"].append((repeated, ratio))
        ne_cells = "n/a | n/a"
        if ne is not None:
            ne_cells = f"{fmt(t['ne repeated'])} | {t['ne repeated'] / t['ne plain']:.2f}"
            ratios["numexpr"].append((repeated, t["ne repeated"] / t["ne plain"]))
        print(f"| `{repeated}` vs `{plain}` | {fmt(t['repeated'])} | {fmt(t['plain'])} | {ratio:.2f} "
              f"| {'<= ' + format(target, '.2f') if target else '-'} | {ne_cells} |")
    print("\n| squaring chain | expanded nodes | elementwise + first compile | peak memory added |")
    print("|---|---|---|---|")
    for steps in (22, 60):
        seconds, peak = compile_chain(steps)
        print(f"| {steps} steps | 2**{steps + 1} - 1 | {fmt(seconds)} | {peak / 2**20:.1f} MiB |")
    print(f"\nload average after {load()}")
    save(
        "shared_subtrees",
        f"Repeated subexpressions at n = {n:.0e}",
        [
            panel(
                "time with repeats / time of the same distinct work written once",
                "ratio",
                ratios,
                xlabel="expression",
                axis="cases",
                reference=1.0,
                log_y=False,
            )
        ],
    )


if __name__ == "__main__":
    main()
