"""Helpers of the Python tests: running a sim as a process and calling it over gRPC."""

import os
import signal
import socket
import subprocess
import sys
import time

import grpc

from velko_sim._proto import sim_pb2, sim_pb2_grpc

HERE = os.path.dirname(os.path.abspath(__file__))
FAULTY_SIM = os.path.join(HERE, "sims", "faulty_sim.py")
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
# Generous: the machine may be busy.
SERVE_TIMEOUT_S = 60
CALL_TIMEOUT_S = 30


def free_port():
    """A loopback port that was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def python_env(extra=None):
    """The environment for a Python sim: this process's, PYTHONPATH included."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(extra or {})
    return env


class SimProcess:
    """A sim started as a process on a free port; stopped (SIGKILL) when closed."""

    def __init__(self, argv, env=None, port=None, wait=True, address_args=True):
        self.port = port or free_port()
        address = ["--host", "localhost", "--port", str(self.port)] if address_args else []
        self.process = subprocess.Popen(
            list(argv) + address,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env or python_env(), start_new_session=True)
        self.channel = grpc.insecure_channel(f"localhost:{self.port}")
        self.stub = sim_pb2_grpc.SimStub(self.channel)
        if wait:
            self.wait_serving()

    def wait_serving(self):
        """Returns once the sim answers Ping. Its port is probed first: a gRPC channel
        refused once waits a while before it connects again."""
        deadline = time.monotonic() + SERVE_TIMEOUT_S
        while True:
            try:
                socket.create_connection(("localhost", self.port), timeout=1).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError("the sim did not serve: " + self.stderr_text())
                time.sleep(0.02)
        self.stub.Ping(sim_pb2.PingRequest(), timeout=SERVE_TIMEOUT_S, wait_for_ready=True)

    def stderr_text(self):
        if self.process.poll() is None:
            return "(still running)"
        return self.process.stderr.read().decode(errors="replace")

    def call(self, name, request=None, **fields):
        """The reply of a unary call; request types are found by the call's name."""
        types = {"Ping": "PingRequest", "Init": "InitRequest", "Make": "MakeRequest",
                 "GetMappings": "GetMappingsRequest", "SensorSpaceInfo": "SpaceInfoRequest",
                 "ActionSpaceInfo": "SpaceInfoRequest", "Reset": "ResetRequest",
                 "Step": "StepRequest", "Close": "CloseRequest"}
        request = request or getattr(sim_pb2, types[name])(**fields)
        return getattr(self.stub, name)(request, timeout=CALL_TIMEOUT_S)

    def failure(self, name, **fields):
        """(status code, message) of a call that must fail."""
        failed = self.failure_or_none(name, **fields)
        if failed is None:
            raise AssertionError(f"{name} did not fail")
        return failed

    def failure_or_none(self, name, **fields):
        """(status code, message) of a call that failed, or None when it was answered."""
        try:
            self.call(name, **fields)
        except grpc.RpcError as error:
            return error.code(), error.details()
        return None

    def signal(self, number):
        self.process.send_signal(number)

    def wait(self, timeout=SERVE_TIMEOUT_S):
        return self.process.wait(timeout)

    def close(self):
        self.channel.close()
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def faulty_sim(*args, **options):
    """The faulty sim with `args` (such as "--fault", "error-in-step", "2")."""
    return SimProcess([sys.executable, FAULTY_SIM, *args], **options)
