"""The Python examples of docs/sim-protocol.md and docs/spaces.md, as a newcomer copies them:
the sims serve and step, the registered env's command line serves it, and the script prints
what the page says. Gymnasium's place is taken by tests/python/stand_in_gymnasium."""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from sim_support import HERE, SOURCE_DIR, SimProcess, python_env


def blocks(page, section=None):
    """The code blocks of docs/<page> (from the heading `section` on): [(language, text)]."""
    with open(os.path.join(SOURCE_DIR, "docs", page), encoding="utf-8") as docs:
        text = docs.read()
    if section:
        text = text[text.index(section):]
    return re.findall(r"```(\w+)\n(.*?)```", text, re.S)


def with_stand_in():
    """The environment of a sim that imports gymnasium."""
    env = python_env()
    env["PYTHONPATH"] = os.pathsep.join([os.path.join(HERE, "stand_in_gymnasium"),
                                         env["PYTHONPATH"]])
    return env


class DocsExamples(unittest.TestCase):

    def setUp(self):
        found = blocks("sim-protocol.md", "## Writing a sim in Python")
        self.python = [code for language, code in found if language == "python"]
        self.json = [code for language, code in found if language == "json"]
        self.assertEqual(len(self.python), 2, "the page's Python examples changed: test them")
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def sim(self, code, env=None):
        """The example `code` written as sim.py and started."""
        script = os.path.join(self.folder.name, "sim.py")
        with open(script, "w", encoding="utf-8") as out:
            out.write(code)
        return SimProcess([sys.executable, script], env=env)

    def test_the_example_serves_its_tank(self):
        code = self.python[0]
        self.assertLessEqual(len(code.splitlines()), 35)
        with self.sim(code) as sim:
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

    def test_a_registered_env_in_code_and_without(self):
        command = json.loads(self.json[1])["command"]
        self.assertEqual(command[:3], ["/usr/bin/python3", "-m", "velko_sim"])
        starts = []
        for label in ("sim.py", "velko-sim.json"):
            with self.subTest(label), (
                    self.sim(self.python[1], with_stand_in()) if label == "sim.py" else
                    SimProcess(command, env=with_stand_in())) as sim:
                sim.call("Init")
                sim.call("Make", env_init_json='{"sim_address": "x"}')
                mappings = json.loads(sim.call("GetMappings").json)
                self.assertEqual(mappings["action_space"]["mappings"],
                                 [{"name": " ", "name_mapped": "push"}])
                self.assertEqual([m["name_mapped"] for m in
                                  mappings["sensor_space"]["mappings"]],
                                 ["cart_position", "cart_velocity", "pole_angle",
                                  "pole_angular_velocity"])
                starts.append(json.loads(sim.call("Reset", seed=3).json)[0])
                self.assertEqual(json.loads(sim.call("Step", action_json="1").json)[1], 1.0)
        self.assertEqual(starts[0], starts[1])

    def test_the_mappings_of_spaces_md_are_printed_as_shown(self):
        found = blocks("spaces.md")
        at = [language for language, _ in found].index("python")
        (_, code), (language, printed) = found[at], found[at + 1]
        self.assertEqual(language, "text")
        result = subprocess.run([sys.executable, "-c", code], env=python_env(),
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, printed)


if __name__ == "__main__":
    unittest.main()
