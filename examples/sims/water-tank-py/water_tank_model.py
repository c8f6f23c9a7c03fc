"""A water tank filled by a staged pump and drained through a valve.

The same model as the C++ example's water_tank_model.{h,cpp}: the same parameters, settings
and checks, the same random source (a 64-bit Mersenne Twister seeded per episode with
SplitMix64) and the same arithmetic in the same order, so the same settings and actions give
the same readings, bit for bit.
"""

import math

GRAVITY = 9.81          # m/s²
WATER_DENSITY = 1000.0  # kg/m³
SUBSTEPS = 10           # integration steps per step
MAX_PUMP_STAGE = 3      # pump stages are 0 (off) to 3
_MASK64 = (1 << 64) - 1

# The tank's parameters with their defaults: physical ones, noise, episodes.
DEFAULTS = {
    "tank_area": 2.0,             # m², the tank's cross-section
    "max_level": 3.0,             # m; water above it spills over
    "initial_level": 1.0,         # m, at the start of an episode
    "outlet_area": 0.005,         # m², effective outlet area with the valve fully open
    "pump_flow_per_stage": 0.008, # m³/s delivered by each pump stage
    "dt": 1.0,                    # s, the time of one step
    "inflow_noise": 0.0,          # m³/s, standard deviation of the pump's flow disturbance
    "sensor_noise": 0.0,          # standard deviation added to each reading, in its unit
    "target_level": 2.0,          # m, the level that the reward favours
    "max_steps": 0,               # steps after which an episode is truncated; 0: never
    "seed": 0,                    # the random source of every episode derives from it
}


def _number(settings, name):
    value = settings[name]
    if isinstance(value, bool) or not isinstance(value, (int, float)) or \
            not math.isfinite(value):
        raise ValueError(f'the setting "{name}" must be a number')
    return float(value)


def _integer(settings, name, fallback):
    if name not in settings:
        return fallback
    value = settings[name]
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f'the setting "{name}" must be an integer of at least 0')
    return value


def parameters_from_settings(settings):
    """The parameters named in `settings` over the defaults; other members are ignored.
    Raises ValueError naming a member whose value is not allowed."""
    p = dict(DEFAULTS)
    rules = [
        ("tank_area", lambda v: v > 0, "above 0"),
        ("max_level", lambda v: v > 0, "above 0"),
        ("outlet_area", lambda v: v >= 0, "at least 0"),
        ("pump_flow_per_stage", lambda v: v >= 0, "at least 0"),
        ("dt", lambda v: 0 < v <= 3600, "above 0 and at most 3600"),
        ("inflow_noise", lambda v: v >= 0, "at least 0"),
        ("sensor_noise", lambda v: v >= 0, "at least 0"),
        ("initial_level", lambda v: 0 <= v <= p["max_level"], "from 0 to max_level"),
        ("target_level", lambda v: 0 <= v <= p["max_level"], "from 0 to max_level"),
    ]
    for name, valid, rule in rules:
        if name in settings:
            value = _number(settings, name)
            if not valid(value):
                raise ValueError(f'the setting "{name}" must be {rule}')
            p[name] = value
    if p["initial_level"] > p["max_level"]:
        raise ValueError('the setting "initial_level" must be from 0 to max_level')
    p["seed"] = _integer(settings, "seed", p["seed"])
    if p["seed"] > _MASK64:
        raise ValueError('the setting "seed" must be an integer of at least 0')
    p["max_steps"] = _integer(settings, "max_steps", p["max_steps"])
    if p["max_steps"] >= 1 << 63:
        raise ValueError('the setting "max_steps" is too large')
    return p


def mix(x):
    """SplitMix64: spreads a seed over all bits."""
    x = (x + 0x9E3779B97F4A7C15) & _MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
    return x ^ (x >> 31)


