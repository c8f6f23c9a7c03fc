"""@SIM_NAME@: a velko sim written in Python, in the Gymnasium style.

A room warmed by a heater while the weather outside drifts. Observation: the room's and the
outside temperature (°C). Action: the heater's power, 0 (off), 1 (half) or 2 (full). Make it
your own: change the spaces, reset() and step(), and name the variables in mappings.json as
your dataset's columns are named. `velko sim validate .` checks it over the protocol.
"""

import json
import os
import random

from velko_sim import serve
# With Gymnasium installed, `from gymnasium.spaces import Box, Discrete` works the same.
from velko_sim.spaces import Box, Discrete

HERE = os.path.dirname(os.path.abspath(__file__))


class Env:
    """The env, made with the run's settings (velko sim validate --env-init '{...}')."""

    def __init__(self, settings):
        self.target = float(settings.get("target_temperature", 21.0))
        self.max_steps = int(settings.get("max_steps", 200))
        self.observation_space = Box(low=-50.0, high=100.0, shape=(2,), dtype="float64")
        self.action_space = Discrete(3)
        self.random = random.Random()

    def reset(self, seed=None, options=None):
        """Starts an episode. The same seed starts the same episode, which is how velko
        replays a recorded episode from where it started; without one the random source goes
        on (a Gymnasium env would call `super().reset(seed=seed)` and use `self.np_random`)."""
        if seed is not None:
            self.random.seed(seed)
        self.outside = self.random.uniform(-5.0, 15.0)
        self.room = self.random.uniform(15.0, 20.0)
        self.steps = 0
        return self._observation(), {}

    def step(self, action):
        """One step: (observation, reward, terminated, truncated, info)."""
        power = int(action)
        self.outside = min(max(self.outside + self.random.gauss(0.0, 0.2), -20.0), 35.0)
        # The room loses heat to the outside and gains 1 °C a step per unit of power.
        self.room += 0.05 * (self.outside - self.room) + 1.0 * power
        self.steps += 1
        reward = -abs(self.room - self.target)
        truncated = self.steps >= self.max_steps
        return self._observation(), reward, False, truncated, {"power": power}

    def _observation(self):
        return [self.room, self.outside]


if __name__ == "__main__":
    with open(os.path.join(HERE, "mappings.json"), encoding="utf-8") as mappings:
        serve(Env, mappings=json.load(mappings))
