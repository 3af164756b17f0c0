# The documentation's pages: their examples run and print what they show, and
# the tables generated from the package say what the package does.
import ast
import doctest
import json
import pathlib
import re
import sys

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _operators, _registry

pytestmark = pytest.mark.numpy

DOCS = pathlib.Path(__file__).resolve().parents[3] / "docs"
sys.path.insert(0, str(DOCS / "_ext"))
import tables  # noqa: E402

PAGES = sorted(
    str(path.relative_to(DOCS))
    for path in DOCS.rglob("*.rst")
    if not {"_build", "_templates", "generated"} & set(path.parts) and ">>> " in path.read_text()
)


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def test_the_pages_with_examples_are_found():
    assert {"getting-started.rst", "reductions.rst", "async.rst", "api/extension.rst"} <= set(PAGES)


@pytest.mark.parametrize("page", PAGES)
def test_page_examples(page):
    flags = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
    failed, attempted = doctest.testfile(str(DOCS / page), module_relative=False, optionflags=flags, report=False)
    assert attempted > 0 and failed == 0


def test_the_function_table_has_every_function_once_with_its_entry():
    rows = tables.function_rows()
    names = [name for row in rows for name in (row.name, *row.aliases)]
    assert sorted(names) == sorted(_registry.FUNCTIONS)
    for row in rows:
        entry = _registry.entry(_registry.FUNCTIONS[row.name])
        assert (row.arity, row.numpy, row.ulps) == (entry.arity, entry.numpy, entry.ulps)
        assert row.text_names == entry.text_names
        assert row.summary and "\n" not in row.summary
        assert row.numpy is None or callable(getattr(np, row.numpy))


SAMPLE = np.array([-2.5, -1.0, -0.0, 0.0, 0.5, 3.0, np.inf, -np.inf, np.nan])
A, B = (np.array(column) for column in zip(*[(a, b) for a in SAMPLE for b in SAMPLE]))


@pytest.mark.parametrize("row", tables.operator_rows(), ids=lambda row: row.symbol)
@pytest.mark.parametrize("data", ["float64", "int64", "bool"])
def test_each_operator_gives_the_answers_of_the_numpy_function_its_row_names(row, data):
    ufunc = getattr(np, row.numpy)
    a, b = (values.astype(data) if data != "float64" else values for values in (A, B))
    if data == "int64":
        a, b = (np.nan_to_num(values, nan=3, posinf=7, neginf=-5).astype(np.int64) % 6 for values in (A, B))
    unary = row.symbol.startswith(("-", "+", "~"))
    if row.symbol == "+a" and data == "bool":
        # Booleans are their own value under +, as Python's and numexpr's, where NumPy's positive refuses them.
        assert bits(bm.evaluate(row.symbol, {"a": a})) == bits(a)
        return
    with np.errstate(all="ignore"):
        try:
            want = ufunc(a) if unary else ufunc(a, b)
        except Exception as error:
            with pytest.raises(type(error)):
                bm.evaluate(row.symbol, {"a": a, "b": b})
            return
        got = bm.evaluate(row.symbol, {"a": a, "b": b})
    assert got.dtype == want.dtype and bits(got) == bits(want)


def test_every_operator_of_the_parser_has_a_row():
    kinds = len(_operators.BINARY_UFUNCS) + len(_operators.COMPARE_UFUNCS) + len(_operators.UNARY_UFUNCS)
    assert len(tables.operator_rows()) == kinds + len(tables.UNARY_OPERATORS)
    symbols = [row.symbol for row in tables.operator_rows()]
    assert len(set(symbols)) == len(symbols)
    for symbol in symbols:
        ast.parse(symbol, mode="eval")


@pytest.mark.parametrize(
    "ours, theirs, distance",
    [
        ([1.0], [np.nextafter(1.0, 2.0)], 1),
        ([-0.0], [0.0], 1),
        ([np.nextafter(0.0, -1.0)], [np.nextafter(0.0, 1.0)], 3),
        ([1.0, np.nan], [1.0, np.nan], 0),
        ([np.inf], [-np.inf], 2 * 0x7FF0000000000000 + 1),
    ],
)
def test_ulp_distance(ours, theirs, distance):
    assert tables.ulp_distance(np.array(ours), np.array(theirs)) == distance
    assert tables.ulp_distance(np.array(theirs), np.array(ours)) == distance


def test_ulp_distance_refuses_a_nan_against_a_number():
    with pytest.raises(ValueError):
        tables.ulp_distance(np.array([np.nan]), np.array([1.0]))


def test_the_accuracy_table_measures_every_libm_function():
    rows = tables.accuracy_rows(points=100)
    assert [row.name for row in rows] == [row.name for row in tables.function_rows() if row.ulps > 0]
    assert all(row.points == 300 and row.measured >= 0 for row in rows)


def test_bench_results_become_one_row_per_x_and_one_column_per_series(tmp_path):
    panel = {
        "title": "ratio",
        "xlabel": "n",
        "series": [
            {"label": "first", "points": [[100000, 0.5], [1000, 0.25]]},
            {"label": "second", "points": [[1000, 2.0]]},
        ],
    }
    result = {"title": "T", "command": "python b.py", "finished": "now", "load_average": [1.0, 2.0, 3.0]}
    (tmp_path / "one.json").write_text(json.dumps({**result, "panels": [panel]}))
    [family] = tables.bench_families(tmp_path)
    assert (family.name, family.title, family.command, family.load_average) == ("one", "T", "python b.py", [1, 2, 3])
    [table] = family.tables
    assert table.columns == ["first", "second"]
    assert table.rows == [("1e3", ["0.25", "2"]), ("1e5", ["0.5", ""])]


def test_the_performance_page_opens_with_evaluate_then_reductions(tmp_path):
    result = {"title": "T", "command": "c", "finished": "now", "load_average": [0.0], "panels": []}
    for name in ("channels", "reduce", "compute", "evaluate"):
        (tmp_path / f"{name}.json").write_text(json.dumps(result))
    assert [family.name for family in tables.bench_families(tmp_path)] == ["evaluate", "reduce", "channels", "compute"]


def documented(page):
    """The names a reference page lists: its autosummary entries and its
    class, data and function directives."""
    text = (DOCS / page).read_text()
    return set(re.findall(r"^   (\w+)$", text, re.M)) | set(re.findall(r"^\.\. (?:class|data|function):: (\w+)", text, re.M))


def test_the_reference_lists_every_public_name():
    functions = {name for row in tables.function_rows() for name in (row.name, *row.aliases)}
    assert set(bm.__all__) - {"__version__"} <= documented("api/index.rst") | functions
    pytest.importorskip("dask")
    from brindlemox import dask as bm_dask

    assert set(bm_dask.__all__) <= documented("dask.rst")
