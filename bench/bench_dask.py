"""brindlemox on a Dask cluster against Dask's own array expressions and numexpr in map_blocks.

A LocalCluster of 2 worker processes x 1 thread; 2e7 float64 elements in 8 chunks, already on
the workers. Elementwise rows time building the graph, computing it and waiting until the
result sits on the workers (persist + wait); reduction rows time compute() of the scalar. Every
figure is the median of interleaved repeats in one run. Nothing here asserts a time.

    python bench/bench_dask.py [--n 20000000] [--chunks 8] [--repeats 7]
"""

import argparse
import statistics
import time

import dask.array as da
import distributed
import numexpr
import numpy as np

import brindlemox as bm
from figures import panel, save

# Text for brindlemox and numexpr, and the same expression in Dask's array API.
EXPRESSIONS = {
    "2*x + y": lambda x, y: 2 * x + y,
    "sqrt(x*x + y*y)": lambda x, y: da.sqrt(x * x + y * y),
    "sin(x)*exp(-x)": lambda x, y: da.sin(x) * da.exp(-x),
}

REDUCTIONS = {
    "min": (bm.min, da.min),
    "max": (bm.max, da.max),
    "sum": (bm.sum, da.sum),
}


def numexpr_block(x, y, text):
    return numexpr.evaluate(text, local_dict={"x": x, "y": y})


def timed_persist(client, make):
    start = time.perf_counter()
    result = make().persist()
    distributed.wait(result)
    elapsed = time.perf_counter() - start
    client.cancel(result)  # the next repeat computes the same keys afresh
    return elapsed


def timed_compute(make):
    start = time.perf_counter()
    make().compute()
    return time.perf_counter() - start


def median_ms(samples):
    return statistics.median(samples) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20_000_000)
    parser.add_argument("--chunks", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=7)
    options = parser.parse_args()

    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        rng = da.random.default_rng(0)
        chunk = -(-options.n // options.chunks)
        x = rng.standard_normal(options.n, chunks=chunk).persist()
        y = rng.standard_normal(options.n, chunks=chunk).persist()
        distributed.wait([x, y])
        # Warm every path once (imports, compile caches, the workers' pool sizing).
        bm.evaluate("x + y").sum().compute()
        print(f"LocalCluster 2 processes x 1 thread; n = {options.n:.0e} in {options.chunks} chunks; "
              f"median of {options.repeats} interleaved repeats\n")

        print("| expression | dask array | numexpr map_blocks | brindlemox | bm/dask | bm/numexpr |")
        print("|---|---|---|---|---|---|")
        ratios = {"bm / dask array": [], "bm / numexpr map_blocks": []}
        for text, dask_expression in EXPRESSIONS.items():
            makers = {
                "dask": lambda: dask_expression(x, y),
                "numexpr": lambda: da.map_blocks(numexpr_block, x, y, text=text, dtype=np.float64, meta=np.empty(0)),
                "bm": lambda: bm.evaluate(text, {"x": x, "y": y}),
            }
            samples = {name: [] for name in makers}
            for _ in range(options.repeats):
                for name, make in makers.items():
                    samples[name].append(timed_persist(client, make))
            dask_ms, numexpr_ms, bm_ms = (median_ms(samples[name]) for name in ("dask", "numexpr", "bm"))
            print(f"| `{text}` | {dask_ms:.1f} ms | {numexpr_ms:.1f} ms | {bm_ms:.1f} ms | "
                  f"{bm_ms / dask_ms:.2f} | {bm_ms / numexpr_ms:.2f} |")
            ratios["bm / dask array"].append((text, bm_ms / dask_ms))
            ratios["bm / numexpr map_blocks"].append((text, bm_ms / numexpr_ms))

        print("\n| reduction | dask | brindlemox | bm/dask | same bits as the local engine |")
        print("|---|---|---|---|---|")
        local_x = x.compute()
        for name, (ours, theirs) in REDUCTIONS.items():
            samples = {"dask": [], "bm": []}
            for _ in range(options.repeats):
                samples["dask"].append(timed_compute(lambda: theirs(x)))
                samples["bm"].append(timed_compute(lambda: ours(x)))
            same = np.float64(ours(x).compute()).tobytes() == np.float64(ours(local_x)).tobytes()
            dask_ms, bm_ms = median_ms(samples["dask"]), median_ms(samples["bm"])
            print(f"| {name} | {dask_ms:.1f} ms | {bm_ms:.1f} ms | {bm_ms / dask_ms:.2f} | {'yes' if same else 'NO'} |")
            ratios["bm / dask array"].append((name, bm_ms / dask_ms))
    save(
        "dask",
        f"brindlemox on a Dask LocalCluster (2 processes x 1 thread, n = {options.n:.0e} in {options.chunks} chunks)",
        [panel("time ratio (below 1: brindlemox faster)", "time ratio", ratios, axis="cases", reference=1.0, log_y=False)],
    )


if __name__ == "__main__":
    main()
