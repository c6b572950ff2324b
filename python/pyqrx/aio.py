"""asyncio adapters of Symlistener and Symproxy.

Pure Python on top of the module and without threads: the running event loop
watches the connections' descriptors (loop.add_reader, and add_writer while a
feed handler's output waits) and drives the module's non-blocking calls, so a
slow or silent peer never holds up the other tasks.

    async def main():
        listener = AsyncSymlistener()
        await listener.connect("127.0.0.1", 7001, "me", "secret")
        listener.subscribe("IBM")
        async for topic, data in listener:
            print(topic, data)
"""

import asyncio
import collections
import random

from . import _pyqrx
from . import ConnectionClosed, LogonError, LogonTimeout
from .listener import STATUS_CONNECTION_LOST, STATUS_CONNECTION_RESTORED, _held_key

__all__ = ["AsyncSymlistener", "AsyncSymproxy"]


class _Inbox:
    """Items for an async iterator: appended by callbacks of the event loop's
    reader, awaited by the iterating tasks (each item goes to one of them).
    on_take(n), when given, is called with the number of items and failures
    left after each one taken, so that a reader held back for a full inbox can
    go on."""

    def __init__(self, on_take=None):
        self._items = collections.deque()
        self._waiters = []
        self._errors = collections.deque()  # each raised in turn, none dropped
        self._ended = False
        self._on_take = on_take

    def __len__(self):
        return len(self._items) + len(self._errors)

    def put(self, item):
        self._items.append(item)
        self._wake()

    def fail(self, error):
        self._errors.append(error)
        self._wake()

    def end(self):
        self._ended = True
        self._wake()

    @property
    def ended(self):
        return self._ended

    def _wake(self):
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_result(None)

    async def get(self):
        while not self._items:
            if self._errors:
                error = self._errors.popleft()
                if self._on_take is not None:
                    self._on_take(len(self))
                raise error
            if self._ended:
                raise StopAsyncIteration
            waiter = asyncio.get_running_loop().create_future()
            self._waiters.append(waiter)
            try:
                await waiter
            finally:
                self._waiters.remove(waiter)
        item = self._items.popleft()
        if self._on_take is not None:
            self._on_take(len(self))
        return item


