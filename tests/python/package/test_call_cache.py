# A call seen before runs the way found by its first call: the same bits,
# dtype, layout and errors as that first call, for every kind of operand; and
# calls whose operands differ in one property each get their own answer.
import sys

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _calls, _evaluate, _kernel_typing

FAST = "fast" in bm.math_modes()


@pytest.fixture(autouse=True)
def no_ways_kept():
    _calls.forget()
    yield
    _calls.forget()


def outcome(call):
    """What a call gives, to compare bit for bit: the result's dtype, shape,
    layout and bytes (and whether it is `out`), or the error's class and words."""
    try:
        result, out = call()
    except Exception as error:
        return type(error), str(error)
    return (result.dtype.str, result.shape, result.flags.c_contiguous, result.flags.f_contiguous,
            result.tobytes(), result is out)  # fmt: skip


def misaligned(values):
    """`values` as float64 at an address no float64 array starts at."""
    raw = np.zeros(values.size * 8 + 1, np.uint8)[1:].view(np.float64)
    raw[:] = values
    assert not raw.flags.aligned
    return raw


# Each case: a text, and a maker of the names (and `out`, math mode and thread
# count) of a call, for variant 0 or 1, which differ in one property.
def names_of(**values):
    return lambda variant: ({name: value[variant] if isinstance(value, tuple) else value
                             for name, value in values.items() if not (isinstance(value, tuple) and value[variant] is None)},
                            None, "libm", None)  # fmt: skip


def with_out(variant):
    x = np.arange(4.0)
    return {"x": x}, (None, x)[variant], "libm", None


def with_mode(variant):
    return {"x": np.linspace(-3, 3 + variant, 7)}, None, ("libm", "fast")[variant], None


def with_threads(variant):
    return {"x": np.linspace(-3, 3 + variant, 20_000)}, None, "libm", (1, 2)[variant]


# Makers whose calls also give `evaluate`'s options.
def with_order(variant):
    return {"x": np.ones((2, 3))}, None, "libm", None, {"order": ("K", "F")[variant]}


def with_int_out(variant):
    x = np.arange(4)
    return {"x": x}, (None, x)[variant], "libm", None


def with_int_out_backwards(variant):
    # Longer than a block: written where it lies, the output would overwrite
    # elements not read yet.
    x = np.arange(100_000) + 10 * variant
    return {"x": x}, (np.zeros(x.size, np.int64), x[::-1])[variant], "libm", None


def with_casting(variant):
    return {"x": np.arange(4)}, np.zeros(4, np.int32), "libm", None, {"casting": ("same_kind", "safe")[variant]}


def with_one_element_out(variant):
    return {"x": (np.ones(1), np.array(2.0))[variant]}, np.zeros(1), "libm", None


