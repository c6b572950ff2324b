"""The queued mode of Symproxy: producer threads publish while the thread that
serves the symbol server owns the socket; a real Symlistener over loopback gets
every tick once, in order per topic."""

import select
import sys
import threading

import pyqrx
import symwire as w

SEQ = w.UPDATE_TIME  # an int field numbering each producer's ticks


def serving_proxy(subs):
    proxy = pyqrx.Symproxy()
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port, queued=True)
    assert proxy.isQueued() and proxy.getQueueFd() >= 0
    return proxy, port


def logged_on_listener(port, topics, received, wait=True):
    listener = pyqrx.Symlistener()
    listener.onData(received)
    assert listener.connect("127.0.0.1", port, "me", "pw", wait=wait, timeout=20)
    assert listener.subscribeList(topics)
    return listener


class Code:
    """A value whose text comes from Python code, run while its tick is converted (when
    another producer may get the interpreter)."""

    def __init__(self, i):
        self.i = i

    def __str__(self):
        return "X%d" % (self.i % 7)


def produce(proxy, topic, n, errors):
    try:
        for i in range(n):
            assert proxy.publish(topic, {SEQ: i, 0: i * 0.5, w.EXCHANGE: Code(i)})
    except BaseException as exc:  # reported by the main thread
        errors.append(exc)


def test_four_threads_publish_10000_ticks_each_and_every_one_arrives_once_in_order():
    n, topics = 10000, ["Q%d" % k for k in range(4)]
    subs = []
    proxy, port = serving_proxy(subs)
    server = threading.Thread(target=proxy.serve, name="serving")
    server.start()
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # the threads take turns often, inside conversions too
    got = {t: [] for t in topics}
    total = [0]
    listener = None

    def received(topic, data):
        got[topic].append((data[SEQ], data[0], data[w.EXCHANGE]))
        total[0] += 1
        if total[0] == n * len(topics):
            listener.disconnect()

    try:
        listener = logged_on_listener(port, topics, received)
        # Subscribed before anything is published: no snapshot mixes in.
        while sorted(subs) != topics:
            listener.dispatchEvents()
            select.select([], [], [], 0.01)
        errors = []
        producers = [threading.Thread(target=produce, args=(proxy, t, n, errors))
                     for t in topics]
        with w.Watchdog(120, listener.disconnect):
            for p in producers:
                p.start()
            try:
                listener.loop()
            except pyqrx.ConnectionClosed:
                pass
            for p in producers:
                p.join()
        assert errors == []
        for t in topics:
            assert got[t] == [(i, i * 0.5, "X%d" % (i % 7)) for i in range(n)], t
        assert proxy.stats()["ticksSent"] == n * len(topics)
    finally:
        sys.setswitchinterval(switch)
        proxy.stop()
        server.join()
        if listener is not None:
            listener.disconnect()


def test_a_program_of_its_own_loop_waits_for_the_queue_and_flushes():
    subs = []
    proxy, port = serving_proxy(subs)
    got = []
    listener = logged_on_listener(port, ["A", "B"],
                                  lambda topic, data: got.append((topic, data[SEQ])),
                                  wait=False)  # this thread serves the proxy too

    def serve_once(timeout=0.01):
        fds = [proxy.getFd(), proxy.getQueueFd()]
        ready, _, _ = select.select(fds, [], [], timeout)
        if fds[0] in ready and proxy.select() > 0:
            proxy.checkSocket()
        if fds[1] in ready:
            assert proxy.flush()
        listener.dispatchEvents()

    while sorted(subs) != ["A", "B"]:
        serve_once()
    errors = []
    producers = [threading.Thread(target=produce, args=(proxy, t, 500, errors))
                 for t in ("A", "B")]
    for p in producers:
        p.start()
    for p in producers:
        p.join()
    # Nothing is written until the serving thread flushes; the queue's descriptor says so.
    assert select.select([proxy.getQueueFd()], [], [], 5)[0] and got == []
    with w.Watchdog(60, listener.disconnect):
        while len(got) < 1000 and listener.getFd() >= 0:
            serve_once()
    assert errors == []
    for t in ("A", "B"):
        assert [s for topic, s in got if topic == t] == list(range(500))
    # Flushed: the queue's descriptor is quiet again.
    assert select.select([proxy.getQueueFd()], [], [], 0)[0] == []
    listener.disconnect()
