"""serve() as velko meets it: a sim process called over gRPC. Error statuses, the step
stream, stopping on SIGTERM, and the start-up contract."""

import json
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import grpc

from velko_sim._proto import sim_pb2
from velko_sim.server import BATCH_STEPS, CALLS_AT_ONCE
from sim_support import FAULTY_SIM, SERVE_TIMEOUT_S, faulty_sim, free_port, python_env

Code = grpc.StatusCode


def started(sim, env_init="{}"):
    """The sim after Init and Make."""
    sim.call("Init")
    sim.call("Make", env_init_json=env_init)
    return sim


def step(sim, action="[0.5]"):
    return json.loads(sim.call("Step", action_json=action).json)


class Calls(unittest.TestCase):
    """Each call's answer, and the status of each kind of failure."""

    def test_a_run_in_protocol_order(self):
        with faulty_sim() as sim:
            started(sim, json.dumps({"seed": 7, "sim_address": "localhost:1", "gain": 1.5}))
            self.assertEqual(json.loads(sim.call("GetMappings").json), {
                "sensor_space": {"mappings": [{"name": "[0]", "name_mapped": "level"}]},
                "action_space": {"mappings": [{"name": "[0]", "name_mapped": "valve"}]}})
            self.assertEqual(json.loads(sim.call("SensorSpaceInfo").json), {
                "type": "box", "shape": [1], "dtype": "float64", "low": [0.0], "high": [1e9],
                "names": ["level"]})
            observation, info = json.loads(sim.call("Reset").json)
            self.assertEqual(observation, [0.0])
            # The settings reach make_env as they were sent; their seed goes to the first
            # reset without a seed of its own.
            self.assertEqual(info, {"settings": {"seed": 7, "sim_address": "localhost:1",
                                                 "gain": 1.5}, "seed": 7, "options": None})
            self.assertEqual(sim.call("Step", action_json="[0.5]").json,
                             '[[0.5],0.0,false,false,{"steps":1}]')
            self.assertEqual(json.loads(sim.call("Reset").json)[1]["seed"], None)
            # A reset's own seed and options reach the env's reset.
            info = json.loads(sim.call("Reset", seed=2 ** 64 - 1,
                                       options_json='{"level": 0.5}').json)[1]
            self.assertEqual((info["seed"], info["options"]), (2 ** 64 - 1, {"level": 0.5}))
            sim.call("Close")

    def test_malformed_requests_are_invalid_arguments(self):
        with faulty_sim() as sim:
            self.assertEqual(sim.failure("Make", env_init_json="[1]"),
                             (Code.INVALID_ARGUMENT, "env_init is not a JSON object"))
            code, message = sim.failure("Make", env_init_json='{"seed": NaN}')
            self.assertEqual(code, Code.INVALID_ARGUMENT)
            self.assertIn("NaN is not a JSON number", message)
            started(sim)
            sim.call("Reset")
            for action, expected in [("[0.5", "the action is not valid JSON"),
                                     ("[0.5, 1]", "the action must be a list of 1 elements"),
                                     ('["x"]', "the action[0] must be a number, not 'x'"),
                                     ("[true]", "the action[0] must be a number, not True"),
                                     ("[" * 100000, "the action is nested too deeply")]:
                code, message = sim.failure("Step", action_json=action)
                self.assertEqual(code, Code.INVALID_ARGUMENT, action[:10])
                self.assertTrue(message.startswith(expected), message)

    def test_calls_out_of_order_fail_as_preconditions(self):
        with faulty_sim() as sim:
            self.assertEqual(sim.failure("Reset"), (Code.FAILED_PRECONDITION,
                                                   "reset() before the env was made (Make)"))
            self.assertEqual(sim.failure("SensorSpaceInfo")[0], Code.FAILED_PRECONDITION)
            started(sim)
            self.assertEqual(sim.failure("Step", action_json="[1]"),
                             (Code.FAILED_PRECONDITION, "step() before reset()"))

    def test_failures_in_the_env_carry_their_message(self):
        cases = [("error-in-step", Code.UNKNOWN, "the valve is stuck"),
                 ("key-error-in-step", Code.UNKNOWN, "KeyError: 'valve'"),
                 ("nan-in-step", Code.INTERNAL,
                  "step 2 of the episode: the observation's sensor 'level' ([0]) is nan; JSON "
                  "has no NaN or infinity: give None for a reading without a value (sent as "
                  "null)")]
        for fault, code, message in cases:
            with self.subTest(fault), faulty_sim("--fault", fault, "2") as sim:
                started(sim)
                sim.call("Reset")
                step(sim)
                self.assertEqual(sim.failure("Step", action_json="[0.5]"), (code, message))
                # The sim goes on serving after a failed call.
                self.assertEqual(step(sim)[0], [1.0])

    def test_failures_in_making_and_describing_the_env(self):
        with faulty_sim("--fault", "error-in-make") as sim:
            self.assertEqual(sim.failure("Make", env_init_json="{}"),
                             (Code.UNKNOWN, 'the setting "gain" must be a number'))
        with faulty_sim("--fault", "text-space") as sim:
            started(sim)
            message = ("the observation space is a Text, which has no space description; use "
                       "Box, Discrete, MultiDiscrete, MultiBinary, Dict or Tuple")
            self.assertEqual(sim.failure("SensorSpaceInfo"), (Code.INTERNAL, message))
            self.assertEqual(sim.failure("GetMappings"), (Code.INTERNAL, message))

    def test_ping_answers_while_a_step_hangs(self):
        with faulty_sim("--fault", "hang-in-step", "1") as sim:
            started(sim)
            sim.call("Reset")
            hanging = sim.stub.Step.future(sim_pb2.StepRequest(action_json="[1]"))
            # The line printed in the step arrives while the sim runs: output is flushed.
            self.assertEqual(sim.process.stdout.readline(), b"hanging in step 1\n")
            sim.call("Ping")
            hanging.cancel()

    def test_open_streams_leave_ping_and_other_calls_answered(self):
        with faulty_sim() as sim:
            started(sim)
            sim.call("Reset")
            release = threading.Event()
            streams = []

            def open_stream():
                """A stream whose first step has been answered, left open."""
                def requests():
                    yield sim_pb2.StepRequest(action_json="[0.25]", step=1)
                    release.wait(60)
                streams.append(sim.stub.StepStream(requests(), timeout=60))
                self.assertEqual(next(streams[-1]).step, 1)

            try:
                for _ in range(4):
                    open_stream()
                sim.call("Ping")
                self.assertEqual(len(json.loads(sim.call("GetMappings").json)), 2)
                # With every slot taken, calls are refused at once; Ping is still answered.
                for _ in range(CALLS_AT_ONCE - 4):
                    open_stream()
                code, message = sim.failure("Init")
                self.assertEqual(code, Code.RESOURCE_EXHAUSTED)
                self.assertTrue(message.startswith(f"the sim is busy: {CALLS_AT_ONCE} calls"),
                                message)
                sim.call("Ping")
            finally:
                for stream in streams:
                    stream.cancel()
                release.set()
            # The cancelled streams give their slots back.
            deadline = time.monotonic() + SERVE_TIMEOUT_S
            while sim.failure_or_none("Init") is not None:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)


