"""gymlike's CartPole-like env served as docs/sim-protocol.md serves a registered env, for the
tests: four named sensors and a top-level Discrete action named "push".

    cartpole_like_sim.py [--constants JSON] --host H --port P

--constants gives the env's physical constants (gymlike.CartPoleLike's arguments), such as
{"half_length": 0.6}, so that a test can replay recordings with a slightly wrong pole.
"""

import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import gymlike  # noqa: E402  (tests/python, put on the path above)
from velko_sim import serve  # noqa: E402
from velko_sim.address import option  # noqa: E402

constants = json.loads(option(sys.argv[1:], "--constants") or "{}")
serve(lambda settings: gymlike.make("CartPoleLike-v1", **constants),
      mappings={"sensors": ["cart_position", "cart_velocity", "pole_angle",
                            "pole_angular_velocity"],
                "actions": ["push"]})
