"""Space descriptions (docs/spaces.md) of Gymnasium-style spaces, and their variables.

A space is recognised by its class name and attributes, so Gymnasium's spaces, the classes of
`velko_sim.spaces` and look-alikes all work without importing Gymnasium or numpy. A plain dict
with a "type" is taken as a description already.
"""

import math

# Most variables a space may have, as velko reads spaces.
MAX_VARIABLES = 1_000_000

# Gymnasium's dtypes and the description's dtype that holds each one's values.
_DTYPES = {
    "float16": "float32", "float32": "float32", "float64": "float64",
    "int8": "int32", "int16": "int32", "int32": "int32",
    "uint8": "int32", "uint16": "int32",
    "uint32": "int64", "int64": "int64", "uint64": "int64",
}


class SpaceError(ValueError):
    """A space that cannot be described, or names that do not fit it."""


def describe_space(space, where="the space"):
    """The JSON description (a dict) of a Gymnasium-style space or of a description."""
    if isinstance(space, dict):
        if not isinstance(space.get("type"), str):
            raise SpaceError(f"{where} is a dict without a \"type\": not a space description")
        return dict(space)
    kind = type(space).__name__
    describe = _DESCRIBERS.get(kind)
    if describe is None:
        raise SpaceError(f"{where} is a {kind}, which has no space description; use Box, "
                         "Discrete, MultiDiscrete, MultiBinary, Dict or Tuple")
    try:
        return describe(space, where)
    except AttributeError as error:
        raise SpaceError(f"{where} is a {kind} without the attribute {error.name!r}") from None


def _plain(value):
    """Numpy arrays and scalars as Python lists and numbers; other values as they are."""
    tolist = getattr(value, "tolist", None)
    return tolist() if callable(tolist) else value


def _bound(value, where):
    """One bound element: a number, or None for an infinite (absent) bound."""
    value = _plain(value)
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SpaceError(f"{where} is a {type(value).__name__}, not a number")
    if isinstance(value, float):
        if math.isnan(value):
            raise SpaceError(f"{where} is NaN")
        if math.isinf(value):
            return None
    return value


def _bounds(value, shape, where):
    """A bound of a box as nested lists of its shape (a number for shape [])."""
    value = _plain(value)
    if not shape:
        if isinstance(value, list):
            raise SpaceError(f"{where} is a list where the box's shape is []")
        return _bound(value, where)
    if not isinstance(value, (list, tuple)):
        # One bound for every element.
        return _bound(value, where)
    if len(value) != shape[0]:
        raise SpaceError(f"{where} has {len(value)} elements where the shape has {shape[0]}")
    return [_bounds(item, shape[1:], f"{where}[{i}]") for i, item in enumerate(value)]


def _describe_box(space, where):
    shape = [int(size) for size in space.shape]
    dtype_name = getattr(space.dtype, "name", None) or str(space.dtype)
    dtype = _DTYPES.get(dtype_name)
    if dtype is None:
        raise SpaceError(f"{where} is a Box of dtype {dtype_name}; use a float or integer dtype")
    return {"type": "box", "shape": shape, "dtype": dtype,
            "low": _bounds(space.low, shape, f"{where}'s low"),
            "high": _bounds(space.high, shape, f"{where}'s high")}


def _describe_discrete(space, where):
    description = {"type": "discrete", "n": int(space.n)}
    start = int(getattr(space, "start", 0))
    if start:
        description["start"] = start
    return description


def _flat_counts(values, where, what):
    """A flat list of integers, refusing nested lists (which the format cannot hold)."""
    values = _plain(values)
    if isinstance(values, int):
        values = [values]
    if any(isinstance(value, (list, tuple)) for value in values):
        raise SpaceError(f"{where} has {what} of more than one dimension; flatten it")
    return [int(value) for value in values]


def _describe_multi_discrete(space, where):
    nvec = _flat_counts(space.nvec, where, "nvec")
    start = getattr(space, "start", None)
    if start is not None and any(_flat_counts(start, where, "start")):
        raise SpaceError(f"{where} is a MultiDiscrete with a start other than 0")
    return {"type": "multi_discrete", "nvec": nvec}