class MersenneTwister64:
    """The 64-bit Mersenne Twister (std::mt19937_64): the same numbers as C++'s."""

    _N, _M = 312, 156
    _UPPER, _LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed=5489):
        self.seed(seed)

    def seed(self, seed):
        state = [seed & _MASK64]
        for i in range(1, self._N):
            previous = state[-1]
            state.append((6364136223846793005 * (previous ^ (previous >> 62)) + i) & _MASK64)
        self._state = state
        self._index = self._N

    def _twist(self):
        state, n, m = self._state, self._N, self._M
        for i in range(n):
            y = (state[i] & self._UPPER) | (state[(i + 1) % n] & self._LOWER)
            state[i] = state[(i + m) % n] ^ (y >> 1) ^ (0xB5026F5AA96619E9 if y & 1 else 0)
        self._index = 0

    def __call__(self):
        """The next 64-bit number."""
        if self._index >= self._N:
            self._twist()
        y = self._state[self._index]
        self._index += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y


class WaterTankModel:
    """The tank's state over an episode; deterministic for the same parameters, episode
    number and actions."""

    def __init__(self, parameters):
        self.parameters = parameters
        self._random = MersenneTwister64()
        self.level = parameters["initial_level"]
        self.inflow = 0.0
        self.outflow = 0.0
        self.spilled = 0.0  # water spilled over the rim during the last step, m³
        self.steps = 0

    def reset(self, episode):
        """Starts an episode at the initial level; the readings."""
        self._random.seed(mix(self.parameters["seed"] ^ mix(episode)))
        self.level = self.parameters["initial_level"]
        self.inflow = self.outflow = self.spilled = 0.0
        self.steps = 0
        return self._read()

    def step(self, valve_opening, pump_stage):
        """One step with the valve opening (clamped to 0..1) and the pump stage (clamped to
        0..MAX_PUMP_STAGE); the readings."""
        p = self.parameters
        valve_opening = min(max(valve_opening if math.isfinite(valve_opening) else 0.0, 0.0),
                            1.0)
        pump_stage = min(max(pump_stage, 0), MAX_PUMP_STAGE)

        disturbance = p["inflow_noise"] * self._normal() if p["inflow_noise"] > 0 else 0.0
        inflow = max(0.0, pump_stage * p["pump_flow_per_stage"] + disturbance) \
            if pump_stage > 0 else 0.0
        h = p["dt"] / SUBSTEPS
        outflow_volume = 0.0
        self.spilled = 0.0
        for _ in range(SUBSTEPS):
            # Torricelli: the outflow grows with the square root of the water's height.
            outflow = valve_opening * p["outlet_area"] * math.sqrt(2 * GRAVITY * self.level)
            level = self.level + h * (inflow - outflow) / p["tank_area"]
            if level > p["max_level"]:
                self.spilled += (level - p["max_level"]) * p["tank_area"]
                level = p["max_level"]
            # The tank cannot give more water than it holds.
            if level < 0:
                outflow = self.level * p["tank_area"] / h + inflow
                level = 0.0
            outflow_volume += outflow * h
            self.level = level
        self.inflow = inflow
        self.outflow = outflow_volume / p["dt"]
        self.steps += 1
        return self._read()

    def reward(self):
        """The closer the level to the target, the higher (at most 0)."""
        return -abs(self.level - self.parameters["target_level"])

    def _read(self):
        """[tank_level (m), inflow (m³/s), outflow (m³/s), pressure (kPa at the bottom)]."""
        noise = self.parameters["sensor_noise"]

        def sensed(value):
            return value + noise * self._normal() if noise > 0 else value

        return [sensed(self.level), sensed(self.inflow), sensed(self.outflow),
                sensed(WATER_DENSITY * GRAVITY * self.level / 1000.0)]

    def _uniform(self):
        return (float(self._random() >> 11) + 0.5) * 2.0 ** -53

    def _normal(self):
        """A standard normal draw (Box-Muller on the raw bits, as the C++ model)."""
        return math.sqrt(-2.0 * math.log(self._uniform())) * math.cos(2.0 * math.pi *
                                                                      self._uniform())
