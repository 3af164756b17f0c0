"""Sphinx configuration of brindlemox's documentation, built offline (no
inventories are fetched) with every warning an error (`make docs`)."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

import brindlemox  # noqa: E402

project = "brindlemox"
copyright = "the brindlemox developers"
version = release = brindlemox.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "brindlemox_docs",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "_ext", "requirements.txt"]
root_doc = "index"

# Every cross-reference must resolve. The build fetches no inventories, so
# the standard library's names are taken as they are.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(asyncio|concurrent\.futures|queue|numpy|dask)(\..*)?")]

autosummary_generate = True
autodoc_typehints = "none"
autodoc_member_order = "bysource"

numpydoc_show_class_members = False
numpydoc_xref_param_type = False
# Every public function, class and method of the package documents its
# parameters and what it returns, and shows an example; the build fails
# otherwise. The extension's classes keep their own fixed docstrings.
numpydoc_validation_checks = {"GL08", "PR01", "PR02", "RT01", "EX01"}
numpydoc_validation_exclude = {r"^_brindlemox\."}

html_theme = "pydata_sphinx_theme"
html_title = f"brindlemox {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
html_show_sourcelink = False
