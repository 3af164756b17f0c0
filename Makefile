# `make demo` and `make test` work on a fresh machine: they create the virtual
# environments, build and install the extension, then run.

PYTHON := $(shell scripts/find_python)
VENV := .venv
VENV_NUMPY1 := .venv-numpy1
PY := $(VENV)/bin/python
PY_NUMPY1 := $(VENV_NUMPY1)/bin/python
TOOLS := build/tools
JOBS ?= 2
# The C++ runtime is preloaded with ASan so that ASan's exception interceptor
# finds it: the interpreter itself does not link it.
ASAN_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: help demo demo-dask demo-async test test-engine test-python test-numpy1 stubtest test-asan asan-build \
	test-asan-engine test-asan-python test-tsan test-pandas docs wheel bench clean

help:
	@echo "make demo        build into .venv and run examples/demo.py"
	@echo "make demo-dask   the same on a local Dask cluster of two worker processes"
	@echo "make demo-async  an asyncio pipeline: producer, kernel stage, reduction stage, a cancelled slow stage"
	@echo "make test        every suite: engine (C++), Python, NumPy 1.26, stubtest, docs, ASan/UBSan, TSan"
	@echo "make test-engine | test-python | test-numpy1 | stubtest | test-asan | test-tsan   one suite"
	@echo "make test-pandas numexpr's and pandas' own tests, with numexpr and with brindlemox in its place (long)"
	@echo "make docs        the documentation site into docs/_build/html (warnings are errors)"
	@echo "make wheel       manylinux wheels for CPython 3.12 and 3.13 into wheelhouse/, each tested in a fresh venv"
	@echo "make bench       benchmarks against NumPy, numexpr and numba; writes bench/results and bench/plots"
	@echo "make clean       remove build/, dist/, wheelhouse/, docs/_build/ and the virtual environments"

demo: $(VENV)/.installed
	$(PY) examples/demo.py

# A real local cluster of two worker processes computes with brindlemox chunk by chunk.
demo-dask: $(VENV)/.installed
	$(PY) examples/dask_demo.py

# Coroutines on one event loop; the engine computes while the loop keeps turning.
demo-async: $(VENV)/.installed
	$(PY) examples/async_pipeline.py

# Every suite and build is one target of a single make, so that whatever is
# ready runs while a long build or suite holds a core: the environments are
# downloaded side by side, the builds start as soon as the build tools are
# installed, beside the test environments' installs, the sanitizer builds compile
# beside the release build's suites, and the Python suite under ASan can start
# once the extension under ASan is linked, beside the engine's tests under
# ASan (each target's output kept together).
# It runs one job per core, and the builds' ninjas take their jobs from
# make's (the `+` lines; pip cannot pass them to the wheel's, which is given
# as many): processes beyond the cores cost CPU time, not only wall time
# (four compiles at once on two cores each took 12% more CPU than one or two).
# A failing suite does not stop the others (-k), so that one run reports
# every suite's failures.
# Where the environment keeps Python from writing bytecode, every pytest
# worker of every suite would compile and rewrite the test modules again
# (2.5 s of CPU each, six times).
unexport PYTHONDONTWRITEBYTECODE
SUITES := test-asan-python test-asan-engine test-tsan test-engine test-python test-numpy1 stubtest docs
test:
	$(MAKE) -j$(JOBS) -k --output-sync=target $(SUITES)
	@echo "all test suites passed"

# --- environments ----------------------------------------------------------

NEED_PYTHON = @test -n "$(PYTHON)" || { echo "error: Python 3.12 is required" >&2; exit 1; }

# The build tools, pinned as `make wheel`'s are, have an environment of their
# own that is ready in seconds: the builds start while the test environments
# are still being installed (which takes half a minute with a warm cache).
# The interpreter's own pip reads a pinned list well enough.
$(TOOLS)/.ready: scripts/build-requirements.txt
	$(NEED_PYTHON)
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q -r scripts/build-requirements.txt
	touch $@

$(VENV)/.ready: pyproject.toml
	$(NEED_PYTHON)
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "numpy>=2" pytest pytest-timeout pytest-xdist mypy \
		numexpr "dask[array]" distributed cloudpickle mpmath
	touch $@

$(VENV_NUMPY1)/.ready: pyproject.toml
	$(NEED_PYTHON)
	$(PYTHON) -m venv $(VENV_NUMPY1)
	$(PY_NUMPY1) -m pip install -q --upgrade pip
	$(PY_NUMPY1) -m pip install -q "numpy==1.26.*" pytest pytest-timeout pytest-xdist
	touch $@

# One wheel serves both environments: the extension finds NumPy's API at run time.
# Its build tree is kept: the engine's tests are built in it afterwards.
RELEASE_DIR := build/release
dist/.wheel: $(TOOLS)/.ready $(SOURCES)
	rm -rf dist
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(TOOLS)/bin/python -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(RELEASE_DIR) -w dist .
	touch $@

