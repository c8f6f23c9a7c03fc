"""Registered envs served without code (`python3 -m velko_sim serve ENV_ID`) and the CartPole-like
sim of the docs' one-liner, over gRPC: Gymnasium-shaped envs as velko meets them. Gymnasium is
not installed here: a stand-in module (tests/python/stand_in_gymnasium) makes gymlike's envs."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

from sim_support import HERE, SERVE_TIMEOUT_S, SimProcess, free_port, python_env

STAND_IN = os.path.join(HERE, "stand_in_gymnasium")
CARTPOLE_SIM = os.path.join(HERE, "sims", "cartpole_like_sim.py")


def with_stand_in():
    """The environment of a sim that finds the stand-in for Gymnasium."""
    env = python_env()
    env["PYTHONPATH"] = os.pathsep.join([STAND_IN, env["PYTHONPATH"]])
    return env


def serve_command(*args):
    return [sys.executable, "-m", "velko_sim", "serve", *args]


def started(sim, env_init="{}"):
    sim.call("Init")
    sim.call("Make", env_init_json=env_init)
    return sim


def answer(sim, name, **fields):
    return json.loads(sim.call(name, **fields).json)


class Refusals(unittest.TestCase):
    """What keeps the command from serving, with its exit status and message."""

    def test_what_cannot_be_served_is_said_before_serving(self):
        cases = [
            ("CartPole-v1", [], python_env(), 1, "python3 -m velko_sim serve: Gymnasium is not "
             f"installed for {sys.executable}: install it for that Python"),
            ("CartPole-v9", [], with_stand_in(), 1, "python3 -m velko_sim serve: 'CartPole-v9' "
             "is not an env that Gymnasium knows: LookupError: Environment `CartPole-v9` "
             "doesn't exist."),
            ("CartPole-v1", ["--kwargs", "[1]"], with_stand_in(), 2,
             "--kwargs must be a JSON object"),
        ]
        for env_id, args, env, status, message in cases:
            with self.subTest(message):
                result = subprocess.run(
                    serve_command(env_id, "--actions", "push", *args, "--port", str(free_port())),
                    env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                    timeout=SERVE_TIMEOUT_S)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)


class Serving(unittest.TestCase):

    def test_a_registered_env_with_dict_spaces_and_numpy_answers(self):
        # The sensors are named in the order the env's author wrote its keys; the Dict sorted
        # them, and each name pairs with its key.
        with tempfile.NamedTemporaryFile("w", suffix=".json") as mappings:
            json.dump({"actions": {"heat": "heater", "mode": "mode"}}, mappings)
            mappings.flush()
            with SimProcess(serve_command(
                    "HeaterLike-v0", "--mappings", mappings.name,
                    "--sensors", "temperature", "power", "mode",
                    "--kwargs", '{"max_episode_steps": 3}'), env=with_stand_in()) as sim:
                started(sim, '{"seed": 4}')
                self.assertEqual(answer(sim, "GetMappings"), {
                    "sensor_space": {"mappings": [
                        {"name": "['mode']", "name_mapped": "mode"},
                        {"name": "['power'][0]", "name_mapped": "power"},
                        {"name": "['temperature']", "name_mapped": "temperature"}]},
                    "action_space": {"mappings": [
                        {"name": "['heat']", "name_mapped": "heater"},
                        {"name": "['mode']", "name_mapped": "mode"}]}})
                # Infinite float32 bounds are no bounds; a Discrete keeps its start.
                sensors = answer(sim, "SensorSpaceInfo")
                self.assertEqual((sensors["spaces"]["temperature"]["low"],
                                  sensors["spaces"]["power"]["high"],
                                  sensors["spaces"]["mode"]["start"]), (None, [None], 1))
                # Make's seed starts the first episode, a reset's seed any other, alike.
                first = answer(sim, "Reset")
                self.assertEqual(answer(sim, "Reset", seed=4), first)
                self.assertNotEqual(answer(sim, "Reset", seed=5), first)
                observation, info = answer(sim, "Reset", options_json='{"temperature": 30}')
                self.assertEqual((observation["temperature"], info), (30.0, {"start": 30.0}))
                steps = [answer(sim, "Step", action_json='{"heat": 1.0, "mode": 3}')
                         for _ in range(3)]
                observation, reward, terminated, truncated, info = steps[0]
                self.assertEqual((observation["mode"], observation["power"]), (3, [3.0]))
                self.assertAlmostEqual(reward, -(observation["temperature"] - 21), places=4)
                self.assertEqual(sorted(info), ["energy", "trace"])
                # The time limit truncates the third step.
                self.assertEqual([(s[2], s[3]) for s in steps],
                                 [(False, False), (False, False), (False, True)])

    def test_the_cartpole_like_one_liner_with_a_changed_constant(self):
        def push(observation):  # holds the pole up
            x, x_dot, theta, theta_dot = observation
            return int(theta + 0.5 * theta_dot + 0.05 * x + 0.1 * x_dot > 0)

        runs, actions = [], []
        for constants in ("{}", '{"half_length": 0.6}'):
            with SimProcess([sys.executable, CARTPOLE_SIM, "--constants", constants]) as sim:
                started(sim)
                # The action is the whole value of a top-level Discrete.
                self.assertEqual(answer(sim, "GetMappings")["action_space"],
                                 {"mappings": [{"name": " ", "name_mapped": "push"}]})
                self.assertEqual(answer(sim, "ActionSpaceInfo"),
                                 {"type": "discrete", "n": 2, "name": "push"})
                observation = start = answer(sim, "Reset", seed=11)[0]
                # The first run chooses its pushes; the second replays them.
                for i in range(500):
                    if not runs:
                        actions.append(push(observation))
                    observation, _, terminated, truncated, _ = answer(
                        sim, "Step", action_json=str(actions[i]))
                    if terminated or truncated:
                        break
                runs.append((i + 1, terminated, truncated, start))
        held, fell = runs
        self.assertEqual(held[:3], (500, False, True))  # the time limit truncates the episode
        self.assertEqual(fell[3], held[3])              # the seed starts both alike
        self.assertEqual(fell[1:3], (True, False))      # the longer pole falls
        self.assertLess(fell[0], 100)


if __name__ == "__main__":
    unittest.main()
