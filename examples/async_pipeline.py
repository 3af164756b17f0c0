"""An asyncio pipeline on brindlemox: a producer of arrays, a kernel stage, a
reduction stage, and a slow stage cancelled when it overruns its budget.

Every stage is a coroutine on one event loop; the computing happens on the
engine's threads, so the loop keeps turning (the ticker below counts its
turns) and no thread is started per wait. Run it with `make demo-async`.
"""

import asyncio

import numpy as np

import brindlemox as bm

BATCHES = 8
SIZE = 1_000_000

smooth = bm.kernel(lambda x: bm.exp(-x * x) * bm.cos(3 * x))


async def produce(arrays: bm.Channel) -> None:
    """Sends BATCHES arrays of SIZE points, then closes the channel."""
    with arrays:
        for batch in range(BATCHES):
            await arrays.send_async(np.linspace(batch, batch + 1, SIZE))


async def transform(arrays: bm.Channel, smoothed: bm.Channel) -> None:
    """The kernel stage: each array through `smooth`, computed by the engine."""
    with smoothed:
        async for values in arrays:
            await smoothed.send_async(await bm.go(smooth, values))


async def reduce(smoothed: bm.Channel) -> list[float]:
    """The reduction stage: the sum of each smoothed array."""
    return [float(bm.sum(values)) async for values in smoothed]


async def slow_stage(withdrawn: list[str]) -> np.ndarray:
    """A computation far too long for the pipeline's budget; when cancelled,
    records how many of its computations had not started."""
    x = np.arange(1e7)
    work = [bm.go("sin(x) ** 2 + cos(x) ** 2", x=x) for _ in range(8)]
    try:
        return np.concatenate(await asyncio.gather(*work))
    except asyncio.CancelledError:
        # Work not yet started is withdrawn; what runs finishes on its own.
        withdrawn.append(f"{sum(task.cancel() for task in work)} of {len(work)}")
        raise


async def main() -> None:
    turns = 0

    async def ticker() -> None:
        nonlocal turns
        while True:
            turns += 1
            await asyncio.sleep(0.001)

    ticking = asyncio.ensure_future(ticker())
    arrays, smoothed = bm.chan(2), bm.chan(2)
    sums, *_ = await asyncio.gather(reduce(smoothed), produce(arrays), transform(arrays, smoothed))
    batches = (np.linspace(batch, batch + 1, SIZE) for batch in range(BATCHES))
    expected = [float(np.sum(np.exp(-x * x) * np.cos(3 * x))) for x in batches]
    print("sums of the smoothed batches:", " ".join(f"{value:.6f}" for value in sums))
    print("agree with NumPy to 1e-9:", np.allclose(sums, expected, rtol=1e-9, atol=1e-9))
    withdrawn: list[str] = []
    try:
        await asyncio.wait_for(slow_stage(withdrawn), timeout=0.2)
    except TimeoutError:
        print("the slow stage overran its 0.2 s budget and was cancelled:", end=" ")
        print(f"{withdrawn[0]} computations withdrawn before they started")
    ticking.cancel()
    print(f"the event loop turned {turns} times meanwhile; it was never blocked")


if __name__ == "__main__":
    asyncio.run(main())
