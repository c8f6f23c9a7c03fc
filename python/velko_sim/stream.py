"""What the two step streams do with each request, as it comes.

Everything the step streams do is here, so that a change to how streams are used (when one
ends, what a sim announces about them) is made in this one place. The service feeds each
request to its stream's applier (StepApplier, BatchApplier: each has `apply(request, active)`
and `finished`) on the server's event loop and sends what it gives back.

StepStream: velko numbers the steps of an episode that it sends ahead of their answers (from
1); each answer echoes its request's number, and the answer that ends the episode (terminated
or truncated) ends the stream, so that the requests still on their way are never applied.
Unnumbered requests (step 0) come one at a time over a stream that outlives episodes.

StepBatches carries the numbered steps of one episode several to a message: a batch's steps
are applied one after the other, with no message between them, and answered together as soon
as the last is applied; after the answer that ends the episode nothing more is applied. A
stream whose first batch carries a reset is kept across episodes: each episode's first batch
resets the env before its steps, and after the answer that ends an episode every batch is
dropped until the next one with a reset.
"""

import time

from .json_values import BadRequest
from .session import CallError

# Longest that the steps of a batch go unanswered while later ones are applied: the time limit
# of velko's call counts until an answer comes, so a batch of slow steps is answered in parts.
ANSWER_WITHIN_S = 1.0


def outcome(call):
    """(what call() returns, None), or (None, (status, message)) when it fails as the
    session's calls fail."""
    try:
        return call(), None
    except BadRequest as error:
        return None, ("INVALID_ARGUMENT", str(error))
    except CallError as error:
        return None, (error.status, error.message)


class StepApplier:
    """The steps of one StepStream, applied one request at a time."""

    def __init__(self, session, reply_type):
        self._session = session
        self._reply_type = reply_type
        self.finished = False  # the stream is over: nothing more is applied

    def apply(self, request, active=lambda: True):
        """Applies one step request, yielding (its reply or None, (status, message) of its
        failure or None) once, as BatchApplier.apply does for a batch. After a failure, or the
        answer that ends a numbered episode, the stream is `finished` (with OK after that
        answer)."""
        answer, failure = outcome(lambda: self._session.step(request.action_json))
        if failure is not None:
            self.finished = True
            yield None, failure
            return
        self.finished = answer.ended and request.step > 0
        yield self._reply_type(json=answer.json, step=request.step), None


class BatchApplier:
    """The batches of one StepBatches stream, applied one message at a time. A batch of more
    than `limit` steps is refused; a failed step ends the stream after the answers of the steps
    before it.

    The first batch decides what the stream is. Without a reset it holds one episode: the
    answer that ends the episode finishes the stream with OK, and the rest of its batch is
    dropped. With one (`.reset`, a ResetRequest) the stream is kept until velko closes it: a
    batch with a reset resets the env as Reset does before its steps, and its reply carries
    the reset's answer in `reset`, even when the batch has no step; after the answer that
    ends an episode, the rest of its batch and every batch without a reset are dropped. A
    failed reset ends the stream with its status."""

    def __init__(self, session, reply_type, answer_type, limit):
        self._session = session
        self._reply_type = reply_type
        self._answer_type = answer_type
        self._limit = limit
        self._kept = None  # whether the stream outlives its episodes, known from its first batch
        self._ended = False  # the episode is over
        self.finished = False  # the stream is over: nothing more is applied

    def apply(self, batch, active=lambda: True):
        """Applies one batch, yielding (a reply or None, (status, message) of the failure that
        finishes the stream or None) for each part of its answers: the whole batch, or the
        steps applied within each ANSWER_WITHIN_S when they are slow. active() is asked
        between parts: once it is false (velko cancelled the stream) nothing more is applied."""
        if len(batch.steps) > self._limit:
            self.finished = True
            yield None, ("INVALID_ARGUMENT", f"a batch of {len(batch.steps)} steps, more than "
                                             f"the {self._limit} the sim takes in one")
            return
        if self._kept is None:
            self._kept = batch.HasField("reset")
        reset = None
        if self._kept and batch.HasField("reset"):
            request = batch.reset
            seed = request.seed if request.HasField("seed") else None
            answer, failure = outcome(lambda: self._session.reset(seed, request.options_json))
            if failure is not None:
                self.finished = True
                yield None, failure
                return
            reset = self._answer_type(json=answer)
            self._ended = False
        elif self._ended:
            return  # the episode is over: wait for the batch that starts the next
        steps = batch.steps
        done = 0
        while True:
            if done and not active():
                self.finished = True  # cancelled while slow steps were answered in parts
                return
            reply = self._reply_type()
            failure, self._ended, done = self._apply(steps, done, reply.answers)
            if reset is not None:
                reply.reset.CopyFrom(reset)
                reset = None
            elif not reply.answers:
                reply = None
            self.finished = failure is not None or (self._ended and not self._kept)
            yield reply, failure
            if failure is not None or self._ended or done == len(steps):
                return

    def _apply(self, steps, first, answers):
        """Applies `steps` in order from the one at `first` up to the first that fails or
        ends the episode, or until ANSWER_WITHIN_S have gone by, adding their answers to
        `answers`: ((status, message) of the failure or None, whether the episode ended, the
        index of the next step to apply)."""
        started = time.monotonic()
        add = answers.add
        step = self._session.step
        for index in range(first, len(steps)):
            request = steps[index]
            try:
                answer = step(request.action_json)
            except BadRequest as error:
                return ("INVALID_ARGUMENT", str(error)), False, index
            except CallError as error:
                return (error.status, error.message), False, index
            add(json=answer.json, step=request.step)
            if answer.ended:
                return None, True, index + 1
            if time.monotonic() - started >= ANSWER_WITHIN_S:
                return None, False, index + 1
        return None, False, len(steps)
