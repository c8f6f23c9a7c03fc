"""A Python sim on velko_sim that misbehaves on request, for the tests.

    faulty_sim.py [--fault KIND [N]] --host H --port P

One sensor "level", one action "valve"; the level is the sum of the valve openings. Faults:
error-in-step N (raises RuntimeError("the valve is stuck") in step N), key-error-in-step N,
hang-in-step N (prints "hanging in step N", unflushed, and waits in step N for good),
nan-in-step N (NaN in the observation), end-in-step N (terminates the episode in step N),
one-at-a-time (does not take steps sent ahead), error-in-make, text-space (an observation space
that has no description), never-serve (waits for good before serving) and ignore-sigterm.
"""

import math
import signal
import sys
import threading
import time

from velko_sim import serve
from velko_sim.spaces import Box


def fault():
    """(kind, n) of --fault KIND [N]."""
    argv = sys.argv[1:]
    if "--fault" not in argv:
        return None, 0
    i = argv.index("--fault")
    kind = argv[i + 1]
    n = int(argv[i + 2]) if i + 2 < len(argv) and argv[i + 2].isdigit() else 1
    return kind, n


KIND, N = fault()


class Text:
    """A space of texts, which the spaces format does not hold."""


class ValveEnv:
    """The level is the sum of the valve openings."""

    def __init__(self, settings):
        if KIND == "error-in-make":
            raise ValueError('the setting "gain" must be a number')
        self.observation_space = Text() if KIND == "text-space" else \
            Box(0.0, 1e9, shape=(1,), dtype="float64")
        self.action_space = Box(0.0, 1.0, shape=(1,), dtype="float64")
        self.settings = settings
        self.level = 0.0
        self.steps = 0

    def reset(self, seed=None, options=None):
        self.level = 0.0
        return [self.level], {"settings": self.settings, "seed": seed, "options": options}

    def step(self, action):
        self.steps += 1
        if self.steps == N:
            if KIND == "error-in-step":
                raise RuntimeError("the valve is stuck")
            if KIND == "key-error-in-step":
                raise KeyError("valve")
            if KIND == "nan-in-step":
                return [math.nan], 0.0, False, False, {}
            if KIND == "end-in-step":
                self.level += action[0]
                return [self.level], 0.0, True, False, {"steps": self.steps}
            if KIND == "hang-in-step":
                print(f"hanging in step {self.steps}")  # serve() makes stdout line-buffered
                threading.Event().wait()
        self.level += action[0]
        return [self.level], 0.0, False, False, {"steps": self.steps}


def main():
    mappings = {"sensors": ["level"], "actions": ["valve"]}
    if KIND == "never-serve":
        print("loading for good", flush=True)
        while True:
            time.sleep(3600)
    if KIND == "ignore-sigterm":
        # The process ignores SIGTERM: the main thread, which does not block it, drops it,
        # and the thread that serves never sees it.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        threading.Thread(target=serve, args=(ValveEnv, mappings), daemon=True).start()
        while True:
            time.sleep(3600)
    serve(ValveEnv, mappings, steps_ahead=KIND != "one-at-a-time")


if __name__ == "__main__":
    main()
