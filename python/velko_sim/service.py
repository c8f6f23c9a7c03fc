"""The gRPC service `velko.sim.v1.Sim` over a Session."""

import grpc

from .json_values import BadRequest
from .session import CallError
from .stream import step_stream
from .stubs import sim_pb2, sim_pb2_grpc


class SimService(sim_pb2_grpc.SimServicer):
    """Answers velko's calls with a Session; failures become statuses with their message."""

    def __init__(self, session, steps_ahead=True):
        self._session = session
        self._steps_ahead = steps_ahead

    def Ping(self, request, context):
        # Answers at once, whatever the env is doing: it takes no lock.
        return sim_pb2.PingReply()

    def Init(self, request, context):
        # Steps sent ahead reach the env one at a time, in order, as any others: its step()
        # sees no difference.
        return sim_pb2.InitReply(steps_ahead=self._steps_ahead)

    def Make(self, request, context):
        return self._answer(context, sim_pb2.MakeReply,
                            lambda: self._session.make(request.env_init_json))

    def GetMappings(self, request, context):
        return self._json(context, self._session.mappings)

    def SensorSpaceInfo(self, request, context):
        return self._json(context, self._session.sensor_space)

    def ActionSpaceInfo(self, request, context):
        return self._json(context, self._session.action_space)

    def Reset(self, request, context):
        # A velko older than the seed sends neither field: no seed, no options.
        seed = request.seed if request.HasField("seed") else None
        return self._json(context, lambda: self._session.reset(seed, request.options_json))

    def Step(self, request, context):
        return self._json(context, lambda: self._session.step(request.action_json).json)

    def StepStream(self, request_iterator, context):
        return step_stream(self._session, request_iterator, sim_pb2.JsonReply,
                           lambda status, message: _fail(context, status, message),
                           context.is_active)

    def Close(self, request, context):
        return self._answer(context, sim_pb2.CloseReply, self._session.close)

    def _json(self, context, call):
        """A JsonReply with the text that `call` gives."""
        reply = sim_pb2.JsonReply()
        try:
            reply.json = call()
        except BadRequest as error:
            _fail(context, "INVALID_ARGUMENT", str(error))
        except CallError as error:
            _fail(context, error.status, error.message)
        return reply

    def _answer(self, context, reply_type, call):
        """An empty reply once `call` has run."""
        try:
            call()
        except BadRequest as error:
            _fail(context, "INVALID_ARGUMENT", str(error))
        except CallError as error:
            _fail(context, error.status, error.message)
        return reply_type()


# Longest status message sent: a status travels in a header, whose size gRPC bounds.
MAX_MESSAGE_CHARS = 2000


def _fail(context, status, message):
    """Ends the call with a status (named as in grpc.StatusCode) and its message."""
    if len(message) > MAX_MESSAGE_CHARS:
        message = message[:MAX_MESSAGE_CHARS] + f" [... {len(message) - MAX_MESSAGE_CHARS} more]"
    context.set_code(getattr(grpc.StatusCode, status))
    context.set_details(message)
