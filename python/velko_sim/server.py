"""serve(): a sim's process from start to stop, as docs/sim-protocol.md says.

Reads the address, takes the port for this process alone, serves the Sim service until
SIGTERM or SIGINT, then stops within a few seconds even when the env is stuck in a call.
gRPC's server runs on an asyncio event loop of a thread of its own; the main thread waits for
the stop signals.
"""

import asyncio
import concurrent.futures
import os
import signal
import sys
import threading

import grpc

from .address import AddressError, address
from .call_slots import CallSlots
from .service import SimService
from .session import Session
from .stubs import sim_pb2_grpc

# Largest request the sim accepts.
MAX_REQUEST_BYTES = 64 << 20
# How long calls in progress may take to end after a stop signal, and how long the whole stop
# may take before the process leaves without waiting (an env stuck in a step).
SHUTDOWN_GRACE_S = 1.0
SHUTDOWN_LIMIT_S = 3.0
# Threads that run the env for calls other than the step streams (which apply their steps on
# the event loop).
WORKERS = 8
# Calls other than Ping that run at once; one more is refused at once rather than queued.
# velko makes one call at a time, and its previous step stream may still be ending on the
# sim's side when the next call comes.
CALLS_AT_ONCE = WORKERS - 1
# Most steps taken in one batch (announced to velko when batches are on).
BATCH_STEPS = 256

_STOP_SIGNALS = {signal.SIGTERM, signal.SIGINT}


def _line_buffered():
    """Each line the sim prints reaches velko when it is printed."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(line_buffering=True)


def _leave(status, message):
    """Ends the process before serving, saying why on standard error."""
    print(message, file=sys.stderr, flush=True)
    raise SystemExit(status)


def serve(make_env, mappings=None, *, argv=None, environ=None, steps_ahead=True, batches=True,
          steps_on_loop=True):
    """Serves the env that make_env(settings) makes until SIGTERM or SIGINT; then returns.

    The address comes from `--host H --port P` in argv (default: sys.argv[1:]; other
    arguments are the sim's own) or from VELKO_SIM_HOST and VELKO_SIM_PORT in environ
    (default: os.environ). Exits with status 2 when no usable port is given and 1 when the
    port cannot be taken (velko then starts the sim again on another port).

    mappings: None (one mapping per variable of the spaces, named by their descriptions);
    {"sensors": names, "actions": names}, which also name the variables of the space
    descriptions: for a Dict space a list of its keys (each member named by its key) or a map
    {key: names}, for another space one name (or None) per variable in velko's order; or the
    protocol's own {"sensor_space": {"mappings": [...]}, "action_space": {...}}. A Dict
    member that is one variable without a name is named by its key.

    steps_ahead: whether velko may send the steps of an episode ahead of their answers
    (they still reach the env one at a time, in order, and none after the step that ended
    the episode). False has velko wait for each answer before it sends the next step.

    batches: whether velko may send those steps several to a message (StepBatches), which
    spares a message each way for every step. Only with steps_ahead.

    steps_on_loop: whether the steps and resets that come on velko's streams run on the
    server's event loop (the fastest), or on a worker thread. Pass False for an env whose
    step() or reset() runs an asyncio event loop of its own (asyncio.run), which Python
    refuses on a thread whose loop is running.
    """
    _line_buffered()
    program = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "sim"
    try:
        host, port = address(sys.argv[1:] if argv is None else list(argv), environ)
    except AddressError as error:
        _leave(2, f"{program}: {error}")
    session = Session(make_env, mappings)

    # The stop signals wait for this thread alone: the threads started below inherit the
    # blocked mask.
    signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    workers = concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS,
                                                    thread_name_prefix="velko-sim")
    service = SimService(session, CallSlots(CALLS_AT_ONCE), workers,
                         steps_ahead=bool(steps_ahead),
                         batch_steps=BATCH_STEPS if steps_ahead and batches else 0,
                         steps_on_loop=steps_on_loop)
    loop = asyncio.new_event_loop()
    started = concurrent.futures.Future()
    serving = threading.Thread(target=_serve_on, args=(loop, service, f"{host}:{port}", started),
                               name="velko-sim-loop", daemon=True)
    serving.start()
    server = started.result()
    if server is None:
        _leave(1, f"{program}: cannot serve on {host}:{port} (is the port in use?)")

    # The signals stay blocked afterwards: a second SIGTERM does not cut the way out short.
    signal.sigwait(_STOP_SIGNALS)
    _stop(loop, server, serving, workers)


def _serve_on(loop, service, target, started):
    """Runs the event loop with the server on it (on the loop's own thread): `started` gets
    the server once it serves on `target`, None when the port cannot be taken, or what
    failed."""
    asyncio.set_event_loop(loop)
    try:
        # The port is this process's alone: gRPC would share it (SO_REUSEPORT) with another
        # server, and velko could then talk to another run's sim.
        server = grpc.aio.server(options=[("grpc.so_reuseport", 0),
                                          ("grpc.max_receive_message_length",
                                           MAX_REQUEST_BYTES)])
        sim_pb2_grpc.add_SimServicer_to_server(service, server)
        try:
            bound = server.add_insecure_port(target)
        except RuntimeError:
            bound = 0
        if not bound:
            started.set_result(None)
            return
        loop.run_until_complete(server.start())
    except BaseException as error:  # noqa: B036 the main thread waits for the outcome
        started.set_exception(error)
        return
    started.set_result(server)
    loop.run_forever()


def _stop(loop, server, serving, workers):
    """Stops serving; leaves at once when a call stuck in the env would hold the process."""
    stopped = threading.Event()

    def stop():  # on a thread of its own: the main thread keeps the time limit
        asyncio.run_coroutine_threadsafe(server.stop(SHUTDOWN_GRACE_S), loop).result()
        loop.call_soon_threadsafe(loop.stop)
        serving.join()
        workers.shutdown(wait=True)
        stopped.set()

    threading.Thread(target=stop, daemon=True).start()
    if not stopped.wait(SHUTDOWN_LIMIT_S):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)
