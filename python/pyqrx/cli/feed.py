"""The feed-handler loop of qrx serve and qrx replay: a Symproxy on a port that
plays a timeline of records out to the client, polled with getFd, select and
checkSocket from this loop, and answers later subscriptions from its snapshot
cache."""

import select
import signal
import time

import pyqrx

from .common import EXIT_CONNECT, CliError, warn

# Records published between two looks at the socket when many are due at once.
BATCH = 1000
# Playback starts once the client has subscribed to every topic of the file,
# or when this long has passed without a new subscription.
START_GRACE = 1.0
# The longest wait for the socket: a SIGTERM (whose handler only takes note)
# is seen at least this often, also while the next record is due much later.
LONGEST_WAIT = 0.5


class Feed:
    """Serves `timeline()`, an iterable of (due, topic, data) with due in
    seconds from the start of playback (None: as soon as possible)."""

    def __init__(self, port, prog):
        self.prog = prog
        self.proxy = pyqrx.Symproxy()
        self.subscribed = set()
        self.all_topics = False
        self.last_subscribe = None
        self.stopping = []
        self.published = 0
        self.proxy.onSubscribe(self._on_subscribe)
        self.proxy.onUnsubscribe(self._on_unsubscribe)
        if not self.proxy.initialize(port):
            raise CliError("cannot listen on port %d" % port, EXIT_CONNECT)
        warn(prog, "listening on port %d" % port)

    def _on_subscribe(self, topic):
        if topic == "":
            self.all_topics = True
        else:
            self.subscribed.add(topic)
        self.last_subscribe = time.monotonic()

    def _on_unsubscribe(self, topic):
        if topic is None or topic == "":
            self.subscribed.clear()
            self.all_topics = False
            if topic is None:
                # The client left: a playback not yet started waits for the next one.
                self.last_subscribe = None
        else:
            self.subscribed.discard(topic)

    def _ready(self, topics, now):
        if self.last_subscribe is None:
            return False
        return (self.all_topics or topics <= self.subscribed
                or now - self.last_subscribe >= START_GRACE)

    def _wants_write(self):
        wants = getattr(self.proxy, "wantsWrite", None)
        return wants is not None and wants()

    def _poll(self, timeout):
        """Waits up to timeout for the client (or a connection) and handles it."""
        fd = self.proxy.getFd()
        if fd < 0:
            time.sleep(min(timeout, 0.1))
            return
        writers = [fd] if self._wants_write() else []
        try:
            readable, writable, _ = select.select([fd], writers, [],
                                                  max(0.0, min(timeout, LONGEST_WAIT)))
        except InterruptedError:
            return
        if (readable or writable) and self.proxy.select() > 0:
            self.proxy.checkSocket()

    def run(self, timeline, topics, loop=False, wait=True):
        """Plays the timeline (again and again with loop) once the client is
        ready (at once without wait), then serves until SIGTERM or Ctrl-C."""
        previous = signal.signal(signal.SIGTERM, lambda *_: self.stopping.append("SIGTERM"))
        try:
            self._run(timeline, set(topics), loop, wait)
        finally:
            signal.signal(signal.SIGTERM, previous)
            self.proxy.closeClient()

    def _run(self, timeline, topics, loop, wait):
        start = None if wait else time.monotonic()
        entries = iter(timeline())
        pending = None
        done = False
        while not self.stopping:
            now = time.monotonic()
            if start is None and self._ready(topics, now):
                start = now
            timeout = 0.5
            if start is not None and not done:
                sent = 0
                # A backlog for a slow client is drained before more is
                # published: nothing is conflated away and the order holds.
                while sent < BATCH and not self._wants_write():
                    if pending is None:
                        pending = next(entries, None)
                        if pending is None:
                            if loop:
                                entries = iter(timeline())
                                pending = next(entries, None)
                                start = now
                            if pending is None:
                                done = True
                                break
                    due, topic, data = pending
                    if due is not None and start + due > now:
                        timeout = start + due - now
                        break
                    self.proxy.publish(topic, data)
                    self.published += 1
                    sent += 1
                    pending = None
                if sent == BATCH:
                    timeout = 0.0
            self._poll(timeout)