def _describe_multi_binary(space, where):
    n = _flat_counts(space.n, where, "a shape")
    if len(n) != 1:
        raise SpaceError(f"{where} is a MultiBinary of shape {n}; flatten it")
    return {"type": "multi_binary", "n": n[0]}


def _describe_dict(space, where):
    members = {}
    for key, member in space.spaces.items():
        if not isinstance(key, str):
            raise SpaceError(f"{where} has the key {key!r}: keys must be texts")
        members[key] = describe_space(member, f"{where}[{key!r}]")
    return {"type": "dict", "spaces": members}


def _describe_tuple(space, where):
    return {"type": "tuple",
            "spaces": [describe_space(member, f"{where}[{i}]")
                       for i, member in enumerate(space.spaces)]}


_DESCRIBERS = {
    "Box": _describe_box,
    "Discrete": _describe_discrete,
    "MultiDiscrete": _describe_multi_discrete,
    "MultiBinary": _describe_multi_binary,
    "Dict": _describe_dict,
    "Tuple": _describe_tuple,
}


# --- Slot paths and variables ---------------------------------------------------------------

def slot_key(key):
    """The key group of an object member: ['key'], escaped as velko reads it."""
    out = ["['"]
    for ch in key:
        code = ord(ch)
        if ch in "\\'":
            out.append("\\" + ch)
        elif code < 0x20 or code == 0x7F or ch in "[]":
            out.append(f"\\x{code:02x}")
        else:
            out.append(ch)
    out.append("']")
    return "".join(out)


def _count(value, where):
    """A count or size of a description: an integer (5.0 is read as 5)."""
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise SpaceError(f"{where} must be an integer of at least 0, not {value!r}")
    return value


def _element_count(description, where):
    """How many variables a box, multi_discrete or multi_binary has; None for others."""
    kind = description.get("type")
    if kind == "box":
        count = 1
        for size in description.get("shape", ()):
            count *= _count(size, f"{where}'s shape")
        return count
    if kind == "multi_discrete":
        return len(description.get("nvec", ()))
    if kind == "multi_binary":
        return _count(description.get("n", 0), f"{where}'s n")
    return None


def _element_paths(shape):
    """The slot paths of a box's elements in row-major order."""
    paths = [""]
    for size in shape:
        paths = [path + f"[{i}]" for path in paths for i in range(size)]
    return paths


def variables(description, where="the space"):
    """[(slot path, name or None)] of every variable of a description, in velko's order."""
    out = []
    _walk(description, "", where, out)
    return out


def _walk(description, path, where, out):
    kind = description.get("type") if isinstance(description, dict) else None
    if kind == "dict":
        for key, member in description.get("spaces", {}).items():
            _walk(member, path + slot_key(key), f"{where}[{key!r}]", out)
    elif kind == "tuple":
        for i, member in enumerate(description.get("spaces", [])):
            _walk(member, path + f"[{i}]", f"{where}[{i}]", out)
    elif kind == "discrete":
        out.append((path, description.get("name") or None))
    elif kind in ("box", "multi_discrete", "multi_binary"):
        count = _element_count(description, where)
        if len(out) + count > MAX_VARIABLES:
            raise SpaceError(f"{where} has more than {MAX_VARIABLES} variables")
        names = description.get("names") or [None] * count
        if len(names) != count:
            raise SpaceError(f"{where} has {len(names)} names for {count} variables")
        shape = description.get("shape", []) if kind == "box" else [count]
        for element, name in zip(_element_paths([int(size) for size in shape]), names):
            out.append((path + element, name or None))
    else:
        raise SpaceError(f"{where} is not a space description (its type is {kind!r})")
    if len(out) > MAX_VARIABLES:
        raise SpaceError(f"{where} has more than {MAX_VARIABLES} variables")


def with_names(description, names, where="the space"):
    """A copy of a description whose variables carry `names`.

    For a dict space the names pair with its keys by name, never by position (Gymnasium's Dict
    sorts its keys): a list of keys names the member of each key by its key, and a map
    {key: names} names the member of each key by what is given for it (a text for a member that
    is one variable, else its own names as for a space of their own). For any other space,
    `names` is a list of one name (or None) per variable, in velko's order."""
    if isinstance(names, dict):
        return _by_key(description, names, where)
    if not isinstance(names, (list, tuple)):
        raise SpaceError(f"the names of {where} must be a list or a map, not a "
                         f"{type(names).__name__}")
    if description.get("type") == "dict":
        for name in names:
            if not isinstance(name, str) or name not in description.get("spaces", {}):
                raise SpaceError(_not_a_key(description, name, where) + "; give its keys, or a "
                                 "map {key: name} to name its members otherwise")
        return _by_key(description, {name: name for name in names}, where)
    return _positional(description, names, where)


