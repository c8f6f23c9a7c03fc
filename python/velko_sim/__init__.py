"""velko_sim: write a velko sim in Python, in the Gymnasium style.

    from velko_sim import serve
    serve(make_env, mappings={"sensors": [...], "actions": [...]})

make_env(settings) returns an env with `observation_space`, `action_space`,
`reset(seed=None, options=None) -> (observation, info)` and
`step(action) -> (observation, reward, terminated, truncated, info)`; serve() speaks velko's
sim protocol for it (docs/sim-protocol.md). The spaces may be Gymnasium's, those of
`velko_sim.spaces` or JSON descriptions (docs/spaces.md). An env that `gymnasium.make` builds
is served without code by `python3 -m velko_sim serve ENV_ID --sensors ... --actions ...`.
"""

from .describe import SpaceError, describe_space, mappings_of, variables, with_names
from .json_values import info_json, observation_json


def serve(make_env, mappings=None, **options):
    """Serves the env of make_env until SIGTERM; see velko_sim.server.serve."""
    from .server import serve as run  # brings gRPC and the generated stubs
    return run(make_env, mappings, **options)


__all__ = ["serve", "describe_space", "mappings_of", "variables", "with_names", "SpaceError",
           "observation_json", "info_json"]