CASES = {
    "dtype": ("x*3 + 1", names_of(x=(np.arange(5), np.arange(5.0)))),
    "byte order": ("x*3 + 1", names_of(x=(np.arange(5.0), np.arange(1.0, 6.0).astype(">f8")))),
    "byte order of ints": ("x*3 + 1", names_of(x=(np.arange(5), np.arange(1, 6).astype(">i8")))),
    "shape": ("x + y", names_of(x=(np.arange(3.0), np.arange(4.0)), y=2.5)),
    "ndim": ("x * y", names_of(x=(np.arange(4.0), np.arange(4.0).reshape(2, 2)), y=np.float64(3))),
    "strides": ("x - 1", names_of(x=(np.arange(4.0), np.arange(8.0)[::2]))),
    "strides of ints": ("x - 1", names_of(x=(np.arange(4), np.arange(8)[::2]))),
    "alignment": ("x * 2", names_of(x=(np.arange(4.0), misaligned(np.arange(1.0, 5.0))))),
    "alignment and dtype": ("x * 2", names_of(x=(np.arange(4, dtype=np.float32), misaligned(np.arange(1.0, 5.0))))),
    "scalar or 0-d array": ("x + y", names_of(x=np.arange(3, dtype=np.float32), y=(2.0, np.array(2.0)))),
    "int class": ("x + k", names_of(x=np.arange(3, dtype=np.int8), k=(3, 300))),
    "int class in a comparison": ("x < k", names_of(x=np.arange(3, dtype=np.int8), k=(1, 300))),
    "int or float": ("x + k", names_of(x=np.arange(3, dtype=np.int8), k=(3, 3.0))),
    "a name now missing": ("x + y", names_of(x=np.arange(3.0), y=(1.0, None))),
    "layout": ("x + 1", names_of(x=(np.ones((2, 3)), np.ones((2, 3), order="F")))),
    "out aliasing an input": ("x + 1", with_out),
    "out of ints aliasing an input": ("x * 3 + 1", with_int_out),
    "out of ints over an input backwards": ("x * 3 + 1", with_int_out_backwards),
    "casting into out": ("x * 3 + 1", with_casting),
    "out of one element, for a 0-d result": ("x + 1", with_one_element_out),
    "order": ("x + 1", with_order),
    "thread count": ("sin(x) * 2", with_threads),
    "int class beyond int64": ("x + k", names_of(x=np.arange(3, dtype=np.uint64), k=(2**63, 2**64))),
    "int class below int64": ("x + k", names_of(x=np.arange(3), k=(-(2**63), -(2**63) - 1))),
    "NumPy scalar type": ("x + y", names_of(x=np.arange(3, dtype=np.float32), y=(np.float32(2), np.float64(2)))),
    "NumPy scalar or float": ("x + y", names_of(x=np.arange(3, dtype=np.float32), y=(2.0, np.float64(2)))),
    "float or complex": ("x + y", names_of(x=np.arange(3.0), y=(2.0, 2j))),
    "an element without a value": ("x ** y", names_of(x=np.arange(1, 4), y=(np.full(3, 2), np.array([2, -1, 2])))),
    "an element without a value, beside an int": ("k ** x", names_of(x=(np.arange(1, 4), np.array([1, -1, 1])), k=2)),
}
if FAST:
    CASES["math mode"] = ("exp(x)", with_mode)


def from_frame(text, local_dict, out, math, **options):
    """`text` evaluated from a function whose variables are `local_dict`."""
    scope = {"bm": bm, "text": text, "out": out, "math": math, "options": options}
    exec(f"def caller({', '.join(local_dict)}):\n    return bm.evaluate(text, out=out, math=math, **options)", scope)
    return scope["caller"](**local_dict)


def kernel_call(kernel, local_dict, out, math, order="K", casting="same_kind"):
    with bm.math_mode(math):
        if (order, casting) != ("K", "same_kind"):
            return kernel.run(tuple(local_dict.values()), out, order, casting)
        return kernel(**local_dict, out=out)


#: Each way a call reaches its way: by its text with dicts, by its text from
#: the caller's frame, and as a kernel's call (whose parameters are the
#: names of variant 0).
ENTRIES = {
    "evaluate": lambda text, names, local_dict, out, math, **options: bm.evaluate(
        text, local_dict, {}, out=out, math=math, **options
    ),
    "frame": lambda text, names, local_dict, out, math, **options: from_frame(text, local_dict, out, math, **options),
    "kernel": lambda text, names, local_dict, out, math, **options: kernel_call(
        kernel_of(text, names), local_dict, out, math, **options
    ),
}


def call(entry, text, make, variant):
    local_dict, out, math, threads, *options = make(variant)
    names = tuple(make(0)[0])
    previous = bm.set_num_threads(threads) if threads is not None else None
    try:
        return outcome(lambda: (entry(text, names, local_dict, out, math, **(options[0] if options else {})), out))
    finally:
        if previous is not None:
            bm.set_num_threads(previous)


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("case", CASES)
def test_calls_alternating_in_one_property_each_get_their_own_answer(case, entry):
    text, make = CASES[case]
    names = tuple(make(0)[0])
    kernel = kernel_of(text, names)
    # The kernel of every call in turn, so that its ways are kept and found.
    again = {
        **ENTRIES,
        "kernel": lambda text, names, local_dict, out, math, **options: kernel_call(
            kernel, local_dict, out, math, **options
        ),
    }
    want = []
    for variant in (0, 1):
        _calls.forget()
        want.append(call(ENTRIES[entry], text, make, variant))
    assert want[0] != want[1]
    _calls.forget()
    for step in range(6):
        assert call(again[entry], text, make, step % 2) == want[step % 2], (case, entry, step)