def _not_a_key(description, name, where):
    """The refusal of a name that is not a key of a dict space, listing its keys."""
    keys = [repr(key) for key in description.get("spaces", {})]
    if len(keys) > 20:
        keys = keys[:20] + [f"and {len(keys) - 20} more"]
    return (f"{name!r} is not a key of {where}, a dict whose names pair with its keys by name "
            f"(its keys: {', '.join(keys)})")


def _by_key(description, names, where):
    """A copy of a dict space's description named by a map {key: names}."""
    if description.get("type") != "dict":
        raise SpaceError(f"names given as a map {{key: names}} fit a dict space, and {where} is "
                         f"a {description.get('type')}; give a list of names")
    out = dict(description)
    out["spaces"] = dict(description.get("spaces", {}))
    for key, member_names in names.items():
        if key not in out["spaces"]:
            raise SpaceError(_not_a_key(description, key, where))
        member, member_where = out["spaces"][key], f"{where}[{key!r}]"
        if member_names is None or isinstance(member_names, str):
            count = len(variables(member, member_where))
            if count != 1:
                raise SpaceError(f"{member_where} has {count} variables, which one name cannot "
                                 f"name; give its {count} names as a list: {{{key!r}: [...]}}")
            out["spaces"][key] = _positional(member, [member_names], member_where)
        else:
            out["spaces"][key] = with_names(member, member_names, member_where)
    return out


def _positional(description, names, where):
    """A copy of a description whose variables carry `names`, one per variable in order."""
    count = len(variables(description, where))
    names = list(names)
    if len(names) != count:
        raise SpaceError(f"{len(names)} names were given for the {count} variables of {where}")
    for i, name in enumerate(names):
        if name is not None and not isinstance(name, str):
            raise SpaceError(f"name {i} of {where} is a {type(name).__name__}, not a text")
    named, rest = _name(description, names)
    assert not rest
    return named


def _name(description, names):
    """(named copy, the names left over)."""
    kind = description.get("type")
    out = dict(description)
    if kind == "dict":
        out["spaces"] = {}
        for key, member in description["spaces"].items():
            out["spaces"][key], names = _name(member, names)
    elif kind == "tuple":
        out["spaces"] = []
        for member in description["spaces"]:
            named, names = _name(member, names)
            out["spaces"].append(named)
    elif kind == "discrete":
        if names[0] is not None:
            out["name"] = names[0]
        names = names[1:]
    else:
        count = _element_count(description, "")
        mine, names = names[:count], names[count:]
        if any(name is not None for name in mine):
            out["names"] = mine
    return out, names


# The slot path that a mapping gives for the whole value, the variable of a space that is one
# value (a Discrete, a Box of shape ()): a path of blanks only addresses the whole value, where
# a mapping whose "name" is the empty text counts as having no slot.
WHOLE_VALUE = " "


def mappings_of(description, where="the space"):
    """The mapping entries of a description: {"name": slot path, "name_mapped": name}. The
    whole value's path is written WHOLE_VALUE; a member of a dict space that is one variable
    without a name is named by its key, so that the dataset's column of that name joins it."""
    entries = []
    for path, name in _named_variables(description, where):
        entry = {"name": path or WHOLE_VALUE}
        if name:
            entry["name_mapped"] = name
        entries.append(entry)
    return entries


def _named_variables(description, where):
    """variables(), with the key as the name of a dict space's member of one unnamed
    variable."""
    if description.get("type") != "dict":
        return variables(description, where)
    out = []
    for key, member in description.get("spaces", {}).items():
        mine = []
        _walk(member, slot_key(key), f"{where}[{key!r}]", mine)
        if len(mine) == 1 and not mine[0][1]:
            mine = [(mine[0][0], key)]
        out.extend(mine)
        if len(out) > MAX_VARIABLES:
            raise SpaceError(f"{where} has more than {MAX_VARIABLES} variables")
    return out
