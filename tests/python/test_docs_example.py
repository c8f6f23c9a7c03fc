"""The Python sim of docs/sim-protocol.md, as a newcomer copies it, serves and steps."""

import json
import os
import re
import sys
import tempfile
import unittest

from sim_support import SOURCE_DIR, SimProcess


def docs_example():
    """The first Python block of the section "Writing a sim in Python"."""
    with open(os.path.join(SOURCE_DIR, "docs", "sim-protocol.md"), encoding="utf-8") as docs:
        text = docs.read()
    section = text[text.index("## Writing a sim in Python"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


class DocsExample(unittest.TestCase):

    def test_the_example_serves_its_tank(self):
        code = docs_example()
        self.assertLessEqual(len(code.splitlines()), 35)
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "sim.py")
            with open(script, "w", encoding="utf-8") as out:
                out.write(code)
            with SimProcess([sys.executable, script]) as sim:
                sim.call("Init")
                sim.call("Make", env_init_json='{"tank_area": 1.0, "sim_address": "x"}')
                mappings = json.loads(sim.call("GetMappings").json)
                self.assertEqual(
                    [m["name_mapped"] for m in mappings["action_space"]["mappings"]],
                    ["valve_opening", "pump_stage"])
                self.assertEqual(json.loads(sim.call("Reset").json), [[1.0], {}])
                observation, reward, terminated, truncated, _ = json.loads(sim.call(
                    "Step", action_json='{"valve_opening": 0.0, "pump_stage": 2}').json)
                self.assertEqual(observation, [1.016])
                self.assertAlmostEqual(reward, -0.984)
                self.assertEqual((terminated, truncated), (False, False))


if __name__ == "__main__":
    unittest.main()
