"""The step stream's order of work against a fake session (an answer does not wait for the
next request; a cancelled stream applies nothing more; a batch is applied whole, or not at
all once its stream is cancelled; a stream whose first batch resets holds episodes), and the
reading ahead of requests that it rests on. tests/python/test_server.py serves it over gRPC."""

import collections
import threading
import time
import unittest
from unittest import mock

from velko_sim._proto import sim_pb2
from velko_sim.read_ahead import ReadAhead
from velko_sim.session import CallError, StepAnswer
from velko_sim import stream
from velko_sim.stream import batch_stream, step_stream

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

    def test_an_answer_does_not_wait_for_the_next_request(self):
        answered = threading.Event()

        def requests():
            yield Request("1", 1)
            # One at a time, velko sends the next step only once it has this answer.
            if answered.wait(30):
                yield Request("2", 2)

        stream = step_stream(FakeSession(), requests(), Reply, None)
        self.assertEqual(next(stream), Reply("[1]", 1))
        answered.set()
        self.assertEqual(list(stream), [Reply("[2]", 2)])

    def test_a_cancelled_stream_applies_nothing_more(self):
        session = FakeSession()
        requests = (Request(str(i), i) for i in range(1, 6))
        replies = list(step_stream(session, requests, Reply, None,
                                   active=lambda: len(session.applied) < 2))
        self.assertEqual((len(replies), session.applied), (2, ["1", "2"]))

    def test_a_cancelled_batch_stream_applies_no_batch_after_the_cancel(self):
        # Cancelled while its first batch is applied: that batch is answered whole, and no
        # later one is applied.
        session = FakeSession()
        replies = list(batch_stream(session, batches("1 2 3 | 4 5 6 | 7 8 9"),
                                    sim_pb2.StepBatchReply, sim_pb2.JsonReply, None, limit=3,
                                    active=lambda: not session.applied))
        self.assertEqual([[(a.json, a.step) for a in r.answers] for r in replies],
                         [[("[1]", 1), ("[2]", 2), ("[3]", 3)]])
        self.assertEqual(session.applied, ["1", "2", "3"])

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
        ]
        for text, expected, status, applied, *answer_within in cases:
            with self.subTest(text), mock.patch.object(stream, "ANSWER_WITHIN_S",
                                                       *(answer_within or [1.0])):
                session, failures = FakeSession(), []
                replies = batch_stream(session, batches(text), sim_pb2.StepBatchReply,
                                       sim_pb2.JsonReply, lambda *f: failures.append(f), 3)
                self.assertEqual(" | ".join(" ".join(
                    (["R" + r.reset.json] if r.HasField("reset") else []) +
                    [a.json for a in r.answers]) for r in replies), expected)
                self.assertEqual((failures, " ".join(session.applied)),
                                 ([status] if status else [], applied))


class ReadingAhead(unittest.TestCase):

    def test_requests_come_in_order_and_a_failure_to_read_is_raised_as_it_was(self):
        failure = RuntimeError("cancelled")

        def requests():
            yield from range(5)
            raise failure

        ahead = ReadAhead(requests())
        self.assertEqual([next(ahead) for _ in range(5)], [0, 1, 2, 3, 4])
        with self.assertRaises(RuntimeError) as raised:
            next(ahead)
        self.assertIs(raised.exception, failure)
        self.assertEqual(list(ahead), [])

    def test_reads_at_most_its_bound_ahead_and_lets_go_once_closed(self):
        read = []

        def endless():
            while True:
                read.append(len(read))
                yield read[-1]

        ahead = ReadAhead(endless(), ahead=3)
        self.assertEqual(next(ahead), 0)
        deadline = time.monotonic() + 30
        while len(read) < 5 and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.1)
        # One taken, three waiting, one in hand.
        self.assertEqual(len(read), 5)
        ahead.close()
        ahead._thread.join(30)
        self.assertFalse(ahead._thread.is_alive())
        self.assertEqual(list(ahead), [])


if __name__ == "__main__":
    unittest.main()
