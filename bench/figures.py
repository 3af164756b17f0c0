"""The figures of one benchmark run, saved for `plot.py` to draw.

Every benchmark script describes its plot as panels of series and calls
`save` once at the end; `plot.py` turns each saved family into one PNG. The
scripts need nothing beyond the standard library for this, so they run where
matplotlib is not installed.
"""

import json
import os
import sys
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"


def panel(title, ylabel, series, xlabel="n (elements)", axis="sizes", reference=None, log_y=True):
    """One plot area.

    `series` maps a legend label to a list of (x, y) points. With `axis="sizes"`
    x is an element count drawn on a log axis; with `axis="cases"` x is a case
    name and the series are drawn as grouped bars. `reference` draws a dashed
    horizontal line, 1.0 for ratios against the peer.
    """
    return {
        "title": title,
        "xlabel": xlabel,
        "ylabel": ylabel,
        "axis": axis,
        "reference": reference,
        "log_y": log_y,
        "series": [{"label": label, "points": [list(point) for point in points]} for label, points in series.items()],
    }


def save(family, title, panels):
    """Write the family's figures with the command and the machine's load."""
    RESULTS.mkdir(exist_ok=True)
    record = {
        "family": family,
        "title": title,
        "command": " ".join(["python", f"bench/{Path(sys.argv[0]).name}", *sys.argv[1:]]),
        "finished": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "load_average": [round(load, 1) for load in os.getloadavg()],
        "panels": panels,
    }
    (RESULTS / f"{family}.json").write_text(json.dumps(record, indent=1) + "\n")
