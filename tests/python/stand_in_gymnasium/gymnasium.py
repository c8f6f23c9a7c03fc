"""A stand-in for Gymnasium's `make` and `spec` over the envs of tests/python/gymlike.py, for
the tests that serve registered envs: Gymnasium is not installed here. Put this folder and
tests/python on PYTHONPATH. "CartPole-v1" is gymlike's CartPole-like env."""

import gymlike

_ALIASES = {"CartPole-v1": "CartPoleLike-v1"}


def spec(env_id):
    """Raises for an id that is not registered, as Gymnasium's spec does."""
    if _ALIASES.get(env_id, env_id) not in gymlike.REGISTRY:
        raise LookupError(f"Environment `{env_id}` doesn't exist.")


def make(env_id, **kwargs):
    """The registered env, wrapped in its time limit."""
    return gymlike.make(_ALIASES.get(env_id, env_id), **kwargs)
