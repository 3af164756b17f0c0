"""Installed as the package `numexpr` first on the path of the pandas test
environment: the real numexpr is loaded under its own name (its tests and its
submodules stay reachable), then every function brindlemox has in common
with it is brindlemox's. Code that imports numexpr computes with brindlemox."""

import importlib.util
import os
import sys

_REAL = os.environ["BMX_REAL_NUMEXPR"]
_spec = importlib.util.spec_from_file_location(
    "numexpr", os.path.join(_REAL, "__init__.py"), submodule_search_locations=[_REAL]
)
_module = importlib.util.module_from_spec(_spec)
sys.modules["numexpr"] = _module
_spec.loader.exec_module(_module)

import brindlemox  # noqa: E402

for _name in (
    "evaluate", "re_evaluate", "validate", "NumExpr", "print_versions", "use_vml", "set_num_threads",
    "get_num_threads", "detect_number_of_cores", "ncores", "MAX_THREADS", "set_vml_num_threads",
    "set_vml_accuracy_mode", "get_vml_version",
):
    setattr(_module, _name, getattr(brindlemox, _name))
sys.modules["numexpr.necompiler"].evaluate = brindlemox.evaluate
