"""Exact sums against NumPy's pairwise sum and numexpr's, on every core: their
time, and their error against the correctly rounded sum over n.

Every figure is the median of interleaved repeats measured in this one process,
with the thread count of --threads (2 unless given) for brindlemox and numexpr.
Run with `make bench`.
"""

import argparse
import math
import os

import numpy as np

import brindlemox as bm
from bench_compute import fmt, measure
from figures import panel, save

try:
    import numexpr
except ImportError:  # its row is left out
    numexpr = None


def arguments():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--n", type=float, default=1e7)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    return int(args.n), args.repeats, args.threads


def cases(n):
    """(label, brindlemox call, peer name, peer call) for each row."""
    rng = np.random.default_rng(5)
    x = rng.standard_normal(n)
    x32 = x.astype(np.float32)
    a, b = rng.standard_normal(n), rng.standard_normal(n)
    m = rng.standard_normal((1000, n // 1000))
    m32 = m.astype(np.float32)
    y = np.empty_like(x)
    rows = [
        ("sum(x) float64", lambda: bm.sum(x), "numpy", lambda: np.sum(x)),
        ("sum(x) float32", lambda: bm.sum(x32), "numpy", lambda: np.sum(x32)),
        ("evaluate('sum(a*b)')", lambda: bm.evaluate("sum(a*b)", {"a": a, "b": b}), "numpy", lambda: np.sum(a * b)),
        ("sum(m, axis=1) 1000 rows", lambda: bm.sum(m, axis=1), "numpy", lambda: np.sum(m, axis=1)),
        ("sum(m, axis=0) 1000 rows", lambda: bm.sum(m, axis=0), "numpy", lambda: np.sum(m, axis=0)),
        ("sum(m, axis=1) 1000 rows float32", lambda: bm.sum(m32, axis=1), "numpy", lambda: np.sum(m32, axis=1)),
        ("sum(m, axis=0) 1000 rows float32", lambda: bm.sum(m32, axis=0), "numpy", lambda: np.sum(m32, axis=0)),
        ("evaluate('(x - min(x)) / (max(x) - min(x))')", lambda: bm.evaluate("(x - min(x)) / (max(x) - min(x))", {"x": x}),
         "numpy", lambda: (x - np.min(x)) / (np.max(x) - np.min(x))),
        # np.copyto reads and writes 8n bytes each: the bound of a reduction reading them is half its time.
        ("min(x) (bound: 0.5 of copyto)", lambda: bm.min(x), "np.copyto", lambda: np.copyto(y, x)),
        ("max(x) (bound: 0.5 of copyto)", lambda: bm.max(x), "np.copyto", lambda: np.copyto(y, x)),
    ]
    if numexpr is not None:
        rows.insert(3, ("evaluate('sum(a*b)')", rows[2][1], "numexpr",
                        lambda: numexpr.evaluate("sum(a*b)", {"a": a, "b": b})))
    return rows


def errors(n):
    """For each sum, its distance from the correctly rounded sum (math.fsum),
    in units of that sum's last place, at sizes 10^2 up to n: the values have
    both signs and magnitudes from 1e-8 to 1e8, as measurements in mixed
    units do."""
    sums = {"brindlemox": bm.sum, "numpy (pairwise)": np.sum}
    if numexpr is not None:
        sums["numexpr"] = lambda x: numexpr.evaluate("sum(x)", {"x": x})[()]
    series = {label: [] for label in sums}
    rng = np.random.default_rng(11)
    for exponent in range(2, int(math.log10(n)) + 1):
        size = 10**exponent
        x = rng.standard_normal(size) * 10.0 ** rng.integers(-8, 9, size)
        exact = math.fsum(x)
        for label, total in sums.items():
            series[label].append((size, abs(float(total(x)) - exact) / math.ulp(exact)))
    return series


def main():
    n, repeats, threads = arguments()
    bm.set_num_threads(threads)
    if numexpr is not None:
        numexpr.set_num_threads(threads)
    print(f"# brindlemox exact sums, n={n:.0e}, {threads} threads ({os.cpu_count()} logical processors)\n")
    header = "| case | brindlemox | peer | peer time | brindlemox/peer |"
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    ratios = {}
    for label, ours, peer, theirs in cases(n):
        t = measure({"ours": ours, "peer": theirs}, repeats)
        ratio = t["ours"] / t["peer"]
        print(f"| {label} | {fmt(t['ours'])} | {peer} | {fmt(t['peer'])} | {ratio:.2f} |")
        ratios.setdefault(f"against {peer}", []).append((label, ratio))
    error = errors(n)
    print("\n| n | " + " | ".join(f"{label} error (ulps)" for label in error) + " |")
    print("|" + "---|" * (len(error) + 1))
    for row in zip(*error.values()):
        print(f"| {row[0][0]:.0e} | " + " | ".join(f"{ulps:.3g}" for _, ulps in row) + " |")
    save("sum", f"exact sums, n={n:.0e}, {threads} threads",
         [panel("brindlemox / peer (below 1: brindlemox faster)", "time ratio", ratios, xlabel="case", axis="cases",
                reference=1.0),
          panel("error of the sum (brindlemox: exact at every n)", "1 + ulps off the correctly rounded sum",
                {label: [(size, 1 + ulps) for size, ulps in points] for label, points in error.items()},
                reference=1.0)])


if __name__ == "__main__":
    main()
