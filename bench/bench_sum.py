"""Exact sums against NumPy's pairwise sum and numexpr's, on every core.

Every figure is the median of interleaved repeats measured in this one process,
with the thread count of --threads (2 unless given) for brindlemox and numexpr.
Run with `make bench`.
"""

import argparse
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
    rows = [
        ("sum(x) float64", lambda: bm.sum(x), "numpy", lambda: np.sum(x)),
        ("sum(x) float32", lambda: bm.sum(x32), "numpy", lambda: np.sum(x32)),
        ("evaluate('sum(a*b)')", lambda: bm.evaluate("sum(a*b)", {"a": a, "b": b}), "numpy", lambda: np.sum(a * b)),
        ("sum(m, axis=1) 1000 rows", lambda: bm.sum(m, axis=1), "numpy", lambda: np.sum(m, axis=1)),
        ("sum(m, axis=0) 1000 rows", lambda: bm.sum(m, axis=0), "numpy", lambda: np.sum(m, axis=0)),
    ]
    if numexpr is not None:
        rows.insert(3, ("evaluate('sum(a*b)')", rows[2][1], "numexpr",
                        lambda: numexpr.evaluate("sum(a*b)", {"a": a, "b": b})))
    return rows


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
    save("sum", f"exact sums, n={n:.0e}, {threads} threads",
         [panel("brindlemox / peer (below 1: brindlemox faster)", "time ratio", ratios, xlabel="case", axis="cases",
                reference=1.0)])


if __name__ == "__main__":
    main()
