import importlib
import sys

import pytest

import _brindlemox as ext
from conftest import run_python

CLASSES = [
    "Expr",
    "Buffer",
    "TaskHandle",
    "KernelSpec",
    "MapSpec",
    "ReduceSpec",
    "_KernelModule",
    "_RuntimeModule",
    "Channel",
    "RecvCase",
]
NO_CONSTRUCTOR = ["Buffer", "Expr", "TaskHandle", "KernelSpec", "MapSpec", "ReduceSpec", "Channel"]


def test_module_attributes_in_registration_order():
    assert ext.__version__ == "1.0.0"
    assert ext.__all__ == ["__version__", *CLASSES, "py_select"]
    assert ext.__doc__ == "brindlemox: A Python parallel compute library backed by a C++ execution engine."
    assert ext.py_select.__module__ == "_brindlemox"


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("_brindlemox")
    try:
        again = importlib.import_module("_brindlemox")
        assert again is first
        assert again.__all__ == ["__version__", *CLASSES, "py_select"]
    finally:
        sys.modules["_brindlemox"] = first


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_builtins_heap_types(name):
    cls = getattr(ext, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    assert cls.__bases__ == (object,)
    assert cls.__flags__ & (1 << 9)  # heap type
    assert "__dict__" not in cls.__dict__ and "__weakref__" not in cls.__dict__


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor_refuse_instantiation(name):
    with pytest.raises(TypeError) as info:
        getattr(ext, name)()
    assert str(info.value) == f"No constructor defined for {name}"


CLASS_DOCS = {
    "Buffer": "Python-visible buffer handle wrapping a C++ Buffer.",
    "TaskHandle": "Python-visible task handle.",
    "KernelSpec": "Python-visible kernel specification.",
    "MapSpec": "Specification for mapping a kernel over arguments.",
    "ReduceSpec": "Specification for a reduce operation.",
    "_KernelModule": "The kernel module exposed to Python.\n"
    "Contains factory functions for creating expressions and kernel specs.",
    "_RuntimeModule": "The runtime module exposed to Python.",
    "Channel": "Python-visible channel handle.",
    "RecvCase": "Python-visible `RecvCase` for select.",
    "Expr": "Python-visible expression node.\n"
    "Operator overloading builds an `Expr` tree without any computation.\n\n"
    "`temp_args` maps temporary argument IDs to their names.\n"
    'Each `arg("x")` call assigns a unique `temp_id` via a global counter,\n'
    "and operators merge both sides' `temp_args` by a union of ordered maps.",
}


@pytest.mark.parametrize("name", sorted(CLASS_DOCS))
def test_class_docstrings(name):
    assert getattr(ext, name).__doc__ == CLASS_DOCS[name]


@pytest.mark.parametrize(
    "name, signature",
    [("_KernelModule", "()"), ("_RuntimeModule", "()"), ("RecvCase", "(channel)")]
    + [(name, None) for name in NO_CONSTRUCTOR],
)
def test_class_text_signatures(name, signature):
    assert getattr(ext, name).__text_signature__ == signature


def test_constructors_bind_their_signatures():
    with pytest.raises(TypeError) as info:
        ext._RuntimeModule(1)
    assert str(info.value) == "_RuntimeModule.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as info:
        ext._KernelModule(x=1)
    assert str(info.value) == "_KernelModule.__new__() got an unexpected keyword argument 'x'"


def test_hashing():
    k = ext._KernelModule()
    with pytest.raises(TypeError):
        hash(k.arg("x"))
    for instance in [ext._RuntimeModule(), k, k.elementwise(k.arg("x"))]:
        assert hash(instance) == object.__hash__(instance)


METHOD_DOCS = {
    ("_RuntimeModule", "asarray"): ("($self, array)", "Create a Buffer from a numpy array."),
    ("_RuntimeModule", "go"): (
        "($self, spec, out=None)",
        "Submit a computation and return a `TaskHandle`.\n"
        "Accepts either a `MapSpec` (elementwise) or a `ReduceSpec`.\n"
        "If `out` is provided, the result is delivered to that channel asynchronously.",
    ),
    ("_RuntimeModule", "chan"): ("($self, capacity)", "Create a bounded channel."),
    ("Buffer", "numpy"): ("($self)", "Convert to numpy array (copies data out)."),
    ("Buffer", "scalar"): ("($self)", "Get a single scalar value (first element)."),
    ("TaskHandle", "result"): ("($self)", "Block until completion and return result."),
    ("TaskHandle", "is_done"): ("($self)", "Check if the task is complete."),
    ("TaskHandle", "cancel"): ("($self)", "Cancel the task."),
    ("Channel", "send"): ("($self, buf)", "Send a buffer into the channel."),
    ("Channel", "recv"): ("($self)", "Receive a buffer from the channel. Blocks until available."),
    ("Channel", "close"): ("($self)", "Close the channel. Idempotent."),
    ("Channel", "is_closed"): ("($self)", "Returns true if the channel has been closed."),
    ("Expr", "get_temp_args"): ("($self)", None),
    ("Expr", "get_referenced_args"): ("($self)", None),
    ("Expr", "rewrite_args"): ("($self, mapping)", None),
    ("_KernelModule", "arg"): ("($self, name)", "Create a single named argument expression."),
    ("_KernelModule", "args"): ("($self, *names)", "Create multiple named argument expressions."),
    ("_KernelModule", "elementwise"): (
        "($self, expr)",
        "Create an elementwise kernel from an expression.\n"
        "Performs dense reindexing: `temp_ids` are mapped to 0, 1, 2, ... in sorted order.",
    ),
    ("_KernelModule", "map"): (
        "($self, spec, **kwargs)",
        "Map a kernel spec over named arguments, returning a `MapSpec` for `rt.go()`.",
    ),
    ("_KernelModule", "where_"): (
        "($self, cond, true_val, false_val)",
        "Conditional select: `where(cond, true_val, false_val)`.",
    ),
    **{
        ("_KernelModule", name): ("($self, expr)", None)
        for name in ["sqrt", "abs", "log", "exp", "log2", "log10", "floor", "ceil", "round", "sin", "cos", "tan"]
    },
    ("_KernelModule", "pow"): ("($self, base, exp)", None),
    ("_KernelModule", "atan2"): ("($self, y, x)", None),
    ("_KernelModule", "min"): ("($self, a, b)", None),
    ("_KernelModule", "max"): ("($self, a, b)", None),
    **{("_KernelModule", name): ("($self, buf)", None) for name in ["sum", "mean", "min_reduce", "max_reduce"]},
}


@pytest.mark.parametrize("cls, method", sorted(METHOD_DOCS))
def test_method_signatures_and_docs(cls, method):
    function = getattr(getattr(ext, cls), method)
    signature, doc = METHOD_DOCS[(cls, method)]
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_every_public_method_has_its_recorded_signature_and_docstring():
    # The documentation shows these docstrings as they are: a new method, or a
    # text signature changed in the method table, must be recorded above.
    public = {
        (cls, name)
        for cls in CLASSES
        for name, member in vars(getattr(ext, cls)).items()
        if not name.startswith("_") and callable(member)
    }
    assert public == set(METHOD_DOCS)


def test_kernel_module_method_order():
    names = [name for name in vars(ext._KernelModule) if not name.startswith("__")]
    assert names == [
        "arg", "args", "elementwise", "map", "sqrt", "abs", "log", "exp", "log2", "log10", "floor", "ceil",
        "round", "sin", "cos", "tan", "pow", "atan2", "min", "max", "where_", "sum", "mean", "min_reduce",
        "max_reduce",
    ]  # fmt: skip


def test_py_select_signature():
    assert ext.py_select.__text_signature__ == "(*cases, default=False)"
    assert ext.py_select.__doc__ == "Python-visible select function."


@pytest.mark.parametrize("isolated", [True, False])
def test_sub_interpreter_import_is_refused(isolated):
    # An isolated interpreter is refused by the interpreter's own check of
    # single-phase modules; a legacy one reaches the module's own refusal.
    result = run_python(
        f"""
        import _brindlemox
        try:
            import _interpreters  # Python 3.13 on: the error comes back as a value
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated={isolated})
            try:
                interpreters.run_string(interp, "import _brindlemox")
            except Exception as error:
                print(error)
        else:
            interp = _interpreters.create("isolated" if {isolated} else "legacy")
            error = _interpreters.exec(interp, "import _brindlemox")
            print(f"<class '{{error.type.__name__}}'>", error.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    assert "<class 'ImportError'>" in result.stdout
    if not isolated:
        assert "_brindlemox does not support sub-interpreters" in result.stdout


def test_the_name_constants_are_tuples_of_names_in_code_order():
    assert ext._REDUCTIONS == ("sum", "mean", "min", "max", "prod")
    assert ext._MATH_MODES == ("libm", "fast")
    assert ext._ISA_LEVELS == ("baseline", "avx2", "avx512")[: len(ext._ISA_LEVELS)] and ext._ISA_LEVELS
    assert ext._DTYPES == (
        "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
        "float16", "float32", "float64", "complex64", "complex128",
    )  # fmt: skip
    for names in (ext._UNARY_OPS, ext._BINARY_OPS):
        assert type(names) is tuple and len(set(names)) == len(names)
        assert all(type(name) is str and name.isidentifier() for name in names)


# The private entry points of asynchronous work and of a channel's waits, as
# the package calls them: their signatures and docstrings stay as they are
# wherever in the binding layer they are defined.
PRIVATE_FUNCTIONS = {
    "_frame_variable": (
        "(frame, name)",
        "A function frame's local, cell or free variable `name`, read alone; KeyError when it has no value.",
    ),
    "_go_async": (
        "(spec, token, out=None)",
        "Queue a MapSpec or ReduceSpec on the task runner and return its TaskHandle at once.\n"
        "`token` is posted to the settle queue when the task settles.",
    ),
    "_evaluate_async": (
        "(kernel, operands, out, token)",
        "_evaluate_into queued on the task runner: None when the operands cannot be read in place, else\n"
        "(TaskHandle, output array, hold); keep the hold until `token` is posted.",
    ),
    "_typed_evaluate_async": (
        "(program, inputs, out, token)",
        "_typed_evaluate queued on the task runner: (TaskHandle, hold); the task completes with 1.0, or 0.0\n"
        "when an element had no value; keep the hold until `token` is posted.",
    ),
    "_recv_async": (
        "(channel, token)",
        "The channel's next buffer when there is one now (RuntimeError when closed), else a TaskHandle\n"
        "that completes with it; `token` is posted when that settles.",
    ),
    "_send_async": (
        "(channel, buf, token)",
        "A TaskHandle that completes once the delivery worker has sent `buf`; `token` is posted when it settles.",
    ),
    "_withdraw": ("(task)", "Cancel a task that has not started; False once it has."),
    "_withdraw_receive": ("(task)", "Cancel a waiting _recv_async; False once it has its outcome."),
    "_give_back": ("(channel, buf)", "Put a buffer taken from `channel` back in front of it."),
    "_take_settled": ("()", "Wait for settled tasks and return their tokens, in settling order."),
    "_recv_array": ("(channel)", "Channel.recv returning a read-only array over the buffer."),
    "_buffered": ("(channel)", "How many sent values wait in the channel now."),
    "_as_array": ("(buf)", "A read-only array over a Buffer's storage."),
    "_recv_until": ("(channel, timeout)", "_recv_array giving up after `timeout` seconds with None."),
    "_send_until": ("(channel, buf, timeout)", "Channel.send giving up after `timeout` seconds: True once sent."),
    "_select_until": (
        "(channels, timeout)",
        "(index, read-only array) from the first ready channel of a tuple, or None after `timeout` seconds.",
    ),
}


@pytest.mark.parametrize("name", sorted(PRIVATE_FUNCTIONS))
def test_private_function_signatures_and_docs(name):
    function = getattr(ext, name)
    assert (function.__text_signature__, function.__doc__) == PRIVATE_FUNCTIONS[name]
    assert (function.__module__, function.__self__) == ("_brindlemox", ext)
    assert name not in ext.__all__


def test_the_operator_names_and_codes_are_the_wire_formats():
    # Expression bytes, typed programs and cache keys hold these codes, reprs these names; a new
    # operator takes the next code.
    assert ext._UNARY_OPS[:32] == (
        "Neg", "Abs", "Sqrt", "Log", "Exp", "Log2", "Log10", "Floor", "Ceil", "Round", "Sin", "Cos", "Tan",
        "Sinh", "Cosh", "Tanh", "Asin", "Acos", "Atan", "Asinh", "Acosh", "Atanh", "Log1p", "Expm1", "Trunc",
        "RoundEven", "Sign", "Signbit", "IsNan", "IsInf", "IsFinite", "Cbrt",
    )  # fmt: skip
    assert ext._BINARY_OPS[:16] == (
        "Add", "Sub", "Mul", "Div", "Pow", "Atan2", "Min", "Max", "Fmod", "Hypot", "Nextafter", "Copysign",
        "FloorDiv", "Mod", "Minimum", "Maximum",
    )  # fmt: skip
    numpy_names = (
        "negative absolute sqrt exp expm1 log log1p log2 log10 sin cos tan arcsin arccos arctan sinh cosh tanh "
        "arcsinh arccosh arctanh floor ceil trunc rint sign signbit isnan isinf isfinite invert real imag "
        "conjugate cbrt"
    ).split()
    binary_names = (
        "add subtract multiply divide floor_divide remainder power arctan2 hypot copysign nextafter fmod fmin "
        "fmax minimum maximum bitwise_and bitwise_or bitwise_xor left_shift right_shift greater greater_equal "
        "less less_equal equal not_equal complex"
    ).split()
    pinned = {**dict(zip(numpy_names, range(35))), **dict(zip(binary_names, range(40, 68)))}
    assert {name: ext._TYPED_OPS.get(name) for name in pinned} == pinned
