"""The gRPC service `velko.sim.v1.Sim` over a Session, served on an asyncio event loop."""

import asyncio

import grpc

from .stream import BatchApplier, StepApplier, outcome
from .stubs import sim_pb2, sim_pb2_grpc


class SimService(sim_pb2_grpc.SimServicer):
    """Answers velko's calls with a Session; failures become statuses with their message.

    Calls other than the step streams run the env on one of `workers` (an executor), so that
    the event loop, and Ping with it, goes on while the env makes itself or a step hangs. The
    streams apply their steps on the event loop: a hand-over to another thread for every
    message would cost the sim more than gRPC's own work for it, and velko sends nothing else
    while it steps. With steps_on_loop false they apply them on a worker too, for an env that
    runs an event loop of its own in its calls.

    Every call but Ping takes one of `slots` (a CallSlots) while it runs, and is refused with
    RESOURCE_EXHAUSTED when none is free, rather than queued behind the others."""

    def __init__(self, session, slots, workers, steps_ahead=True, batch_steps=0,
                 steps_on_loop=True):
        self._session = session
        self._slots = slots
        self._workers = workers
        # Where the streams apply their steps: on the loop (None), or on a worker.
        self._stream_workers = None if steps_on_loop else workers
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
                                               batch_resets=bool(self._batch_steps),
                                               episodes_ahead=bool(self._batch_steps)))

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
            await _stream(context, StepApplier(self._session, sim_pb2.JsonReply),
                          self._stream_workers)
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
            await _stream(context, BatchApplier(self._session, sim_pb2.StepBatchReply,
                                                sim_pb2.JsonReply, self._batch_steps),
                          self._stream_workers)
        finally:
            self._slots.give_back()

    async def _answer(self, context, call):
        """The reply that `call` makes on a worker, in a slot; a failure becomes the call's
        status."""
        if not self._slots.take():
            await _fail(context, "RESOURCE_EXHAUSTED", self._slots.busy_message())
        try:
            answered = asyncio.get_running_loop().run_in_executor(self._workers, outcome, call)
        except BaseException:
            self._slots.give_back()
            raise
        # The slot is the env's until its call returns, even when velko stops waiting for it.
        answered.add_done_callback(lambda _: self._slots.give_back())
        reply, failure = await asyncio.shield(answered)
        if failure is not None:
            await _fail(context, *failure)
        return reply

    async def _json(self, context, call):
        """A JsonReply with the text that `call` gives."""
        return await self._answer(context, lambda: sim_pb2.JsonReply(json=call()))


async def _stream(context, applier, workers=None):
    """Serves a step stream with `applier` until it is finished, its requests end or velko
    cancels it; a failure becomes the stream's status once the replies before it are out.
    The steps are applied on the loop, or on one of `workers` when given."""
    active = lambda: not context.cancelled()  # noqa: E731
    loop = asyncio.get_running_loop()
    async with _Overlapped(context) as call:
        while not applier.finished:
            request = await call.read()
            if request is None or context.cancelled():
                return
            parts = applier.apply(request, active)
            while True:
                part = (next(parts, None) if workers is None else
                        await loop.run_in_executor(workers, next, parts, None))
                if part is None:
                    break
                reply, failure = part
                if reply is not None:
                    call.write(reply)
                if failure is not None:
                    await call.written()
                    await _fail(context, *failure)
                # A turn of the loop: the reply starts to go out, and velko's cancel comes in,
                # while the rest of a slow batch is applied.
                await asyncio.sleep(0)


class _Overlapped:
    """The reads and writes of a stream's messages, each on a task of its own, so that the
    stream's work goes on while gRPC takes them: the next request is read while the last is
    applied (up to READ_AHEAD), and replies are written in order while the next are made.
    Leaving the block (`async with`) normally waits for the replies written so far."""

    READ_AHEAD = 4

    def __init__(self, context):
        self._context = context
        self._requests = asyncio.Queue(self.READ_AHEAD)
        self._replies = asyncio.Queue()
        self._closing = False
        self._write_error = None
        self._tasks = []

    async def __aenter__(self):
        self._tasks = [asyncio.ensure_future(self._read_all()),
                       asyncio.ensure_future(self._write_all())]
        return self

    async def __aexit__(self, error_type, error, traceback):
        try:
            if error_type is None:
                await self.written()
        finally:
            self._closing = True
            for task in self._tasks:
                task.cancel()

    async def read(self):
        """The next request, or None once they have ended. Raises what reading raised (the
        call was cancelled or failed)."""
        request = await self._requests.get()
        if isinstance(request, BaseException):
            raise request
        return request

    def write(self, reply):
        """Queues a reply; it goes out after those before it."""
        self._replies.put_nowait(reply)

    async def written(self):
        """Returns once every reply queued so far has gone out. Raises what writing raised;
        once a write has failed, the replies after it are dropped."""
        await self._replies.join()
        if self._write_error is not None:
            raise self._write_error

    async def _read_all(self):
        try:
            while True:
                request = await self._context.read()
                if request is grpc.aio.EOF:
                    await self._requests.put(None)
                    return
                await self._requests.put(request)
        except BaseException as error:  # noqa: B036 the call's end, unless this block ends
            if self._closing:
                raise
            await self._requests.put(error)

    async def _write_all(self):
        while True:
            reply = await self._replies.get()
            try:
                if self._write_error is None:
                    await self._context.write(reply)
            except Exception as error:  # the call was cancelled, or failed
                self._write_error = error
            finally:
                self._replies.task_done()


# Longest status message sent: a status travels in a header, whose size gRPC bounds.
MAX_MESSAGE_CHARS = 2000


async def _fail(context, status, message):
    """Ends the call with a status (named as in grpc.StatusCode) and its message: raises, as
    gRPC's abort does."""
    if len(message) > MAX_MESSAGE_CHARS:
        message = message[:MAX_MESSAGE_CHARS] + f" [... {len(message) - MAX_MESSAGE_CHARS} more]"
    await context.abort(getattr(grpc.StatusCode, status), message)