NUMPY_FUNCTIONS = {"where": np.where, "sqrt": np.sqrt, "exp": np.exp, "sin": np.sin}
KERNEL_FUNCTIONS = {"where": bm.where, "sqrt": bm.sqrt, "exp": bm.exp, "sin": bm.sin}


def numpy_twin(text, values):
    return np.asarray(eval(text, dict(NUMPY_FUNCTIONS), dict(values)))


def kernel_of(text, names):
    return bm.kernel(eval(f"lambda {', '.join(names)}: {text}", dict(KERNEL_FUNCTIONS)))


def entries(text, values):
    """Each way of calling `text` over `values`, and the first call that makes each one's way."""
    kernel = kernel_of(text, values) if text not in NOT_TRACED else None
    calls = {
        "evaluate": lambda: bm.evaluate(text, values, {}),
        "re_evaluate": lambda: bm.re_evaluate(values, {}),
        "kernel": lambda: kernel(*values.values()),
        "frame": lambda: from_frame(text, values, None, "libm"),
    }
    firsts = {**calls, "re_evaluate": calls["evaluate"]}
    return calls, firsts


TWINS = {
    "float64": ("2*x + y", {"x": np.linspace(-1, 1, 9), "y": np.linspace(0, 3, 9)}),
    "float64 with a float": ("sqrt(x*x + y)", {"x": np.linspace(-1, 1, 9), "y": 0.5}),
    "float32": ("x * 3 - y", {"x": np.linspace(-1, 1, 9, dtype=np.float32), "y": np.float32(0.25)}),
    "int64": ("x * 3 - y // 2", {"x": np.arange(9), "y": np.arange(9, 18)}),
    "int8 and an int": ("x * k", {"x": np.arange(9, dtype=np.int8), "k": 7}),
    "uint16 and a float": ("x + k", {"x": np.arange(9, dtype=np.uint16), "k": 1.5}),
    "bool": ("a & ~b", {"a": np.arange(9) % 2 == 0, "b": np.arange(9) % 3 == 0}),
    "complex": ("z * z + 1j", {"z": np.linspace(-1, 1, 9) + 2j}),
    "comparison": ("where(x > 0, x, 0)", {"x": np.linspace(-1, 1, 9)}),
    "2-d": ("x * y", {"x": np.ones((3, 4)), "y": np.arange(12.0).reshape(3, 4)}),
    "0-d": ("x + 1", {"x": np.array(2.5)}),
    "fortran": ("x + y", {"x": np.ones((3, 4), order="F"), "y": np.ones((3, 4), order="F")}),
    "broadcast": ("x + y", {"x": np.ones((3, 4)), "y": np.arange(4.0)}),
    "strided": ("x + 1", {"x": np.arange(20.0)[::3]}),
    "one element": ("x * 3 + 1", {"x": np.array([2.5])}),
    "one int": ("x * 3 + 1", {"x": np.array([7])}),
    # Descriptors other than NumPy's own of their type, which are read as it.
    "equivalent descriptors": ("x * 3 - y", {"x": np.arange(9, dtype=np.longlong),
                                             "y": np.ones(9, np.dtype(np.float64, metadata={"unit": "m"}))}),
}  # fmt: skip


#: Texts of operations a kernel's traced function does not take.
NOT_TRACED = ("x * 3 - y // 2", "a & ~b", "z * z + 1j")


@pytest.mark.parametrize(
    "twin, entry",
    [(twin, entry) for twin in TWINS for entry in ("evaluate", "re_evaluate", "kernel")
     if entry != "kernel" or TWINS[twin][0] not in NOT_TRACED],  # fmt: skip
)
def test_a_call_seen_before_gives_its_first_calls_twin(twin, entry):
    text, values = TWINS[twin]
    calls, firsts = entries(text, values)
    first = outcome(lambda: (firsts[entry](), None))
    assert first == outcome(lambda: (numpy_twin(text, values), None))
    for _ in range(3):
        assert outcome(lambda: (calls[entry](), None)) == first


