"""StepStream: steps over one stream, each request answered in order as Step answers it.

Everything the step stream does is here, so that a change to how streams are used (when one
ends, what a sim announces about them) is made in this one place.

velko numbers the steps of an episode that it sends ahead of their answers (from 1); each
answer echoes its request's number, and the answer that ends the episode (terminated or
truncated) ends the stream, so that the requests still on their way are never applied.
Unnumbered requests (step 0) come one at a time over a stream that outlives episodes.

StepBatches carries the numbered steps of one episode several to a message: a batch's steps
are applied one after the other, with no message between them, and answered together as soon
as the last is applied; after the answer that ends the episode nothing more is applied.
"""

from .json_values import BadRequest
from .read_ahead import ReadAhead
from .session import CallError


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
    refused. A failed step ends the stream after the answers of the steps before it; the
    answer that ends the episode ends the stream with OK, and the rest of its batch is
    dropped. No batch is applied once active() is false (velko cancelled the stream): it is
    asked before each batch, not before each step, as asking costs gRPC's lock of the call,
    a few microseconds taken from the poller thread, and a batch is applied in a moment."""
    ahead = ReadAhead(batches)
    try:
        for batch in ahead:
            if not active():
                return
            if len(batch.steps) > limit:
                fail("INVALID_ARGUMENT", f"a batch of {len(batch.steps)} steps, more than the "
                                         f"{limit} the sim takes in one")
                return
            answers = []
            failure = None
            ended = False
            for request in batch.steps:
                try:
                    answer = session.step(request.action_json)
                except BadRequest as error:
                    failure = ("INVALID_ARGUMENT", str(error))
                    break
                except CallError as error:
                    failure = (error.status, error.message)
                    break
                answers.append(answer_type(json=answer.json, step=request.step))
                if answer.ended:
                    ended = True
                    break
            if answers:
                yield reply_type(answers=answers)
            if failure is not None:
                fail(*failure)
                return
            if ended:
                return
    finally:
        ahead.close()
