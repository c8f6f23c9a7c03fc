"""The gRPC service `velko.sim.v1.Sim` over a Session."""

import grpc

from .json_values import BadRequest
from .session import CallError
from .stream import batch_stream, step_stream
from .stubs import sim_pb2, sim_pb2_grpc


class SimService(sim_pb2_grpc.SimServicer):
    """Answers velko's calls with a Session; failures become statuses with their message.

    Every call but Ping takes one of `slots` (a CallSlots) while it runs, and is refused with
    RESOURCE_EXHAUSTED when none is free: given fewer slots than the server has threads, Ping
    always finds a thread, whatever the other calls are doing."""

    def __init__(self, session, slots, steps_ahead=True, batch_steps=0):
        self._session = session
        self._slots = slots
        self._steps_ahead = steps_ahead
        self._batch_steps = batch_steps

    def Ping(self, request, context):
        # Answers at once, whatever the env is doing: it takes no lock and no slot.
        return sim_pb2.PingReply()

    def Init(self, request, context):
        # Steps sent ahead reach the env one at a time, in order, as any others: its step()
        # sees no difference. Nor does its reset() when it comes in a batch.
        return self._in_slot(context, sim_pb2.InitReply,
                             lambda: sim_pb2.InitReply(steps_ahead=self._steps_ahead,
                                                       batch_steps=self._batch_steps,
                                                       batch_resets=bool(self._batch_steps)))

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
        # A generator: the slot is taken when gRPC starts to run the stream on its thread, and
        # given back however the stream ends (a cancelled one included).
        if not self._slots.take():
            _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
            return
        try:
            yield from step_stream(self._session, request_iterator, sim_pb2.JsonReply,
                                   lambda status, message: _fail(context, status, message),
                                   context.is_active)
        finally:
            self._slots.give_back()

    def StepBatches(self, request_iterator, context):
        # As StepStream, a batch of steps to a message; offered only when announced. A stream
        # whose first batch carries a reset holds every episode of the run, each reset in its
        # first batch.
        if not self._batch_steps:
            _fail(context, "UNIMPLEMENTED", "the sim takes no batches of steps")
            return
        if not self._slots.take():
            _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
            return
        try:
            yield from batch_stream(self._session, request_iterator, sim_pb2.StepBatchReply,
                                    sim_pb2.JsonReply,
                                    lambda status, message: _fail(context, status, message),
                                    self._batch_steps, context.is_active)
        finally:
            self._slots.give_back()

    def Close(self, request, context):
        return self._answer(context, sim_pb2.CloseReply, self._session.close)

    def _in_slot(self, context, reply_type, call):
        """What `call` answers, run in a slot; an empty reply_type refused when none is
        free."""
        if not self._slots.take():
            _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
            return reply_type()
        try:
            return call()
        finally:
            self._slots.give_back()

    def _json(self, context, call):
        """A JsonReply with the text that `call` gives."""
        def answer():
            reply = sim_pb2.JsonReply()
            try:
                reply.json = call()
            except BadRequest as error:
                _fail(context, "INVALID_ARGUMENT", str(error))
            except CallError as error:
                _fail(context, error.status, error.message)
            return reply
        return self._in_slot(context, sim_pb2.JsonReply, answer)

    def _answer(self, context, reply_type, call):
        """An empty reply once `call` has run."""
        def answer():
            try:
                call()
            except BadRequest as error:
                _fail(context, "INVALID_ARGUMENT", str(error))
            except CallError as error:
                _fail(context, error.status, error.message)
            return reply_type()
        return self._in_slot(context, reply_type, answer)


# Longest status message sent: a status travels in a header, whose size gRPC bounds.
MAX_MESSAGE_CHARS = 2000


def _fail(context, status, message):
    """Ends the call with a status (named as in grpc.StatusCode) and its message."""
    if len(message) > MAX_MESSAGE_CHARS:
        message = message[:MAX_MESSAGE_CHARS] + f" [... {len(message) - MAX_MESSAGE_CHARS} more]"
    context.set_code(getattr(grpc.StatusCode, status))
    context.set_details(message)