class StepStream(unittest.TestCase):
    """Steps over one stream."""

    def requests(self, count):
        return iter([sim_pb2.StepRequest(action_json="[0.25]") for _ in range(count)])

    def test_each_request_is_answered_in_order(self):
        with faulty_sim() as sim:
            started(sim)
            sim.call("Reset")
            replies = [json.loads(reply.json)
                       for reply in sim.stub.StepStream(self.requests(5), timeout=30)]
            self.assertEqual([reply[0][0] for reply in replies], [0.25, 0.5, 0.75, 1.0, 1.25])
            # A later stream goes on with the same episode.
            replies = list(sim.stub.StepStream(self.requests(1), timeout=30))
            self.assertEqual(json.loads(replies[0].json)[0], [1.5])

    def test_a_failed_step_ends_the_stream_with_its_status(self):
        with faulty_sim("--fault", "error-in-step", "3") as sim:
            started(sim)
            sim.call("Reset")
            answered = []
            with self.assertRaises(grpc.RpcError) as raised:
                for reply in sim.stub.StepStream(self.requests(5), timeout=30):
                    answered.append(json.loads(reply.json)[0][0])
            self.assertEqual(answered, [0.25, 0.5])
            self.assertEqual(raised.exception.code(), Code.UNKNOWN)
            self.assertEqual(raised.exception.details(), "the valve is stuck")
            # A new stream works again.
            self.assertEqual(len(list(sim.stub.StepStream(self.requests(2), timeout=30))), 2)


