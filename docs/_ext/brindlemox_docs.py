"""Directives that write the documentation's generated parts as reStructuredText
at build time: the function and operator tables of expression text, the
reference of every elementwise function, their accuracy measured against
NumPy, and the benchmark results.
"""

from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

import tables

ROOT = Path(__file__).resolve().parents[2]


def _list_table(header: list[str], rows: list[list[str]], widths: str = "auto") -> list[str]:
    lines = [".. list-table::", "   :header-rows: 1", f"   :widths: {widths}", ""]
    for row in [header, *rows]:
        lines.append(f"   * - {row[0]}")
        lines.extend(f"     - {cell}" for cell in row[1:])
    return lines + [""]


def _names(row: tables.FunctionRow) -> str:
    names = [f":func:`{row.name} <brindlemox.{row.name}>`"]
    names += [f":func:`{alias} <brindlemox.{row.name}>`" for alias in row.aliases]
    names += [f"``{name}`` (text)" for name in row.text_names]
    return ", ".join(names)


def _accuracy(ulps: int) -> str:
    return "NumPy's bits" if ulps == 0 else f"libm; tested within {ulps} ulp of NumPy"


def function_table() -> list[str]:
    rows = [
        [_names(row), str(row.arity), f"``numpy.{row.numpy}``" if row.numpy else "none", _accuracy(row.ulps)]
        + [row.summary]
        for row in tables.function_rows()
    ]
    return _list_table(["Function", "Operands", "NumPy", "Accuracy", "Result"], rows, "20 8 18 14 40")


def operator_table() -> list[str]:
    rows = [[f"``{row.symbol}``", f"``numpy.{row.numpy}``", row.note] for row in tables.operator_rows()]
    return _list_table(["Operator", "NumPy", "Difference"], rows, "15 25 60")


def reduction_list() -> list[str]:
    return [", ".join(f"``{name}(e)``" for name in tables.reductions()), ""]


def function_reference() -> list[str]:
    lines = []
    for row in tables.function_rows():
        lines += [f".. autofunction:: brindlemox.{row.name}", ""]
    return lines


def bench_results() -> list[str]:
    lines = []
    for family in tables.bench_families(ROOT / "bench" / "results"):
        lines += [family.title, "~" * len(family.title), ""]
        load = ", ".join(f"{value:g}" for value in family.load_average)
        lines += [f"``{family.command}``, finished {family.finished}, load average {load}.", ""]
        plot = ROOT / "bench" / "plots" / f"{family.name}.png"
        if plot.exists():
            lines += [f".. image:: /../bench/plots/{family.name}.png", f"   :alt: {family.title}", ""]
        for table in family.tables:
            lines += [f"**{table.title}**", ""]
            lines += _list_table([table.xlabel, *table.columns], [[x, *cells] for x, cells in table.rows])
    return lines


def accuracy_table() -> list[str]:
    rows = [
        [f":func:`{row.name} <brindlemox.{row.name}>`", f"``numpy.{row.numpy}``", str(row.measured), str(row.bound)]
        for row in tables.accuracy_rows()
    ]
    return _list_table(["Function", "NumPy", "Most ulp measured", "Bound tested"], rows, "25 25 25 25")


GENERATORS = {
    "accuracy": accuracy_table,
    "functions": function_table,
    "operators": operator_table,
    "reductions": reduction_list,
    "function-reference": function_reference,
    "bench-results": bench_results,
}


class Generated(SphinxDirective):
    """``.. brindlemox:: functions``: the generated part named, parsed in place."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        source = StringList(GENERATORS[self.arguments[0]](), source=f"<brindlemox {self.arguments[0]}>")
        container = nodes.container()
        nested_parse_with_titles(self.state, source, container)
        return container.children


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("brindlemox", Generated)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
