"""What the step streams apply of each request, against a fake session: the answer that ends
a numbered episode finishes a stream; a batch is applied whole, or in parts when its steps are
slow, and nothing more once its stream is cancelled; a stream whose first batch resets holds
episodes. And the reads and writes that overlap a stream's work, against a fake call.
tests/python/test_server.py serves them over gRPC."""

import asyncio
import collections
import unittest
from unittest import mock

from velko_sim._proto import sim_pb2
from velko_sim.session import CallError, StepAnswer
import grpc

from velko_sim import stream
import concurrent.futures

from velko_sim.service import _Overlapped, _stream
from velko_sim.stream import BatchApplier, StepApplier

Request = collections.namedtuple("Request", "action_json step")
Reply = collections.namedtuple("Reply", "json step")


def batches(text):
    """StepBatches written "R7 1 end | 2": each batch's actions, after R and its reset's seed
    (R alone: no seed) in one that resets."""
    for words in (part.split() for part in text.split("|")):
        batch = sim_pb2.StepBatch()
        if words and words[0].startswith("R"):
            batch.reset.SetInParent()
            if words[0][1:]:
                batch.reset.seed = int(words[0][1:])
            words = words[1:]
        batch.steps.extend(sim_pb2.StepRequest(action_json=a, step=i + 1)
                           for i, a in enumerate(words))
        yield batch


class FakeSession:
    """Applies actions by recording them; "end" ends the episode and "fail" fails, as does a
    reset with the seed 99."""

    def __init__(self):
        self.applied = []

    def reset(self, seed, options_json):
        if seed == 99:
            raise CallError("UNKNOWN", "no reset")
        self.applied.append(f"R{seed}")
        return str(seed)

    def step(self, action_json):
        if action_json == "fail":
            raise CallError("UNKNOWN", "stuck")
        self.applied.append(action_json)
        return StepAnswer(f"[{action_json}]", action_json == "end")


class StepStreamOrder(unittest.TestCase):

    def test_the_answer_that_ends_a_numbered_episode_finishes_the_stream(self):
        # (requests, replies, failure or None, whether the stream is finished after the last)
        cases = [([Request("1", 1), Request("end", 2)], [Reply("[1]", 1), Reply("[end]", 2)],
                  None, True),
                 # One at a time (step 0) the stream outlives episodes.
                 ([Request("end", 0), Request("2", 0)], [Reply("[end]", 0), Reply("[2]", 0)],
                  None, False),
                 ([Request("1", 1), Request("fail", 2)], [Reply("[1]", 1), None],
                  ("UNKNOWN", "stuck"), True)]
        for requests, expected, failure, finished in cases:
            with self.subTest(requests):
                applier = StepApplier(FakeSession(), Reply)
                outcomes = [outcome for request in requests for outcome in applier.apply(request)]
                self.assertEqual([reply for reply, _ in outcomes], expected)
                self.assertEqual((outcomes[-1][1], applier.finished), (failure, finished))

    def test_a_cancelled_batch_stream_applies_nothing_more(self):
        # Cancelled while the steps of its first batch are answered in parts: what was applied
        # goes out, and nothing after it is applied.
        session = FakeSession()
        applier = BatchApplier(session, sim_pb2.StepBatchReply, sim_pb2.JsonReply, limit=3)
        with mock.patch.object(stream, "ANSWER_WITHIN_S", 0):
            replies = list(applier.apply(next(batches("1 2 3")),
                                         active=lambda: not session.applied))
        self.assertEqual([[(a.json, a.step) for a in r.answers] for r, _ in replies],
                         [[("[1]", 1)]])
        self.assertEqual((session.applied, applier.finished), (["1"], True))

    def test_a_stream_whose_first_batch_resets_is_kept_across_episodes(self):
        # (batches, replies, status or None, what the session applied)
        cases = [
            # After the end, the rest of its batch and batches without a reset are dropped.
            ("R7 1 end x | y | R 2 | 3", "R7 [1] [end] | RNone [2] | [3]", None,
             "R7 1 end RNone 2 3"),
            # A reset before the last episode ended (its rows ran out); one with no steps.
            ("R0 1 | R1", "R0 [1] | R1", None, "R0 1 R1"),
            # A failure ends the stream with its status, the answers before it first.
            ("R 1 | R99 2", "RNone [1]", ("UNKNOWN", "no reset"), "RNone 1"),
            ("R fail 1", "RNone", ("UNKNOWN", "stuck"), "RNone"),
            # Steps slower than velko_sim answers within go out in parts (none waits).
            ("R 1 2 | 3", "RNone [1] | [2] | [3]", None, "RNone 1 2 3", 0),
            # Without a reset first, the stream holds one episode; too long a batch is refused.
            ("1 end x | 2", "[1] [end]", None, "1 end"),
            ("1 2 3 4", "", ("INVALID_ARGUMENT", "a batch of 4 steps, more than the 3 the sim "
                                                 "takes in one"), ""),
        ]
        for text, expected, status, applied, *answer_within in cases:
            with self.subTest(text), mock.patch.object(stream, "ANSWER_WITHIN_S",
                                                       *(answer_within or [1.0])):
                session, failures, replies = FakeSession(), [], []
                applier = BatchApplier(session, sim_pb2.StepBatchReply, sim_pb2.JsonReply, 3)
                for batch in batches(text):
                    for reply, failure in applier.apply(batch):
                        replies += [reply] if reply is not None else []
                        failures += [failure] if failure is not None else []
                    if applier.finished:
                        break
                self.assertEqual(" | ".join(" ".join(
                    (["R" + r.reset.json] if r.HasField("reset") else []) +
                    [a.json for a in r.answers]) for r in replies), expected)
                self.assertEqual((failures, " ".join(session.applied)),
                                 ([status] if status else [], applied))


