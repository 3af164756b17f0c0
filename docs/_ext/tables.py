"""The rows of the documentation's generated tables, read from the package and
from the benchmark results, so that the pages follow them without edits.

Plain Python (no Sphinx): the tests check these rows against the package.
"""

import json
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Final, NamedTuple

import numpy as np

import brindlemox
from brindlemox import _operators, _registry, _text


class FunctionRow(NamedTuple):
    name: str
    #: Other public names of the same function (`where_` for `where`).
    aliases: tuple[str, ...]
    #: Names only expression text knows it by (`min` for `minimum`).
    text_names: tuple[str, ...]
    arity: int
    #: NumPy's function with the same answers, or None.
    numpy: str | None
    #: At most this many units in the last place from NumPy's answer.
    ulps: int
    #: The first paragraph of the function's docstring.
    summary: str


def summary(doc: str | None) -> str:
    """The first paragraph of a docstring, on one line."""
    return " ".join((doc or "").strip().split("\n\n", 1)[0].split())


def function_rows() -> list[FunctionRow]:
    """One row per elementwise function, in the order the package lists them."""
    aliases: dict[Callable[..., object], list[str]] = {}
    for name, function in _registry.FUNCTIONS.items():
        aliases.setdefault(function, []).append(name)
    rows = []
    for function, names in aliases.items():
        entry = _registry.entry(function)
        others = tuple(name for name in names if name != entry.name)
        rows.append(
            FunctionRow(
                entry.name, others, entry.text_names, entry.arity, entry.numpy, entry.ulps, summary(function.__doc__)
            )
        )
    return rows


class OperatorRow(NamedTuple):
    symbol: str
    numpy: str
    note: str


def _written(symbol: str) -> str:
    """How the operator of `symbol` (as the typing of text names it: "u-"
    for the negation) is written."""
    return f"{symbol[-1]}a" if symbol in _operators.UNARY_UFUNCS else f"a {symbol} b"


_BITWISE = "logical on booleans, bitwise on integers; NumPy's TypeError on floats"
_NOTES: dict[str, str] = {
    "divide": "always true division (float64 for integers)",
    "power": "the platform's libm for floats, as ``pow``; integers to negative powers are NumPy's ValueError",
    "remainder": "NumPy's bits, signed zeros and infinities included; integers by 0 give 0",
    "floor_divide": "NumPy's bits, consistent with ``%``; integers by 0 give 0",
    "bitwise_and": _BITWISE,
    "bitwise_or": _BITWISE,
    "bitwise_xor": _BITWISE,
    "invert": _BITWISE,
    "left_shift": "integers only: NumPy's TypeError on floats",
    "right_shift": "integers only: NumPy's TypeError on floats",
}

#: The unary operator that changes nothing, which typing skips.
UNARY_OPERATORS = [OperatorRow("+a", "positive", "booleans too, which are their own value")]


def operator_rows() -> list[OperatorRow]:
    """Every operator of expression text."""
    tables = (_operators.BINARY_UFUNCS, _operators.COMPARE_UFUNCS, _operators.UNARY_UFUNCS)
    kinds = [(symbol, ufunc) for table in tables for symbol, ufunc in table.items()]
    rows = [OperatorRow(_written(symbol), ufunc.__name__, _NOTES.get(ufunc.__name__, "")) for symbol, ufunc in kinds]
    return rows + UNARY_OPERATORS


def reductions() -> tuple[str, ...]:
    """The reductions expression text knows."""
    return _text.TEXT_REDUCTIONS


class BenchTable(NamedTuple):
    title: str
    xlabel: str
    #: The column headings after the first: the labels of the series.
    columns: list[str]
    #: One row per x value of the points: the value, then a cell per series ("" where it has no point).
    rows: list[tuple[str, list[str]]]


class BenchFamily(NamedTuple):
    name: str
    title: str
    command: str
    finished: str
    load_average: list[float]
    tables: list[BenchTable]


def _number(value: object) -> str:
    if isinstance(value, float):
        return f"{value:.3g}"
    if isinstance(value, int) and value >= 1000:
        return f"{value:.0e}".replace("e+0", "e")
    return str(value)


#: What users compare first opens the page: `evaluate` against numexpr and
#: NumPy over n, then reductions; the other families follow by name.
_FIRST: Final = ("evaluate", "sum", "reduce", "dtypes", "math")


def _page_order(path: Path) -> tuple[int, str]:
    return (_FIRST.index(path.stem) if path.stem in _FIRST else len(_FIRST), path.stem)


def bench_families(results: Path) -> Iterator[BenchFamily]:
    """The families of `make bench`'s results in `results`, in page order."""
    for path in sorted(results.glob("*.json"), key=_page_order):
        data = json.loads(path.read_text())
        tables = []
        for panel in data["panels"]:
            # Sizes in increasing order, named cases in the order they were measured.
            xs = list(dict.fromkeys(x for series in panel["series"] for x, _ in series["points"]))
            if all(isinstance(x, (int, float)) for x in xs):
                xs.sort()
            values = [dict(series["points"]) for series in panel["series"]]
            rows = [(_number(x), [_number(v[x]) if x in v else "" for v in values]) for x in xs]
            labels = [series["label"] for series in panel["series"]]
            tables.append(BenchTable(panel["title"], panel["xlabel"], labels, rows))
        yield BenchFamily(path.stem, data["title"], data["command"], data["finished"], data["load_average"], tables)


class AccuracyRow(NamedTuple):
    name: str
    numpy: str
    #: The bound the package's tests hold the function to.
    bound: int
    #: The most units in the last place measured between the two answers.
    measured: int
    points: int


def _ordered(values: np.ndarray) -> np.ndarray:
    """float64 bits as integers in the order of the values (-0.0 and 0.0 one apart)."""
    bits = values.view(np.int64)
    magnitude = bits & np.int64(np.iinfo(np.int64).max)
    return np.where(bits < 0, -magnitude - 1, magnitude)


def ulp_distance(ours: np.ndarray, theirs: np.ndarray) -> int:
    """The most units in the last place between two float64 arrays; NaN
    against NaN is no distance, NaN against a number is an error."""
    nan = np.isnan(ours)
    if not np.array_equal(nan, np.isnan(theirs)):
        raise ValueError("one answer is NaN where the other is not")
    a, b = _ordered(ours[~nan]), _ordered(theirs[~nan])
    differ = a != b
    # In Python's integers: far-apart answers would overflow int64.
    return max((abs(int(x) - int(y)) for x, y in zip(a[differ], b[differ])), default=0)


def accuracy_rows(points: int = 20_000, seed: int = 0) -> list[AccuracyRow]:
    """Every function computed by the platform's libm against NumPy, on
    `points` values from each of a few ranges (random, but the same on every
    build)."""
    rng = np.random.default_rng(seed)
    ranges = [(-1.0, 1.0), (-20.0, 20.0), (-700.0, 700.0)]
    samples = [np.concatenate([rng.uniform(lo, hi, points) for lo, hi in ranges]) for _ in range(3)]
    rows = []
    for row in function_rows():
        if row.ulps == 0 or row.numpy is None:
            continue
        function = _registry.FUNCTIONS[row.name]
        names = "abc"[: row.arity]
        expr = function(*(brindlemox.arg(name) for name in names))
        inputs = dict(zip(names, samples))
        ours = brindlemox.evaluate(expr, inputs)
        with np.errstate(all="ignore"):
            theirs = getattr(np, row.numpy)(*inputs.values())
        rows.append(AccuracyRow(row.name, row.numpy, row.ulps, ulp_distance(ours, theirs), ours.size))
    return rows
