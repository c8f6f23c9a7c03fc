"""Actions as a Gymnasium-style env takes them.

velko sends an action as a JSON value of the action space. Read against a Gymnasium-style
space, it becomes what Gymnasium gives an env: a Box or a MultiDiscrete/MultiBinary value a
numpy array of the space's dtype, a Discrete value an int, a Dict value a dict in the space's
order and a Tuple value a tuple. The spaces of `velko_sim.spaces` (whose dtypes are texts)
give plain lists and numbers, and an action of a space given as a JSON description is passed
on as it was read. Values that do not fit the space are refused as bad requests.
"""

import sys

from .json_values import BadRequest


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _check_shape(value, shape, where, integers=None):
    """Refuses a value that is not nested lists of numbers of the shape; with
    `integers` = (lowest, highest), numbers that are not integers in that range."""
    if not shape:
        if not _is_number(value):
            raise BadRequest(f"{where} must be a number, not {value!r}")
        if integers is not None and (not float(value).is_integer() or
                                     not integers[0] <= value <= integers[1]):
            raise BadRequest(f"{where} must be an integer from {integers[0]} to "
                             f"{integers[1]}, not {value!r}")
        return
    if not isinstance(value, list) or len(value) != shape[0]:
        raise BadRequest(f"{where} must be a list of {shape[0]} elements")
    for i, item in enumerate(value):
        _check_shape(item, shape[1:], f"{where}[{i}]", integers)


def _array(value, shape, dtype, where):
    """A box-like value as a numpy array when `dtype` is a numpy dtype, else as it is."""
    numpy = sys.modules.get("numpy")
    if numpy is None or not isinstance(dtype, numpy.dtype):
        _check_shape(value, shape, where)
        return value
    integers = None
    if dtype.kind in "iub":
        info = numpy.iinfo(dtype) if dtype.kind != "b" else None
        integers = (int(info.min), int(info.max)) if info else (0, 1)
    _check_shape(value, shape, where, integers)
    return numpy.asarray(value, dtype=dtype)


def action_from_json(space, value, where="the action"):
    """The action for the env from the JSON value read for `space`."""
    if isinstance(space, dict):
        return value
    kind = type(space).__name__
    if kind == "Box":
        return _array(value, tuple(int(size) for size in space.shape), space.dtype, where)
    if kind in ("MultiDiscrete", "MultiBinary"):
        shape = tuple(int(size) for size in space.shape)
        for item in (value if isinstance(value, list) else []):
            if not isinstance(item, int) or isinstance(item, bool):
                raise BadRequest(f"{where} must hold integers, not {item!r}")
        return _array(value, shape, getattr(space, "dtype", None), where)
    if kind == "Discrete":
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if not isinstance(value, int) or isinstance(value, bool):
            raise BadRequest(f"{where} must be an integer, not {value!r}")
        return value
    if kind == "Dict":
        if not isinstance(value, dict):
            raise BadRequest(f"{where} must be an object with the keys of the space")
        out = {}
        for key, member in space.spaces.items():
            if key not in value:
                raise BadRequest(f"{where} has no {key!r}")
            out[key] = action_from_json(member, value[key], f"{where}[{key!r}]")
        return out
    if kind == "Tuple":
        if not isinstance(value, list) or len(value) != len(space.spaces):
            raise BadRequest(f"{where} must be a list of {len(space.spaces)} values")
        return tuple(action_from_json(member, item, f"{where}[{i}]")
                     for i, (member, item) in enumerate(zip(space.spaces, value)))
    return value