# The typed runs a call seen before skips: routing (and with it typing) its
# values, and the arranging of its inputs.
SKIPPED = [(_evaluate, "route_text"), (_kernel_typing, "route_kernel")]


@pytest.mark.parametrize(
    "text, values",
    [("x + 1", {"x": np.ones(1)}), ("x*3 + y", {"x": np.arange(4), "y": 2}), ("exp(x)", {"x": np.ones(3, np.float32)})],
)
@pytest.mark.parametrize("entry", ["evaluate", "re_evaluate", "kernel", "frame"])
def test_a_call_seen_before_is_not_routed_again(text, values, entry, monkeypatch):
    calls, firsts = entries(text, values)
    first = firsts[entry]()

    def refused(*args):
        raise AssertionError("a call seen before was routed again")

    for module, name in SKIPPED:
        monkeypatch.setattr(module, name, refused)
    again = calls[entry]()
    assert again.dtype == first.dtype and again.tobytes() == first.tobytes()


# Calls with options, each a text, its values, a maker of its `out` and its
# further options.
WITH_OPTIONS = {
    "out of one element, order C, casting safe": (
        "x + 1", {"x": np.ones(1)}, lambda: np.empty(1), {"order": "C", "casting": "safe"}
    ),
    "out of ints": ("x*3 + y", {"x": np.arange(4), "y": 2}, lambda: np.empty(4, np.int64), {}),
    "out of float32, casting no": ("exp(x)", {"x": np.ones(3, np.float32)}, lambda: np.empty(3, np.float32),
                                   {"casting": "no"}),
    "order C": ("x + 1", {"x": np.ones(3)}, lambda: None, {"order": "C"}),
    "order F, ints": ("x - 1", {"x": np.arange(3)}, lambda: None, {"order": "F"}),
}  # fmt: skip


@pytest.mark.parametrize("case", WITH_OPTIONS)
@pytest.mark.parametrize("entry", ["evaluate", "frame"])
def test_a_call_with_options_seen_before_is_not_routed_again(case, entry, monkeypatch):
    text, values, make_out, options = WITH_OPTIONS[case]
    entries = {
        "evaluate": lambda out: bm.evaluate(text, values, {}, out=out, **options),
        "frame": lambda out: from_frame(text, values, out, "libm", **options),
    }
    first_out = make_out()
    first = entries[entry](first_out)

    def refused(*args):
        raise AssertionError("a call seen before was routed again")

    monkeypatch.setattr(_evaluate, "route_text", refused)
    out = make_out()
    again = entries[entry](out)
    assert (again is out) == (first is first_out)
    assert again.dtype == first.dtype and again.tobytes() == first.tobytes()


@pytest.mark.parametrize("x", [np.array([1.5]), np.array(1.5)], ids=["one element", "0-d"])
def test_re_evaluate_writes_the_out_of_one_element_its_call_wrote(x):
    out = np.zeros(1)
    for _ in range(2):
        assert bm.evaluate("x + 1", {"x": x}, out=out) is out
    again = bm.re_evaluate({"x": x + 1})
    assert again is out
    assert out.tolist() == [3.5]


def test_only_the_names_a_text_reads_are_looked_at():
    class Watched(dict):
        def __getitem__(self, name):
            read.append(name)
            return super().__getitem__(name)

    read = []
    names = Watched({"x": np.arange(3.0), "__builtins__": __builtins__, "unused": object(), "big": "text"})
    for _ in range(3):
        assert bm.evaluate("x + 1", names).tolist() == [1.0, 2.0, 3.0]
    assert set(read) == {"x"}


def test_the_callers_variables_beside_its_builtins_are_harmless():
    def caller():
        x = np.arange(3.0)
        unused = object()  # noqa: F841  (a variable of no numeric type beside x)
        return bm.evaluate("x * 2", locals() | {"__builtins__": sys.modules["builtins"]})

    assert caller().tolist() == [0.0, 2.0, 4.0]


def test_a_kernels_ways_are_its_own():
    double, triple = bm.kernel(bm.arg("x") * 2), bm.kernel(bm.arg("x") * 3)
    x = np.arange(3)
    assert double(x).tolist() == [0, 2, 4]
    assert triple(x).tolist() == [0, 3, 6]
    assert double(x).tolist() == [0, 2, 4]


