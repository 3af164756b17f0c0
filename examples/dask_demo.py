"""brindlemox on a Dask cluster: Dask plans and moves the chunks, brindlemox computes each one.

Starts a real LocalCluster of two worker processes, evaluates an expression and the four
reductions over 2e7 elements in 8 chunks, times them beside Dask's own array expression and
numexpr inside map_blocks, and checks every result bit for bit against the local engine.
"""

import time

import dask.array as da
import distributed
import numexpr
import numpy as np

import brindlemox as bm
from brindlemox.dask import worker_num_threads

N = 20_000_000
CHUNKS = 8
TEXT = "sqrt(x*x + y*y) - 2*x"


def numexpr_block(x, y):
    return numexpr.evaluate(TEXT, local_dict={"x": x, "y": y})


def on_workers(client, lazy):
    """Seconds to compute `lazy` into the workers' memory, and its result there."""
    start = time.perf_counter()
    result = lazy.persist()
    distributed.wait(result)
    return time.perf_counter() - start, result


def same_bits(a, b):
    return np.asarray(a, dtype=np.float64).tobytes() == np.asarray(b, dtype=np.float64).tobytes()


def main():
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        print(f"cluster: {client}")
        rng = da.random.default_rng(42)
        x = rng.standard_normal(N, chunks=N // CHUNKS).persist()
        y = rng.standard_normal(N, chunks=N // CHUNKS).persist()
        distributed.wait([x, y])
        x_local, y_local = x.compute(), y.compute()
        print(f"data: x and y, {N:.0e} float64 elements each in {CHUNKS} chunks, already on the workers")

        workers = list(client.scheduler_info()["workers"])
        pools = [client.submit(worker_num_threads, workers=[w], pure=False).result() for w in workers]
        print(f"engine pool size per worker (its share of the CPUs): {pools}")

        print(f"\n== elementwise: {TEXT}")
        lazy = bm.evaluate(TEXT)  # x and y are found in this frame, as numexpr does
        print(f"bm.evaluate gives a lazy Dask array: {lazy!r}")
        on_workers(client, lazy)  # warm: imports and compile caches on the workers
        contenders = {
            "Dask array expression": lambda: da.sqrt(x * x + y * y) - 2 * x,
            "numexpr in map_blocks": lambda: da.map_blocks(numexpr_block, x, y, dtype=np.float64, meta=np.empty(0)),
            "brindlemox": lambda: bm.evaluate(TEXT, {"x": x, "y": y}),
        }
        for name, make in contenders.items():
            seconds, result = on_workers(client, make())
            print(f"  {name:24} {seconds * 1e3:8.1f} ms")
        exact = same_bits(result.compute(), bm.evaluate(TEXT, {"x": x_local, "y": y_local}))
        print(f"  brindlemox on the cluster has the local engine's bits: {exact}")

        print("\n== reductions (strict sum and mean chained across chunks; min/max combined in chunk order)")
        dask_own = {"sum": da.sum, "mean": da.mean, "min": da.min, "max": da.max}
        for name, theirs in dask_own.items():
            ours = getattr(bm, name)
            start = time.perf_counter()
            value = ours(x).compute()
            ours_ms = (time.perf_counter() - start) * 1e3
            start = time.perf_counter()
            dask_value = theirs(x).compute()
            theirs_ms = (time.perf_counter() - start) * 1e3
            local = ours(x_local)
            print(f"  {name:4} brindlemox {ours_ms:7.1f} ms = {float(value)!r:24} local {local!r:24} same bits: "
                  f"{same_bits(value, local)}   (da.{name} {theirs_ms:6.1f} ms = {float(dask_value)!r}, same bits: "
                  f"{same_bits(dask_value, local)})")


if __name__ == "__main__":
    main()