class StepsSentAhead(unittest.TestCase):
    """Numbered steps, all sent before any answer, as velko sends an episode's steps."""

    def numbered(self, count, action="[0.25]"):
        return iter([sim_pb2.StepRequest(action_json=action, step=i + 1) for i in range(count)])

    def unnumbered(self, count):
        return iter([sim_pb2.StepRequest(action_json="[0.25]") for _ in range(count)])

    def answers(self, sim, requests):
        """[(step, level, terminated)] of the stream's answers, and its error or None."""
        answered = []
        try:
            for reply in sim.stub.StepStream(requests, timeout=30):
                parts = json.loads(reply.json)
                answered.append((reply.step, parts[0][0], parts[2]))
        except grpc.RpcError as error:
            return answered, error
        return answered, None

    def test_init_announces_them_unless_the_author_opts_out(self):
        for args, announced in (((), True), (("--fault", "one-at-a-time"), False)):
            with self.subTest(args), faulty_sim(*args) as sim:
                reply = sim.call("Init")
                self.assertIs(reply.steps_ahead, announced)
                self.assertEqual(reply.batch_steps, BATCH_STEPS if announced else 0)
                self.assertIs(reply.batch_resets, announced)
                self.assertIs(reply.episodes_ahead, announced)

    def test_answers_echo_their_steps_numbers(self):
        with faulty_sim() as sim:
            started(sim)
            sim.call("Reset")
            answered, error = self.answers(sim, self.numbered(4))
            self.assertIsNone(error)
            self.assertEqual(answered, [(1, 0.25, False), (2, 0.5, False), (3, 0.75, False),
                                        (4, 1.0, False)])
            # Unnumbered steps are answered with 0.
            answered, _ = self.answers(sim, self.unnumbered(1))
            self.assertEqual(answered, [(0, 1.25, False)])

    def test_the_answer_that_ends_the_episode_ends_the_stream(self):
        with faulty_sim("--fault", "end-in-step", "3") as sim:
            started(sim)
            sim.call("Reset")
            answered, error = self.answers(sim, self.numbered(6))
            self.assertIsNone(error)  # ended with OK
            self.assertEqual(answered, [(1, 0.25, False), (2, 0.5, False), (3, 0.75, True)])
            # Steps 4 to 6 were dropped unapplied: the env's next step is its fourth.
            self.assertEqual(step(sim, "[1]"), [[1.75], 0.0, False, False, {"steps": 4}])

    def test_unnumbered_steps_keep_the_stream_open_past_the_end(self):
        with faulty_sim("--fault", "end-in-step", "2") as sim:
            started(sim)
            sim.call("Reset")
            answered, error = self.answers(sim, self.unnumbered(4))
            self.assertIsNone(error)
            self.assertEqual(answered, [(0, 0.25, False), (0, 0.5, True), (0, 0.75, False),
                                        (0, 1.0, False)])

    def test_a_failed_step_ends_the_stream_with_its_status_and_applies_no_more(self):
        with faulty_sim("--fault", "error-in-step", "3") as sim:
            started(sim)
            sim.call("Reset")
            answered, error = self.answers(sim, self.numbered(6))
            self.assertEqual(answered, [(1, 0.25, False), (2, 0.5, False)])
            self.assertEqual((error.code(), error.details()), (Code.UNKNOWN,
                                                               "the valve is stuck"))
            self.assertEqual(step(sim, "[1]"), [[1.5], 0.0, False, False, {"steps": 4}])

    def test_cancelled_streams_free_the_sim_for_the_next(self):
        with faulty_sim() as sim:
            started(sim)
            sim.call("Reset")
            # More cancelled streams than the sim has threads: each must let go of its own.
            for i in range(6):
                more = threading.Event()

                def requests():
                    yield sim_pb2.StepRequest(action_json="[0.25]", step=1)
                    more.wait(30)

                call = sim.stub.StepStream(requests(), timeout=30)
                self.assertEqual(next(call).step, 1)
                call.cancel()
                more.set()
            answered, error = self.answers(sim, self.numbered(1))
            self.assertIsNone(error)
            self.assertEqual(answered, [(1, 1.75, False)])


