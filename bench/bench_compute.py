import argparse
"""Elementwise kernels and reductions: brindlemox against NumPy and numexpr.

Every figure is the median of interleaved repeats measured in this one process;
ratios compare implementations within the same run. Run with `make bench`.
"""

import gc
import os
import statistics
import time

import numpy as np

import _brindlemox as bm
from figures import panel, save

try:
    import numexpr as ne
except ImportError:  # the comparison is skipped, the rest still runs
    ne = None

k = bm._KernelModule()
rt = bm._RuntimeModule()

EXPRESSIONS = {
    "2*x + y": (
        lambda x, y: 2 * x + y,
        lambda X, Y: 2 * X + Y,
        "2*x + y",
    ),
    "sqrt(x*x + y*y)": (
        lambda x, y: np.sqrt(x * x + y * y),
        lambda X, Y: k.sqrt(X * X + Y * Y),
        "sqrt(x*x + y*y)",
    ),
    "where(x > 0, x, 0)": (
        lambda x, y: np.where(x > 0, x, 0.0),
        lambda X, Y: k.where_(X > 0, X, 0),
        "where(x > 0, x, 0)",
    ),
    "sin(x)*exp(-x)": (
        lambda x, y: np.sin(x) * np.exp(-x),
        lambda X, Y: k.sin(X) * k.exp(-X),
        "sin(x)*exp(-x)",
    ),
}