class FakeCall:
    """A stream's context: read() gives `requests` then EOF, or raises one that is an
    exception; write() records each reply after a turn of the loop and fails the one equal to
    `failing`; the call counts as cancelled once `cancel_after` replies are written.
    `applied_at_write` holds len(session.applied) as each write began."""

    def __init__(self, requests, failing=None, session=None, cancel_after=None):
        self.requests = list(requests)
        self.failing = failing
        self.session = session
        self.cancel_after = cancel_after
        self.written = []
        self.applied_at_write = []

    def cancelled(self):
        return self.cancel_after is not None and len(self.written) >= self.cancel_after

    async def read(self):
        await asyncio.sleep(0)
        if not self.requests:
            return grpc.aio.EOF
        request = self.requests.pop(0)
        if isinstance(request, Exception):
            raise request
        return request

    async def write(self, reply):
        if self.session is not None:
            self.applied_at_write.append(len(self.session.applied))
        await asyncio.sleep(0)
        if reply == self.failing:
            raise RuntimeError("the call was cancelled")
        self.written.append(reply)


class OverlappedReadsAndWrites(unittest.TestCase):

    def serve(self, call, reply_to=lambda request: request):
        """Reads every request and writes reply_to(request) for each, as a stream does: (the
        requests read, the error raised or None)."""
        read = []

        async def stream():
            async with _Overlapped(call) as overlapped:
                while (request := await overlapped.read()) is not None:
                    read.append(request)
                    overlapped.write(reply_to(request))
                await overlapped.written()

        try:
            asyncio.run(stream())
        except RuntimeError as error:
            return read, error
        return read, None

    def test_replies_go_out_in_order_and_failures_are_raised_where_they_belong(self):
        # (requests, the reply that fails to go out, what was read, written, the error)
        cases = [(["a", "b", "c"], None, "abc", "abc", None),
                 # A failed read comes after the requests before it (the call is over: what
                 # was written of their replies does not matter).
                 (["a", RuntimeError("cancelled"), "c"], None, "a", None, "cancelled"),
                 # A failed write drops the replies after it, and written() raises it.
                 (["a", "b", "c"], "b", "abc", "a", "the call was cancelled")]
        for requests, failing, read, written, error in cases:
            with self.subTest(requests=requests, failing=failing):
                call = FakeCall(requests, failing)
                got, raised = self.serve(call)
                self.assertEqual("".join(got), read)
                if written is not None:
                    self.assertEqual("".join(call.written), written)
                self.assertEqual(raised and str(raised), error)


class LoopingSession(FakeSession):
    """A FakeSession whose steps run an event loop of their own, as an env may."""

    def step(self, action_json):
        asyncio.run(asyncio.sleep(0))
        return super().step(action_json)


class StreamsOnTheLoop(unittest.TestCase):

    def test_a_slow_batch_goes_out_in_parts_and_stops_at_a_cancel(self):
        # Steps slower than velko_sim answers within: each answer starts to go out before the
        # batch is done, and once velko cancels (after the first reply) no more is applied.
        # On the loop, or on a worker for an env that runs a loop of its own.
        workers = concurrent.futures.ThreadPoolExecutor(1)
        for on_worker in (False, True):
            with self.subTest(on_worker=on_worker), \
                    mock.patch.object(stream, "ANSWER_WITHIN_S", 0):
                session = LoopingSession() if on_worker else FakeSession()
                call = FakeCall(batches("1 2 3 4 5 6"), session=session, cancel_after=1)
                applier = BatchApplier(session, sim_pb2.StepBatchReply, sim_pb2.JsonReply, 6)
                asyncio.run(_stream(call, applier, workers if on_worker else None))
                self.assertLess(call.applied_at_write[0], 3)
                self.assertLess(len(session.applied), 4)
                self.assertEqual([r.answers[0].step for r in call.written],
                                 list(range(1, len(call.written) + 1)))
        workers.shutdown()


if __name__ == "__main__":
    unittest.main()
