"""A pendulum to swing up, in the Gymnasium style, on velko_sim: the benchmarks' Python sim
beside the water tank.

It behaves as Gymnasium's classic Pendulum: a pole of length 1 and mass 1 under gravity 10,
torque in [-2, 2] applied for 0.05 s a step, angular speed clipped to [-8, 8]. Observation:
[cos(theta), sin(theta), theta_dot]; reward: -(theta² + 0.1 theta_dot² + 0.001 torque²), the
angle taken in [-pi, pi); an episode is truncated after 200 steps. A seeded reset draws the
angle from [-pi, pi] and the speed from [-1, 1] with that seed. Written without numpy, which
velko_sim does not need.
"""

import math
import random

from velko_sim import serve
from velko_sim.spaces import Box

MAX_SPEED = 8.0
MAX_TORQUE = 2.0
DT = 0.05
GRAVITY = 10.0
MASS = 1.0
LENGTH = 1.0
MAX_EPISODE_STEPS = 200


def angle_normalize(x):
    """The angle `x` in [-pi, pi)."""
    return ((x + math.pi) % (2 * math.pi)) - math.pi


class PendulumEnv:
    """The pendulum; `settings` may hold "seed", the random source's first seed."""

    def __init__(self, settings):
        self.observation_space = Box(low=[-1.0, -1.0, -MAX_SPEED], high=[1.0, 1.0, MAX_SPEED],
                                     dtype="float32")
        self.action_space = Box(low=-MAX_TORQUE, high=MAX_TORQUE, shape=(1,), dtype="float32")
        self.random = random.Random(settings.get("seed"))
        self.theta = 0.0
        self.theta_dot = 0.0
        self.steps = 0

    def _observation(self):
        return [math.cos(self.theta), math.sin(self.theta), self.theta_dot]

    def reset(self, seed=None, options=None):
        if seed is not None:
            self.random = random.Random(seed)
        self.theta = self.random.uniform(-math.pi, math.pi)
        self.theta_dot = self.random.uniform(-1.0, 1.0)
        self.steps = 0
        return self._observation(), {}

    def step(self, action):
        torque = min(max(float(action[0]), -MAX_TORQUE), MAX_TORQUE)
        theta, theta_dot = self.theta, self.theta_dot
        cost = angle_normalize(theta) ** 2 + 0.1 * theta_dot ** 2 + 0.001 * torque ** 2
        theta_dot += (3 * GRAVITY / (2 * LENGTH) * math.sin(theta) +
                      3.0 / (MASS * LENGTH ** 2) * torque) * DT
        theta_dot = min(max(theta_dot, -MAX_SPEED), MAX_SPEED)
        self.theta = theta + theta_dot * DT
        self.theta_dot = theta_dot
        self.steps += 1
        return self._observation(), -cost, False, self.steps >= MAX_EPISODE_STEPS, {}


if __name__ == "__main__":
    serve(PendulumEnv, mappings={"sensors": ["cos_theta", "sin_theta", "theta_dot"],
                                 "actions": ["torque"]})
