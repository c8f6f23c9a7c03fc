"""StepStream: steps over one stream, each request answered in order as Step answers it.

Everything the step stream does is here, so that a change to how streams are used (when one
ends, what a sim announces about them) is made in this one place.

velko numbers the steps of an episode that it sends ahead of their answers (from 1); each
answer echoes its request's number, and the answer that ends the episode (terminated or
truncated) ends the stream, so that the requests still on their way are never applied.
Unnumbered requests (step 0) come one at a time over a stream that outlives episodes.
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
