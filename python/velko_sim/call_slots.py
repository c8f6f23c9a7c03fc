"""How many calls the sim works on at once, so that a call is refused rather than queued.

The sim runs the env for single calls on a few worker threads, and a step stream is open for
as long as velko keeps it. Without a bound, calls waiting for an env stuck in a step would
take every worker, and every later call would wait behind them with no word of why.
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
