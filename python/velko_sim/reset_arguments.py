"""The arguments of an env's reset: the seed and options that velko sends, as far as the env's
reset takes them.

Gymnasium's envs have `reset(*, seed=None, options=None)`; older envs have `reset(self)` or
take a seed alone. An argument that the reset does not take is not passed, so such envs keep
working: a seed sent to a reset that takes none is dropped, and so are options.
"""

import inspect

_ARGUMENTS = ("seed", "options")


def accepted_arguments(reset):
    """The names among "seed" and "options" that the callable `reset` takes by keyword. Both
    when it takes any keyword (**kwargs) or when its signature cannot be read (a builtin)."""
    try:
        parameters = inspect.signature(reset).parameters.values()
    except (TypeError, ValueError):
        return set(_ARGUMENTS)
    if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters):
        return set(_ARGUMENTS)
    return {p.name for p in parameters if p.name in _ARGUMENTS and
            p.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)}


def reset_arguments(reset, seed=None, options=None):
    """The keyword arguments for `reset`: the seed and the options that are given (not None)
    and that it takes."""
    given = {name: value for name, value in (("seed", seed), ("options", options))
             if value is not None}
    if not given:
        return {}
    accepted = accepted_arguments(reset)
    return {name: value for name, value in given.items() if name in accepted}
