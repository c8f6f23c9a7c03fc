"""The calls on a sim's env apart from gRPC: what of a reset's seed and options reaches envs of
each kind of reset, and the refusal of answers that break the protocol's types, naming the
step."""

import unittest

from velko_sim.session import CallError, Session
from velko_sim.spaces import Box


class Recorder:
    """An env whose reset records the arguments it was given; `answer` is what step returns
    (after a step count), `reset_answer` what reset returns."""

    def __init__(self, settings):
        self.observation_space = Box(-10.0, 10.0, shape=(1,), dtype="float64")
        self.action_space = Box(0.0, 1.0, shape=(1,), dtype="float64")
        self.resets = []
        self.answer = ([0.0], 0.0, False, False, {})
        self.reset_answer = ([0.0], {})

    def step(self, action):
        return self.answer


def recorder(reset_code):
    """A Recorder class whose reset is defined by `reset_code` (its arguments and how it
    records them)."""
    scope = {}
    exec(f"def reset{reset_code}", scope)
    return type("Env", (Recorder,), {"reset": scope["reset"]})


class Seeding(unittest.TestCase):

    def test_seed_and_options_reach_a_reset_as_far_as_it_takes_them(self):
        kinds = {
            "gymnasium": "(self, *, seed=None, options=None):\n"
                         "    self.resets.append((seed, options)); return self.reset_answer",
            "seed only": "(self, seed=None):\n"
                         "    self.resets.append((seed, '-')); return self.reset_answer",
            "neither": "(self):\n    self.resets.append(('-', '-')); return self.reset_answer",
            "keywords": "(self, **kw):\n    self.resets.append((kw.get('seed', '-'), "
                        "kw.get('options', '-'))); return self.reset_answer",
        }
        # (env_init, [(seed, options_json) of each Reset]) -> what each kind's resets got.
        cases = [
            ("{}", [(5, '{"level": 2}')], {"gymnasium": [(5, {"level": 2})],
                                           "seed only": [(5, "-")], "neither": [("-", "-")],
                                           "keywords": [(5, {"level": 2})]}),
            # The settings' seed goes to the first reset that has none of its own.
            ('{"seed": 7}', [(None, ""), (None, ""), (3, "")],
             {"gymnasium": [(7, None), (None, None), (3, None)],
              "seed only": [(7, "-"), (None, "-"), (3, "-")],
              "neither": [("-", "-")] * 3,
              "keywords": [(7, "-"), ("-", "-"), (3, "-")]}),
            ('{"seed": 7}', [(0, "")], {"gymnasium": [(0, None)], "seed only": [(0, "-")],
                                        "neither": [("-", "-")], "keywords": [(0, "-")]}),
        ]
        for env_init, resets, expected in cases:
            for kind, code in kinds.items():
                with self.subTest(env_init=env_init, resets=resets, kind=kind):
                    envs = []
                    env_class = recorder(code)
                    session = Session(lambda settings: envs.append(env_class(settings)) or
                                      envs[-1])
                    session.make(env_init)
                    for seed, options in resets:
                        session.reset(seed, options)
                    self.assertEqual(envs[0].resets, expected[kind])


class Types(unittest.TestCase):
    """Answers of reset and step that the protocol rules out."""

    def test_refusals_name_the_step_and_what_was_given(self):
        cases = [
            ("step", ([0.0], "-1.5", False, False, {}), "step 2 of the episode: the reward is "
             "a str ('-1.5'), not a real number (an int, a float or a numpy number)"),
            ("step", ([0.0], 0.0, False, 1, {}), "step 2 of the episode: truncated is an int "
             "(1), not a bool"),
            ("step", ([0.0], 0.0, False, False, None), "step 2 of the episode: the info is "
             "None, not a map (a dict)"),
            ("step", ([0.0], 0.0, False, False), "step 2 of the episode: step() must return "
             "(observation, reward, terminated, truncated, info), not a tuple of 4"),
            ("step", ([float("nan")], 0.0, False, False, {}), "step 2 of the episode: the "
             "observation's sensor 'level' ([0]) is nan; JSON has no NaN or infinity: give "
             "None for a reading without a value (sent as null)"),
            ("reset", [0.0], "reset() must return (observation, info), not a list of 1"),
            ("reset", ([0.0], None), "reset(): the info is None, not a map (a dict)"),
        ]
        for call, answer, message in cases:
            with self.subTest(message):
                env = Recorder({})
                env.reset = lambda seed=None, options=None: env.reset_answer
                session = Session(lambda settings: env, {"sensors": ["level"]})
                session.make("{}")
                session.reset()
                session.step("[0.5]")
                setattr(env, "answer" if call == "step" else "reset_answer", answer)
                with self.assertRaises(CallError) as raised:
                    session.step("[0.5]") if call == "step" else session.reset()
                self.assertEqual((raised.exception.status, raised.exception.message),
                                 ("INTERNAL", message))


if __name__ == "__main__":
    unittest.main()
