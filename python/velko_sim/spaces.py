"""Gymnasium-style spaces for sims written without Gymnasium.

These classes hold what a space description needs and nothing more (no sampling, no
`contains`). They have the class names and attributes of Gymnasium's spaces, so a sim can
switch between them and `gymnasium.spaces` by changing one import. Bounds stay plain Python
numbers and lists; numpy is not needed.
"""

import math

_DTYPES = ("float32", "float64", "int32", "int64")


def _dtype_name(dtype):
    """The name of a dtype given as text, a Python type or a numpy dtype."""
    if dtype is float:
        return "float64"
    if dtype is int:
        return "int64"
    name = getattr(dtype, "name", None) or getattr(dtype, "__name__", None) or str(dtype)
    if name not in _DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(_DTYPES)}, not {name}")
    return name


def _filled(value, shape):
    """Nested lists of `shape` holding `value` (a number) everywhere."""
    if not shape:
        return value
    return [_filled(value, shape[1:]) for _ in range(shape[0])]


def _shape_of(value):
    """The shape of nested lists (of equal lengths), () for a number."""
    shape = []
    while isinstance(value, (list, tuple)):
        shape.append(len(value))
        value = value[0] if value else None
    return tuple(shape)


class Space:
    """Base of the spaces below."""


class Box(Space):
    """Numbers of a shape within bounds; an infinite bound is no bound.

    `low` and `high` are numbers (the same for every element) or nested lists of the shape.
    """

    def __init__(self, low, high, shape=None, dtype="float32"):
        self.dtype = _dtype_name(dtype)
        if shape is None:
            shape = _shape_of(low) if isinstance(low, (list, tuple)) else _shape_of(high)
        self.shape = tuple(int(size) for size in shape)
        if any(size < 0 for size in self.shape):
            raise ValueError(f"shape must not hold a negative size: {self.shape}")
        self.low = self._bound(low, "low")
        self.high = self._bound(high, "high")

    def _bound(self, value, which):
        """The bound as nested lists of the shape (a number for shape ())."""
        if isinstance(value, (list, tuple)):
            if _shape_of(value) != self.shape:
                raise ValueError(f"{which} has the shape {_shape_of(value)}, not {self.shape}")
            return _filled_copy(value)
        if value is None:
            value = -math.inf if which == "low" else math.inf
        return _filled(value, self.shape)

    def __repr__(self):
        return f"Box({self.low}, {self.high}, {self.shape}, {self.dtype})"


def _filled_copy(value):
    """A copy of nested lists as lists."""
    if isinstance(value, (list, tuple)):
        return [_filled_copy(item) for item in value]
    return value


class Discrete(Space):
    """One integer from `start` to `start + n - 1`."""

    def __init__(self, n, start=0):
        self.n = int(n)
        self.start = int(start)
        if self.n < 1:
            raise ValueError(f"n must be at least 1, not {n}")

    def __repr__(self):
        return f"Discrete({self.n}, start={self.start})"


class MultiDiscrete(Space):
    """A list of integers, element i from 0 to nvec[i] - 1."""

    def __init__(self, nvec):
        self.nvec = [int(n) for n in nvec]
        self.shape = (len(self.nvec),)
        if any(n < 1 for n in self.nvec):
            raise ValueError(f"every count of nvec must be at least 1: {self.nvec}")

    def __repr__(self):
        return f"MultiDiscrete({self.nvec})"


class MultiBinary(Space):
    """A list of n integers, each 0 or 1."""

    def __init__(self, n):
        self.n = int(n)
        self.shape = (self.n,)
        if self.n < 0:
            raise ValueError(f"n must be at least 0, not {n}")

    def __repr__(self):
        return f"MultiBinary({self.n})"


class Dict(Space):
    """Named member spaces; their order is kept."""

    def __init__(self, spaces=None, **more):
        self.spaces = dict(spaces or {})
        self.spaces.update(more)

    def __getitem__(self, key):
        return self.spaces[key]

    def __repr__(self):
        return f"Dict({self.spaces})"


class Tuple(Space):
    """Member spaces in order."""

    def __init__(self, spaces):
        self.spaces = tuple(spaces)

    def __getitem__(self, index):
        return self.spaces[index]

    def __repr__(self):
        return f"Tuple({list(self.spaces)})"