WHOLES = {
    "ten": np.arange(10.0),
    "cancelling": np.array([1e16, 1.0, -1e16, 0.5]),
    "2-d": np.linspace(-1, 1, 12).reshape(3, 4),
    "fortran": np.asfortranarray(np.linspace(-1, 1, 12).reshape(3, 4)),
    "0-d": np.array(0.1),
    "to infinity": np.array([1.7e308, 1.7e308]),
    "nan": np.array([1.0, np.nan]),
    "infinities": np.array([np.inf, -np.inf]),
}


@pytest.mark.parametrize("name", ["sum", "mean"])
@pytest.mark.parametrize("array", WHOLES)
def test_a_whole_sum_of_contiguous_float64_is_the_sum_along_every_axis(name, array):
    a = WHOLES[array]
    whole = getattr(bm, name)(a)
    along = getattr(bm, name)(a, axis=tuple(range(a.ndim)))
    assert type(whole) is float
    assert np.float64(whole).tobytes() == np.float64(along).tobytes()


def test_a_whole_sum_seen_before_asks_numpy_nothing_about_its_dtype(monkeypatch):
    a = np.arange(10.0)
    first = bm.sum(a)

    def refused(*args):
        raise AssertionError("the dtype of a sum seen before was looked up again")

    monkeypatch.setattr(np, "finfo", refused)
    assert np.float64(bm.sum(a)).tobytes() == np.float64(first).tobytes()


GLOBAL_ARRAY = np.arange(3.0)


def test_names_read_from_the_callers_frame_are_its_locals_cells_and_globals():
    def caller():
        x = np.arange(3.0)
        many = {f"v{k}": k for k in range(50)}  # noqa: F841  (locals beside x)
        shared = 10.0

        def inner():
            assert x is not None and shared  # read here, so that inner's frame holds them
            return bm.evaluate("x * shared + GLOBAL_ARRAY")

        plain = bm.evaluate("x * shared + GLOBAL_ARRAY")
        inside = [bm.evaluate("x * k") for k in (1.0, 2.0)]
        return plain, inner(), inside

    plain, inner, inside = caller()
    assert plain.tolist() == inner.tolist() == [0.0, 11.0, 22.0]
    assert [values.tolist() for values in inside] == [[0.0, 1.0, 2.0], [0.0, 2.0, 4.0]]


def test_a_name_of_the_callers_frame_without_a_value_is_not_defined():
    def caller():
        x = np.arange(3.0)
        with pytest.raises(NameError, match="^name 'later' is not defined$"):
            bm.evaluate("x + later")
        later = 1.0
        return bm.evaluate("x + later")

    assert caller().tolist() == [1.0, 2.0, 3.0]


def test_a_frame_variable_is_read_alone_or_refused_in_the_binders_words():
    import _brindlemox as ext

    def caller():
        x = 1.5
        return sys._getframe()

    frame = caller()
    assert ext._frame_variable(frame, "x") == 1.5
    with pytest.raises(KeyError, match="^'y'$"):
        ext._frame_variable(frame, "y")
    with pytest.raises(TypeError, match="^argument 'frame' must be a frame, not dict$"):
        ext._frame_variable({}, "x")
    with pytest.raises(TypeError, match="^argument 'name' must be str, not int$"):
        ext._frame_variable(frame, 1)


OUTS = {
    "float64": (np.float64, "same_kind", "K"),
    "float64, order C, casting safe": (np.float64, "safe", "C"),
    "float32, casting unsafe": (np.float32, "unsafe", "K"),
    "int64, casting unsafe": (np.int64, "unsafe", "F"),
    "float32, casting same_kind": (np.float32, "same_kind", "K"),
    "int16, casting safe": (np.int16, "safe", "K"),
}


