"""Reconnection: a feed handler process killed with SIGKILL and started again
on the same port; the client connects again by itself, subscribes again to
every topic it holds exactly once (those made while it was away included) and
reports the connection lost and restored."""

import asyncio
import queue
import subprocess
import sys
import threading
import time

import pytest

import pyqrx
import symwire as w
from pyqrx.aio import AsyncSymlistener

SEQ = 600

FEED = r"""
import sys, time, pyqrx
port, generation = int(sys.argv[1]), int(sys.argv[2])
proxy = pyqrx.Symproxy()
for _ in range(200):  # the port may still be held by the killed process for a moment
    if proxy.initialize(port):
        break
    time.sleep(0.05)
else:
    sys.exit("cannot listen")
def subscribed(topic):
    print("SUB", topic, flush=True)
    proxy.publish(topic, {600: generation})
proxy.onSubscribe(subscribed)
proxy.onSubscribeWithSize(lambda *a: print("SIZE", *a, flush=True))
print("READY", flush=True)
proxy.serve(timeout=60)
"""


class Feed:
    def __init__(self, port, generation):
        self.proc = subprocess.Popen([sys.executable, "-c", FEED, str(port), str(generation)],
                                     stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.line() == "READY"

    def _read(self):
        for text in self.proc.stdout:
            self.lines.put(text.strip())

    def line(self, timeout=20):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the feed handler said nothing in time")

    def kill(self):
        self.proc.kill()
        return self.proc.wait()

    def subscriptions(self, n):
        return sorted(self.line().split(" ", 1)[1] for _ in range(n))

    def no_more_lines(self, wait=0.3):
        try:
            self.lines.get(timeout=wait)
        except queue.Empty:
            return True
        return False


def wait_for(cond, timeout=20):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def test_a_listener_reconnects_resubscribes_once_and_reports_the_gap():
    port = w.free_port()
    feed = Feed(port, 1)
    listener = pyqrx.Symlistener()
    statuses, data = [], []
    listener.onStatus(lambda code, text: statuses.append(code))
    listener.onData(lambda topic, d: data.append((topic, d[SEQ])))
    assert listener.connect("127.0.0.1", port, "me", "pw", reconnect=True, backoff=0.05,
                            max_backoff=0.2)
    assert listener.subscribe("A") and listener.subscribe("B")
    ended = []

    def run():
        try:
            listener.loop()
        except Exception as exc:
            ended.append(str(exc))

    t = threading.Thread(target=run, daemon=True)
    t.start()
    try:
        assert feed.subscriptions(2) == ["A", "B"]
        wait_for(lambda: {("A", 1), ("B", 1)} <= set(data))
        feed.kill()
        wait_for(lambda: pyqrx.STATUS_CONNECTION_LOST in statuses)
        assert listener.subscribe("C")  # while away: sent once it is back
        feed = Feed(port, 2)
        assert feed.subscriptions(3) == ["A", "B", "C"]
        wait_for(lambda: {("A", 2), ("B", 2), ("C", 2)} <= set(data))
        assert feed.no_more_lines()  # each topic once
        lost = statuses.index(pyqrx.STATUS_CONNECTION_LOST)
        assert pyqrx.STATUS_CONNECTION_RESTORED in statuses[lost:]
        listener.disconnect()
        t.join(10)
        assert ended == ["CONNECTION_ERROR"]
    finally:
        listener.disconnect()
        feed.kill()


def test_an_async_listener_reconnects_and_resubscribes():
    port = w.free_port()
    feed = Feed(port, 1)

    async def main():
        nonlocal feed
        listener = AsyncSymlistener()
        statuses = []
        listener.on_status = lambda code, text: statuses.append(code)
        await listener.connect("127.0.0.1", port, reconnect=True, backoff=0.05,
                               max_backoff=0.2)
        listener.subscribe("A")
        updates = aiter(listener)
        assert (await asyncio.wait_for(updates.__anext__(), 20))[1][SEQ] == 1
        feed.kill()
        feed = await asyncio.get_running_loop().run_in_executor(None, Feed, port, 2)
        topic, d = await asyncio.wait_for(updates.__anext__(), 20)
        assert (topic, d[SEQ]) == ("A", 2)
        assert statuses.count(pyqrx.STATUS_CONNECTION_LOST) == 1
        assert statuses.count(pyqrx.STATUS_CONNECTION_RESTORED) == 1
        await listener.close()

    try:
        asyncio.run(main())
        assert feed.subscriptions(1) == ["A"] and feed.no_more_lines()
    finally:
        feed.kill()


def test_lists_and_sized_subscriptions_are_held_across_a_reconnection_too():
    port = w.free_port()
    feed = Feed(port, 1)
    listener = pyqrx.Symlistener()
    statuses = []
    listener.onStatus(lambda code, text: statuses.append(code))
    assert listener.connect("127.0.0.1", port, "me", "pw", reconnect=True, backoff=0.05,
                            max_backoff=0.2)
    assert listener.subscribeList(["X", "Y"]) and listener.subscribeWithSize("ES", 5, 10, 3)
    t = threading.Thread(target=lambda: loop_quietly(listener), daemon=True)
    t.start()
    try:
        want = ["SIZE ES 5 10 3", "SUB X", "SUB Y"]
        assert sorted(feed.line() for _ in range(3)) == want
        feed.kill()
        wait_for(lambda: pyqrx.SymStatus.CONNECTION_LOST in statuses)
        # While away: nothing to send it on, and Y is not subscribed again.
        assert listener.unsubscribeList(["Y"]) is False
        feed = Feed(port, 2)
        assert sorted(feed.line() for _ in range(2)) == ["SIZE ES 5 10 3", "SUB X"]
        assert feed.no_more_lines()
        wait_for(lambda: pyqrx.SymStatus.CONNECTION_RESTORED in statuses)
    finally:
        listener.disconnect()
        t.join(10)
        feed.kill()


def loop_quietly(listener):
    try:
        listener.loop()
    except Exception:
        pass  # loop() ends with an exception; disconnect() ends it here


def test_an_async_status_callable_that_raises_reaches_the_iterating_task_and_reconnection_goes_on():
    srv = w.ScriptedServer()

    async def main():
        loop = asyncio.get_running_loop()

        def accept():
            peer = srv.accept()
            peer.expect(w.LOGIN)
            peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")))
            return peer

        def on_status(code, text):
            if code in (pyqrx.SymStatus.CONNECTION_LOST, pyqrx.SymStatus.CONNECTION_RESTORED):
                raise LookupError(code.name)

        listener = AsyncSymlistener()
        listener.on_status = on_status
        accepting = loop.run_in_executor(None, accept)
        await listener.connect("127.0.0.1", srv.port, reconnect=True, backoff=0.05,
                               max_backoff=0.2)
        peer = await accepting
        listener.subscribe("A")
        assert (await loop.run_in_executor(None, peer.expect, w.SUBSCRIBE)).topic() == "A"
        updates = aiter(listener)
        accepting = loop.run_in_executor(None, accept)
        peer.close()
        with pytest.raises(LookupError, match="CONNECTION_LOST"):
            await asyncio.wait_for(updates.__anext__(), 20)
        peer = await asyncio.wait_for(accepting, 20)
        assert (await loop.run_in_executor(None, peer.expect, w.SUBSCRIBE)).topic() == "A"
        with pytest.raises(LookupError, match="CONNECTION_RESTORED"):
            await asyncio.wait_for(updates.__anext__(), 20)
        peer.send(w.data_frame([{w.TOPIC: "A", SEQ: 5}]))
        topic, d = await asyncio.wait_for(updates.__anext__(), 20)
        assert (topic, d[SEQ]) == ("A", 5)
        await listener.close()
        peer.close()

    try:
        asyncio.run(main())
    finally:
        srv.close()



def run_both_listeners(script):
    """Runs script(peer_of, listener, restored) against a scripted server for
    a reconnecting Symlistener (its loop in a thread) and then for an
    AsyncSymlistener (script in a thread, the listener in the event loop).
    peer_of() accepts the next connection and answers its logon; restored()
    tells whether the listener reported CONNECTION_RESTORED."""
    srv = w.ScriptedServer()

    def peer_of():
        peer = srv.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")))
        return peer

    try:
        listener = pyqrx.Symlistener()
        statuses = []
        listener.onStatus(lambda code, text: statuses.append(code))
        assert listener.connect("127.0.0.1", srv.port, reconnect=True, backoff=0.05,
                                max_backoff=0.2)
        t = threading.Thread(target=lambda: loop_quietly(listener), daemon=True)
        t.start()
        peer = script(peer_of, listener,
                      lambda: pyqrx.SymStatus.CONNECTION_RESTORED in statuses)
        listener.disconnect()
        t.join(10)
        peer.close()

        async def main():
            listener = AsyncSymlistener()
            statuses = []
            listener.on_status = lambda code, text: statuses.append(code)
            connecting = listener.connect("127.0.0.1", srv.port, reconnect=True, backoff=0.05,
                                          max_backoff=0.2)
            running = asyncio.get_running_loop().run_in_executor(
                None, script, peer_of, listener,
                lambda: pyqrx.SymStatus.CONNECTION_RESTORED in statuses)
            await connecting
            peer = await asyncio.wait_for(running, 60)
            await listener.close()
            peer.close()

        asyncio.run(main())
    finally:
        srv.close()


def test_topics_dropped_by_unsubscribe_all_are_not_subscribed_again_after_a_reconnection():
    def script(peer_of, listener, restored):
        # A and B subscribed, then everything dropped: after the connection
        # is lost, the first request on the next one is C.
        peer = peer_of()
        listener.subscribe("A")
        listener.subscribe("B")
        assert [peer.expect(w.SUBSCRIBE).topic() for _ in range(2)] == ["A", "B"]
        assert listener.unsubscribeAll()
        peer.expect(w.UNSUBSCRIBE_ALL)
        peer.close()
        peer = peer_of()
        wait_for(restored)
        listener.subscribe("C")
        assert peer.expect(w.SUBSCRIBE).topic() == "C"
        return peer

    run_both_listeners(script)


def test_a_topic_held_as_bytes_and_as_str_is_one_topic_across_a_reconnection():
    def script(peer_of, listener, restored):
        peer = peer_of()
        listener.subscribe(b"A")
        listener.subscribe("B")
        listener.subscribe(b"B")
        assert [peer.expect(w.SUBSCRIBE).topic() for _ in range(3)] == ["A", "B", "B"]
        listener.unsubscribe("A")
        assert peer.expect(w.UNSUBSCRIBE).topic() == "A"
        peer.close()
        # B once, A not at all, then what is asked for after the restoration.
        peer = peer_of()
        wait_for(restored)
        listener.subscribe("C")
        assert [peer.expect(w.SUBSCRIBE).topic() for _ in range(2)] == ["B", "C"]
        return peer

    run_both_listeners(script)


def test_a_disconnect_that_comes_while_reconnecting_ends_the_loop(monkeypatch):
    # disconnect() from another thread while the listener is making its new
    # connection finds nothing to close yet; the connection then made must
    # not keep the loop going.
    srv = w.ScriptedServer()
    try:
        listener = pyqrx.Symlistener()
        assert listener.connect("127.0.0.1", srv.port, reconnect=True, backoff=0.05,
                                max_backoff=0.2)
        first = srv.accept()
        first.expect(w.LOGIN)
        connect = pyqrx._pyqrx.Symlistener.connect

        def connect_meanwhile_stopped(self, *args):
            listener.disconnect()  # as if from another thread, just before
            return connect(self, *args)

        monkeypatch.setattr(pyqrx._pyqrx.Symlistener, "connect", connect_meanwhile_stopped)
        t = threading.Thread(target=lambda: loop_quietly(listener), daemon=True)
        t.start()
        first.close()
        second = srv.accept()
        t.join(10)
        assert not t.is_alive(), "the loop went on with the connection made after disconnect()"
        assert listener.getFd() < 0
        second.close()
    finally:
        srv.close()
