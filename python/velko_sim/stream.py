"""StepStream: steps over one stream, each request answered in order as Step answers it.

Everything the step stream does is here, so that a change to how streams are used (when one
ends, what a sim announces about them) is made in this one place.
"""

from .json_values import BadRequest
from .session import CallError


def step_stream(session, requests, reply_type, fail):
    """Yields one reply per step request. A failed step ends the stream: fail(status,
    message) sets the stream's status and nothing more is read."""
    for request in requests:
        try:
            answer = session.step(request.action_json)
        except BadRequest as error:
            fail("INVALID_ARGUMENT", str(error))
            return
        except CallError as error:
            fail(error.status, error.message)
            return
        yield reply_type(json=answer.json)
