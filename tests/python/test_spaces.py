"""Space descriptions of each kind of Gymnasium-style space, their variables and slot paths,
names, and actions read against a space."""

import math
import unittest

import numpy as np

from velko_sim import SpaceError, describe_space, mappings_of, variables, with_names
from velko_sim import spaces
from velko_sim.actions import action_from_json
from velko_sim.json_values import BadRequest

import gymlike as gym


class Descriptions(unittest.TestCase):
    """describe_space for each kind, from Gymnasium-like and from velko_sim's own spaces."""

    def test_boxes(self):
        inf = math.inf
        # Per-element bounds, an infinite bound as null, integer dtypes as integers.
        self.assertEqual(describe_space(gym.Box(np.array([0, -inf]), np.array([1.5, inf]),
                                                dtype=np.float64)),
                         {"type": "box", "shape": [2], "dtype": "float64",
                          "low": [0.0, None], "high": [1.5, None]})
        self.assertEqual(describe_space(gym.Box(0, 255, (2, 1), np.uint8)),
                         {"type": "box", "shape": [2, 1], "dtype": "int32",
                          "low": [[0], [0]], "high": [[255], [255]]})
        # A float32 bound is sent as its exact value, and shape () as a single number.
        self.assertEqual(describe_space(gym.Box(0.1, 1, ())),
                         {"type": "box", "shape": [], "dtype": "float32",
                          "low": float(np.float32(0.1)), "high": 1.0})
        self.assertEqual(describe_space(spaces.Box(0, [1, 2], dtype="int64")),
                         {"type": "box", "shape": [2], "dtype": "int64",
                          "low": [0, 0], "high": [1, 2]})
        self.assertEqual(describe_space(spaces.Box(None, 1.0, shape=(1,)))["low"], [None])

    def test_discrete_and_multi_spaces(self):
        for kind in (gym, spaces):
            with self.subTest(kind.__name__):
                self.assertEqual(describe_space(kind.Discrete(3)),
                                 {"type": "discrete", "n": 3})
                self.assertEqual(describe_space(kind.Discrete(3, start=-1)),
                                 {"type": "discrete", "n": 3, "start": -1})
                self.assertEqual(describe_space(kind.MultiDiscrete([2, 5])),
                                 {"type": "multi_discrete", "nvec": [2, 5]})
                self.assertEqual(describe_space(kind.MultiBinary(4)),
                                 {"type": "multi_binary", "n": 4})

    def test_dict_and_tuple_keep_their_order(self):
        # Members given as keywords keep their order, where a mapping's keys are sorted.
        space = gym.Dict(z=gym.Discrete(2),
                         a=gym.Tuple([gym.MultiBinary([3]), spaces.Discrete(4)]))
        description = describe_space(space)
        self.assertEqual(list(description["spaces"]), ["z", "a"])
        self.assertEqual(description["spaces"]["a"], {"type": "tuple", "spaces": [
            {"type": "multi_binary", "n": 3}, {"type": "discrete", "n": 4}]})

    def test_a_description_passes_as_it_is(self):
        description = {"type": "box", "shape": [1], "low": 0, "high": 1, "names": ["x"]}
        self.assertEqual(describe_space(description), description)

    def test_what_the_format_cannot_hold_is_refused_naming_where(self):
        cases = [
            (gym.Text(), "the space is a Text, which has no space description"),
            (gym.Dict({"a": gym.Box(0, 1, (1,), np.bool_)}),
             "the space['a'] is a Box of dtype bool"),
            (gym.MultiDiscrete([[2, 3], [4, 5]]), "the space has nvec of more than one"),
            (gym.MultiDiscrete([2, 3], start=[1, 0]), "the space is a MultiDiscrete with a "
                                                      "start other than 0"),
            (gym.MultiBinary((2, 2)), "the space is a MultiBinary of shape [2, 2]"),
            (gym.Tuple([gym.Box(np.array([np.nan]), np.array([1.0]))]),
             "the space[0]'s low[0] is NaN"),
            (gym.Dict({1: gym.Discrete(2)}), "the space has the key 1: keys must be texts"),
            ({"shape": [1]}, "the space is a dict without a \"type\""),
        ]
        for space, message in cases:
            with self.subTest(message):
                with self.assertRaises(SpaceError) as raised:
                    describe_space(space)
                self.assertTrue(str(raised.exception).startswith(message),
                                str(raised.exception))


