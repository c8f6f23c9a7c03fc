"""StepStream: steps over one stream, each request answered in order as Step answers it.

Everything the step stream does is here, so that a change to how streams are used (when one
ends, what a sim announces about them) is made in this one place.

velko numbers the steps of an episode that it sends ahead of their answers (from 1); each
answer echoes its request's number, and the answer that ends the episode (terminated or
truncated) ends the stream, so that the requests still on their way are never applied.
Unnumbered requests (step 0) come one at a time over a stream that outlives episodes.

StepBatches carries the numbered steps of one episode several to a message: a batch's steps
are applied one after the other, with no message between them, and answered together as soon
as the last is applied; after the answer that ends the episode nothing more is applied. A
stream whose first batch carries a reset is kept across episodes: each episode's first batch
resets the env before its steps, and after the answer that ends an episode every batch is
dropped until the next one with a reset.
"""

import threading
import time

from .json_values import BadRequest
from .read_ahead import ReadAhead
from .session import CallError

# Longest that the steps of a batch go unanswered while later ones are applied: the time limit
# of velko's call counts until an answer comes, so a batch of slow steps is answered in parts.
ANSWER_WITHIN_S = 1.0


def step_stream(session, requests, reply_type, fail, active=lambda: True):
    """Yields one reply per step request, each as soon as its step is applied (the requests
    are read a few ahead, on a thread of their own). A failed step ends the stream:
    fail(status, message) sets the stream's status and nothing more is applied. After the
    answer that ends a numbered episode the stream ends with OK. Nothing is applied once
    active() is false (velko cancelled the stream)."""
    ahead = ReadAhead(requests)
    try:
        for request in ahead:
            if not active():
                return
            try:
                answer = session.step(request.action_json)
            except BadRequest as error:
                fail("INVALID_ARGUMENT", str(error))
                return
            except CallError as error:
                fail(error.status, error.message)
                return
            # The caller sends each reply before it asks for the next one, so ending here
            # ends the stream right after the ending answer has gone out.
            yield reply_type(json=answer.json, step=request.step)
            if answer.ended and request.step > 0:
                return
    finally:
        ahead.close()


def batch_stream(session, batches, reply_type, answer_type, fail, limit, active=lambda: True):
    """Yields one reply per batch of steps (each with `.steps`), holding the answers of its
    steps in order, as soon as the batch is applied. A batch of more than `limit` steps is
    refused. A failed step ends the stream after the answers of the steps before it. No batch
    is applied once active() is false (velko cancelled the stream): it is asked before each
    batch, not before each step, as asking costs gRPC's lock of the call, a few microseconds
    taken from the poller thread, and a batch is applied in a moment.

    The batches are read and applied on a thread of their own, while the replies of those
    before go out: gRPC's server sends a reply only through the thread that polls the
    connection, and the env does not wait for that hand-over.

    The first batch decides what the stream is. Without a reset it holds one episode: the
    answer that ends the episode ends the stream with OK, and the rest of its batch is
    dropped. With one (`.reset`, a ResetRequest) the stream is kept until velko closes it: a
    batch with a reset resets the env as Reset does before its steps, and its reply carries
    the reset's answer in `reset`, even when the batch has no step; after the answer that
    ends an episode, the rest of its batch and every batch without a reset are dropped. A
    failed reset ends the stream with its status."""
    stopped = threading.Event()
    outcomes = ReadAhead(_applied(session, batches, reply_type, answer_type, limit,
                                  lambda: not stopped.is_set() and active()))
    try:
        for reply, failure in outcomes:
            if reply is not None:
                yield reply
            if failure is not None:
                fail(*failure)
                return
    finally:
        stopped.set()
        outcomes.close()


def _applied(session, batches, reply_type, answer_type, limit, active):
    """Applies the batches of `batches` as batch_stream says, yielding for each (its reply or
    None, (status, message) of the failure that ends the stream or None)."""
    kept = None  # whether the stream outlives its episodes, known from the first batch
    ended = False
    for batch in batches:
        if not active():
            return
        if len(batch.steps) > limit:
            yield None, ("INVALID_ARGUMENT", f"a batch of {len(batch.steps)} steps, more than "
                                             f"the {limit} the sim takes in one")
            return
        if kept is None:
            kept = batch.HasField("reset")
        reset = None
        if kept and batch.HasField("reset"):
            request = batch.reset
            seed = request.seed if request.HasField("seed") else None
            try:
                reset = answer_type(json=session.reset(seed, request.options_json))
            except BadRequest as error:
                yield None, ("INVALID_ARGUMENT", str(error))
                return
            except CallError as error:
                yield None, (error.status, error.message)
                return
        elif ended:
            continue  # the episode is over: wait for the batch that starts the next
        steps = batch.steps
        done = 0
        while True:
            if done and not active():
                return  # cancelled while a batch of slow steps was being answered in parts
            answers, failure, ended, done = _apply(session, steps, done, answer_type)
            if reset is not None:
                yield reply_type(reset=reset, answers=answers), failure
                reset = None
            elif answers or failure is not None:
                yield (reply_type(answers=answers) if answers else None), failure
            if failure is not None or ended or done == len(steps):
                break
        if failure is not None or (ended and not kept):
            return


def _apply(session, steps, first, answer_type):
    """Applies `steps` in order from the one at `first` up to the first that fails or ends
    the episode, or until ANSWER_WITHIN_S have gone by: (their answers, (status, message) of
    the failure or None, whether the episode ended, the index of the next step to apply)."""
    answers = []
    started = time.monotonic()
    for index in range(first, len(steps)):
        request = steps[index]
        try:
            answer = session.step(request.action_json)
        except BadRequest as error:
            return answers, ("INVALID_ARGUMENT", str(error)), False, index
        except CallError as error:
            return answers, (error.status, error.message), False, index
        answers.append(answer_type(json=answer.json, step=request.step))
        if answer.ended:
            return answers, None, True, index + 1
        if time.monotonic() - started >= ANSWER_WITHIN_S:
            return answers, None, False, index + 1
    return answers, None, False, len(steps)
