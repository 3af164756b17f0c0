"""Expressions and kernel specs as bytes: the private entry points pickling uses."""

import random

import numpy as np
import pytest

import _brindlemox as ext
from conftest import bits, run_python


def sample(k):
    x, y = k.args("x", "y")
    return x, y, k.where_(x > 0, x * 2.5 + y, -y)


def test_kernel_spec_layout_is_exact(k):
    x, y = k.args("x", "y")
    spec = k.elementwise(y * 2 + x)
    assert ext._kernel_spec_to_bytes(spec) == (
        b"BMXK\x01" + b"\x02\x01x\x01y" + b"\x05" + b"\x01\x01" + b"\x00" + bytes(7) + b"\x40" + b"\x20\x01\x00\x1e"
    )


def test_kernel_spec_round_trip_computes_the_same_bits(k, rt):
    _, _, e = sample(k)
    spec = k.elementwise(e)
    data = ext._kernel_spec_to_bytes(spec)
    copy = ext._kernel_spec_from_bytes(data)
    assert type(copy) is ext.KernelSpec
    assert ext._kernel_spec_to_bytes(copy) == data
    xs = rt.asarray(np.array([-1.5, 0.0, -0.0, 3.25, np.nan]))
    results = [rt.go(k.map(s, x=xs, y=0.75)).result().numpy() for s in (spec, copy)]
    assert bits(results[0]) == bits(results[1])


def test_expr_round_trip_draws_fresh_ids_and_keeps_names_and_shape(k):
    x, y, e = sample(k)
    copy = ext._expr_from_bytes(ext._expr_to_bytes(e))
    old = e.get_referenced_args()
    new = copy.get_referenced_args()
    assert len(new) == 2 and min(new) > max(old)
    assert sorted(copy.get_temp_args().values()) == ["x", "y"]
    assert repr(copy) == repr(e.rewrite_args(dict(zip(old, new))))
    assert ext._kernel_spec_to_bytes(k.elementwise(copy)) == ext._kernel_spec_to_bytes(k.elementwise(e))
    # The copy's arguments are its own: combined with the original, each name appears twice.
    with pytest.raises(ValueError) as info:
        k.elementwise(copy + e)
    assert str(info.value) == "duplicate arg name: x"


def test_bare_argument_keeps_printing_its_name(k):
    copy = ext._expr_from_bytes(ext._expr_to_bytes(k.arg("speed")))
    assert repr(copy) == "Expr(speed)"
    assert list(copy.get_temp_args().values()) == ["speed"]


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_any_bytes_like_object_decodes(k, wrap):
    _, _, e = sample(k)
    data = ext._expr_to_bytes(e)
    assert ext._expr_to_bytes(ext._expr_from_bytes(wrap(data))) == data
    spec_data = ext._kernel_spec_to_bytes(k.elementwise(e))
    assert ext._kernel_spec_to_bytes(ext._kernel_spec_from_bytes(wrap(spec_data))) == spec_data


@pytest.mark.parametrize(
    "function, data, message",
    [
        (ext._expr_from_bytes, b"", "invalid expression bytes: truncated at byte 0"),
        (ext._expr_from_bytes, b"BMXK\x01\x01\x01x\x01\x01\x00", "invalid expression bytes: bad magic"),
        (ext._expr_from_bytes, b"BMXE\x01\x00\x01\x01x\x01\x01\x05", "invalid expression bytes: argument slot 5 at byte 10 is out of range (1 names)"),
        (ext._kernel_spec_from_bytes, b"BMXK\x07", "invalid kernel bytes: unsupported version 7"),
        (ext._kernel_spec_from_bytes, b"BMXK\x01\x01\x01x\x02\x01\x00\x63", "invalid kernel bytes: unknown node code 99 at byte 11"),
        (ext._kernel_spec_from_bytes, b"BMXK\x01\x02\x01x\x01x\x03\x01\x00\x01\x01\x1e", "invalid kernel bytes: argument slot 1 repeats an earlier name"),
    ],
)
def test_bad_bytes_are_a_value_error(function, data, message):
    with pytest.raises(ValueError) as info:
        function(data)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "function, argument, message",
    [
        (ext._expr_to_bytes, 1.5, "argument 'expr': 'float' object cannot be converted to 'Expr'"),
        (ext._kernel_spec_to_bytes, "x", "argument 'spec': 'str' object cannot be converted to 'KernelSpec'"),
        (ext._expr_from_bytes, "BMXE", "argument 'data': 'str' object cannot be converted to 'bytes-like object'"),
        (ext._kernel_spec_from_bytes, None, "argument 'data': 'NoneType' object cannot be converted to 'bytes-like object'"),
    ],
)
def test_wrong_argument_types(function, argument, message):
    with pytest.raises(TypeError) as info:
        function(argument)
    assert str(info.value) == message


def test_random_corruptions_are_refused_or_exact(k):
    # The engine's fuzz test covers many more; this one goes through the binding.
    _, _, e = sample(k)
    originals = [ext._expr_to_bytes(e), ext._kernel_spec_to_bytes(k.elementwise(e))]
    codecs = [(ext._expr_from_bytes, ext._expr_to_bytes), (ext._kernel_spec_from_bytes, ext._kernel_spec_to_bytes)]
    rng = random.Random(12)
    for _ in range(300):
        index = rng.randrange(2)
        data = bytearray(originals[index])
        position = rng.randrange(len(data))
        data[position] ^= 1 << rng.randrange(8)
        decode, encode = codecs[index]
        try:
            value = decode(bytes(data))
        except ValueError as error:
            assert str(error).startswith(("invalid expression bytes: ", "invalid kernel bytes: "))
        else:
            assert encode(value) == data


def test_bytes_decode_in_another_process(k, rt):
    _, _, e = sample(k)
    data = ext._kernel_spec_to_bytes(k.elementwise(e))
    xs = rt.asarray(np.array([-2.0, 0.5, 7.0]))
    here = rt.go(k.map(k.elementwise(e), x=xs, y=1.0)).result().numpy()
    result = run_python(
        f"""
        import numpy as np, _brindlemox as ext
        k, rt = ext._KernelModule(), ext._RuntimeModule()
        spec = ext._kernel_spec_from_bytes({data!r})
        out = rt.go(k.map(spec, x=rt.asarray(np.array([-2.0, 0.5, 7.0])), y=1.0)).result().numpy()
        print(out.view(np.uint64).tolist())
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == str(bits(here))
