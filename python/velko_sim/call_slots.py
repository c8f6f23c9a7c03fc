"""How many calls the sim works on at once, so that Ping always finds a free thread.

gRPC's server runs each call on a thread of one pool, and a step stream holds its thread for
as long as it is open. Without a bound, a few open streams (or calls waiting for an env stuck
in a step) would take every thread, and Ping, and every other call, would wait behind them.
"""

import threading


class CallSlots:
    """`count` slots for calls; a call that finds none free is refused at once rather than
    queued behind the others."""

    def __init__(self, count):
        self.count = count
        self._free = threading.Semaphore(count)

    def take(self):
        """True when a slot was free (and is now the caller's); False at once otherwise."""
        return self._free.acquire(blocking=False)

    def give_back(self):
        self._free.release()

    def busy_message(self):
        """The message of a call refused for want of a slot."""
        return (f"the sim is busy: {self.count} calls are in progress, the most it takes at "
                "once (velko makes one at a time; end the calls or streams left open)")
