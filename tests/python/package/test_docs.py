# Every example in the package's docstrings runs and prints what it shows, and
# the functions the package builds at import keep a plain function's name,
# signature and docstring.
import doctest
import importlib
import inspect

import pytest

import _brindlemox
import brindlemox

pytestmark = pytest.mark.numpy

MODULES = ["_build", "_channels", "_functions", "_evaluate", "_kernel", "_reduce", "_runtime", "_select", "_tasks", "_threads", "_trace"]

# The package's own functions and classes; the extension's classes keep their own docstrings.
PUBLIC = sorted(
    name
    for name in {*brindlemox.__all__, "sum", "min", "max", "abs", "round", "pow"}
    if callable(getattr(brindlemox, name)) and getattr(brindlemox, name) is not getattr(_brindlemox, name, None)
)


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(f"brindlemox.{name}")
    failed, attempted = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 0 and failed == 0


@pytest.mark.parametrize(
    "name, element, elementwise, example, axis_example",
    [("min", "smallest", "minimum", "1.0", "array([2., 1.])"), ("max", "largest", "maximum", "3.0", "array([3., 4.])")],
)
def test_min_and_max_look_like_plain_functions(name, element, elementwise, example, axis_example):
    function = getattr(brindlemox, name)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "brindlemox._reduce")
    parameters = inspect.signature(function).parameters.values()
    assert [(p.name, p.kind, p.default is p.empty) for p in parameters] == [
        ("a", inspect.Parameter.POSITIONAL_ONLY, True),
        ("b", inspect.Parameter.POSITIONAL_ONLY, False),
        ("axis", inspect.Parameter.KEYWORD_ONLY, False),
        ("keepdims", inspect.Parameter.KEYWORD_ONLY, False),
    ]
    assert function.__doc__ == (
        f"With one argument, the {element} element of an array (NaN if any is NaN),\n"
        "    or of each line along `axis` (an int or a tuple of them), as NumPy's\n"
        f"    `axis` and `keepdims` say; with two, the elementwise `{elementwise}`.\n"
        "\n"
        "    Parameters\n"
        "    ----------\n"
        "    a : array_like or dask.array.Array or Expr or float\n"
        "        The array to reduce, or the first operand.\n"
        "    b : Expr or float, optional\n"
        f"        The second operand of `{elementwise}`.\n"
        "    axis : int or tuple of int, optional\n"
        "        The axis or axes to reduce along; None (the default) reduces all of them.\n"
        "    keepdims : bool, optional\n"
        "        Whether the reduced axes stay in the result, with length one.\n"
        "\n"
        "    Returns\n"
        "    -------\n"
        "    float or numpy.ndarray or dask.array.Array or Expr\n"
        "        The reduction, as `sum` returns it, or the elementwise expression.\n"
        "\n"
        "    Examples\n"
        "    --------\n"
        "    >>> import brindlemox as bm\n"
        f"    >>> bm.{name}([3.0, 1.0, 2.0])\n"
        f"    {example}\n"
        f"    >>> bm.{name}([[3.0, 1.0], [2.0, 4.0]], axis=0)\n"
        f"    {axis_example}\n"
        "    "
    )


@pytest.mark.parametrize("name", PUBLIC)
def test_every_public_function_shows_an_example(name):
    function = getattr(brindlemox, name)
    # Python 3.13 strips the indentation of docstrings written in the source.
    assert "\nExamples\n--------\n>>> " in inspect.cleandoc(function.__doc__)
    assert doctest.DocTestFinder(recurse=False).find(function, name)[0].examples
