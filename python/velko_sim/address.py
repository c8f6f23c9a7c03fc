"""Where a sim serves: the start-up contract of docs/sim-protocol.md.

velko appends `--host H --port P` to the sim's command and also sets VELKO_SIM_HOST and
VELKO_SIM_PORT; the command line wins. Other arguments belong to the sim.
"""

import os
import re


class AddressError(ValueError):
    """No usable port was given."""


def option(argv, name):
    """The value of `--name value` or `--name=value` in argv (without the program), or None.
    The last one given wins."""
    found = None
    for i, arg in enumerate(argv):
        if arg == name and i + 1 < len(argv):
            found = argv[i + 1]
        elif arg.startswith(name + "="):
            found = arg[len(name) + 1:]
    return found


def address(argv, environ=None):
    """(host, port) to serve on. Raises AddressError when the port is missing or is not a
    decimal number from 1 to 65535."""
    environ = os.environ if environ is None else environ
    host = option(argv, "--host") or environ.get("VELKO_SIM_HOST") or "localhost"
    port_text = option(argv, "--port")
    if port_text is None:
        port_text = environ.get("VELKO_SIM_PORT", "")
    if not re.fullmatch(r"[0-9]{1,5}", port_text) or not 1 <= int(port_text) <= 65535:
        shown = f" (got {port_text!r})" if port_text else ""
        raise AddressError(f"give the port to serve on: --port N (or VELKO_SIM_PORT){shown}")
    return host, int(port_text)
