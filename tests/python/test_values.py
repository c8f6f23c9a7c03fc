"""JSON text of what a sim sends (numpy values, exact numbers, NaN) and reads."""

import json
import math
import subprocess
import sys
import types
import unittest

import numpy as np

from velko_sim.json_values import (BadRequest, UnsendableValue, flag_json, info_json,
                                   number_json, observation_json, parse)


class Sending(unittest.TestCase):
    """Observations, infos, rewards and flags."""

    def test_numpy_values_become_json_numbers_and_lists(self):
        observation = {"a": np.arange(4, dtype=np.int64).reshape(2, 2),
                       "b": (np.float32(0.1), np.bool_(True), np.int32(-3)),
                       "c": np.array([1.5, 2.0], dtype=np.float64), "d": np.float64(2.0)}
        self.assertEqual(observation_json(observation),
                         '{"a":[[0,1],[2,3]],"b":[0.10000000149011612,true,-3],'
                         '"c":[1.5,2.0],"d":2.0}')

    def test_numbers_read_back_exactly_and_ints_stay_ints(self):
        values = [0.1, 1e-310, 2.0 ** 60, -0.0, 1 / 3, 5e-324, 1.7976931348623157e308]
        text = observation_json(values + [3, 2 ** 70])
        self.assertEqual(parse(text, "x"), values + [3, 2 ** 70])
        self.assertEqual([type(v) for v in parse("[1, 1.0, 1e2]", "x")], [int, float, float])
        self.assertEqual(number_json(np.float32(0.5), "r"), "0.5")
        self.assertEqual(number_json(7, "r"), "7")
        self.assertEqual(number_json(np.int64(-2), "r"), "-2")

    def test_nan_in_an_observation_is_refused_naming_the_sensor(self):
        names = {"['tank'][1]": "inflow"}
        cases = [({"tank": [1.0, math.nan]}, "the observation's sensor 'inflow' (['tank'][1]) "
                                             "is nan"),
                 ({"tank": np.array([1.0, np.inf])}, "the observation's sensor 'inflow' "
                                                     "(['tank'][1]) is inf"),
                 ([[0.0, -math.inf]], "the observation's sensor at [0][1] is -inf"),
                 (np.float32("nan"), "the observation is nan")]
        for observation, message in cases:
            with self.subTest(message):
                with self.assertRaises(UnsendableValue) as raised:
                    observation_json(observation, names)
                self.assertTrue(str(raised.exception).startswith(message),
                                str(raised.exception))
        # None is a reading without a value.
        self.assertEqual(observation_json([None, 1.0]), "[null,1.0]")

    def test_integers_beyond_a_double_are_refused_naming_the_part(self):
        # Python cannot even write an int of 5000 digits; velko cannot read one of 309.
        huge = 10 ** 4999
        self.assertEqual(observation_json([2 ** 1024 - 2 ** 970 - 1])[:5], "[1797")
        for call, message in [
                (lambda: observation_json([1.0, huge], {"[1]": "level"}),
                 "the observation's sensor 'level' ([1]) is an integer of 5000 digits"),
                (lambda: observation_json({"tank": [-10 ** 400]}),
                 "the observation's sensor at ['tank'][0] is an integer of 401 digits"),
                (lambda: observation_json([2 ** 1024 - 2 ** 970]),
                 "the observation's sensor at [0] is an integer of 309 digits"),
                (lambda: number_json(huge, "the reward"), "the reward is an integer of 5000 "
                                                          "digits")]:
            with self.subTest(message):
                with self.assertRaises(UnsendableValue) as raised:
                    call()
                self.assertEqual(str(raised.exception),
                                 message + ", beyond the range of a double (about 1.8e308) "
                                           "that velko reads")
        # A text of digits is no number; an info sends such integers as null.
        self.assertEqual(observation_json({"id": "7" * 400}), '{"id":"' + "7" * 400 + '"}')
        self.assertEqual(info_json({"x": [huge, 10 ** 320, 5]}), '{"x":[null,null,5]}')

    def test_values_json_cannot_carry_are_refused_naming_where(self):
        with self.assertRaisesRegex(UnsendableValue, r"the observation holds a set at \[1\]"):
            observation_json([1, {2}])
        with self.assertRaisesRegex(UnsendableValue, r"the info holds the key \(1, 2\) at "
                                                     r"\['x'\] is not a text"):
            info_json({"x": {(1, 2): 3}})

    def test_an_info_sends_nan_as_null_where_a_reward_refuses_it(self):
        self.assertEqual(json.loads(info_json({"x": [math.nan, np.float32("inf")], "y": 1})),
                         {"x": [None, None], "y": 1})
        with self.assertRaisesRegex(UnsendableValue, "the reward is nan; JSON has no NaN"):
            number_json(np.float64("nan"), "the reward")

    def test_what_the_protocol_rules_out_is_refused_saying_what_was_given(self):
        cases = [
            (number_json, True, "the reward is a bool (True), not a real number"),
            (number_json, np.array([1.0]), "the reward is a numpy array of shape (1,)"),
            (number_json, np.array(2.5), "the reward is a numpy array of shape ()"),
            (number_json, np.bool_(False), "the reward is a bool_ (False), not a real number"),
            (number_json, None, "the reward is None, not a real number"),
            (flag_json, np.array([True]), "the reward is a numpy array of shape (1,)"),
            (flag_json, None, "the reward is None, not a bool"),
            (info_json, [("a", 1)], "the reward is a list ([('a', 1)]), not a map"),
        ]
        for convert, value, message in cases:
            with self.subTest(message):
                with self.assertRaises(UnsendableValue) as raised:
                    convert(value, "the reward")
                self.assertTrue(str(raised.exception).startswith(message),
                                str(raised.exception))
        # Numpy's numbers and bools, and any mapping, are what they stand for.
        self.assertEqual([number_json(np.float32(0.25), "r"), number_json(np.uint8(3), "r"),
                          flag_json(np.bool_(True), "t"), flag_json(False, "t"),
                          info_json(types.MappingProxyType({"a": np.int32(1)}))],
                         ["0.25", "3", "true", "false", '{"a":1}'])


