"""Spaces and envs that behave as Gymnasium's do where velko meets them, for the tests
(Gymnasium is not packaged for Debian).

Spaces: numpy-backed attributes of Gymnasium's classes. `Dict` sorts the keys of a mapping it
is given (keyword members keep their order), `Discrete(n, start)` holds numpy integers, `Box`
takes infinite float32 bounds.

Envs: `Env.reset(*, seed=None, options=None)` seeds the env's numpy generator `np_random` as
Gymnasium does; `TimeLimit` truncates an episode after a number of steps; `CartPoleLike` is a
pole on a cart with a top-level Discrete action, observations as float32 arrays; `HeaterLike`
has Dict spaces and answers numpy scalars and arrays in its rewards, flags and infos.
`make(env_id, max_episode_steps=None, **kwargs)` builds a registered env wrapped in its time
limit, as `gymnasium.make` does.
"""

import math

import numpy as np


# --- Spaces ---------------------------------------------------------------------------------

class Box:
    """Numbers of a shape within bounds, as numpy arrays of the dtype."""

    def __init__(self, low, high, shape=None, dtype=np.float32):
        self.dtype = np.dtype(dtype)
        shape = tuple(shape) if shape is not None else np.shape(low) or np.shape(high)
        self.shape = tuple(int(size) for size in shape)
        self.low = np.broadcast_to(np.asarray(low, dtype=self.dtype), self.shape).copy()
        self.high = np.broadcast_to(np.asarray(high, dtype=self.dtype), self.shape).copy()


class Discrete:
    """One integer from start to start + n - 1; n and start are numpy integers."""

    def __init__(self, n, start=0):
        self.n, self.start, self.dtype = np.int64(n), np.int64(start), np.dtype(np.int64)
        self.shape = ()

    def contains(self, x):
        return isinstance(x, (int, np.integer)) and self.start <= x < self.start + self.n


class MultiDiscrete:
    """Integers, element i from start[i] to start[i] + nvec[i] - 1."""

    def __init__(self, nvec, start=None):
        self.nvec = np.asarray(nvec, dtype=np.int64)
        self.start = np.zeros_like(self.nvec) if start is None else np.asarray(start)
        self.shape, self.dtype = self.nvec.shape, np.dtype(np.int64)


class MultiBinary:
    """n integers (n an int or a shape), each 0 or 1, of dtype int8."""

    def __init__(self, n):
        self.n = n
        self.shape = (n,) if isinstance(n, int) else tuple(n)
        self.dtype = np.dtype(np.int8)


class Dict:
    """Named member spaces. A mapping's keys are sorted, as Gymnasium sorts them; members given
    as keywords follow in their order."""

    def __init__(self, spaces=None, **more):
        if spaces is None:
            spaces = {}
        try:
            self.spaces = dict(sorted(dict(spaces).items()))
        except TypeError:  # keys that do not compare
            self.spaces = dict(spaces)
        for key, space in more.items():
            self.spaces.setdefault(key, space)

    def __getitem__(self, key):
        return self.spaces[key]


class Tuple:
    """Member spaces in order."""

    def __init__(self, spaces):
        self.spaces = tuple(spaces)


class Text:
    """A space of texts, which velko's space descriptions do not hold."""


# --- Envs -----------------------------------------------------------------------------------

class Env:
    """The base of the envs: the random generator and the seeding of reset."""

    _np_random = None

    @property
    def np_random(self):
        """The env's generator; seeded from the operating system until a reset seeds it."""
        if self._np_random is None:
            self._np_random = np.random.default_rng()
        return self._np_random

    def reset(self, *, seed=None, options=None):
        """Seeds the generator when a seed is given (a generator of the seed's own, as
        Gymnasium makes it); the env's reset goes on from there."""
        if seed is not None:
            self._np_random = np.random.default_rng(seed)

    def close(self):
        pass

    @property
    def unwrapped(self):
        return self


class TimeLimit:
    """An env whose episodes are truncated after max_episode_steps steps."""

    def __init__(self, env, max_episode_steps):
        self.env = env
        self.max_episode_steps = max_episode_steps
        self.observation_space = env.observation_space
        self.action_space = env.action_space
        self._elapsed = 0

    def reset(self, *, seed=None, options=None):
        self._elapsed = 0
        return self.env.reset(seed=seed, options=options)

    def step(self, action):
        observation, reward, terminated, truncated, info = self.env.step(action)
        self._elapsed += 1
        if self._elapsed >= self.max_episode_steps:
            truncated = True
        return observation, reward, terminated, truncated, info

    def close(self):
        self.env.close()

    @property
    def unwrapped(self):
        return self.env.unwrapped


