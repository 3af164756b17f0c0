"""Draw one PNG per benchmark family from the figures the scripts saved.

Reads bench/results/<family>.json (written by `figures.save`) and writes
bench/plots/<family>.png. Run by `make bench` after the benchmarks; run it
alone to redraw the last figures.
"""

import argparse
import json
import math
import textwrap
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
from matplotlib import ticker  # noqa: E402

HERE = Path(__file__).resolve().parent
PANEL_WIDTH, PANEL_HEIGHT = 6.4, 4.6
BAR_PANEL_WIDTH, HEIGHT_PER_CASE = 11, 0.55


def finite(points):
    return [(x, y) for x, y in points if y is not None and math.isfinite(y) and y > 0]


def draw_sizes(axes, spec):
    for series in spec["series"]:
        points = finite(series["points"])
        axes.plot([x for x, _ in points], [y for _, y in points], marker="o", label=series["label"])
    axes.set_xscale("log")


def case_names(spec):
    return list(dict.fromkeys(x for series in spec["series"] for x, _ in series["points"]))


def draw_cases(axes, spec):
    cases = case_names(spec)
    width = 0.8 / len(spec["series"])
    for index, series in enumerate(spec["series"]):
        values = dict(finite(series["points"]))
        positions = [case + (index - (len(spec["series"]) - 1) / 2) * width for case in range(len(cases))]
        axes.barh(positions, [values.get(case, 0) for case in cases], height=width, label=series["label"])
    axes.set_yticks(range(len(cases)), [textwrap.fill(case, 34) for case in cases])
    axes.invert_yaxis()  # first case on top, as in the table


def draw_panel(axes, spec):
    cases = spec["axis"] == "cases"
    (draw_cases if cases else draw_sizes)(axes, spec)
    # Bars run horizontally so that long case names stay readable: the value axis is x.
    value_scale, value_label = (axes.set_xscale, axes.set_xlabel) if cases else (axes.set_yscale, axes.set_ylabel)
    if spec["log_y"]:
        value_scale("log")
        # Plain numbers at 1, 1.5, 2, 3 and 5 per decade: ratios such as 0.5 and 2 read at a glance.
        # A horizontal value axis has room for fewer marks.
        value_axis = axes.xaxis if cases else axes.yaxis
        marks = (1.0, 2.0, 5.0) if cases else (1.0, 1.5, 2.0, 3.0, 5.0)
        value_axis.set_major_locator(ticker.LogLocator(base=10, subs=marks))
        value_axis.set_major_formatter(ticker.FuncFormatter(lambda value, _: f"{value:g}"))
        low, high = (axes.get_xlim() if cases else axes.get_ylim())
        # Within one decade the 1-2-3-5 marks leave gaps: label the finer marks too.
        value_axis.set_minor_formatter(
            ticker.FuncFormatter(lambda value, _: f"{value:g}") if high / low < 10 else ticker.NullFormatter()
        )
    value_label(spec["ylabel"])
    if not cases:
        axes.set_xlabel(spec["xlabel"])
    if spec["reference"] is not None:
        line = axes.axvline if cases else axes.axhline
        line(spec["reference"], color="black", linestyle="--", linewidth=1, label=f"ratio {spec['reference']:g}")
    axes.set_title(textwrap.fill(spec["title"], 70), fontsize=10)
    axes.grid(True, which="major", alpha=0.3)
    if len(axes.get_legend_handles_labels()[0]) > 1:  # one unexplained series needs no legend
        # Bars run to the right edge, so their legend goes beside the plot.
        place = {"loc": "upper left", "bbox_to_anchor": (1.0, 1.0)} if cases else {}
        axes.legend(fontsize=8, **place)


def draw_family(record, target):
    panels = record["panels"]
    if any(spec["axis"] == "cases" for spec in panels):
        # Bar panels carry long case names: one per row, as tall as their cases need.
        heights = [max(PANEL_HEIGHT / 2, HEIGHT_PER_CASE * len(case_names(spec)) + 1.5) for spec in panels]
        size, columns, layout = (BAR_PANEL_WIDTH, sum(heights) + 1), 1, {"height_ratios": heights}
    else:
        columns = min(len(panels), 2)
        size = (PANEL_WIDTH * columns, PANEL_HEIGHT * math.ceil(len(panels) / columns) + 0.4)
        layout = None
    rows = math.ceil(len(panels) / columns)
    figure, grid = plt.subplots(rows, columns, figsize=size, squeeze=False, gridspec_kw=layout)
    for axes, spec in zip(grid.flat, panels):
        draw_panel(axes, spec)
    for axes in list(grid.flat)[len(panels) :]:
        axes.set_visible(False)
    load = ", ".join(f"{value:g}" for value in record["load_average"])
    run = f"{record['command']}, {record['finished']}, load average {load} (2 cores)"
    width = int(size[0] * 11)  # characters of the title's font across the figure
    figure.suptitle(f"{textwrap.fill(record['title'], width)}\n{textwrap.fill(run, width)}")
    figure.tight_layout(pad=1.5)
    figure.savefig(target, dpi=90)
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("families", nargs="*", help="families to draw (default: every saved one)")
    options = parser.parse_args()
    results = HERE / "results"
    sources = [results / f"{name}.json" for name in options.families] or sorted(results.glob("*.json"))
    (HERE / "plots").mkdir(exist_ok=True)
    for source in sources:
        target = HERE / "plots" / f"{source.stem}.png"
        draw_family(json.loads(source.read_text()), target)
        print(f"wrote {target.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