class Variables(unittest.TestCase):
    """Slot paths and names of the variables, in velko's order."""

    def test_order_and_slot_paths(self):
        description = describe_space(spaces.Dict({
            "grid": spaces.Box(0, 1, shape=(2, 2)),
            "t": spaces.Tuple([spaces.Discrete(2), spaces.MultiBinary(2)]),
            "it's [odd]\\\n": spaces.Discrete(3)}))
        self.assertEqual([path for path, _ in variables(description)], [
            "['grid'][0][0]", "['grid'][0][1]", "['grid'][1][0]", "['grid'][1][1]",
            "['t'][0]", "['t'][1][0]", "['t'][1][1]",
            "['it\\'s \\x5bodd\\x5d\\\\\\x0a']"])
        # A single scalar has the empty slot path.
        self.assertEqual(variables({"type": "discrete", "n": 2, "name": "gear"}),
                         [("", "gear")])

    def test_names_go_into_the_description_and_the_mappings(self):
        description = with_names(describe_space(spaces.Dict(
            valve=spaces.Box(0.0, 1.0, shape=()), pump=spaces.Discrete(4),
            flags=spaces.MultiBinary(2))), {"valve": "valve", "pump": "pump",
                                            "flags": [None, "b"]})
        self.assertEqual(description["spaces"]["valve"]["names"], ["valve"])
        self.assertEqual(description["spaces"]["pump"]["name"], "pump")
        self.assertEqual(description["spaces"]["flags"]["names"], [None, "b"])
        self.assertEqual(mappings_of(description), [
            {"name": "['valve']", "name_mapped": "valve"},
            {"name": "['pump']", "name_mapped": "pump"},
            {"name": "['flags'][0]"},
            {"name": "['flags'][1]", "name_mapped": "b"}])

    def test_mappings_pair_names_with_dict_keys_and_address_a_whole_value(self):
        valve, pump = gym.Box(0.0, 1.0, ()), gym.Discrete(4)
        tank = gym.Dict({"valve_opening": valve, "pump_stage": pump})  # sorted: pump first
        both = [{"name": "['pump_stage']", "name_mapped": "pump_stage"},
                {"name": "['valve_opening']", "name_mapped": "valve_opening"}]
        cases = [
            # A space that is one value is addressed as a whole, by a path of blanks.
            ("Discrete", gym.Discrete(2), ["push"], [{"name": " ", "name_mapped": "push"}]),
            ("Box of shape ()", gym.Box(-1, 1, ()), None, [{"name": " "}]),
            ("MultiBinary", gym.MultiBinary(2), ["a", None],
             [{"name": "[0]", "name_mapped": "a"}, {"name": "[1]"}]),
            # Names pair with a Dict's keys by name, in whatever order they are written.
            ("keys as written", tank, ["valve_opening", "pump_stage"], both),
            ("no names", tank, None, both),
            ("some keys", tank, ["pump_stage"], both),
            ("keys to names", gym.Dict({"v": valve, "pos": gym.Box(0, 1, (2,))}),
             {"pos": ["x", None], "v": "valve"},
             [{"name": "['pos'][0]", "name_mapped": "x"}, {"name": "['pos'][1]"},
              {"name": "['v']", "name_mapped": "valve"}]),
            # A member of one variable is named by its key; others are not.
            ("members", gym.Dict({"level": gym.Box(0, 1, (1,)), "pos": gym.Box(0, 1, (2,)),
                                  "mode": {"type": "discrete", "n": 2, "name": "gear"}}), None,
             [{"name": "['level'][0]", "name_mapped": "level"},
              {"name": "['mode']", "name_mapped": "gear"},
              {"name": "['pos'][0]"}, {"name": "['pos'][1]"}]),
            ("a key in a tuple", gym.Tuple([gym.Dict({"a": pump})]), None, [{"name": "[0]['a']"}]),
        ]
        for label, space, names, expected in cases:
            with self.subTest(label):
                description = describe_space(space)
                if names is not None:
                    description = with_names(description, names)
                self.assertEqual(mappings_of(description), expected)

    def test_names_must_fit_the_variables(self):
        tank = gym.Dict({"valve_opening": gym.Box(0.0, 1.0, ()), "pump_stage": gym.Discrete(4)})
        cases = [
            (tank, ["valve", "pump_stage"], "'valve' is not a key of the space, a dict whose "
             "names pair with its keys by name (its keys: 'pump_stage', 'valve_opening'); give "
             "its keys, or a map {key: name} to name its members otherwise"),
            (tank, [None, None], "None is not a key of the space"),
            (tank, {"valve": "v"}, "'valve' is not a key of the space"),
            (gym.Dict({"pos": gym.Box(0, 1, (2,))}), ["pos"], "the space['pos'] has 2 "
             "variables, which one name cannot name; give its 2 names as a list: "
             "{'pos': [...]}"),
            (gym.Box(0, 1, (2,)), {"a": "b"}, "names given as a map {key: names} fit a dict "
             "space, and the space is a box; give a list of names"),
            (gym.Dict({"pos": gym.Box(0, 1, (2,))}), {"pos": ["x"]},
             "1 names were given for the 2 variables of the space['pos']"),
            (spaces.Box(0, 1, shape=(2,)), ["a", "b", "c"],
             "3 names were given for the 2 variables"),
            (spaces.Discrete(2), [7], "name 0 of the space is a int"),
        ]
        for space, names, message in cases:
            with self.subTest(message):
                with self.assertRaises(SpaceError) as raised:
                    with_names(describe_space(space), names)
                self.assertEqual(str(raised.exception)[:len(message)], message)


