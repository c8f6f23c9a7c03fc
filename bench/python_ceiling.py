"""The ceiling of a Python sim: its env stepped by velko_sim's own session code (the Session
that the gRPC service calls) in a plain loop, with no gRPC, over the actions that velko sent it.

    python_ceiling.py SIM_FILE ENV_CLASS ACTIONS_FILE

SIM_FILE is the sim's Python file (its folder goes on the path, for its own modules), ENV_CLASS
the env class in it, ACTIONS_FILE a JSON list of episodes, each a list of action JSON texts as
velko sent them (build/bin/sim_speed writes it). Each episode starts with an unseeded reset
after one Make, as velko's replay does. Prints "STEPS SECONDS CPU_SECONDS" of the stepping
alone, the resets included; velko_sim is taken from the path (build/python).
"""

import importlib.util
import json
import os
import sys
import time

from velko_sim.session import Session


def main(sim_file, env_class, actions_file):
    sys.path.insert(0, os.path.dirname(os.path.abspath(sim_file)))
    spec = importlib.util.spec_from_file_location("bench_sim", sim_file)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    with open(actions_file, encoding="utf-8") as source:
        episodes = json.load(source)
    session = Session(getattr(module, env_class))
    session.make("{}")
    steps = 0
    started, cpu_started = time.perf_counter(), time.process_time()
    for actions in episodes:
        session.reset()
        for action in actions:
            session.step(action)
        steps += len(actions)
    print(steps, time.perf_counter() - started, time.process_time() - cpu_started)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
