"""The demo's water tank as a sim written in Python on velko_sim.

Observation: a box of four readings named tank_level (m), inflow (m³/s), outflow (m³/s) and
pressure (kPa). Action: {"valve_opening": 0..1, "pump_stage": 0..3}. The parameters of
water_tank_model.py are settable through the run's settings, "seed" included. It gives the
same spaces, mappings and readings as the C++ example (examples/sims/water-tank).
"""

import math

from velko_sim import serve
from velko_sim.spaces import Box, Dict, Discrete

from water_tank_model import MAX_PUMP_STAGE, WaterTankModel, parameters_from_settings


def _number(action, name):
    """A finite number of the action: the valve opening comes as a float (a 0-d array where
    numpy is loaded), the pump stage as an int (velko_sim reads a Discrete value so)."""
    if name not in action:
        raise ValueError(f'the action has no "{name}"')
    value = action[name]
    if isinstance(value, bool):
        raise ValueError(f'the action\'s "{name}" is not a number')
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f'the action\'s "{name}" is not a number') from None
    if not math.isfinite(number):
        raise ValueError(f'the action\'s "{name}" is not finite')
    return number


class WaterTankEnv:
    """The tank in the Gymnasium style."""

    def __init__(self, settings):
        self.parameters = parameters_from_settings(settings)
        max_level = self.parameters["max_level"]
        inf = math.inf
        self.observation_space = Box(low=[0, 0, 0, 0], high=[max_level, inf, inf, 9.81 * max_level],
                                     dtype="float64")
        self.action_space = Dict(valve_opening=Box(0.0, 1.0, shape=(), dtype="float64"),
                                 pump_stage=Discrete(MAX_PUMP_STAGE + 1))
        self.model = WaterTankModel(self.parameters)
        self.episode = 0

    def reset(self, seed=None, options=None):
        # A seed starts the sequence of episodes again from that seed.
        if seed is not None:
            self.parameters["seed"] = seed
            self.episode = 0
        reading = self.model.reset(self.episode)
        self.episode += 1
        return reading, {}

    def step(self, action):
        if not isinstance(action, dict):
            raise ValueError("the action must be a map")
        valve = _number(action, "valve_opening")
        stage = int(_number(action, "pump_stage"))
        reading = self.model.step(valve, stage)
        max_steps = self.parameters["max_steps"]
        truncated = max_steps > 0 and self.model.steps >= max_steps
        return reading, self.model.reward(), False, truncated, {"spilled": self.model.spilled}


if __name__ == "__main__":
    serve(WaterTankEnv, mappings={
        "sensors": ["tank_level", "inflow", "outflow", "pressure"],
        "actions": ["valve_opening", "pump_stage"],
    })
