"""Symproxy.serve() (ended by stop() from another thread, from a callable, by
its time-out and by SIGINT) and batch publishing (publishMany and batch()),
against real symbol servers on loopback."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import pyqrx
import symwire as w

HERE = os.path.dirname(os.path.abspath(__file__))
SEQ = 600


def serving(proxy, **kw):
    t = threading.Thread(target=proxy.serve, kwargs=kw, daemon=True)
    t.start()
    return t


def test_serve_accepts_answers_and_ends_on_stop_from_another_thread():
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    proxy.publish("IBM", {w.BID: 1.5})
    t = serving(proxy)
    srv = w.connect_client(port)
    srv.expect(w.STATUS, w.STATUS_LOGIN_OK)
    srv.send(w.frame(w.SUBSCRIBE, 0, w.text("IBM")))
    assert srv.expect(w.DATA, w.DATA_SNAPSHOT).records()[0][w.BID] == 1.5
    # The server goes and comes back: serve() listens again by itself once it saw it go.
    srv.close()
    deadline = time.monotonic() + 10
    while True:
        try:
            srv = w.connect_client(port)
            break
        except ConnectionRefusedError:
            assert time.monotonic() < deadline, "serve() did not listen again"
            time.sleep(0.01)
    srv.expect(w.STATUS, w.STATUS_LOGIN_OK)
    proxy.stop()
    t.join(5)
    assert not t.is_alive()
    # The object is usable after serve() ended, with the server still connected.
    assert subs == ["IBM"]
    w.pump(proxy, lambda: True)
    srv.close()


def test_serve_ends_on_stop_from_a_callable_and_on_its_time_out():
    proxy = pyqrx.Symproxy()
    port = w.free_port()
    assert proxy.initialize(port)
    proxy.onSubscribe(lambda topic: proxy.stop())
    t = serving(proxy)
    srv = w.connect_client(port)
    srv.expect(w.STATUS, w.STATUS_LOGIN_OK)
    srv.send(w.frame(w.SUBSCRIBE, 0, w.text("X")))
    t.join(5)
    assert not t.is_alive()
    proxy.serve(timeout=0.2)  # returns by itself with nothing to do
    srv.close()



@pytest.mark.parametrize("timeout", [float("inf"), 1e20])
def test_a_time_out_past_any_clock_serves_until_stop(timeout):
    proxy = pyqrx.Symproxy()
    port = w.free_port()
    assert proxy.initialize(port)
    t = serving(proxy, timeout=timeout)
    srv = w.connect_client(port)
    srv.expect(w.STATUS, w.STATUS_LOGIN_OK)  # answered: serve() runs
    proxy.stop()
    t.join(10)
    assert not t.is_alive()
    srv.close()

def test_serve_propagates_the_exception_of_a_callable():
    proxy = pyqrx.Symproxy()
    port = w.free_port()
    assert proxy.initialize(port)

    def boom(topic):
        raise LookupError(topic)

    proxy.onSubscribe(boom)
    srv = w.connect_client(port)
    srv.send(w.frame(w.SUBSCRIBE, 0, w.text("X")))
    with pytest.raises(LookupError):
        proxy.serve(timeout=5)
    srv.close()


def test_serve_ends_with_keyboard_interrupt_on_sigint():
    script = r"""
import sys, pyqrx
proxy = pyqrx.Symproxy()
assert proxy.initialize(int(sys.argv[1]))
print("SERVING", flush=True)
try:
    proxy.serve()
except KeyboardInterrupt:
    print("INTERRUPTED", flush=True)
    proxy.serve(timeout=0.05)  # still usable
    print("USABLE", flush=True)
