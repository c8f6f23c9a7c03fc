"""Requests of a stream read on a thread of their own, a few ahead of their use.

gRPC's server hands a stream's requests over one at a time, each only when asked for and
through the thread that polls the connection. Reading them on another thread while a step is
applied and its answer sent keeps the next request ready when the step stream asks for it,
so that steps velko sends ahead are not each held up by that hand-over.
"""

import queue
import threading

# Most requests waiting to be taken: velko bounds what it sends ahead, this bounds what the
# sim holds.
MAX_AHEAD = 16

_END = object()  # no more requests: they ended, or reading them failed


class ReadAhead:
    """Iterates the requests of `requests` (an iterator) in order, read on a thread of its
    own. Where reading `requests` raised (gRPC's error for a cancelled call), iterating
    raises the same exception. close() lets go of the thread."""

    def __init__(self, requests, ahead=MAX_AHEAD):
        self._requests = requests
        self._ready = queue.Queue(maxsize=ahead)
        self._closed = False
        self._done = False
        self._error = None
        self._thread = threading.Thread(target=self._read, name="velko-sim-read", daemon=True)
        self._thread.start()

    def __iter__(self):
        return self

    def __next__(self):
        if self._done:
            raise StopIteration
        item = self._ready.get()
        if item is _END:
            self._done = True
            if self._error is not None:
                raise self._error
            raise StopIteration
        return item

    def close(self):
        """Stops reading: the thread ends once the call ends. Requests read are dropped."""
        self._closed = True
        self._done = True
        self._drain()

    def _read(self):
        try:
            for request in self._requests:
                if self._closed:
                    return
                self._ready.put(request)
        except Exception as error:  # gRPC's error for a cancelled call, or the iterator's own
            self._error = error
        if not self._closed:
            self._ready.put(_END)

    def _drain(self):
        """Empties the queue so that a read blocked on a full queue goes on (and sees the
        close)."""
        try:
            while True:
                self._ready.get_nowait()
        except queue.Empty:
            pass
