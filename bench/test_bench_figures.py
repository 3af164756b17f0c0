"""The benchmark figures: what the scripts save is what plot.py reads."""

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import figures  # noqa: E402  (found through the path above)
import run_bench_pool  # noqa: E402

POOL_REPORT = (
    "run_pieces(4096, 1024) with 1 workers: back-to-back 0.04 us/call, after idling 7.02 us/call; "
    "sequential body 0.003 us/call; overhead 0.04 / 7.02 us\n"
    "4096 x sin: sequential 70.58 us/call, run_pieces(4096, 1024) 54.87 us/call\n"
)


def test_pool_report_read_into_calling_thread_and_pool_series():
    got = run_bench_pool.figures(POOL_REPORT)
    assert got == {
        "calling thread": [("4096 x sin", 70.58)],
        "pool, run_pieces(4096, 1024)": [
            ("hand-off of a near-empty body, back to back", 0.04),
            ("hand-off of a near-empty body, workers parked", 7.02),
            ("4096 x sin", 54.87),
        ],
    }


@pytest.mark.parametrize("line", [0, 1])
def test_pool_report_with_a_changed_line_is_refused(line):
    lines = POOL_REPORT.splitlines()
    lines[line] = lines[line].replace("us/call", "ns/call")
    with pytest.raises(SystemExit, match="bench_pool's report changed"):
        run_bench_pool.figures("\n".join(lines))


def test_saved_family_keeps_panels_points_and_load(tmp_path, monkeypatch):
    monkeypatch.setattr(figures, "RESULTS", tmp_path / "results")
    monkeypatch.setattr(sys, "argv", ["/somewhere/bench/bench_x.py", "--repeats", "3"])
    ratios = figures.panel("go / peer", "time ratio", {"2*x + y": [(1000, 0.5), (10**6, 1.25)]}, reference=1.0)
    figures.save("x", "a title", [ratios])

    saved = json.loads((tmp_path / "results" / "x.json").read_text())
    assert saved["command"] == "python bench/bench_x.py --repeats 3"
    assert len(saved["load_average"]) == 3
    assert saved["panels"] == [
        {
            "title": "go / peer",
            "xlabel": "n (elements)",
            "ylabel": "time ratio",
            "axis": "sizes",
            "reference": 1.0,
            "log_y": True,
            "series": [{"label": "2*x + y", "points": [[1000, 0.5], [1000000, 1.25]]}],
        }
    ]
