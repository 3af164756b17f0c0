# The package's modules import one another in layers: no module reaches
# itself through its imports, counting those made inside functions and those
# made for type checking only, as a circle is one wherever its import sits.
import ast
import pathlib
import textwrap

import pytest

import brindlemox

PACKAGE = pathlib.Path(brindlemox.__file__).parent


def imports(path, package, modules):
    """The modules of `package` (named as in `modules`) that the file at `path` imports."""
    here = path.stem if path.stem != "__init__" else package
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found |= {alias.name.split(".")[1] if "." in alias.name else alias.name for alias in node.names
                      if alias.name.split(".")[0] == package}  # fmt: skip
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0 and (node.module or "").split(".")[0] != package:
                continue
            parts = (node.module or "").split(".")[1 if node.level == 0 else 0 :]
            if parts and parts[0]:
                found.add(parts[0])
            else:
                # `from . import name`: a module of the package, or a name of its __init__.
                found |= {alias.name if alias.name in modules else package for alias in node.names}
    found = {name if name in modules else package for name in found}
    return found - {here}


def import_graph(root):
    package = root.name
    modules = {path.stem for path in root.glob("*.py")} - {"__init__"}
    files = {package if path.stem == "__init__" else path.stem: path for path in root.glob("*.py")}
    return {name: imports(path, package, modules) for name, path in files.items()}


def circle(graph):
    """One circle of `graph` as the modules along it, or None."""
    state = {}

    def visit(name, path):
        state[name] = "open"
        for target in sorted(graph[name]):
            if state.get(target) == "open":
                return path[path.index(target) :] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[name] = "done"
        return None

    for name in sorted(graph):
        if name not in state:
            found = visit(name, [name])
            if found:
                return found
    return None


def test_the_package_has_no_import_circle():
    graph = import_graph(PACKAGE)
    assert "dask" in graph and "_inputs" in graph["_kernel"]
    assert circle(graph) is None, " -> ".join(circle(graph))


@pytest.mark.parametrize(
    "where",
    ["from ._b import f", "def g():\n    from . import _b", "if TYPE_CHECKING:\n    from ._b import f", "import pkg._b"],
)
def test_a_circle_is_found_wherever_its_import_sits(tmp_path, where):
    root = tmp_path / "pkg"
    root.mkdir()
    (root / "__init__.py").write_text("from ._a import g\n")
    (root / "_a.py").write_text(textwrap.dedent(where) + "\n")
    (root / "_b.py").write_text("from . import _c\n")
    (root / "_c.py").write_text("def h():\n    from ._a import g\n")
    assert circle(import_graph(root)) == ["_a", "_b", "_c", "_a"]
    (root / "_c.py").write_text("")
    assert circle(import_graph(root)) is None
