"""The gRPC service `velko.sim.v1.Sim` over a Session, served on an asyncio event loop."""

import asyncio

import grpc

from .json_values import BadRequest
from .session import CallError
from .stream import BatchApplier, StepApplier
from .stubs import sim_pb2, sim_pb2_grpc


class SimService(sim_pb2_grpc.SimServicer):
    """Answers velko's calls with a Session; failures become statuses with their message.

    Calls other than the step streams run the env on one of `workers` (an executor), so that
    the event loop, and Ping with it, goes on while the env makes itself or a step hangs. The
    streams apply their steps on the event loop: a hand-over to another thread for every
    message would cost the sim more than gRPC's own work for it, and velko sends nothing else
    while it steps.

    Every call but Ping takes one of `slots` (a CallSlots) while it runs, and is refused with
    RESOURCE_EXHAUSTED when none is free, rather than queued behind the others."""

    def __init__(self, session, slots, workers, steps_ahead=True, batch_steps=0):
        self._session = session
        self._slots = slots
        self._workers = workers
        self._steps_ahead = steps_ahead
        self._batch_steps = batch_steps

    async def Ping(self, request, context):
        # Answers at once, whatever the env is doing in a worker: it takes no lock and no slot.
        return sim_pb2.PingReply()

    async def Init(self, request, context):
        # Steps sent ahead reach the env one at a time, in order, as any others: its step()
        # sees no difference. Nor does its reset() when it comes in a batch.
        return await self._answer(
            context, lambda: sim_pb2.InitReply(steps_ahead=self._steps_ahead,
                                               batch_steps=self._batch_steps,
                                               batch_resets=bool(self._batch_steps)))

    async def Make(self, request, context):
        def make():
            self._session.make(request.env_init_json)
            return sim_pb2.MakeReply()
        return await self._answer(context, make)

    async def GetMappings(self, request, context):
        return await self._json(context, self._session.mappings)

    async def SensorSpaceInfo(self, request, context):
        return await self._json(context, self._session.sensor_space)

    async def ActionSpaceInfo(self, request, context):
        return await self._json(context, self._session.action_space)

    async def Reset(self, request, context):
        # A velko older than the seed sends neither field: no seed, no options.
        seed = request.seed if request.HasField("seed") else None
        return await self._json(context, lambda: self._session.reset(seed, request.options_json))

    async def Step(self, request, context):
        return await self._json(context, lambda: self._session.step(request.action_json).json)

    async def Close(self, request, context):
        def close():
            self._session.close()
            return sim_pb2.CloseReply()
        return await self._answer(context, close)

    async def StepStream(self, request_iterator, context):
        if not self._slots.take():
            await _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
        try:
            applier = StepApplier(self._session, sim_pb2.JsonReply)
            async for request in request_iterator:
                if context.cancelled():
                    return
                reply, failure = applier.apply(request)
                if reply is not None:
                    yield reply
                if failure is not None:
                    await _fail(context, *failure)
                if applier.finished:
                    return  # the episode ended: the steps still on their way are not applied
        finally:
            self._slots.give_back()

    async def StepBatches(self, request_iterator, context):
        # As StepStream, a batch of steps to a message; offered only when announced. A stream
        # whose first batch carries a reset holds every episode of the run, each reset in its
        # first batch.
        if not self._batch_steps:
            await _fail(context, "UNIMPLEMENTED", "the sim takes no batches of steps")
        if not self._slots.take():
            await _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
        try:
            applier = BatchApplier(self._session, sim_pb2.StepBatchReply, sim_pb2.JsonReply,
                                   self._batch_steps)
            active = lambda: not context.cancelled()  # noqa: E731
            async for batch in request_iterator:
                if context.cancelled():
                    return
                for reply, failure in applier.apply(batch, active):
                    if reply is not None:
                        yield reply
                    if failure is not None:
                        await _fail(context, *failure)
                if applier.finished:
                    return
        finally:
            self._slots.give_back()

    async def _answer(self, context, call):
        """The reply that `call` makes on a worker, in a slot; a failure becomes the call's
        status."""
        if not self._slots.take():
            await _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
        try:
            reply, failure = await asyncio.get_running_loop().run_in_executor(
                self._workers, _outcome, call)
        finally:
            self._slots.give_back()
        if failure is not None:
            await _fail(context, *failure)
        return reply

    async def _json(self, context, call):
        """A JsonReply with the text that `call` gives."""
        return await self._answer(context, lambda: sim_pb2.JsonReply(json=call()))


def _outcome(call):
    """(what call() returns, None), or (None, (status, message)) when it fails as the
    session's calls fail."""
    try:
        return call(), None
    except BadRequest as error:
        return None, ("INVALID_ARGUMENT", str(error))
    except CallError as error:
        return None, (error.status, error.message)


# Longest status message sent: a status travels in a header, whose size gRPC bounds.
MAX_MESSAGE_CHARS = 2000


async def _fail(context, status, message):
    """Ends the call with a status (named as in grpc.StatusCode) and its message: raises, as
    gRPC's abort does."""
    if len(message) > MAX_MESSAGE_CHARS:
        message = message[:MAX_MESSAGE_CHARS] + f" [... {len(message) - MAX_MESSAGE_CHARS} more]"
    await context.abort(getattr(grpc.StatusCode, status), message)
