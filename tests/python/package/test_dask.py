"""brindlemox on Dask arrays, computed by a real cluster of worker processes.

Every result must have the bits of the same call on the NumPy array that the
chunks form, whatever the chunking.
"""

import ast
import doctest
import os
import pathlib
import pickle
import warnings

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import brindlemox as bm  # noqa: E402
from brindlemox import dask as bm_dask  # noqa: E402

from conftest import SANITIZED, bits, misaligned, run_python, same_tree  # noqa: E402

# Under AddressSanitizer every worker process would preload it too; the engine paths these
# tests reach are covered there by the other suites.
pytestmark = pytest.mark.skipif(SANITIZED, reason="worker processes under ASan")

# Quiet NaNs with payloads, both signs, beside signed zeros and infinities.
_PAYLOAD_NANS = np.array([0x7FF8000000000123, 0xFFF80000DEADBEEF, 0x7FF800000000ABCD], dtype=np.uint64).view(np.float64)


def special_values(n, seed):
    """Normal samples with NaN payloads, signed zeros and infinities at random places."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(n)
    specials = np.concatenate([_PAYLOAD_NANS, [0.0, -0.0, np.inf, -np.inf]])[:n]
    values[rng.choice(n, len(specials), replace=False)] = specials
    return values


def _explode():
    raise AssertionError("a task ran while the graph was built")


@pytest.fixture(scope="module", autouse=True)
def client():
    """One real cluster of two single-threaded worker processes for the whole module."""
    with (
        distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def test_elementwise_result_is_lazy_with_float64_meta():
    x = da.ones((4, 6), chunks=(2, 3))
    result = bm.evaluate("2*x + 1")
    assert isinstance(result, da.Array)
    assert result.shape == (4, 6) and result.chunks == x.chunks
    assert type(result._meta) is np.ndarray and result._meta.dtype == np.float64 and result._meta.ndim == 2


def test_graph_construction_runs_no_task():
    poisoned = da.from_delayed(dask.delayed(_explode)(), shape=(3,), dtype=np.float64, meta=np.empty(0))
    for lazy in (bm.evaluate("x * 2", {"x": poisoned}), bm.sum(poisoned), bm.min(poisoned)):
        assert isinstance(lazy, da.Array)


@pytest.mark.parametrize("chunks", [(5, 0, 4, 3), (1,) * 12, (12,)], ids=["uneven-with-empty", "ones", "single"])
def test_elementwise_bits_match_local(chunks):
    x_local, y_local = special_values(12, 1), special_values(12, 2)[::-1].copy()
    x = da.from_array(x_local, chunks=(chunks,))
    guarded = bm.kernel(lambda x, y: bm.where(x > y, bm.sqrt(x * x + y * y), x * 2 - y))
    assert np.array_equal(bits(guarded(x, y_local).compute()), bits(guarded(x_local, y_local)))
    scale = -0.5
    lazy = bm.evaluate("x * scale + sin(y)", {"x": x, "y": da.from_array(y_local, chunks=4), "scale": scale})
    assert np.array_equal(bits(lazy.compute()), bits(bm.evaluate("x * scale + sin(y)", {"x": x_local, "y": y_local, "scale": scale})))


def test_broadcasting_follows_numpy():
    rows, column = special_values(24, 3).reshape(4, 6), special_values(4, 4).reshape(4, 1)
    line = special_values(6, 5)
    kernel = bm.kernel(lambda a, b, c, d: a * b + c - d)
    lazy = kernel(da.from_array(rows, chunks=(3, 4)), da.from_array(column, chunks=(2, 1)), line, 0.25)
    assert lazy.shape == (4, 6)
    assert np.array_equal(bits(lazy.compute()), bits(kernel(rows, column, line, 0.25)))


def _one_element_in_several_chunks(case):
    if case == "filtered":
        x = da.from_array(np.linspace(0, 1, 1000), chunks=100)
        return x[x > 0.999].compute_chunk_sizes()  # nine empty chunks, then the one element
    if case == "first-of-three":
        return da.from_array(np.array([0.5]), chunks=((1, 0, 0),))
    return da.from_array(special_values(3, 9).reshape(1, 3), chunks=((0, 1), (2, 1)))


@pytest.mark.parametrize("case", ["filtered", "first-of-three", "one-row"])
def test_an_axis_of_one_element_in_several_chunks_keeps_the_local_bits(case):
    s = _one_element_in_several_chunks(case)
    s_local, rows = s.compute(), special_values(12, 10).reshape(4, 3)[:, : s.shape[-1]]
    for text, values in [("s*2 + 1", {}), ("s*r - 1", {"r": rows})]:
        lazy = bm.evaluate(text, {"s": s, **values})
        local = bm.evaluate(text, {"s": s_local, **values})
        assert np.array_equal(bits(lazy.compute()), bits(local))
        assert bits(bm.sum(lazy).compute()) == bits(bm.sum(local))


def test_shapes_that_cannot_broadcast_are_numpys_error():
    with pytest.raises(ValueError) as local:
        bm.evaluate("x + y", {"x": np.ones(3), "y": np.ones(4)})
    with pytest.raises(ValueError) as lazy:
        bm.evaluate("x + y", {"x": da.ones(3, chunks=2), "y": np.ones(4)})
    assert str(lazy.value) == str(local.value)


def test_out_is_refused_for_dask_inputs():
    with pytest.raises(TypeError, match="^out= cannot be used with Dask arrays: the result is a new lazy Dask array$"):
        bm.evaluate("x + 1", {"x": da.ones(3, chunks=2)}, out=np.empty(3))


# Strictly left to right this is 4.0; adding the chunk sums of chunks (4, 9) would give 5.0.
_CANCELLING = np.array([1e16, 1.0, -1e16, 1.0, 1e16, 1.0, 1.0, -1e16, 3.0, 1.0, 1e16, 1.0, -1e16])


@pytest.mark.parametrize("chunks", [(1,) * 13, (4, 9), (3, 5, 0, 5)], ids=["ones", "two", "with-empty"])
@pytest.mark.parametrize("name", ["sum", "mean"])
def test_strict_sum_chains_across_chunks(name, chunks):
    lazy = getattr(bm, name)(da.from_array(_CANCELLING, chunks=(chunks,)))
    assert isinstance(lazy, da.Array) and lazy.shape == () and lazy.dtype == np.float64
    assert bits(lazy.compute()) == bits(getattr(bm, name)(_CANCELLING))


@pytest.mark.parametrize("name", ["sum", "mean", "min", "max"])
def test_reductions_of_a_few_chunks_combine_them_in_one_task(name):
    # Each level of the tree costs a round of transfers between workers: eight chunks need one.
    x = da.ones(80, chunks=10)
    lazy = getattr(bm, name)(x)
    assert len(dict(lazy.__dask_graph__())) - len(dict(x.__dask_graph__())) == 8 + 1


@pytest.mark.parametrize("name", ["sum", "mean", "min", "max"])
def test_reductions_of_many_chunks_combine_in_levels_with_the_local_bits(name):
    local = np.concatenate([np.tile(_CANCELLING, 5), [-0.0, 0.0, _PAYLOAD_NANS[1]] if name in ("min", "max") else []])
    chunks = (1,) * 40 + (0, len(local) - 40)
    lazy = getattr(bm, name)(da.from_array(local, chunks=(chunks,)))
    assert bits(lazy.compute()) == bits(getattr(bm, name)(local))


# Zeros of both signs and NaNs with different payloads meet on chunk borders: the engine keeps
# the first of equal values and the first NaN, so chunk order decides the bits.
_EXTREME_CASES = {
    "zeros": (np.array([1.0, 0.0, -0.0, 2.0, -0.0, 0.0]), (2, 2, 2)),
    "zeros-after-empty": (np.array([-0.0, 0.0, 0.0, -0.0]), (1, 0, 1, 2)),
    "nans": (np.array([1.0, 5.0, _PAYLOAD_NANS[1], _PAYLOAD_NANS[0], -3.0, _PAYLOAD_NANS[2]]), (2, 1, 3)),
    "many-chunks": (np.concatenate([special_values(30, 6), [-0.0, 0.0]]), (1,) * 32),
}


@pytest.mark.parametrize("case", _EXTREME_CASES, ids=list(_EXTREME_CASES))
@pytest.mark.parametrize("name", ["min", "max"])
def test_min_max_combine_partials_in_chunk_order(name, case):
    values, chunks = _EXTREME_CASES[case]
    for signs in (1.0, -1.0):  # -values turns the minimum's case into the maximum's
        local = values * signs
        lazy = getattr(bm, name)(da.from_array(local, chunks=(chunks,)))
        assert bits(lazy.compute()) == bits(getattr(bm, name)(local))


def test_reductions_read_nd_arrays_in_c_order():
    # C order meets the 0.0 at (0, 4) before the -0.0 at (1, 0), though the first chunk holds -0.0.
    matrix = np.ones((4, 6))
    matrix[0, 4], matrix[1, 0] = 0.0, -0.0
    matrix[2:] = special_values(12, 7).reshape(2, 6)
    lazy = da.from_array(matrix, chunks=(2, 4))
    for name in ("sum", "prod", "mean", "min", "max"):
        assert bits(getattr(bm, name)(lazy).compute()) == bits(getattr(bm, name)(matrix)), name


@pytest.mark.parametrize("axis", [0, 1])
def test_reductions_of_unknown_sizes_read_c_order(axis):
    # Boolean indexing leaves the kept rows' (or columns') count unknown until computed.
    matrix = special_values(42, 11).reshape(6, 7)
    lazy = da.from_array(matrix, chunks=(4, 3))
    if axis == 0:
        lazy, local = lazy[lazy[:, 0] > -0.5], matrix[matrix[:, 0] > -0.5]
    else:
        lazy, local = lazy[:, lazy[0] > -0.5], matrix[:, matrix[0] > -0.5]
    assert np.isnan(lazy.shape[axis]) and 0 < local.shape[axis] < matrix.shape[axis]
    for name in ("sum", "prod", "mean", "min", "max"):
        assert bits(getattr(bm, name)(lazy).compute()) == bits(getattr(bm, name)(local)), name


EMPTY = [((0,), 1), ((0,), ((0, 0),)), ((0, 3), 1), ((3, 0), 1), ((2, 0, 2), 1)]


@pytest.mark.parametrize("name", ["sum", "mean"])
@pytest.mark.parametrize("shape, chunks", EMPTY)
def test_empty_input_gives_the_local_sum_and_mean(name, shape, chunks):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        local = getattr(bm, name)(np.empty(shape))
        lazy = getattr(bm, name)(da.from_array(np.empty(shape), chunks=chunks)).compute()
    assert bits(lazy) == bits(local)


@pytest.mark.parametrize("name", ["prod", "min", "max"])
@pytest.mark.parametrize("shape, chunks", EMPTY)
def test_empty_input_raises_the_local_error(name, shape, chunks):
    with pytest.raises(ValueError) as local:
        getattr(bm, name)(np.empty(shape))
    with pytest.raises(ValueError) as lazy:
        getattr(bm, name)(da.from_array(np.empty(shape), chunks=chunks)).compute()
    assert str(lazy.value) == str(local.value)


@pytest.mark.parametrize("dtype", ["bool", "uint8", "int32", "int64", "float16", "float32", "complex128"])
@pytest.mark.parametrize("name", ["sum", "prod", "mean", "min", "max"])
def test_reductions_of_every_dtype_keep_the_local_dtype_and_bits(name, dtype):
    local = (((np.arange(60) % 7) - 2) * 3).astype(dtype).reshape(6, 10)
    lazy = da.from_array(local, chunks=(4, 3))
    if dtype == "complex128" and name not in ("sum", "mean"):
        with pytest.raises(TypeError):
            getattr(bm, name)(lazy)
        return
    for axis in (None, 1):
        expected = np.asarray(getattr(bm, name)(local, axis=axis))
        got = np.asarray(getattr(bm, name)(lazy, axis=axis).compute())
        assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("text", ["x // 3 > 1", "f * 2 + x", "(x & 6) | y", "where(f > 0.5, f, n)", "x * n - y"])
def test_text_over_dask_arrays_of_other_dtypes_keeps_the_local_dtype_and_bits(text):
    local = {"x": np.arange(24).reshape(4, 6), "y": np.arange(6, dtype=np.uint8), "n": 3,
             "f": np.linspace(0, 1, 24, dtype=np.float32).reshape(4, 6)}  # fmt: skip
    lazy = {**local, "x": da.from_array(local["x"], chunks=(3, 4)), "f": da.from_array(local["f"], chunks=(2, 5))}
    expected = bm.evaluate(text, local)
    got = bm.evaluate(text, lazy)
    assert isinstance(got, da.Array) and got.dtype == expected.dtype
    assert got.compute().tobytes() == expected.tobytes()


def test_each_worker_uses_its_share_of_the_cpus(client):
    workers = list(client.scheduler_info()["workers"])
    assert len(workers) == 2
    sizes = [client.submit(bm_dask.worker_num_threads, workers=[worker], pure=False).result(timeout=60) for worker in workers]
    assert sizes == [max(1, len(os.sched_getaffinity(0)) // 2)] * 2


def test_an_in_process_cluster_leaves_the_callers_pool_size_alone():
    result = run_python(
        """
        import os
        import dask.array as da, distributed
        import brindlemox as bm
        from brindlemox import dask as bm_dask

        threads = len(os.sched_getaffinity(0)) + 1  # a worker's own process would take a share of 1
        with (
            distributed.LocalCluster(n_workers=1, threads_per_worker=threads, processes=False, dashboard_address=None) as cluster,
            distributed.Client(cluster) as client,
        ):
            bm.set_num_threads(2)
            total = bm.sum(bm.evaluate("2*x", {"x": da.ones(8, chunks=2)})).compute()
            print(total, bm.get_num_threads(), client.submit(bm_dask.worker_num_threads, pure=False).result(timeout=60))
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "16.0 2 2\n"