@pytest.mark.parametrize("twin", ["float64", "int64", "float32", "2-d", "fortran", "one element", "one int"])
@pytest.mark.parametrize("into", OUTS)
def test_a_call_into_out_seen_before_gives_its_first_calls_twin(twin, into):
    text, values = TWINS[twin]
    dtype, casting, order = OUTS[into]
    shape = numpy_twin(text, values).shape
    outs = [np.full(shape, 7, dtype) for _ in range(4)]
    got = [outcome(lambda: (bm.evaluate(text, values, {}, out=out, casting=casting, order=order), out)) for out in outs]
    assert got[1:] == got[:1] * 3
    assert got[0] == outcome(
        lambda: (bm.evaluate(text, values, {}, out=outs[0], casting=casting, order=order, disable_cache=True), outs[0])
    )


def refuse_routing(monkeypatch):
    """From now on, a call that is not found seen before fails."""

    def refused(*args):
        raise AssertionError("a call seen before was routed again")

    monkeypatch.setattr(_evaluate, "route_text", refused)


# Code run where its variables are no function's: the names a call seen before
# reads are the frame's locals, else its globals, as the first call's are.
CALLING_CODE = """
results = []
for k in (1.0, 2.0, 3.0):
    x = base * k
    results.append(bm.evaluate("x + g"))
"""
NON_FUNCTION_FRAMES = {
    "module": lambda scope: exec(CALLING_CODE, scope),
    "exec with its own locals": lambda scope: exec(CALLING_CODE, {"bm": bm, "g": scope.pop("g")}, scope),
    "class body": lambda scope: exec("class Body:\n" + CALLING_CODE.replace("\n", "\n    ") + "\nresults = Body.results",
                                     scope),
}  # fmt: skip


@pytest.mark.parametrize("frame", NON_FUNCTION_FRAMES)
def test_names_read_from_a_frame_of_no_function_are_its_locals_then_its_globals(frame, monkeypatch):
    for step in range(2):
        scope = {"bm": bm, "base": np.arange(3.0), "g": 0.5}
        NON_FUNCTION_FRAMES[frame](scope)
        assert [values.tolist() for values in scope["results"]] == [[0.5, 1.5, 2.5], [0.5, 2.5, 4.5], [0.5, 3.5, 6.5]]
        refuse_routing(monkeypatch)


def test_a_local_dict_alone_is_backed_by_the_callers_globals_and_a_global_dict_alone_by_nothing(monkeypatch):
    def caller():
        GLOBAL_ARRAY = np.ones(3)  # noqa: N806  (a local the calls must not read)
        backed = [bm.evaluate("x + GLOBAL_ARRAY", {"x": np.full(3, k)}).tolist() for k in (1.0, 2.0)]
        alone = [bm.evaluate("x - GLOBAL_ARRAY", None, {"x": np.full(3, k), "GLOBAL_ARRAY": GLOBAL_ARRAY}).tolist()
                 for k in (1.0, 2.0)]  # fmt: skip
        x = np.zeros(3)  # noqa: F841  (a local the calls must not read)
        with pytest.raises(NameError, match="^name 'x' is not defined$"):
            bm.evaluate("x - GLOBAL_ARRAY", None, {"GLOBAL_ARRAY": GLOBAL_ARRAY})
        return backed, alone

    for step in range(2):
        backed, alone = caller()
        assert backed == [[1.0, 2.0, 3.0], [2.0, 3.0, 4.0]]
        assert alone == [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]]
        refuse_routing(monkeypatch)


def test_re_evaluate_reads_the_variables_of_its_own_caller(monkeypatch):
    def first():
        x = np.arange(3.0)  # noqa: F841  (read by the call)
        return bm.evaluate("x * 2")

    def again(x):
        return bm.re_evaluate()

    first()
    assert again(np.full(2, 1.0)).tolist() == [2.0, 2.0]
    refuse_routing(monkeypatch)
    assert [again(np.full(2, k)).tolist() for k in (5.0, 1.0)] == [[10.0, 10.0], [2.0, 2.0]]


def test_a_text_seen_before_is_still_refused_by_sanitize():
    names = {"__x": np.ones(3)}
    for _ in range(3):
        assert bm.evaluate("__x + 1", names).tolist() == [2.0, 2.0, 2.0]
    with pytest.raises(ValueError, match=r"^expression '__x \+ 1' holds '__', which sanitize refuses$"):
        bm.evaluate("__x + 1", names, sanitize=True)
