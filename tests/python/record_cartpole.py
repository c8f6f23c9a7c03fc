"""Records episodes of gymlike's CartPole-like env as a dataset folder of the local compute
node, each episode reset with the seed that a report run gives it (docs/sim-protocol.md), so
that the env served as a sim replays them from where they started.

    record_cartpole.py FOLDER --episodes N [--run-seed S] [--id ID]

The actions are random (from a generator of their own); an episode ends where the env ends
it, or after 200 steps.
"""

import argparse
import json
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import gymlike  # noqa: E402

SENSORS = ["cart_position", "cart_velocity", "pole_angle", "pole_angular_velocity"]


def episode_seed(run_seed, episode_id_json):
    """The seed of a report run's reset of one episode (docs/sim-protocol.md)."""
    h = 14695981039346656037
    for byte in f"{run_seed}:{episode_id_json}".encode():
        h = ((h ^ byte) * 1099511628211) % 2**64
    return (h ^ (h >> 33)) % 2**31


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--episodes", type=int, required=True)
    parser.add_argument("--run-seed", type=int, default=0)
    parser.add_argument("--id", default="5b7e0c1a-0000-4000-8000-0000000c0001")
    args = parser.parse_args()
    env = gymlike.make("CartPoleLike-v1")
    actions = np.random.default_rng(12345)
    lines = [",".join(["episode"] + SENSORS + ["push"])]
    for episode in range(args.episodes):
        # Episode labels are integers, so the node identifies each by its number.
        observation, _ = env.reset(seed=episode_seed(args.run_seed, json.dumps(episode)))
        lines.append(",".join([str(episode)] + [repr(float(v)) for v in observation] + [""]))
        for _ in range(200):
            push = int(actions.integers(2))
            observation, _, terminated, truncated, _ = env.step(push)
            lines.append(",".join([str(episode)] + [repr(float(v)) for v in observation] +
                                  [str(push)]))
            if terminated or truncated:
                break
    os.makedirs(args.folder, exist_ok=True)
    with open(os.path.join(args.folder, "runs.csv"), "w") as out:
        out.write("\n".join(lines) + "\n")
    columns = [{"header": name, "id": name, "role": "sensor"} for name in SENSORS]
    columns.append({"header": "push", "id": "push", "role": "action"})
    with open(os.path.join(args.folder, "dataset.json"), "w") as out:
        json.dump({"id": args.id, "name": "cartpole-runs", "csv": "runs.csv",
                   "episode_column": "episode", "columns": columns}, out)


if __name__ == "__main__":
    main()