class StepBatches(unittest.TestCase):
    """Numbered steps several to a message, all sent before any answer."""

    def batches(self, *sizes):
        """Batches of the given sizes, steps numbered on from 1, each opening the valve 0.25."""
        batches, number = [], 0
        for size in sizes:
            steps = [sim_pb2.StepRequest(action_json="[0.25]", step=number + i + 1)
                     for i in range(size)]
            number += size
            batches.append(sim_pb2.StepBatch(steps=steps))
        return iter(batches)

    def replies(self, sim, batches):
        """[[(step, terminated)] per reply], and the stream's error or None."""
        replies = []
        try:
            for reply in sim.stub.StepBatches(batches, timeout=30):
                replies.append([(a.step, json.loads(a.json)[2]) for a in reply.answers])
        except grpc.RpcError as error:
            return replies, error
        return replies, None

    def test_batches_answer_in_order_and_nothing_after_the_end_is_applied(self):
        # (fault, batch sizes, replies, the status code or None, the env's next step number)
        cases = [
            ((), (2, 1), [[(1, False), (2, False)], [(3, False)]], None, 4),
            # The end inside a batch drops the rest of it and the batches after it.
            (("--fault", "end-in-step", "3"), (2, 3, 1), [[(1, False), (2, False)],
                                                          [(3, True)]], None, 4),
            # The end on a batch's last step: the next batch is never applied.
            (("--fault", "end-in-step", "2"), (2, 2), [[(1, False), (2, True)]], None, 3),
            # A failed step: the answers before it go out, then its status; no more applied.
            (("--fault", "error-in-step", "3"), (4, 2), [[(1, False), (2, False)]],
             Code.UNKNOWN, 4),
            (("--fault", "end-in-step", "9"), (BATCH_STEPS + 1,), [], Code.INVALID_ARGUMENT, 1),
        ]
        for fault, sizes, expected, code, next_step in cases:
            with self.subTest(fault=fault, sizes=sizes), faulty_sim(*fault) as sim:
                started(sim)
                sim.call("Reset")
                replies, error = self.replies(sim, self.batches(*sizes))
                self.assertEqual(replies, expected)
                self.assertEqual(error and error.code(), code)
                self.assertEqual(step(sim, "[1]")[4]["steps"], next_step)

    def test_a_sim_that_takes_no_batches_refuses_them(self):
        with faulty_sim("--fault", "one-at-a-time") as sim:
            started(sim)
            sim.call("Reset")
            replies, error = self.replies(sim, self.batches(2))
            self.assertEqual((replies, error.code()), ([], Code.UNIMPLEMENTED))


class Stopping(unittest.TestCase):
    """SIGTERM and SIGINT end the process with status 0."""

    def test_stop_signals_end_an_idle_sim(self):
        for number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(number), faulty_sim() as sim:
                started(sim)
                sim.signal(number)
                self.assertEqual(sim.wait(), 0)

    def test_sigterm_ends_a_sim_stuck_in_a_step(self):
        with faulty_sim("--fault", "hang-in-step", "1") as sim:
            started(sim)
            sim.call("Reset")
            hanging = sim.stub.Step.future(sim_pb2.StepRequest(action_json="[1]"))
            sim.process.stdout.readline()
            begin = time.monotonic()
            sim.signal(signal.SIGTERM)
            self.assertEqual(sim.wait(), 0)
            # serve() gives up on the stuck call after its limit of a few seconds.
            self.assertLess(time.monotonic() - begin, 30)
            hanging.cancel()


class StartUp(unittest.TestCase):
    """Where the sim serves, and how it fails when it cannot."""

    def run_sim(self, args, env=None):
        """(exit status, standard error) of a sim that must end by itself."""
        result = subprocess.run([sys.executable, FAULTY_SIM, *args], env=python_env(env),
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=SERVE_TIMEOUT_S)
        return result.returncode, result.stderr.decode()

    def test_a_missing_or_bad_port_is_a_usage_error(self):
        for args in ([], ["--port", "0"], ["--port", "65536"], ["--port", "12a"],
                     ["--port", "+5"], ["--port", " 5"], ["--port="]):
            with self.subTest(args):
                status, err = self.run_sim(args, {"VELKO_SIM_PORT": ""})
                self.assertEqual(status, 2)
                self.assertIn("give the port to serve on: --port N (or VELKO_SIM_PORT)", err)

    def test_the_address_comes_from_the_environment_or_the_command_line(self):
        port = free_port()
        env = python_env({"VELKO_SIM_HOST": "localhost", "VELKO_SIM_PORT": str(port)})
        with faulty_sim(env=env, port=port, address_args=False) as sim:
            started(sim)
        # The command line wins over the environment; --port=N works too.
        port = free_port()
        env = python_env({"VELKO_SIM_PORT": "1"})
        with faulty_sim(f"--port={port}", env=env, port=port, address_args=False) as sim:
            started(sim)

    def test_a_taken_port_is_refused_even_when_its_holder_would_share_it(self):
        for share in (False, True):
            with self.subTest(share=share), socket.socket() as holder:
                if share:
                    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
                holder.bind(("127.0.0.1", 0))
                holder.listen()
                port = holder.getsockname()[1]
                status, err = self.run_sim(["--host", "127.0.0.1", "--port", str(port)])
                self.assertEqual(status, 1, err)
                self.assertIn(f"cannot serve on 127.0.0.1:{port} (is the port in use?)", err)


if __name__ == "__main__":
    unittest.main()
