"""JSON text of the values a sim sends and receives.

Numpy arrays and scalars become lists and numbers (numpy is optional: an env that never
imported it has no numpy values). Integers stay integers and floats are written in their
shortest form that reads back to the same float. JSON has no NaN or infinity: an observation
holding one is refused, naming the sensor (None is sent as null, a reading without a value);
in an info such a number is sent as null. A reward must be a real number, a flag a bool and an
info a map, as the protocol has them: anything else is refused, saying what was given.
"""

import collections.abc
import json
import math
import numbers
import sys

from .describe import slot_key


class UnsendableValue(ValueError):
    """A value that cannot be sent as JSON; the message says where it is."""


class BadRequest(ValueError):
    """A request whose JSON text cannot be read."""


def _numpy():
    """The numpy module when the process has imported it, else None (it is never imported
    here: without it there are no numpy values to convert)."""
    return sys.modules.get("numpy")


def _default(value):
    """json.dumps's hook for what it does not know: numpy arrays and scalars."""
    np = _numpy()
    if np is not None:
        if isinstance(value, np.ndarray):
            return value.tolist()
        if isinstance(value, np.generic):
            return value.item()
    raise TypeError(type(value).__name__)


# One encoder and one decoder for every call: json.dumps and json.loads with options build
# new ones each time, which cost more than a small step.
_ENCODER = json.JSONEncoder(default=_default, allow_nan=False, separators=(",", ":"))


def _dumps(value):
    return _ENCODER.encode(value)


def to_plain(value, path="", on_nonfinite=None):
    """`value` as plain JSON-like Python values (dict, list, str, int, float, bool, None).

    A float that is NaN or infinite is replaced by on_nonfinite(path, value). Raises
    UnsendableValue naming the slot path of a value that JSON cannot carry."""
    np = _numpy()
    if np is not None:
        if isinstance(value, np.ndarray):
            value = value.tolist()
        elif isinstance(value, np.generic):
            value = value.item()
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        if math.isfinite(value):
            return float(value)
        if on_nonfinite is None:
            raise UnsendableValue(f"{value!r} at {path or 'the top'}")
        return on_nonfinite(path, value)
    if isinstance(value, dict):
        out = {}
        for key, member in value.items():
            if np is not None and isinstance(key, np.generic):
                key = key.item()
            if isinstance(key, bool) or not isinstance(key, (str, int)):
                raise UnsendableValue(f"the key {key!r} at {path or 'the top'} is not a text")
            out[str(key)] = to_plain(member, path + slot_key(str(key)), on_nonfinite)
        return out
    if isinstance(value, (list, tuple)):
        return [to_plain(item, f"{path}[{i}]", on_nonfinite) for i, item in enumerate(value)]
    raise UnsendableValue(f"a {type(value).__name__} at {path or 'the top'}, which JSON cannot "
                          "carry")


def _flat_numbers(value):
    """The JSON text of a list of finite floats and ints, or None for any other value: the
    common observation, written without the encoder's set-up."""
    if type(value) is not list:
        return None
    for item in value:
        kind = type(item)
        if not (kind is float and math.isfinite(item) or kind is int):
            return None
    return "[" + ",".join(map(repr, value)) + "]"


def observation_json(observation, names=None):
    """The JSON text of an observation. `names` maps slot paths to sensor names for the
    message that refuses a NaN or an infinity."""
    text = _flat_numbers(observation)
    if text is not None:
        return text
    try:
        return _dumps(observation)
    except (TypeError, ValueError):
        pass  # find out where, below

    def refuse(path, value):
        name = (names or {}).get(path)
        if name:
            what = f"the observation's sensor {name!r}" + (f" ({path})" if path else "")
        else:
            what = f"the observation's sensor at {path}" if path else "the observation"
        raise UnsendableValue(f"{what} is {value!r}; JSON has no NaN or infinity: give None "
                              "for a reading without a value (sent as null)")

    try:
        return _dumps(to_plain(observation, "", refuse))
    except UnsendableValue as error:
        if str(error).startswith("the observation"):
            raise
        raise UnsendableValue(f"the observation holds {error}") from None


def given(value):
    """A short account of a value that was refused: its type and a bounded repr."""
    shown = repr(value)
    if len(shown) > 60:
        shown = shown[:57] + "..."
    np = _numpy()
    if np is not None and isinstance(value, np.ndarray):
        return f"a numpy array of shape {value.shape} ({shown})"
    if value is None:
        return "None"
    kind = type(value).__name__
    return f"{'an' if kind[:1] in 'aeiou' else 'a'} {kind} ({shown})"


def info_json(info, what="the info"):
    """The JSON text of an info, a map; NaN and infinities become null."""
    if type(info) is dict and not info:
        return "{}"
    if not isinstance(info, collections.abc.Mapping):
        raise UnsendableValue(f"{what} is {given(info)}, not a map (a dict)")
    if type(info) is not dict:
        info = dict(info)
    try:
        return _dumps(info)
    except (TypeError, ValueError):
        pass
    try:
        return _dumps(to_plain(info, "", lambda path, value: None))
    except UnsendableValue as error:
        raise UnsendableValue(f"{what} holds {error}") from None


def number_json(value, what):
    """The JSON text of a real number (a reward): an int, a float or a numpy number (not a
    bool, a text, an array or None); an int stays an int."""
    np = _numpy()
    if np is not None and isinstance(value, np.generic) and \
            isinstance(value, (np.integer, np.floating)):
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise UnsendableValue(f"{what} is {given(value)}, not a real number (an int, a float "
                              "or a numpy number)")
    if not isinstance(value, int):
        value = float(value)
        if not math.isfinite(value):
            raise UnsendableValue(f"{what} is {value!r}; JSON has no NaN or infinity")
        return float.__repr__(value)
    return str(int(value))


def flag_json(value, what):
    """The JSON text of a flag (terminated, truncated): a bool or a numpy bool."""
    if value is True or value is False:
        return "true" if value else "false"
    np = _numpy()
    if np is not None and isinstance(value, np.bool_):
        return "true" if value else "false"
    raise UnsendableValue(f"{what} is {given(value)}, not a bool")


def _no_constant(name):
    raise BadRequest(f"{name} is not a JSON number")


_DECODER = json.JSONDecoder(parse_constant=_no_constant)


def parse(text, what):
    """The value of a JSON text from velko; ints stay ints, floats read exactly."""
    try:
        return _DECODER.decode(text)
    except BadRequest as error:
        raise BadRequest(f"{what} is not valid JSON: {error}") from None
    except RecursionError:
        raise BadRequest(f"{what} is nested too deeply") from None
    except ValueError as error:
        raise BadRequest(f"{what} is not valid JSON: {error}") from None
