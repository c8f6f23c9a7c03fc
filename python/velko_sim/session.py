"""One sim's env and the calls velko makes on it, apart from gRPC.

Each call takes and gives JSON text and runs alone (one lock), as the protocol's calls never
overlap. A call that cannot be answered raises CallError with the status for velko: a request
that cannot be read is INVALID_ARGUMENT, a call out of order FAILED_PRECONDITION, an exception
raised by the env UNKNOWN with the exception's message, and an answer of the env that cannot
be sent or breaks the protocol's types (NaN in an observation, a reward that is not a real
number, a flag that is not a bool, an info that is not a map, a reset that gives no pair)
INTERNAL, naming the step of the episode.
"""

import builtins
import collections
import json
import sys
import threading
import traceback

from .actions import action_from_json
from .describe import SpaceError, describe_space, mappings_of, variables, with_names
from .json_values import (BadRequest, UnsendableValue, flag_json, info_json, number_json,
                          observation_json, parse)
from .reset_arguments import reset_arguments

# The answer of a step: its JSON text, and whether the episode ended there.
StepAnswer = collections.namedtuple("StepAnswer", "json ended")


class CallError(Exception):
    """A call that fails with a gRPC status (its name, such as "UNKNOWN") and a message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def exception_message(error):
    """The message of an exception for the user. Python's own errors (KeyError, TypeError...)
    keep their type name in front; the sim's own and plain Exception/RuntimeError/ValueError
    give their text alone."""
    text = str(error)
    kind = type(error)
    plain = kind in (Exception, RuntimeError, ValueError) or getattr(builtins, kind.__name__,
                                                                    None) is not kind
    if plain and text:
        return text
    return f"{kind.__name__}: {text}" if text else kind.__name__


def check_mappings(mappings):
    """Refuses a `mappings` argument of serve() that is none of its forms (see serve)."""
    if mappings is None:
        return None
    if not isinstance(mappings, dict):
        raise TypeError(f"mappings must be a dict, not a {type(mappings).__name__}")
    if set(mappings) <= {"sensors", "actions"}:
        for key, names in mappings.items():
            if not isinstance(names, (list, tuple, dict)):
                raise TypeError(f"mappings[{key!r}] must be a list of names, or for a Dict "
                                "space a map {key: names}")
        return mappings
    if set(mappings) == {"sensor_space", "action_space"}:
        json.dumps(mappings, allow_nan=False)  # refuses what JSON cannot carry
        return mappings
    raise TypeError("mappings must have the keys \"sensors\" and/or \"actions\" (lists or "
                    "maps of names), or \"sensor_space\" and \"action_space\" (the "
                    "protocol's form)")


class Session:
    """The env of a run and velko's calls on it."""

    def __init__(self, make_env, mappings=None):
        self._make_env = make_env
        self._mappings = check_mappings(mappings)
        self._lock = threading.Lock()
        self._env = None
        self._seed = None       # given to the first reset after make
        self._in_episode = False
        self._steps = 0         # steps of the episode so far

    # --- the calls ---

    def make(self, env_init_json):
        """Makes the env with the run's settings (a JSON object)."""
        settings = parse(env_init_json, "env_init") if env_init_json else {}
        if not isinstance(settings, dict):
            raise CallError("INVALID_ARGUMENT", "env_init is not a JSON object")
        with self._lock:
            self._close_env()
            self._env = self._run("make_env()", self._make_env, settings)
            seed = settings.get("seed")
            self._seed = seed if isinstance(seed, int) and not isinstance(seed, bool) else None
            self._in_episode = False

    def sensor_space(self):
        """The JSON text of the observation space's description."""
        with self._lock:
            return json.dumps(self._describe("observation_space", "sensors"))

    def action_space(self):
        """The JSON text of the action space's description."""
        with self._lock:
            return json.dumps(self._describe("action_space", "actions"))

    def mappings(self):
        """The JSON text of the mappings."""
        with self._lock:
            if self._mappings is not None and "sensor_space" in self._mappings:
                return json.dumps(self._mappings)
            return json.dumps({
                "sensor_space": {"mappings": mappings_of(
                    self._describe("observation_space", "sensors"), "the observation space")},
                "action_space": {"mappings": mappings_of(
                    self._describe("action_space", "actions"), "the action space")}})

    def reset(self, seed=None, options_json=""):
        """Starts an episode; the JSON text of [observation, info]. `seed` (an int, or None)
        and the options (a JSON object, or the empty text for none) reach the env's reset as
        far as it takes them. Without a seed, the first reset after Make gets the settings'
        "seed" when that is an integer."""
        options = None
        if options_json:
            options = parse(options_json, "the reset's options")
            if not isinstance(options, dict):
                raise BadRequest("the reset's options are not a JSON object")
        with self._lock:
            env = self._need_env("reset()")
            pending, self._seed = self._seed, None
            if seed is None:
                seed = pending
            reset = self._attribute(env, "reset")
            result = self._run("reset()", reset, **reset_arguments(reset, seed, options))
            if not isinstance(result, (tuple, list)) or len(result) != 2:
                raise CallError("INTERNAL", "reset() must return (observation, info), not "
                                f"{_shown(result)}")
            observation, info = result
            text = "[" + self._observation(observation, "reset()") + "," + \
                self._info(info, "reset()") + "]"
            self._in_episode = True
            self._steps = 0
            return text

    def step(self, action_json):
        """Applies an action (JSON text); a StepAnswer with the JSON text of
        [observation, reward, terminated, truncated, info]."""
        value = parse(action_json, "the action")
        with self._lock:
            env = self._need_env("step()")
            if not self._in_episode:
                raise CallError("FAILED_PRECONDITION", "step() before reset()")
            action = self._action(env, value)
            self._steps += 1
            which = f"step {self._steps} of the episode"
            result = self._run("step()", env.step, action)
            if not isinstance(result, (tuple, list)) or len(result) != 5:
                raise CallError("INTERNAL", f"{which}: step() must return (observation, reward, "
                                f"terminated, truncated, info), not {_shown(result)}")
            observation, reward, terminated, truncated, info = result
            try:
                parts = [number_json(reward, "the reward"),
                         flag_json(terminated, "terminated"), flag_json(truncated, "truncated")]
            except UnsendableValue as error:
                raise CallError("INTERNAL", f"{which}: {error}") from None
            parts = [self._observation(observation, which), *parts, self._info(info, which)]
            return StepAnswer("[" + ",".join(parts) + "]", parts[2] == "true" or
                              parts[3] == "true")

    def close(self):
        """Closes the env; velko stops the process afterwards."""
        with self._lock:
            self._close_env()

    # --- helpers ---

    def _close_env(self):
        env, self._env = self._env, None
        self._in_episode = False
        close = getattr(env, "close", None)
        if callable(close):
            self._run("close()", close)

    def _need_env(self, call):
        if self._env is None:
            raise CallError("FAILED_PRECONDITION", f"{call} before the env was made (Make)")
        return self._env

    def _run(self, what, fn, *args, **kwargs):
        """Calls the env; its exception becomes an UNKNOWN status (and a traceback on
        standard error for the sim's author)."""
        try:
            return fn(*args, **kwargs)
        except Exception as error:  # the env's failure, whatever it is
            print(f"{what} failed:", file=sys.stderr)
            traceback.print_exc(file=sys.stderr)
            sys.stderr.flush()
            raise CallError("UNKNOWN", exception_message(error)) from None

    def _attribute(self, env, name):
        try:
            return getattr(env, name)
        except AttributeError:
            raise CallError("INTERNAL", f"the env has no {name}") from None
        except Exception as error:
            raise CallError("UNKNOWN", exception_message(error)) from None

    def _action(self, env, value):
        """The action for the env, read against its action space."""
        space = self._attribute(env, "action_space")
        try:
            return action_from_json(space, value)
        except BadRequest:
            raise
        except Exception as error:  # a space that does not hold what its kind has
            raise CallError("INTERNAL", "the action space cannot read the action: " +
                            exception_message(error)) from None

    def _describe(self, attribute, names_key):
        """The description of the env's space, named by the mappings' names."""
        env = self._need_env(f"the {attribute.replace('_', ' ')}")
        where = "the observation space" if names_key == "sensors" else "the action space"
        try:
            description = describe_space(self._attribute(env, attribute), where)
            names = (self._mappings or {}).get(names_key)
            if names is not None:
                description = with_names(description, names, where)
            return description
        except SpaceError as error:
            raise CallError("INTERNAL", str(error)) from None
        except Exception as error:  # a space that does not hold what its kind has
            raise CallError("INTERNAL", f"{where} cannot be described: "
                            f"{exception_message(error)}") from None

    def _observation(self, observation, which):
        """The JSON text of an observation; `which` names the call in a refusal."""
        try:
            return observation_json(observation)
        except UnsendableValue:
            pass
        # Name the sensor: slot paths of the observation space's variables to their names.
        try:
            names = {path: name for path, name in
                     variables(self._describe("observation_space", "sensors")) if name}
        except CallError:
            names = {}
        try:
            return observation_json(observation, names)
        except UnsendableValue as error:
            raise CallError("INTERNAL", f"{which}: {error}") from None

    def _info(self, info, which):
        try:
            return info_json(info)
        except UnsendableValue as error:
            raise CallError("INTERNAL", f"{which}: {error}") from None


def _shown(value):
    """A short account of a wrong answer: its type, and its length for a tuple or list."""
    if isinstance(value, (tuple, list)):
        return f"a {type(value).__name__} of {len(value)}"
    return f"a {type(value).__name__}"
