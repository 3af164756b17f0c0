# Every example in the package's docstrings runs and prints what it shows.
import doctest
import importlib

import pytest

pytestmark = pytest.mark.numpy

MODULES = ["_build", "_evaluate", "_kernel", "_reduce", "_runtime", "_threads"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(f"brindlemox.{name}")
    failed, attempted = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 0 and failed == 0
