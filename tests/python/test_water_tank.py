"""The Python water tank (examples/sims/water-tank-py) against the C++ one: the same spaces,
mappings, settings checks and readings, bit for bit, through its launcher."""

import json
import os
import unittest

from sim_support import SOURCE_DIR, SimProcess, python_env

BIN_DIR = os.environ.get("VELKO_BIN_DIR", os.path.join(SOURCE_DIR, "build", "bin"))
PYTHON_DIR = os.environ.get("VELKO_PYTHON_DIR", os.path.join(SOURCE_DIR, "build", "python"))
LAUNCHER = os.path.join(SOURCE_DIR, "examples", "sims", "water-tank-py", "run-sim")

# Openings and stages beyond their range are clamped.
ACTIONS = [(0.5, 2), (0.0, 3), (1.0, 0), (0.25, 2), (1.5, -1), (-1, 7), (0.75, 1),
           (0.3333333333333333, 2), (0.0, 3), (0.0, 3)]


@unittest.skipUnless(os.path.exists(os.path.join(BIN_DIR, "velko-water-tank-sim")),
                     "the C++ water tank is not built")
class SameAsTheCppTank(unittest.TestCase):

    def setUp(self):
        self.cpp = SimProcess([os.path.join(BIN_DIR, "velko-water-tank-sim")])
        self.addCleanup(self.cpp.close)
        self.python = SimProcess([LAUNCHER], env=python_env({"VELKO_SIM_PYTHONPATH":
                                                             PYTHON_DIR}))
        self.addCleanup(self.python.close)
        self.sims = (self.cpp, self.python)

    def both(self, name, **fields):
        """The parsed answers of both sims to one call."""
        return [json.loads(sim.call(name, **fields).json) for sim in self.sims]

    def test_same_spaces_mappings_and_readings(self):
        settings = json.dumps({"seed": 11, "sensor_noise": 0.02, "inflow_noise": 0.001,
                               "initial_level": 2.9, "max_steps": 25, "sim_address": "x"})
        for sim in self.sims:
            sim.call("Init")
            sim.call("Make", env_init_json=settings)
        for call in ("GetMappings", "SensorSpaceInfo", "ActionSpaceInfo"):
            cpp, python = self.both(call)
            self.assertEqual(python, cpp, call)
        truncated = 0
        for episode in range(2):
            cpp, python = self.both("Reset")
            self.assertEqual(python, cpp)
            for i in range(25):
                valve, stage = ACTIONS[(i + episode) % len(ACTIONS)]
                action = json.dumps({"valve_opening": valve, "pump_stage": stage})
                cpp, python = self.both("Step", action_json=action)
                # Exact: floats compare equal only when they are the same double.
                self.assertEqual(python, cpp, f"episode {episode}, step {i}: {action}")
                truncated += cpp[3]
        self.assertEqual(truncated, 2)

    def test_same_refusals_of_settings(self):
        for settings in ({"tank_area": -1}, {"dt": 3601}, {"seed": -1}, {"seed": 1.5},
                         {"initial_level": 4}, {"max_level": "high"}):
            with self.subTest(settings):
                cpp, python = [sim.failure("Make", env_init_json=json.dumps(settings))[1]
                               for sim in self.sims]
                self.assertEqual(python, cpp)


if __name__ == "__main__":
    unittest.main()
