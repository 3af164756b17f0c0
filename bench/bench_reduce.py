"""Min and max on every core: brindlemox against NumPy and the memory bound.

Every figure is the median of interleaved repeats measured in this one process;
the copy (`np.copyto`) runs in the same rounds, and half its time is the time
to read the input once at the copy bandwidth. Run with `make bench`.
"""

import os

import numpy as np

import _brindlemox as bm
from bench_compute import fmt, measure, size_arguments
from figures import panel, save

try:
    import brindlemox
except ImportError:  # the one-thread column is left out
    brindlemox = None

k = bm._KernelModule()
rt = bm._RuntimeModule()


def one_thread(call):
    """`call` with the engine limited to the calling thread."""

    def limited():
        previous = brindlemox.set_num_threads(1)
        try:
            return call()
        finally:
            brindlemox.set_num_threads(previous)

    return limited


def main():
    sizes, repeats = size_arguments(__doc__, "1e5,1e6,1e7", 9)
    has_threads = brindlemox is not None and hasattr(brindlemox, "set_num_threads")
    affinity = len(os.sched_getaffinity(0))
    print(f"# brindlemox min/max benchmark ({os.cpu_count()} logical processors, {affinity} allowed)\n")
    print("`go` is go() + result() of the reduction of a Buffer made beforehand;")
    print("`read once` is half the time of np.copyto (one read and one write of the bytes).\n")
    header = "| n | op | numpy | go | go 1 thread | read once | go/numpy | go/read once |"
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    rng = np.random.default_rng(3)
    against_numpy, against_read = {}, {}
    for n in sizes:
        xs = rng.standard_normal(n)
        target = np.empty_like(xs)
        buf = rt.asarray(xs)
        for label, numpy_form, factory in [("min", np.min, k.min_reduce), ("max", np.max, k.max_reduce)]:
            spec = factory(buf)
            candidates = {
                "numpy": lambda: numpy_form(xs),
                "go": lambda: rt.go(spec).result(),
                "copy": lambda: np.copyto(target, xs),
            }
            if has_threads:
                candidates["go 1 thread"] = one_thread(lambda: rt.go(spec).result())
            t = measure(candidates, repeats)
            read_once = t["copy"] / 2
            single = fmt(t["go 1 thread"]) if has_threads else "n/a"
            print(
                f"| {n:.0e} | {label} | {fmt(t['numpy'])} | {fmt(t['go'])} | {single} | {fmt(read_once)} "
                f"| {t['go'] / t['numpy']:.2f} | {t['go'] / read_once:.2f} |"
            )
            for column, threads in (("go", "all threads"), ("go 1 thread", "1 thread")):
                if column in t:
                    against_numpy.setdefault(f"{label}, {threads}", []).append((n, t[column] / t["numpy"]))
                    against_read.setdefault(f"{label}, {threads}", []).append((n, t[column] / read_once))
    save(
        "reduce",
        "min and max: brindlemox go() against NumPy and one read of the input",
        [
            panel("go() / NumPy (below 1: brindlemox faster)", "time ratio", against_numpy, reference=1.0),
            panel("go() / reading the input once (half an np.copyto)", "time ratio", against_read, reference=1.0),
        ],
    )


if __name__ == "__main__":
    main()