# When the documentation is built too, its tools are installed first: two pips
# never write one environment at once.
$(VENV)/.installed: dist/.wheel $(VENV)/.ready $(if $(filter docs,$(MAKECMDGOALS)),| $(VENV)/.docs)
	$(PY) -m pip install -q --force-reinstall --no-deps dist/*.whl
	touch $@

$(VENV_NUMPY1)/.installed: dist/.wheel $(VENV_NUMPY1)/.ready
	$(PY_NUMPY1) -m pip install -q --force-reinstall --no-deps dist/*.whl
	touch $@

# GoogleTest (for the engine's tests) and SLEEF (which fast math loads when
# first asked for; nothing is built against it) come from Debian's packages,
# installed in one step when either is missing.
build/.debian:
	@mkdir -p build
	@missing=""; \
	test -f /usr/lib/x86_64-linux-gnu/cmake/GTest/GTestConfig.cmake || dpkg -s libgtest-dev >/dev/null 2>&1 || \
		missing="$$missing libgtest-dev"; \
	dpkg -s libsleef3 >/dev/null 2>&1 || missing="$$missing libsleef3"; \
	if test -n "$$missing"; then \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi
	touch $@

# --- suites ----------------------------------------------------------------

CMAKE = $(TOOLS)/bin/cmake
CTEST = $(TOOLS)/bin/ctest
CMAKE_NINJA = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(TOOLS)/bin/ninja)
CMAKE_ENGINE = $(CMAKE_NINJA) -DBMX_BUILD_TESTS=ON

# The engine's tests are built beside the extension in the wheel's own tree,
# with the same engine objects.
test-engine: dist/.wheel build/.debian
	$(CMAKE) -S . -B $(RELEASE_DIR) -DBMX_BUILD_TESTS=ON >/dev/null
	+$(CMAKE) --build $(RELEASE_DIR)
	$(CTEST) --test-dir $(RELEASE_DIR) --output-on-failure --no-tests=error -j $(JOBS)

# The Python suites spread over both cores: the last of them to finish would
# otherwise leave one core idle at the end of `make test`.
XDIST := -n $(JOBS) --dist worksteal

test-python: $(VENV)/.installed build/.debian
	$(PY) -m pytest -q $(XDIST) tests/python bench

# The level matrix compares the engine's instruction levels with each other,
# which NumPy's version and a sanitizer change nothing in (the sanitizer
# builds have one level); it runs against NumPy 2 in the release build, and
# NumPy 1.26 runs the tests parametrized by level at the active one.
LEVEL_MATRIX := --ignore=tests/python/package/test_isa_levels.py

test-numpy1: $(VENV_NUMPY1)/.installed
	$(PY_NUMPY1) -m pytest -q $(XDIST) tests/python -m numpy $(LEVEL_MATRIX) --active-level-only

stubtest: $(VENV)/.installed
	$(PY) -m mypy.stubtest _brindlemox

# The sanitizer builds keep line tables but not full debug information, which
# takes a quarter of their compile time; reports still name file and line.
# At -O1 they compile in a tenth less time than at -O2, and the Python suite
# under ASan runs as fast (it spends its time in the interpreter and waits).
# They build the baseline loops only: the wider levels' loops are the same
# sources, which the release build's tests compare level against level, and
# compiling them twice more would cost each build half a minute.
CMAKE_SANITIZED = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
	-DBMX_ISA_LEVELS=OFF
# ThreadSanitizer runs the subsystems that share memory between threads; the
# expression and IR code runs on one thread and is covered by the other builds,
# as are the evaluator tests that never leave their thread (which its build
# leaves out: tests/engine/CMakeLists.txt).
TSAN_SUBSYSTEMS = core pool eval runtime channel
space := $(subst ,, )

# Engine and extension built with AddressSanitizer and UndefinedBehaviorSanitizer;
# the interpreter preloads the ASan runtime and does not report its own leaks.
test-asan: test-asan-engine test-asan-python

asan-build: $(TOOLS)/.ready build/.debian
	$(CMAKE) -S . -B build/asan $(CMAKE_ENGINE) $(CMAKE_SANITIZED) -DBMX_SANITIZE=address,undefined \
		-DPython_EXECUTABLE=$(abspath $(TOOLS)/bin/python) >/dev/null
	+$(CMAKE) --build build/asan --target _brindlemox

test-asan-engine: asan-build
	+$(CMAKE) --build build/asan
	ASAN_OPTIONS=detect_leaks=0 $(CTEST) --test-dir build/asan --output-on-failure --no-tests=error -j $(JOBS)

test-asan-python: asan-build $(VENV)/.installed
	LD_PRELOAD="$(ASAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build/asan/src/python \
		$(PY) -m pytest -q -p no:cacheprovider $(XDIST) tests/python $(LEVEL_MATRIX)

test-tsan: $(TOOLS)/.ready build/.debian
	$(CMAKE) -S . -B build/tsan $(CMAKE_ENGINE) $(CMAKE_SANITIZED) -DBMX_SANITIZE=thread -DBMX_BUILD_PYTHON=OFF >/dev/null
	+$(CMAKE) --build build/tsan --target $(addsuffix _tests,$(TSAN_SUBSYSTEMS))
	TSAN_OPTIONS=halt_on_error=1 $(CTEST) --test-dir build/tsan --output-on-failure --no-tests=error -j $(JOBS) \
		-R '^($(subst $(space),|,$(TSAN_SUBSYSTEMS)))_tests\.'

# Not part of `make test`: it installs pandas into a throwaway environment and
# runs thousands of tests twice, once with the real numexpr and once with a
# module named numexpr first on the path that computes with brindlemox
# (scripts/pandas_env), then lists the tests that fail only with brindlemox.
VENV_PANDAS := build/pandas-venv
PY_PANDAS := $(VENV_PANDAS)/bin/python
PANDAS_TESTS := --pyargs pandas.tests.computation pandas.tests.test_expressions pandas.tests.frame.test_query_eval
PANDAS_NUMEXPR_TESTS := -k numexpr --pyargs pandas.tests.frame pandas.tests.series pandas.tests.arithmetic

test-pandas: dist/.wheel
	rm -rf $(VENV_PANDAS) build/pandas-shim
	$(PYTHON) -m venv $(VENV_PANDAS)
	$(PY_PANDAS) -m pip install -q --upgrade pip
	$(PY_PANDAS) -m pip install -q "numpy>=2" pandas numexpr pytest pytest-timeout hypothesis
	$(PY_PANDAS) -m pip install -q --no-deps dist/*.whl
	mkdir -p build/pandas-shim/numexpr
	cp scripts/pandas_env/numexpr_shim.py build/pandas-shim/numexpr/__init__.py
	real=$$($(PY_PANDAS) -c "import numexpr, os; print(os.path.dirname(numexpr.__file__))"); \
	compare="$(PY_PANDAS) scripts/pandas_env/compare.py $(abspath $(PY_PANDAS)) $(abspath build/pandas-shim) $$real"; \
	$$compare numexpr -- --pyargs numexpr.tests.test_numexpr && \
	$$compare pandas -- $(PANDAS_TESTS) && \
	$$compare "pandas -k numexpr" -- $(PANDAS_NUMEXPR_TESTS)

# --- documentation and wheels -----------------------------------------------

$(VENV)/.docs: $(VENV)/.ready docs/requirements.txt
	$(PY) -m pip install -q -r docs/requirements.txt
	touch $@

# Built offline (no inventories fetched) from the installed package, with
# every warning an error: numpydoc validates each docstring as it is read.
# The examples of the pages and docstrings run in test-python, not here.
docs: $(VENV)/.installed $(VENV)/.docs
	rm -rf docs/_build docs/api/generated
	$(PY) -m sphinx -b html -W --keep-going -q docs docs/_build/html
	@echo "docs/_build/html/index.html"

# Not part of `make test`: it compiles the engine once per Python version.
wheel:
	scripts/build_wheels 3.12 3.13

# matplotlib draws the benchmark plots, and numba is the compiled peer of
# bench_numba.py; only `make bench` needs them.
$(VENV)/.plotting: $(VENV)/.ready
	$(PY) -m pip install -q matplotlib numba
	touch $@

bench: $(VENV)/.installed $(VENV)/.plotting build/.debian
	$(CMAKE) -S . -B build/bench $(CMAKE_NINJA) \
		-DBMX_BUILD_PYTHON=OFF -DBMX_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build build/bench -j $(JOBS) --target bench_pool
	$(PY) bench/run_bench_pool.py build/bench/bench/bench_pool
	$(PY) bench/bench_compute.py
	$(PY) bench/bench_channels.py
	$(PY) bench/bench_language.py
	$(PY) bench/bench_async.py
	$(PY) bench/bench_idle.py
	$(PY) bench/bench_reduce.py
	$(PY) bench/bench_sum.py
	$(PY) bench/bench_expr_build.py
	$(PY) bench/bench_evaluate.py
	$(PY) bench/bench_fixed_cost.py
	$(PY) bench/bench_dtypes.py
	$(PY) bench/bench_powers.py
	$(PY) bench/bench_dispatch.py
	$(PY) bench/bench_shared_subtrees.py
	$(PY) bench/bench_dask.py
	$(PY) bench/bench_math.py
	$(PY) bench/bench_numba.py
	$(PY) bench/plot.py

clean:
	rm -rf build dist wheelhouse docs/_build docs/api/generated $(VENV) $(VENV_NUMPY1)
