"""The step stream's order of work against a fake session (an answer does not wait for the
next request; a cancelled stream applies nothing more; a batch is applied whole, or not at
all once its stream is cancelled), and the reading ahead of requests that it rests on. tests/python/test_server.py serves it over gRPC."""

import collections
import threading
import time
import unittest

from velko_sim.read_ahead import ReadAhead
from velko_sim.session import StepAnswer
from velko_sim.stream import batch_stream, step_stream

Request = collections.namedtuple("Request", "action_json step")
Reply = collections.namedtuple("Reply", "json step")
Batch = collections.namedtuple("Batch", "steps")
BatchReply = collections.namedtuple("BatchReply", "answers")


class FakeSession:
    """Applies actions by recording them; no episode ends."""

    def __init__(self):
        self.applied = []

    def step(self, action_json):
        self.applied.append(action_json)
        return StepAnswer(f"[{action_json}]", False)


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
        batches = (Batch([Request(str(n), n) for n in range(first, first + 3)])
                   for first in (1, 4, 7))
        replies = list(batch_stream(session, batches, BatchReply, Reply, None, limit=3,
                                    active=lambda: not session.applied))
        self.assertEqual(replies, [BatchReply([Reply("[1]", 1), Reply("[2]", 2),
                                               Reply("[3]", 3)])])
        self.assertEqual(session.applied, ["1", "2", "3"])


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