class Reading(unittest.TestCase):
    """JSON text from velko."""

    def test_what_is_not_json_is_refused(self):
        for text, message in [("NaN", "NaN is not a JSON number"),
                              ("[Infinity]", "Infinity is not a JSON number"),
                              ("{", "the action is not valid JSON"),
                              ("[" * 50000 + "]" * 50000, "the action is nested too deeply"),
                              ("[1e999]", "the action holds the number 1e999, beyond the "
                                          "range of a double"),
                              ('{"v": -2e308}', "the action holds the number -2e308")]:
            with self.subTest(text[:10]):
                with self.assertRaises(BadRequest) as raised:
                    parse(text, "the action")
                self.assertIn(message, str(raised.exception))


class WithoutNumpy(unittest.TestCase):
    """The package works where numpy cannot be imported."""

    def test_package_and_server_import_and_convert_without_numpy(self):
        script = (
            "import sys; sys.modules['numpy'] = None\n"
            "import velko_sim, velko_sim.server\n"
            "from velko_sim.spaces import Box, Dict, Discrete\n"
            "from velko_sim.actions import action_from_json\n"
            "space = Dict(v=Box(0.0, 1.0, shape=(2,)), d=Discrete(2))\n"
            "print(velko_sim.describe_space(space)['spaces']['v']['high'])\n"
            "print(action_from_json(space, {'v': [0.5, 1], 'd': 1}))\n"
            "print(velko_sim.observation_json((1, 2.5, None)))\n")
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, "[1.0, 1.0]\n{'v': [0.5, 1], 'd': 1}\n[1,2.5,null]\n")


if __name__ == "__main__":
    unittest.main()