def size_arguments(description, sizes, repeats):
    """The sizes and the repeat count of a benchmark over array sizes, from
    --sizes (comma-separated, 1e6 allowed; `sizes` unless given) and
    --repeats (`repeats` unless given)."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--repeats", type=int, default=repeats)
    parser.add_argument("--sizes", default=sizes)
    args = parser.parse_args()
    return [int(float(s)) for s in args.sizes.split(",")], args.repeats


def measure(candidates, repeats, target_seconds=0.02, settle=0.0):
    """Median seconds per call of each candidate, sampled in interleaved rounds.

    settle: seconds of sleep before each candidate's sample, for peers whose
    idle workers spin after a call (numba's OpenMP threads): without it the
    next candidate shares the cores with them and is timed slower."""
    inner = {}
    for name, call in candidates.items():
        call()
        start = time.perf_counter()
        call()
        once = max(time.perf_counter() - start, 1e-7)
        inner[name] = max(1, int(target_seconds / once))
    samples = {name: [] for name in candidates}
    for _ in range(repeats):
        for name, call in candidates.items():
            count = inner[name]
            time.sleep(settle)
            start = time.perf_counter()
            for _ in range(count):
                call()
            samples[name].append((time.perf_counter() - start) / count)
    return {name: statistics.median(values) for name, values in samples.items()}


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    return f"{seconds * 1e3:8.2f} ms"


def copy_bandwidth(n, repeats):
    source = np.random.default_rng(1).standard_normal(n)
    target = np.empty_like(source)
    seconds = measure({"copy": lambda: np.copyto(target, source)}, repeats)["copy"]
    return 2 * source.nbytes / seconds  # bytes read plus bytes written


def peak_extra_bytes(call):
    """Peak resident memory above the starting point while `call` runs (Linux)."""
    gc.collect()
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    before = resident("VmRSS")
    result = call()
    peak = resident("VmHWM")
    del result
    return peak - before


def resident(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def bench_maps(sizes, repeats, threads):
    rng = np.random.default_rng(0)
    rows = []
    for n in sizes:
        xs = rng.standard_normal(n)
        ys = rng.standard_normal(n)
        bx, by = rt.asarray(xs), rt.asarray(ys)
        X, Y = k.args("x", "y")
        for label, (numpy_form, expr_form, numexpr_form) in EXPRESSIONS.items():
            spec = k.elementwise(expr_form(X, Y))
            uses_y = "y" in numexpr_form
            bindings = {"x": bx, "y": by} if uses_y else {"x": bx}
            mapped = k.map(spec, **bindings)
            candidates = {
                "numpy": lambda: numpy_form(xs, ys),
                "go": lambda: rt.go(mapped).result(),
                "end-to-end": lambda: rt.go(
                    k.map(spec, **({"x": rt.asarray(xs), "y": rt.asarray(ys)} if uses_y else {"x": rt.asarray(xs)}))
                ).result().numpy(),
            }
            if ne is not None:
                local = {"x": xs, "y": ys}

                def numexpr_default():
                    ne.set_num_threads(threads)
                    return ne.evaluate(numexpr_form, local_dict=local)

                def numexpr_single():
                    ne.set_num_threads(1)
                    return ne.evaluate(numexpr_form, local_dict=local)

                candidates["numexpr"] = numexpr_default
                candidates["numexpr-1t"] = numexpr_single
            times = measure(candidates, repeats)
            got = rt.go(mapped).result().numpy()
            expected = numpy_form(xs, ys)
            exact = got.tobytes() == expected.tobytes()
            rows.append((n, label, times, exact))
    return rows


def bench_reductions(sizes, repeats):
    rng = np.random.default_rng(2)
    rows = []
    for n in sizes:
        xs = rng.standard_normal(n)
        buf = rt.asarray(xs)
        for label, numpy_form, factory in [
            ("sum", np.sum, k.sum),
            ("mean", np.mean, k.mean),
            ("min", np.min, k.min_reduce),
            ("max", np.max, k.max_reduce),
        ]:
            spec = factory(buf)
            times = measure({"numpy": lambda: numpy_form(xs), "go": lambda: rt.go(spec).result()}, repeats)
            rows.append((n, label, times))
    return rows


def main():
    sizes, repeats = size_arguments(__doc__, "1e3,1e5,1e6,1e7", 7)
    threads = ne.detect_number_of_cores() if ne is not None else os.cpu_count()

    print(f"# brindlemox compute benchmark ({os.cpu_count()} logical processors, numexpr threads {threads})\n")
    bandwidth = copy_bandwidth(10**7, repeats)
    print(f"copy bandwidth (np.copyto, 1e7 doubles, read+write): {bandwidth / 1e9:.2f} GB/s\n")

    print("| n | expression | numpy | numexpr | numexpr 1t | go | end-to-end | go/numexpr | go/numpy | bit-exact vs numpy |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    maps = bench_maps(sizes, repeats, threads)
    for n, label, t, exact in maps:
        nex = t.get("numexpr", float("nan"))
        print(
            f"| {n:.0e} | `{label}` | {fmt(t['numpy'])} | {fmt(nex)} | {fmt(t.get('numexpr-1t', float('nan')))} "
            f"| {fmt(t['go'])} | {fmt(t['end-to-end'])} | {t['go'] / nex:.2f} | {t['go'] / t['numpy']:.2f} "
            f"| {'yes' if exact else 'no'} |"
        )
        if label == "2*x + y" and n >= 10**6:
            moved = 3 * 8 * n  # two inputs read, one result written
            print(f"|  | bandwidth bound for `2*x + y` | | | | {fmt(moved / bandwidth)} | | go/bound {t['go'] / (moved / bandwidth):.2f} | | |")

    print("\n| n | reduction | numpy | go | go/numpy |")
    print("|---|---|---|---|---|")
    reductions = bench_reductions(sizes, repeats)
    for n, label, t in reductions:
        print(f"| {n:.0e} | {label} | {fmt(t['numpy'])} | {fmt(t['go'])} | {t['go'] / t['numpy']:.2f} |")

    X, Y = k.args("x", "y")
    spec = k.elementwise(2 * X + Y)
    handoff = {}
    for n in (4095, 4096):
        mapped = k.map(spec, x=rt.asarray(np.ones(n)), y=rt.asarray(np.ones(n)))
        handoff[n] = measure({"go": lambda: rt.go(mapped).result()}, repeats)["go"]
    print(
        f"\npool hand-off: go() of `2*x + y` at n = 4095 (calling thread) {fmt(handoff[4095])}, "
        f"at n = 4096 (pool) {fmt(handoff[4096])}, ratio {handoff[4096] / handoff[4095]:.2f}"
    )
    cpu_before = time.process_time()
    time.sleep(0.5)
    print(f"CPU time burnt by idle workers in 0.5 s after go() returned: {(time.process_time() - cpu_before) * 1e3:.1f} ms")

    n = 10**7
    bx, by = rt.asarray(np.ones(n)), rt.asarray(np.ones(n))
    X, Y = k.args("x", "y")
    mapped = k.map(k.elementwise(2 * X + Y), x=bx, y=by)
    rt.go(mapped).result()
    extra = peak_extra_bytes(lambda: rt.go(mapped).result())
    result_bytes = 8 * n
    print(
        f"\npeak extra memory of go() at n = 1e7: {extra / 2**20:.1f} MiB "
        f"(result buffer {result_bytes / 2**20:.1f} MiB; allowance {result_bytes / 2**20 + 1:.1f} MiB)"
    )
    save_figures(maps, reductions)


def ratio_panel(title, rows, numerator, denominator):
    """A panel of the time ratio numerator / denominator per label and n, over rows of (n, label, times, ...)."""
    series = {}
    for n, label, times, *_ in rows:
        series.setdefault(label, []).append((n, times[numerator] / times.get(denominator, float("nan"))))
    return panel(title, "time ratio", series, reference=1.0)


def save_figures(maps, reductions):
    save(
        "compute",
        "brindlemox go() + result() against numexpr and NumPy (below 1: brindlemox faster)",
        [
            ratio_panel("go() / numexpr (default threads)", maps, "go", "numexpr"),
            ratio_panel("go() / NumPy", maps, "go", "numpy"),
            ratio_panel("reductions: go() / NumPy", reductions, "go", "numpy"),
        ],
    )


if __name__ == "__main__":
    main()