class _HeldReader:
    """Reading held back while the inbox is full: past max_waiting items (and
    failures) the descriptor is not read, so a faster peer waits in the
    socket, until the iterating tasks have taken half of them. The class
    using it has _loop, _fd, _inbox, _paused and _readable, the reader
    callback of its descriptor."""

    max_waiting = 10000

    def _hold_if_full(self):
        """Stops reading when the inbox is full; True while held back."""
        if (not self._paused and self._fd >= 0 and self.max_waiting is not None
                and self._inbox is not None and len(self._inbox) >= self.max_waiting):
            self._loop.remove_reader(self._fd)
            self._paused = True
        return self._paused

    def _taken(self, left):
        """The inbox's on_take: reads again once half has been taken."""
        if self._paused and self._fd >= 0 and (
                self.max_waiting is None or left <= self.max_waiting // 2):
            self._paused = False
            self._loop.add_reader(self._fd, self._readable)
            self._resumed()

    def _resumed(self):
        """Called when reading goes on again."""


class AsyncSymlistener(_HeldReader):
    """A Symlistener driven by the running event loop.

    Updates come through `async for topic, data in listener` (each data its
    own dict) and/or the callable set with on_data (called with the module's
    reused dict); connection status through on_status(code, text) and the
    status of a topic through on_symbol_status(topic, message, code), codes
    being pyqrx.SymStatus members. connect(..., reconnect=True) keeps the
    connection up as Symlistener's does: connects again with back-off,
    subscribes again to every topic held and reports SymStatus.CONNECTION_LOST
    and SymStatus.CONNECTION_RESTORED.

    Updates (and failures) wait for the iterating tasks in memory, at most
    max_waiting of them (plus what one read of the socket brings): past that
    the connection is not read, so a server faster than the tasks waits in the
    socket, until they have taken half of them. on_data is then held back too,
    also when no task iterates any more: close() the listener, or set
    max_waiting to None (no bound) before iterating, when that is meant.

    While connected it belongs to the event loop that connected it: a task of
    another loop that iterates or awaits a command gets RuntimeError."""

    def __init__(self):
        self._listener = _pyqrx.Symlistener()
        self._listener.onData(self._data)
        self._listener.onStatus(self._status)
        self._listener.onSymbolStatus(self._symbol_status)
        self._loop = None
        self._fd = -1
        self._logon = None
        self._inbox = None
        self._target = None
        self._reconnect = None  # (backoff, max_backoff) when reconnecting
        self._reconnecting = None  # the task that connects again
        self._topics = {}
        self._all = False
        self.on_data = None
        self.on_status = None
        self._commands = set()  # futures of commands awaiting their final response
        self.on_symbol_status = None
        self._paused = False  # not read while the inbox is full

    async def connect(self, host, port, username=None, password=None, timeout=10.0,
                      reconnect=False, backoff=0.5, max_backoff=30.0):
        """Connects, logs on and waits for the verdict: True once accepted;
        LogonError when refused, LogonTimeout when no verdict comes in time,
        ConnectionError when the connection cannot be made."""
        if self._fd >= 0:
            raise RuntimeError("AsyncSymlistener is connected already")
        if reconnect and not (0 < backoff <= max_backoff):
            raise ValueError("connect takes 0 < backoff <= max_backoff")
        self._loop = asyncio.get_running_loop()
        self._target = (host, port, username, password)
        self._reconnect = (backoff, max_backoff) if reconnect else None
        if self._inbox is not None and self._inbox.ended:
            # ended by close(): iterating goes on with this connection
            self._inbox = _Inbox(self._taken)
        self._logon = self._loop.create_future()
        # The TCP connect itself waits (bounded by the connect time-out).
        if not self._listener.connect(host, port, username, password):
            self._logon = None
            raise ConnectionError("cannot connect to %s:%s" % (host, port))
        self._fd = self._listener.getFd()
        self._loop.add_reader(self._fd, self._readable)
        try:
            await asyncio.wait_for(asyncio.shield(self._logon), timeout)
        except asyncio.TimeoutError:
            await self.close()
            raise LogonTimeout("no logon verdict from %s:%s within %s s" % (host, port, timeout))
        except BaseException:
            await self.close()
            raise
        finally:
            self._logon = None
        return True

    def subscribe(self, topic):
        sent = self._listener.subscribe(topic)
        if self._reconnect is not None and topic is not None:
            self._topics[_held_key(topic)] = True
            return True  # sent now, or once the connection is back
        return sent

    def unsubscribe(self, topic):
        self._topics.pop(_held_key(topic), None)
        return self._listener.unsubscribe(topic)

    def subscribeAll(self):
        sent = self._listener.subscribeAll()
        if self._reconnect is not None:
            self._all = True
            return True
        return sent

    def unsubscribeAll(self):
        self._all = False
        self._topics.clear()  # every subscription is dropped
        return self._listener.unsubscribeAll()

    @property
    def connected(self):
        return self._fd >= 0

    async def command(self, command, timeout=None):
        """Sends a pyqrx.Command and waits for its final Response: returns the
        list of its responses, those in progress first, the final one last.
        ConnectionClosed when the connection is not up or ends meanwhile;
        asyncio.TimeoutError after timeout seconds when given."""
        if self._fd < 0:
            raise ConnectionClosed("CONNECTION_ERROR")
        self._check_loop()
        done = self._loop.create_future()
        responses = []

        def on_response(rsp):
            if done.done():
                return  # the awaiting task has gone (time-out, cancellation): nothing is kept
            responses.append(rsp)
            if rsp.final:
                done.set_result(responses)

        if self._listener.sendCommand(command, on_response) is None:
            raise ConnectionClosed("CONNECTION_ERROR")
        self._commands.add(done)
        try:
            return await asyncio.wait_for(done, timeout)
        finally:
            self._commands.discard(done)

    @property
    def listener(self):
        """The Symlistener underneath, for the other requests (subscribeList,
        subscribeWithSize, snapshot, ...) and event callables (onTopicData,
        onSnapshot, onSnapshotStart, ...). Its onData, onStatus and
        onSymbolStatus callables belong to this object, and requests made
        through it are not made again after a reconnection."""
        return self._listener

    async def close(self):
        """Stops watching the connection and closes it (and stops reconnecting)."""
        self._reconnect = None
        if self._reconnecting is not None:
            self._reconnecting.cancel()
            try:
                await self._reconnecting
            except asyncio.CancelledError:
                pass
            self._reconnecting = None
        self._unwatch()
        self._listener.disconnect()
        if self._inbox is not None:
            self._inbox.end()

    def __aiter__(self):
        if self._inbox is None:
            self._inbox = _Inbox(self._taken)
        return self

    async def __anext__(self):
        self._check_loop()
        if self._inbox is None:
            self.__aiter__()
        return await self._inbox.get()

    def _check_loop(self):
        """Refuses a task of another event loop than the one watching the
        connection: nothing would wake it."""
        if ((self._fd >= 0 or self._reconnecting is not None)
                and asyncio.get_running_loop() is not self._loop):
            raise RuntimeError("AsyncSymlistener is bound to another event loop")

    # ---- driven by the event loop ----

    def _unwatch(self):
        if self._fd >= 0 and self._loop is not None:
            self._loop.remove_reader(self._fd)
        self._fd = -1
        self._paused = False
        for done in self._commands:
            if not done.done():
                done.set_exception(ConnectionClosed("CONNECTION_ERROR"))

    def _readable(self):
        try:
            self._listener.dispatchEvents()
        except BaseException as exc:  # a callable raised: the iterating task gets it
            self._fail(exc)
            # The rest of what was read waits in the listener, where no readable
            # descriptor tells of it: it is dispatched on the loop's next turn.
            if not self._hold_if_full():
                self._loop.call_soon(self._dispatch_rest)
            return
        if self._listener.getFd() < 0:
            self._unwatch()
            if self._reconnect is not None and self._logon is None:
                try:
                    self._status(STATUS_CONNECTION_LOST, "connection lost")
                except BaseException as exc:  # the status callable raised: as a data callable's
                    self._fail(exc)
                self._reconnecting = self._loop.create_task(self._connect_again())
                return
            self._fail(ConnectionClosed("CONNECTION_ERROR"))
            if self._inbox is not None:
                self._inbox.end()
            return
        self._hold_if_full()

    def _dispatch_rest(self):
        if self._fd >= 0 and not self._paused:
            self._readable()

    def _resumed(self):
        self._loop.call_soon(self._dispatch_rest)  # what an error left unread

    async def _connect_again(self):
        delay, most = self._reconnect
        while True:
            await asyncio.sleep(delay * random.uniform(0.5, 1.0))
            # The TCP connect itself waits (bounded by the connect time-out).
            if self._listener.connect(*self._target):
                break
            delay = min(delay * 2, most)
        self._fd = self._listener.getFd()
        self._loop.add_reader(self._fd, self._readable)
        if self._all:
            self._listener.subscribeAll()
        for topic in list(self._topics):
            self._listener.subscribe(topic)
        self._reconnecting = None
        try:
            self._status(STATUS_CONNECTION_RESTORED, "connection restored")
        except BaseException as exc:  # the status callable raised: as a data callable's
            self._fail(exc)

    def _fail(self, error):
        if self._logon is not None and not self._logon.done():
            self._logon.set_exception(error)
        elif self._inbox is not None:
            self._inbox.fail(error)
        elif not isinstance(error, ConnectionClosed):
            self._loop.call_exception_handler({
                "message": "AsyncSymlistener callable raised", "exception": error})

    def _data(self, topic, data):
        if self.on_data is not None:
            self.on_data(topic, data)
        if self._inbox is not None:
            self._inbox.put((topic, dict(data)))

    def _status(self, code, text):
        if self._logon is not None and not self._logon.done():
            if code == _pyqrx.SymStatus.LOGIN_SUCCESS:
                self._logon.set_result(True)
            elif code == _pyqrx.SymStatus.LOGIN_ERROR:
                self._logon.set_exception(LogonError(text))
        if self.on_status is not None:
            self.on_status(code, text)

    def _symbol_status(self, topic, message, code):
        if self.on_symbol_status is not None:
            self.on_symbol_status(topic, message, code)


class AsyncSymproxy(_HeldReader):
    """A Symproxy served by the running event loop.

    Subscription events come through `async for kind, topic in proxy.events()`
    (kind "subscribe" or "unsubscribe"; topic None when the server went away)
    and/or the callables on_subscribe and on_unsubscribe. publish() and
    publishMany() are plain calls, safe from any coroutine.

    Events (and failures) wait for the iterating tasks in memory, at most
    max_waiting of them (plus what one read of the socket brings): past that
    the server's requests are not read, so a server faster than the tasks
    waits in the socket (output still leaves), until they have taken half of
    them. on_subscribe and on_unsubscribe are held back too, also when no task
    iterates any more: close() the proxy, or set max_waiting to None (no
    bound) before iterating, when that is meant.

    Once started it belongs to the event loop that started it: a task of
    another loop that iterates gets RuntimeError."""

    def __init__(self):
        self._proxy = _pyqrx.Symproxy()
        self._proxy.onSubscribe(self._subscribed)
        self._proxy.onUnsubscribe(self._unsubscribed)
        self._loop = None
        self._fd = -1
        self._writing = False
        self._inbox = None
        self._paused = False  # requests not read while the inbox is full
        self.on_subscribe = None
        self.on_unsubscribe = None

    @property
    def proxy(self):
        """The Symproxy underneath, for its other methods (backlog, limits)."""
        return self._proxy

    async def start(self, port):
        """Listens on the port and serves the symbol server from now on."""
        if self._proxy is None:
            raise RuntimeError("AsyncSymproxy is closed")
        self._loop = asyncio.get_running_loop()
        if not self._proxy.initialize(port):
            raise OSError("cannot listen on port %s" % port)
        self._watch()

    def publish(self, topic, data):
        if self._proxy is None:
            return False  # closed: nobody to send to
        ok = self._proxy.publish(topic, data)
        self._watch()
        return ok

    def publishMany(self, items):
        if self._proxy is None:
            return 0  # closed: nothing listed
        n = self._proxy.publishMany(items)
        self._watch()
        return n

    def events(self):
        """The async iterator of subscription events."""
        if self._inbox is None:
            self._inbox = _Inbox(self._taken)
        return self

    def __aiter__(self):
        return self.events()

    async def __anext__(self):
        if self._proxy is not None and self._loop is not None and (
                asyncio.get_running_loop() is not self._loop):
            # The loop that started the proxy watches it: nothing would wake this task.
            raise RuntimeError("AsyncSymproxy is bound to another event loop")
        return await self.events()._inbox.get()

    async def close(self):
        """Stops serving and closes every descriptor of the proxy, for good:
        iterating its events ends, start() raises RuntimeError."""
        self._unwatch()
        proxy, self._proxy = self._proxy, None
        try:
            if proxy is not None:
                proxy.closeClient()  # an unsubscribe callable that raises propagates
        finally:
            if proxy is not None:
                proxy.onSubscribe(None)
                proxy.onUnsubscribe(None)
                del proxy  # the listening socket goes with the object
            if self._inbox is None:
                self._inbox = _Inbox(self._taken)  # an iteration begun later ends at once
            self._inbox.end()

    # ---- driven by the event loop ----

    def _watch(self):
        """Keeps the loop watching the proxy's current descriptor: readable
        always, writable while output waits for the server."""
        if self._proxy is None or self._loop is None:
            return
        fd = self._proxy.getFd()
        if fd != self._fd:
            self._unwatch()
            if fd >= 0:
                self._loop.add_reader(fd, self._readable)
                self._fd = fd
            self._hold_if_full()
        wants = self._fd >= 0 and self._proxy.wantsWrite()
        if wants and not self._writing:
            self._loop.add_writer(self._fd, self._readable)
            self._writing = True
        elif not wants and self._writing:
            self._loop.remove_writer(self._fd)
            self._writing = False

    def _unwatch(self):
        if self._fd >= 0 and self._loop is not None:
            self._loop.remove_reader(self._fd)
            if self._writing:
                self._loop.remove_writer(self._fd)
        self._fd = -1
        self._writing = False
        self._paused = False

    def _readable(self):
        if self._proxy is None:
            return
        try:
            self._proxy.getFd()
            if self._paused:
                self._proxy.flush()  # writable: the output leaves, the requests wait
            elif self._proxy.select() > 0:
                self._proxy.checkSocket()
        except BaseException as exc:  # a callable raised
            if self._inbox is not None:
                self._inbox.fail(exc)
            else:
                self._loop.call_exception_handler({
                    "message": "AsyncSymproxy callable raised", "exception": exc})
        finally:
            self._watch()
            self._hold_if_full()

    def _subscribed(self, topic):
        if self.on_subscribe is not None:
            self.on_subscribe(topic)
        if self._inbox is not None:
            self._inbox.put(("subscribe", topic))

    def _unsubscribed(self, topic):
        if self.on_unsubscribe is not None:
            self.on_unsubscribe(topic)
        if self._inbox is not None:
            self._inbox.put(("unsubscribe", topic))