def test_pickled_objects_travel_to_workers_and_back(client):
    x, y = bm.args("x", "y")
    expr = bm.sqrt(x * x + y * y) - 2
    kernel = bm.kernel(expr)
    values = special_values(9, 8)
    buffer = bm.asarray(values)
    assert client.submit(repr, x).result(timeout=60) == "Expr(x)"
    assert np.array_equal(bits(client.submit(kernel, values, 0.5).result(timeout=60)), bits(kernel(values, 0.5)))
    back = client.submit(list, [expr, kernel.spec, kernel, buffer]).result(timeout=60)
    assert same_tree(back[0], expr)
    assert back[2].names == kernel.names
    assert np.array_equal(bits(back[2](values, 0.5)), bits(kernel(values, 0.5)))
    assert np.array_equal(bits(bm.kernel(back[0])(values, 0.5)), bits(kernel(values, 0.5)))
    assert np.array_equal(bits(back[3].numpy()), bits(values))


def test_without_dask_only_the_integration_fails_to_import():
    result = run_python(
        """
        import sys
        sys.modules["dask"] = None  # as if Dask were not installed
        import numpy as np
        import brindlemox as bm
        assert bm.sum(np.ones(3)) == 3.0
        try:
            import brindlemox.dask
        except ImportError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "brindlemox's Dask integration needs Dask: run pip install '.[dask]' in brindlemox's source tree, "
        "or pip install '<wheel>[dask]' (either brings dask[array] and distributed)\n"
    )


def test_lazy_results_pickle_like_any_dask_array():
    lazy = bm.evaluate("x * 3", {"x": da.arange(5.0, chunks=2)})
    assert np.array_equal(pickle.loads(pickle.dumps(lazy)).compute(), np.arange(5.0) * 3)


def test_docstring_examples_run_on_the_cluster():
    failed, attempted = doctest.testmod(bm_dask, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted > 0 and failed == 0


def test_sum_states_take_empty_and_misaligned_blocks():
    # Blocks rebuilt from network frames can start at any byte; an empty one may too.
    from brindlemox import _dask_trees

    values = misaligned([1e16, 1.0, -1e16, 1.0])
    empty = values[:0]  # NumPy calls an empty array aligned whatever its address
    assert not values.flags.aligned
    states = np.concatenate([_dask_trees._state_of(empty, 0, True), _dask_trees._state_of(values, 0, True)])
    assert _dask_trees._rounded("sum", np.dtype(np.float64), states, 0, False) == 2.0


def test_the_integration_imports_private_modules_only():
    # Below the facade: going through `brindlemox` itself would hide an import cycle.
    tree = ast.parse(pathlib.Path(bm_dask.__file__).read_text())
    imported = [alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names]
    imported += [f"{'.' * node.level}{node.module or ''}" for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)]
    ours = [name for name in imported if name.startswith((".", "brindlemox"))]
    assert ours and all(name.startswith("._") for name in ours), ours
