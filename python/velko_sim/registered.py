"""`python3 -m velko_sim serve ENV_ID`: serves an env that `gymnasium.make` builds, without code.

    python3 -m velko_sim serve CartPole-v1 \
        --sensors cart_position cart_velocity pole_angle pole_angular_velocity --actions push

velko appends `--host H --port P`, as to any sim. The names come from --sensors and --actions
(as serve()'s mappings take them: for a Dict space its keys), from a JSON file (--mappings
FILE, in serve()'s form), or both, the options winning over the file. --kwargs gives
`gymnasium.make` keyword arguments as a JSON object.
"""

import argparse
import importlib
import json
import sys

from .session import check_mappings, exception_message

# Exit statuses: a command line that cannot be used, and an env that cannot be served.
USAGE_ERROR = 2
NOT_SERVABLE = 1
# Largest mappings file read.
MAX_MAPPINGS_BYTES = 1 << 20

PROGRAM = "python3 -m velko_sim"


class Refusal(Exception):
    """Something that keeps the command from serving; `status` is its exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def parser():
    """The command line's parser."""
    top = argparse.ArgumentParser(prog=PROGRAM, description="Commands of velko_sim, the "
                                  "package for velko sims written in Python.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    serve = commands.add_parser(
        "serve", help="serve an env that gymnasium.make builds",
        description="Serves the env that gymnasium.make(ENV_ID) builds as a velko sim. "
                    "Needs Gymnasium installed for this Python.")
    serve.add_argument("env_id", metavar="ENV_ID", help="the env's id, as gymnasium.make takes it")
    serve.add_argument("--sensors", nargs="+", metavar="NAME",
                       help="names of the observation's variables in velko's order, or the "
                            "keys of a Dict space; \"\" leaves a variable unnamed")
    serve.add_argument("--actions", nargs="+", metavar="NAME",
                       help="names of the action's variables, as --sensors")
    serve.add_argument("--mappings", metavar="FILE",
                       help='a JSON file {"sensors": names, "actions": names}, as serve() '
                            "takes its mappings")
    serve.add_argument("--kwargs", metavar="JSON", default="{}",
                       help="a JSON object of keyword arguments for gymnasium.make")
    serve.add_argument("--one-at-a-time", action="store_true",
                       help="do not take steps sent ahead of their answers")
    serve.add_argument("--host", help="set by velko")
    serve.add_argument("--port", help="set by velko")
    return top


def read_mappings(path):
    """The mappings of a JSON file, checked as serve() checks them."""
    try:
        with open(path, "rb") as source:
            text = source.read(MAX_MAPPINGS_BYTES + 1)
    except OSError as error:
        raise Refusal(USAGE_ERROR, f"cannot read the mappings file {path}: "
                                   f"{error.strerror or error}") from None
    if len(text) > MAX_MAPPINGS_BYTES:
        raise Refusal(USAGE_ERROR, f"the mappings file {path} is larger than "
                                   f"{MAX_MAPPINGS_BYTES} bytes")
    try:
        mappings = json.loads(text)
        return check_mappings(mappings)
    except (ValueError, TypeError) as error:
        raise Refusal(USAGE_ERROR, f"the mappings file {path} is not usable: {error}") from None


def mappings_of(args):
    """The mappings of the command line: the file's, with --sensors and --actions over it."""
    mappings = read_mappings(args.mappings) if args.mappings else {}
    given = {key: [name or None for name in names]
             for key, names in (("sensors", args.sensors), ("actions", args.actions)) if names}
    if given and "sensor_space" in mappings:
        raise Refusal(USAGE_ERROR, "--sensors and --actions cannot change mappings given in "
                                   "the protocol's form; put the names in the file")
    mappings = dict(mappings, **given)
    return mappings or None


def make_kwargs(text):
    """The keyword arguments for gymnasium.make, from a JSON object."""
    try:
        kwargs = json.loads(text)
    except ValueError as error:
        raise Refusal(USAGE_ERROR, f"--kwargs is not valid JSON: {error}") from None
    if not isinstance(kwargs, dict):
        raise Refusal(USAGE_ERROR, "--kwargs must be a JSON object of keyword arguments")
    return kwargs


def gymnasium():
    """The gymnasium module, or a Refusal that says how to get it."""
    try:
        return importlib.import_module("gymnasium")
    except ImportError as error:
        if error.name != "gymnasium":
            raise Refusal(NOT_SERVABLE, "Gymnasium is installed but cannot be imported: "
                                        f"{exception_message(error)}") from None
        raise Refusal(NOT_SERVABLE, f"Gymnasium is not installed for {sys.executable}: install "
                                    "it for that Python (a virtual environment made with "
                                    "--system-site-packages keeps Debian's grpcio and "
                                    "protobuf), or serve an env of your own with "
                                    "velko_sim.serve (docs/sim-protocol.md)") from None


def check_registered(gym, env_id):
    """Refuses an id that Gymnasium does not know, before anything serves. An id with a module
    (`module:Env-v0`) is left to gymnasium.make, which imports the module."""
    spec = getattr(gym, "spec", None)
    if ":" in env_id or not callable(spec):
        return
    try:
        spec(env_id)
    except Exception as error:  # Gymnasium's own errors say what is wrong with the id
        raise Refusal(NOT_SERVABLE, f"{env_id!r} is not an env that Gymnasium knows: "
                                    f"{exception_message(error)}") from None


def serve_registered(args):
    """Serves the env of args.env_id until SIGTERM."""
    mappings = mappings_of(args)
    kwargs = make_kwargs(args.kwargs)
    gym = gymnasium()
    check_registered(gym, args.env_id)

    def make_env(settings):
        # The settings' seed reaches the first reset; velko's other settings are not make's.
        return gym.make(args.env_id, **kwargs)

    address = []
    if args.host is not None:
        address += ["--host", args.host]
    if args.port is not None:
        address += ["--port", args.port]
    from .server import serve  # brings gRPC and the generated stubs
    serve(make_env, mappings, argv=address, steps_ahead=not args.one_at_a_time)
    return 0


def main(argv=None):
    """Runs the command of argv (default: sys.argv[1:]); returns the exit status."""
    args = parser().parse_args(argv)
    try:
        return serve_registered(args)
    except Refusal as error:
        program = f"{PROGRAM} {args.command}"
        print(f"{program}: {error}", file=sys.stderr, flush=True)
        return error.status
