"""The step stream's order of work, against a fake session: an answer does not wait for the
next request, and nothing is applied after the end, a failure or a cancellation. And the
reading ahead of requests that it rests on."""

import collections
import threading
import time
import unittest

from velko_sim.read_ahead import ReadAhead
from velko_sim.session import CallError, StepAnswer
from velko_sim.stream import step_stream

Request = collections.namedtuple("Request", "action_json step")
Reply = collections.namedtuple("Reply", "json step")


class FakeSession:
    """Applies actions by recording them; ends the episode at `end`, fails at `fail`."""

    def __init__(self, end=None, fail=None):
        self.applied = []
        self.end = end
        self.fail = fail

    def step(self, action_json):
        self.applied.append(action_json)
        if len(self.applied) == self.fail:
            raise CallError("UNKNOWN", "the valve is stuck")
        return StepAnswer(f"[{action_json}]", len(self.applied) == self.end)


class Requests:
    """Numbered requests (unnumbered with numbered=False), counting how many were read."""

    def __init__(self, count, numbered=True):
        self.read = 0
        self.count = count
        self.numbered = numbered

    def __iter__(self):
        while self.read < self.count:
            self.read += 1
            yield Request(str(self.read), self.read if self.numbered else 0)


def run(session, requests, active=lambda: True):
    """(replies, failure) of a stream, reading the replies as gRPC does."""
    failures = []
    replies = list(step_stream(session, requests, Reply,
                               lambda status, message: failures.append((status, message)),
                               active))
    return replies, failures


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

    def test_nothing_is_applied_after_the_answer_that_ends_the_episode(self):
        session = FakeSession(end=2)
        replies, failures = run(session, Requests(5))
        self.assertEqual(replies, [Reply("[1]", 1), Reply("[2]", 2)])
        self.assertEqual((session.applied, failures), (["1", "2"], []))
        # Unnumbered steps serve many episodes: the end does not end the stream.
        session = FakeSession(end=2)
        replies, _ = run(session, Requests(4, numbered=False))
        self.assertEqual([reply.step for reply in replies], [0, 0, 0, 0])

    def test_a_failed_step_sets_the_status_and_ends_the_stream(self):
        session = FakeSession(fail=2)
        replies, failures = run(session, Requests(5))
        self.assertEqual(replies, [Reply("[1]", 1)])
        self.assertEqual(failures, [("UNKNOWN", "the valve is stuck")])
        self.assertEqual(session.applied, ["1", "2"])

    def test_a_cancelled_stream_applies_nothing_more(self):
        session = FakeSession()
        replies, failures = run(session, Requests(5), active=lambda: len(session.applied) < 2)
        self.assertEqual((len(replies), session.applied, failures), (2, ["1", "2"], []))


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
