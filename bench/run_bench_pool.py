"""Run the C++ pool benchmark, pass its report through and save its figures.

    python bench/run_bench_pool.py build/bench/bench/bench_pool

`bench_pool` prints two fixed lines; this reads the times from them so that
`plot.py` can draw them next to the other families.
"""

import re
import subprocess
import sys

from figures import panel, save

NUMBER = r"([0-9.]+)"
OVERHEAD = re.compile(rf"back-to-back {NUMBER} us/call, after idling {NUMBER} us/call;")
KERNEL = re.compile(rf"4096 x sin: sequential {NUMBER} us/call, run_pieces\(4096, 1024\) {NUMBER} us/call")


def figures(report):
    overhead, kernel = OVERHEAD.search(report), KERNEL.search(report)
    if overhead is None or kernel is None:
        raise SystemExit("bench_pool's report changed; update the patterns in run_bench_pool.py")
    warm, cold = (float(value) for value in overhead.groups())
    sin_sequential, sin_pool = (float(value) for value in kernel.groups())
    # The near-empty body alone takes nanoseconds on the calling thread, too
    # little to draw; the pool's bars for it are the hand-off cost itself.
    return {
        "calling thread": [("4096 x sin", sin_sequential)],
        "pool, run_pieces(4096, 1024)": [
            ("hand-off of a near-empty body, back to back", warm),
            ("hand-off of a near-empty body, workers parked", cold),
            ("4096 x sin", sin_pool),
        ],
    }


def main():
    report = subprocess.run(sys.argv[1:], check=True, capture_output=True, text=True).stdout
    print(report, end="")
    save(
        "pool",
        "The engine's pool without Python: 4096 elements on the calling thread against the pool",
        [panel("time per call", "microseconds per call", figures(report), axis="cases")],
    )


if __name__ == "__main__":
    main()
