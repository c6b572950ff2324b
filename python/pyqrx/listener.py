"""Symlistener with opt-in reconnection.

The extension's client, with one addition: connect(..., reconnect=True) keeps
the connection up. When it ends, loop() reports SymStatus.CONNECTION_LOST to
the status callable, connects again after a back-off that doubles from `backoff`
seconds up to `max_backoff` (with jitter), logs on, subscribes again to every
topic the program holds (also those of subscribeList, subscribeWithSize and
subscribeWithType), reports SymStatus.CONNECTION_RESTORED and dispatches on.
Updates published in between are missed: the two events tell the program so.
Subscriptions made while disconnected are sent once the connection is back.
disconnect() ends it all.
"""

import builtins
import random
import select
import threading
import time

from . import _pyqrx

SymStatus = _pyqrx.SymStatus
STATUS_CONNECTION_LOST = SymStatus.CONNECTION_LOST
STATUS_CONNECTION_RESTORED = SymStatus.CONNECTION_RESTORED


def _held_key(topic):
    """A topic as held for subscribing again: bytes and the str they decode to
    (as the module encodes a str) are one topic."""
    if isinstance(topic, bytes):
        return topic.decode("utf-8", "surrogateescape")
    return topic


class Symlistener(_pyqrx.Symlistener):
    __doc__ = _pyqrx.Symlistener.__doc__

    def __init__(self):
        super().__init__()
        self._target = None
        self._reconnect = False
        self._backoff = (0.5, 30.0)
        self._topics = {}  # held subscriptions, in the order made
        self._held = {}  # held sized and typed subscriptions: (method name, args) -> True
        self._all = False
        self._stopped = threading.Event()
        self._on_status = None
        self._verdict = None  # [code, text] once a logon waited for was answered

    def connect(self, host, port, username=None, password=None, reconnect=False,
                backoff=0.5, max_backoff=30.0, wait=False, timeout=10.0):
        if reconnect and not (0 < backoff <= max_backoff):
            raise ValueError("connect takes 0 < backoff <= max_backoff")
        if wait and not timeout > 0:
            raise ValueError("connect takes a timeout above 0 with wait=True")
        self._target = (host, port, username, password)
        self._reconnect = bool(reconnect)
        self._backoff = (float(backoff), float(max_backoff))
        self._stopped.clear()
        if reconnect:
            self.loop = self._loop_reconnecting
        else:
            self.__dict__.pop("loop", None)
        self._verdict = [] if wait else None
        self._route_status()
        try:
            # While connected, connect() sends no second logon: no verdict to wait for.
            connected = self.getFd() >= 0
            if not super().connect(host, port, username, password):
                return False
            if wait and not connected:
                self._await_verdict(host, port, timeout)
            return True
        finally:
            self._verdict = None
            self._route_status()
    connect.__doc__ = _pyqrx.Symlistener.connect.__doc__ + """

With wait=True it also waits (other threads run meanwhile) for the logon's
verdict: True once accepted, LogonError with the server's text when
refused, LogonTimeout when none came within timeout seconds, and
ConnectionClosed when the server hung up first.

With reconnect=True the connection is kept up: loop() connects again
after a back-off (from backoff up to max_backoff seconds, doubling, with
jitter), logs on, subscribes again to every topic held and dispatches on,
reporting SymStatus.CONNECTION_LOST and SymStatus.CONNECTION_RESTORED to
the status callable as callable(code, text). disconnect() ends it."""

    def onStatus(self, callable):
        if callable is not None and not builtins.callable(callable):
            raise TypeError("onStatus takes a callable or None")
        self._on_status = callable
        self._route_status()
    onStatus.__doc__ = _pyqrx.Symlistener.onStatus.__doc__

    def _route_status(self):
        # Status events pass through this object while it reconnects or waits for a
        # verdict (so that its own events reach the program's callable); otherwise the
        # program's callable is called directly, and no callable costs nothing.
        if self._reconnect or self._verdict is not None:
            super().onStatus(self._status)
        else:
            super().onStatus(self._on_status)

    def _await_verdict(self, host, port, timeout):
        from . import ConnectionClosed, LogonError, LogonTimeout

        deadline = time.monotonic() + timeout
        while not self._verdict:
            fd = self.getFd()
            if fd < 0:
                raise ConnectionClosed("CONNECTION_ERROR")
            left = deadline - time.monotonic()
            if left <= 0:
                self.disconnect()
                raise LogonTimeout("no logon verdict from %s:%s within %s s"
                                   % (host, port, timeout))
            # poll, not select: the descriptor may lie beyond what select can watch.
            waiter = select.poll()
            waiter.register(fd, select.POLLIN)
            waiter.poll(min(left, 0.2) * 1000)  # the interpreter lock is released
            self.dispatchEvents()
        code, text = self._verdict
        if code == SymStatus.LOGIN_ERROR:
            self.disconnect()
            raise LogonError(text or "logon refused")

    def subscribe(self, topic):
        sent = super().subscribe(topic)
        if self._reconnect and topic is not None:
            self._topics[_held_key(topic)] = True
            return True  # sent now, or once the connection is back
        return sent
    subscribe.__doc__ = _pyqrx.Symlistener.subscribe.__doc__

    def unsubscribe(self, topic):
        self._topics.pop(_held_key(topic), None)
        return super().unsubscribe(topic)
    unsubscribe.__doc__ = _pyqrx.Symlistener.unsubscribe.__doc__

    def subscribeList(self, topics):
        topics = list(topics) if not isinstance(topics, (str, bytes)) else topics
        sent = super().subscribeList(topics)
        if self._reconnect:
            self._topics.update(dict.fromkeys(map(_held_key, topics), True))
            return True
        return sent
    subscribeList.__doc__ = _pyqrx.Symlistener.subscribeList.__doc__

    def unsubscribeList(self, topics):
        topics = list(topics) if not isinstance(topics, (str, bytes)) else topics
        sent = super().unsubscribeList(topics)
        for topic in topics:
            self._topics.pop(_held_key(topic), None)
        return sent
    unsubscribeList.__doc__ = _pyqrx.Symlistener.unsubscribeList.__doc__

    def subscribeWithSize(self, topic, nearSize, farSize, reqId=0):
        return self._hold("subscribeWithSize", (topic, nearSize, farSize, reqId))
    subscribeWithSize.__doc__ = _pyqrx.Symlistener.subscribeWithSize.__doc__

    def unsubscribeWithSize(self, topic, nearSize, farSize, reqId=0):
        self._held.pop(("subscribeWithSize", (_held_key(topic), nearSize, farSize, reqId)), None)
        return super().unsubscribeWithSize(topic, nearSize, farSize, reqId)
    unsubscribeWithSize.__doc__ = _pyqrx.Symlistener.unsubscribeWithSize.__doc__

    def subscribeWithType(self, topic, symbolType):
        return self._hold("subscribeWithType", (topic, symbolType))
    subscribeWithType.__doc__ = _pyqrx.Symlistener.subscribeWithType.__doc__

    def unsubscribeWithType(self, topic, symbolType):
        self._held.pop(("subscribeWithType", (_held_key(topic), symbolType)), None)
        return super().unsubscribeWithType(topic, symbolType)
    unsubscribeWithType.__doc__ = _pyqrx.Symlistener.unsubscribeWithType.__doc__

    def _hold(self, name, args):
        sent = getattr(_pyqrx.Symlistener, name)(self, *args)
        if self._reconnect and args[0] is not None:
            self._held[(name, (_held_key(args[0]),) + args[1:])] = True
            return True  # sent now, or once the connection is back
        return sent

    def subscribeAll(self):
        sent = super().subscribeAll()
        if self._reconnect:
            self._all = True
            return True
        return sent
    subscribeAll.__doc__ = _pyqrx.Symlistener.subscribeAll.__doc__

    def unsubscribeAll(self):
        # Every subscription is dropped, the single, listed, sized and typed ones too.
        self._all = False
        self._topics.clear()
        self._held.clear()
        return super().unsubscribeAll()
    unsubscribeAll.__doc__ = _pyqrx.Symlistener.unsubscribeAll.__doc__

    def disconnect(self):
        self._stopped.set()
        super().disconnect()
    disconnect.__doc__ = _pyqrx.Symlistener.disconnect.__doc__

    def _loop_reconnecting(self):
        """loop() of a listener that reconnects (the extension's own loop() serves
        the others, without a Python frame around it)."""
        while True:
            try:
                _pyqrx.Symlistener.loop(self)
            except Exception as exc:
                if (not self._reconnect or self._stopped.is_set()
                        or str(exc) != "CONNECTION_ERROR"):
                    raise
            else:
                return
            self._status(STATUS_CONNECTION_LOST, "connection lost")
            if not self._connect_again():
                raise Exception("CONNECTION_ERROR")
            self._status(STATUS_CONNECTION_RESTORED, "connection restored")

    def _connect_again(self):
        """Waits out the back-off and connects until it works; False once
        disconnect() was called."""
        delay, most = self._backoff
        while not self._stopped.is_set():
            # Ctrl-C ends the wait with KeyboardInterrupt, as it ends loop().
            if self._stopped.wait(delay * random.uniform(0.5, 1.0)):
                return False
            if super().connect(*self._target):
                if self._stopped.is_set():
                    # disconnect() came while connecting, before there was a
                    # connection for it to close.
                    super().disconnect()
                    return False
                if self._all:
                    super().subscribeAll()
                for topic in list(self._topics):
                    super().subscribe(topic)
                for name, args in list(self._held):
                    getattr(_pyqrx.Symlistener, name)(self, *args)
                return True
            delay = min(delay * 2, most)
        return False

    def _status(self, code, text):
        if self._verdict is not None and not self._verdict and code in (
                SymStatus.LOGIN_SUCCESS, SymStatus.LOGIN_ERROR):
            self._verdict[:] = [code, text]
        if self._on_status is not None:
            self._on_status(code, text)