"""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, env.get("PYTHONPATH", "")) if p)
    proc = subprocess.Popen([sys.executable, "-c", script, str(w.free_port())], env=env,
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "SERVING"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert out.split() == ["INTERRUPTED", "USABLE"]


def read_updates(peer, n):
    """The (topic, seq) of the next n update records."""
    got = []
    while len(got) < n:
        f = peer.recv_frame()
        if f.mtyp == w.DATA and f.sub == w.DATA_UPDATE:
            got.extend((r[w.TOPIC], r[SEQ]) for r in f.records())
    return got


@pytest.fixture
def subscribed():
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    peer = w.connect_client(port)
    peer.send(w.frame(w.SUBSCRIBE_ALL, 0))
    w.pump(proxy, lambda: subs == [""])
    peer.expect(w.STATUS, w.STATUS_LOGIN_OK)
    while not peer.nothing_pending(0.1):
        peer.recv_frame()  # the first heartbeat notice
    yield proxy, peer
    peer.close()


def test_publish_many_sends_a_hundred_thousand_ticks_complete_and_in_order(subscribed):
    proxy, peer = subscribed
    n = 100_000
    items = [("T%d" % (i % 50), {SEQ: i, w.BID: i * 0.5}) for i in range(n)]
    reader = []
    t = threading.Thread(target=lambda: reader.extend(read_updates(peer, n)), daemon=True)
    t.start()
    for k in range(0, n, 10_000):
        assert proxy.publishMany(items[k:k + 10_000]) == 10_000
        w.pump(proxy, lambda: not proxy.wantsWrite(), timeout=30)
    t.join(60)
    assert reader == [(topic, data[SEQ]) for topic, data in items]


def test_batch_lists_ticks_and_publishes_them_together_at_its_end(subscribed):
    proxy, peer = subscribed
    with proxy.batch():
        for i in range(300):
            assert proxy.publish("B", {SEQ: i})
        assert peer.nothing_pending()
    assert read_updates(peer, 300) == [("B", i) for i in range(300)]


def test_publish_many_publishes_the_ticks_before_an_item_that_raises(subscribed):
    proxy, peer = subscribed
    with pytest.raises(TypeError):
        proxy.publishMany([("A", {SEQ: 1}), ("B", {SEQ: 2}), ("C", {"bid": 3})])
    assert read_updates(peer, 2) == [("A", 1), ("B", 2)]
    assert peer.nothing_pending()


def test_batch_delivery_hands_each_dispatch_over_as_one_list_of_own_dicts():
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    listener = pyqrx.Symlistener()
    batches, singles = [], []
    listener.onDataBatch(batches.append)
    listener.onData(lambda topic, data: singles.append(data[SEQ]))
    assert listener.connect("127.0.0.1", port, "me", "pw")
    listener.subscribeAll()
    w.pump(proxy, lambda: subs == [""])
    n = 3000
    proxy.publishMany([("T%d" % (i % 7), {SEQ: i}) for i in range(n)])
    deadline = time.monotonic() + 20
    while len(singles) < n and time.monotonic() < deadline:
        w.pump(proxy, lambda: True)
        listener.dispatchEvents()
    got = [(topic, data[SEQ]) for batch in batches for topic, data in batch]
    assert got == [("T%d" % (i % 7), i) for i in range(n)]
    assert singles == list(range(n))
    assert len(batches) < n  # updates that arrived together came together
    dicts = [data for batch in batches for _, data in batch]
    assert len({id(d) for d in dicts}) == n
    listener.disconnect()


def test_a_stop_that_comes_before_serve_begins_ends_it_and_the_next_serves():
    # A thread starts serve() and the program stops it at once: the stop may come first.
    proxy = pyqrx.Symproxy()
    port = w.free_port()
    assert proxy.initialize(port)
    proxy.stop()
    t = serving(proxy)
    t.join(10)
    assert not t.is_alive(), "serve() missed the stop that came before it"
    # The request was used up: the next serve() serves until its own stop.
    t = serving(proxy)
    srv = w.connect_client(port)
    srv.expect(w.STATUS, w.STATUS_LOGIN_OK)
    assert t.is_alive()
    proxy.stop()
    t.join(10)
    assert not t.is_alive()
    srv.close()