class CartPoleLike(Env):
    """A pole hinged on a cart that a push moves left (0) or right (1). The observation is the
    cart's position and velocity and the pole's angle and angular velocity (float32); the
    reward is 1 per step; the episode ends when the pole leans beyond 12 degrees or the cart
    leaves the track. The physical constants are arguments, so that a test can change one."""

    def __init__(self, gravity=9.8, cart_mass=1.0, pole_mass=0.1, half_length=0.5,
                 force=10.0, tau=0.02):
        self.gravity, self.cart_mass, self.pole_mass = gravity, cart_mass, pole_mass
        self.half_length, self.force, self.tau = half_length, force, tau
        self.angle_limit = 12 * 2 * math.pi / 360
        self.position_limit = 2.4
        largest = np.finfo(np.float32).max
        high = np.array([self.position_limit * 2, largest, self.angle_limit * 2, largest],
                        dtype=np.float32)
        self.observation_space = Box(-high, high, dtype=np.float32)
        self.action_space = Discrete(2)
        self.state = None

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        self.state = self.np_random.uniform(low=-0.05, high=0.05, size=(4,))
        return np.array(self.state, dtype=np.float32), {}

    def step(self, action):
        if not self.action_space.contains(action):
            raise ValueError(f"{action!r} is not an action of the space")
        x, x_dot, theta, theta_dot = self.state
        force = self.force if action == 1 else -self.force
        cos, sin = math.cos(theta), math.sin(theta)
        total_mass = self.cart_mass + self.pole_mass
        pole_moment = self.pole_mass * self.half_length
        temp = (force + pole_moment * theta_dot ** 2 * sin) / total_mass
        theta_acc = (self.gravity * sin - cos * temp) / (
            self.half_length * (4.0 / 3.0 - self.pole_mass * cos ** 2 / total_mass))
        x_acc = temp - pole_moment * theta_acc * cos / total_mass
        x, x_dot = x + self.tau * x_dot, x_dot + self.tau * x_acc
        theta, theta_dot = theta + self.tau * theta_dot, theta_dot + self.tau * theta_acc
        self.state = (x, x_dot, theta, theta_dot)
        terminated = bool(abs(x) > self.position_limit or abs(theta) > self.angle_limit)
        return np.array(self.state, dtype=np.float32), 1.0, terminated, False, {}


class HeaterLike(Env):
    """A room that a heater warms, with Dict spaces written in an order of their own (the Dict
    sorts them): observation {"temperature": float32 Box of shape () without bounds, "power":
    float32 Box of shape (1,) from 0 with no upper bound, "mode": Discrete(3, start=1)}; action
    {"heat": Box 0..1 of shape (), "mode": Discrete(3, start=1)}. The readings carry noise from
    the env's generator; options {"temperature": T} set where an episode starts. Rewards are
    numpy float32, flags numpy bools, infos hold numpy scalars and arrays."""

    def __init__(self, loss=0.1, noise=0.01):
        self.loss, self.noise = loss, noise
        inf = np.inf
        self.observation_space = Dict({"temperature": Box(-inf, inf, (), np.float32),
                                       "power": Box(0.0, inf, (1,), np.float32),
                                       "mode": Discrete(3, start=1)})
        self.action_space = Dict({"heat": Box(0.0, 1.0, (), np.float32),
                                  "mode": Discrete(3, start=1)})
        self.temperature, self.power, self.mode = 0.0, 0.0, 1

    def reset(self, *, seed=None, options=None):
        super().reset(seed=seed)
        options = options or {}
        self.temperature = float(options.get("temperature", self.np_random.uniform(15, 20)))
        self.power, self.mode = 0.0, 1
        return self._observation(), {"start": np.float64(self.temperature)}

    def step(self, action):
        self.mode = int(action["mode"])
        self.power = float(action["heat"]) * self.mode
        self.temperature += (self.power - self.loss * (self.temperature - 10.0) +
                             self.noise * self.np_random.standard_normal())
        reward = np.float32(-abs(self.temperature - 21.0))
        terminated = np.bool_(self.temperature > 40.0)
        info = {"energy": np.float64(self.power), "trace": np.array([self.temperature])}
        return self._observation(), reward, terminated, np.bool_(False), info

    def _observation(self):
        return {"mode": self.mode, "power": np.array([self.power], dtype=np.float32),
                "temperature": np.array(self.temperature, dtype=np.float32)}


# The registered envs: id -> (the env's class, its time limit in steps).
REGISTRY = {
    "CartPoleLike-v1": (CartPoleLike, 500),
    "HeaterLike-v0": (HeaterLike, 200),
}


def make(env_id, max_episode_steps=None, **kwargs):
    """The env registered as env_id, made with kwargs and wrapped in its time limit (or
    max_episode_steps)."""
    if env_id not in REGISTRY:
        raise ValueError(f"no env is registered as {env_id!r}")
    kind, limit = REGISTRY[env_id]
    return TimeLimit(kind(**kwargs), max_episode_steps or limit)