class Actions(unittest.TestCase):
    """The JSON action as the env receives it."""

    def test_gymnasium_spaces_give_numpy_values(self):
        space = gym.Dict(v=gym.Box(0, 1, (2,), np.float32), d=gym.Discrete(3),
                         t=gym.Tuple([gym.MultiBinary(2), gym.MultiDiscrete([3])]))
        action = action_from_json(space, {"t": [[1, 0], [2]], "d": 2, "v": [0.5, 0.25]})
        self.assertEqual(list(action), ["v", "d", "t"])
        self.assertEqual(action["v"].dtype, np.float32)
        np.testing.assert_array_equal(action["v"], [0.5, 0.25])
        self.assertEqual(action["d"], 2)
        self.assertIsInstance(action["t"], tuple)
        self.assertEqual(action["t"][0].dtype, np.int8)

    def test_velko_spaces_and_descriptions_give_plain_values(self):
        space = spaces.Dict(v=spaces.Box(0.0, 1.0, shape=()), d=spaces.Discrete(3))
        self.assertEqual(action_from_json(space, {"v": 0.5, "d": 2.0}), {"v": 0.5, "d": 2})
        self.assertEqual(action_from_json({"type": "box"}, "anything"), "anything")

    def test_values_that_do_not_fit_the_space_are_bad_requests(self):
        cases = [(gym.Box(0, 1, (2,)), [1], "the action must be a list of 2 elements"),
                 (gym.Box(0, 1, ()), None, "the action must be a number, not None"),
                 (gym.Box(0, 1, (), np.int32), 2 ** 40, "the action must be an integer from -2147483648 to 2147483647"),
                 (gym.Discrete(2), 1.5, "the action must be an integer, not 1.5"),
                 (gym.MultiBinary(2), [1, 0.5], "the action must hold integers, not 0.5"),
                 (gym.Dict({"a": gym.Discrete(2)}), {"b": 1}, "the action has no 'a'"),
                 (gym.Tuple([gym.Discrete(2)]), [1, 1], "the action must be a list of 1")]
        for space, value, message in cases:
            with self.subTest(message):
                with self.assertRaises(BadRequest) as raised:
                    action_from_json(space, value)
                self.assertTrue(str(raised.exception).startswith(message),
                                str(raised.exception))


if __name__ == "__main__":
    unittest.main()
