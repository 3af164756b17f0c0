"""The one error of an operation the data's types do not have."""


class UnsupportedOperation(TypeError, NotImplementedError):
    """An operation NumPy has no loop of for the operands' types (``~x`` of
    floats, ``a << b`` of floats, arithmetic of strings).

    NumPy refuses these with TypeError and numexpr with NotImplementedError:
    this is both, so that code written for either catches it.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> try:
    ...     bm.evaluate("~x", {"x": np.ones(2)})
    ... except NotImplementedError as error:
    ...     print(type(error).__name__)
    UnsupportedOperation
    """
