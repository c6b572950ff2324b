"""Snapshots, subscribe-all markers, structured topics and the request kinds of
a Symlistener, end to end against a real Symproxy over loopback (and a scripted
server for the one request the proxy does not handle)."""

import time

import pytest

import pyqrx
import symwire as w

T = pyqrx.TopicType


def drive(proxy, listener, until, timeout=10.0):
    """Runs both ends in this thread until until() holds."""
    deadline = time.monotonic() + timeout
    while not until():
        assert time.monotonic() < deadline, "timed out"
        proxy.getFd()
        if proxy.select() > 0:
            proxy.checkSocket()
        listener.dispatchEvents()
        time.sleep(0.002)


class Pair:
    """A Symproxy and a Symlistener logged on to it; events of both recorded."""

    def __init__(self):
        self.proxy = pyqrx.Symproxy()
        self.calls = []
        self.proxy.onSubscribe(lambda topic: self.calls.append(("+", topic)))
        self.proxy.onUnsubscribe(lambda topic: self.calls.append(("-", topic)))
        self.proxy.onSubscribeWithSize(lambda *a: self.calls.append(("+size",) + a))
        self.proxy.onUnsubscribeWithSize(lambda *a: self.calls.append(("-size",) + a))
        port = w.free_port()
        assert self.proxy.initialize(port)
        self.listener = pyqrx.Symlistener()
        self.events = []
        self.listener.onStatus(lambda code, text: self.events.append(("status", code)))
        assert self.listener.connect("127.0.0.1", port, "me", "pw")
        self.drive(lambda: ("status", pyqrx.SymStatus.LOGIN_SUCCESS) in self.events)

    def drive(self, until):
        drive(self.proxy, self.listener, until)

    def close(self):
        self.listener.disconnect()
        self.proxy.closeClient()


@pytest.fixture
def pair():
    p = Pair()
    yield p
    p.close()


def test_snapshots_reach_the_data_callable_unless_a_snapshot_callable_is_set(pair):
    ev = pair.events
    pair.listener.onData(lambda topic, data: ev.append(("data", topic, data[0])))
    pair.listener.onSnapshotStart(lambda: ev.append(("start",)))
    pair.listener.onSnapshotEnd(lambda: ev.append(("end",)))
    for topic, bid in (("A", 1.0), ("B", 2.0), ("C", 3.0)):
        pair.proxy.publish(topic, {0: bid})
    del ev[:]

    # No snapshot callable: the cached image comes as data, with no markers for one topic.
    assert pair.listener.subscribe("A")
    pair.drive(lambda: ev)
    assert ev == [("data", "A", 1.0)]

    # A snapshot callable takes them from then on.
    pair.listener.onSnapshot(lambda topic, data: ev.append(("snap", topic, data[0])))
    assert pair.listener.subscribe("B")
    pair.drive(lambda: len(ev) == 2)
    assert ev[1] == ("snap", "B", 2.0)

    # Subscribing to all sends every cached topic between the markers; then updates.
    del ev[:]
    assert pair.listener.subscribeAll()
    pair.drive(lambda: ("end",) in ev)
    pair.proxy.publish("C", {0: 3.5})
    pair.drive(lambda: ("data", "C", 3.5) in ev)
    assert ev == [("start",), ("snap", "A", 1.0), ("snap", "B", 2.0), ("snap", "C", 3.0),
                  ("end",), ("data", "C", 3.5)]

    # A snapshot request without subscribing anew, and a request for them all.
    del ev[:]
    assert pair.listener.snapshot("B")
    pair.drive(lambda: ev)
    assert pair.listener.snapshotAll()
    pair.drive(lambda: ("end",) in ev)
    assert ev[0] == ("snap", "B", 2.0) and ev[1] == ("start",) and ev[-1] == ("end",)
    assert sorted(e[1] for e in ev[2:-1]) == ["A", "B", "C"]


def test_a_depth_topic_reaches_the_topic_callable_with_its_parts(pair):
    ev = pair.events
    plain, structured = [], []
    pair.listener.onData(lambda topic, data: plain.append(topic))
    pair.listener.onTopicData(lambda topic, data: structured.append((topic, dict(data))))
    depth = pyqrx.depthTopic("IBM", "NSDQ")
    filtered = pyqrx.filterTopic("F1", "MSFT", 78)
    pair.proxy.publish(depth, {0: 99.5})  # cached before the subscription
    assert pair.listener.subscribeList([depth, filtered])
    pair.drive(lambda: ("+", filtered) in pair.calls)
    assert pair.calls == [("+", depth), ("+", filtered)]
    pair.drive(lambda: structured)  # the snapshot, through the topic callable
    pair.proxy.publish(depth, {0: 100.25, 512: 300})
    pair.proxy.publish(filtered, {1: 7.0})
    pair.drive(lambda: len(structured) == 3)
    assert plain == [] and not [e for e in ev if e[0] != "status"]

    (snap, d0), (upd, d1), (flt, d2) = structured
    nsdq = pyqrx.parseTopic(depth).source
    assert snap is upd  # one immutable object per topic text
    assert upd == pyqrx.Topic((depth, T.DEPTH, "IBM", nsdq, None, None, None, None, None,
                               None, None, None))
    assert upd.type is T.DEPTH and upd.symbol == "IBM" and upd.text == depth
    assert d0 == {0: 99.5, w.SYMBOL: "IBM", w.TOPIC: depth}
    assert d1 == {0: 100.25, 512: 300, w.SYMBOL: "IBM", w.TOPIC: depth}
    assert (flt.type, flt.filter, flt.symbol, flt.source) == (T.DEPTH, "F1", "MSFT", 78)
    assert d2[1] == 7.0 and d2[w.TOPIC] == filtered
    with pytest.raises(AttributeError):
        upd.symbol = "X"

    # Dropping the list stops both.
    assert pair.listener.unsubscribeList([depth, filtered])
    pair.drive(lambda: ("-", filtered) in pair.calls)
    assert pair.calls[-2:] == [("-", depth), ("-", filtered)]


def test_a_sized_subscription_reaches_the_feed_handler_and_its_updates_come_back(pair):
    got = []
    pair.listener.onTopicData(lambda topic, data: got.append((topic, data[0])))
    assert pair.listener.subscribeWithSize("IBM", 100, 200, 7)
    pair.drive(lambda: pair.calls)
    assert pair.calls == [("+size", "IBM", 100, 200, 7)]
    sized = pyqrx.sizesTopic("IBM", 100, 200)
    assert pair.proxy.subscriptions() == [sized]
    pair.proxy.publish(sized, {0: 5.5})
    pair.drive(lambda: got)
    topic, bid = got[0]
    assert (topic.type, topic.symbol, topic.nearSize, topic.farSize, bid) == (
        T.WITH_SIZES, "IBM", 100.0, 200.0, 5.5)
    assert pair.listener.unsubscribeWithSize("IBM", 100, 200, 7)
    pair.drive(lambda: len(pair.calls) == 2)
    assert pair.calls[1] == ("-size", "IBM", 100, 200, 7)
    assert pair.proxy.subscriptions() == []


def test_typed_subscriptions_and_bad_request_arguments(server):
    listener = pyqrx.Symlistener()
    assert listener.subscribeWithType("X", 3) is False  # not connected
    assert listener.connect("127.0.0.1", server.port)
    peer = server.accept()
    peer.expect(w.LOGIN)
    assert listener.subscribeWithType("ES", 12) and listener.unsubscribeWithType("ES", 12)
    for mtyp, sub in ((17, 13), (18, 0)):
        body = w.Reader(peer.expect(mtyp, sub).body)
        assert (body.text(), body.short()) == (b"ES", 12)
    assert listener.subscribeList([]) is True
    with pytest.raises(TypeError):
        listener.subscribeList("ABC")  # a single topic, not a list
    with pytest.raises(TypeError):
        listener.subscribeList(["A", None])
    with pytest.raises(ValueError):
        listener.subscribeWithType("X", 1 << 20)
    with pytest.raises(ValueError):
        listener.subscribeWithSize("X", 1 << 40, 1)
    assert listener.subscribeWithSize(None, 1, 1) is False
    listener.disconnect()


def test_topic_builders_and_the_parser_agree():
    cases = [
        (pyqrx.depthTopic("IBM", 78), dict(type=T.DEPTH, symbol="IBM", source=78)),
        (pyqrx.sourceTopic("IBM", 78), dict(type=T.SOURCE_SYMBOL, symbol="IBM", source=78)),
        (pyqrx.sizesTopic("IBM", 5, 10), dict(type=T.WITH_SIZES, symbol="IBM",
                                               nearSize=5.0, farSize=10.0)),
        (pyqrx.portfolioTopic("P1", "IBM"), dict(type=T.PORT_SYMBOL, symbol="IBM",
                                                  portfolio="P1")),
        (pyqrx.mmidTopic("IBM", 78, "GSCO"), dict(type=T.SYMBOL_SOURCE_MMID, symbol="IBM",
                                                   source=78, mmid="GSCO")),
        (pyqrx.riskUserTopic("IBM", "ann"), dict(type=T.SYMBOL_RISK_USER, user="ann")),
        (pyqrx.optionUserTopic("IBM", "ann"), dict(type=T.SYMBOL_OPTION_USER, user="ann")),
        (pyqrx.greekTopic("IBM"), dict(type=T.GREEK, symbol="IBM")),
        (pyqrx.aliasTopic("IBM", "IBM.N", 2), dict(type=T.SYMBOL_ALIAS, symbol="IBM",
                                                    publishSymbol="IBM.N", symbolType=2)),
        ("IBM", dict(type=T.SYMBOL, symbol="IBM", source=None)),
    ]
    for text, parts in cases:
        topic = pyqrx.parseTopic(text)
        assert topic.text == text
        assert {k: getattr(topic, k) for k in parts} == parts, text
    assert pyqrx.depthTopic("X", 78) == "1\x0678\x06X"
    assert pyqrx.depthTopic("X", "NSDQ") == pyqrx.depthTopic("X", 2)
    assert pyqrx.sourceTopic("X", "N") == pyqrx.sourceTopic("X", 78) == "4\x06N\x06X"
    for bad in (lambda: pyqrx.sizesTopic("X", 0, 1), lambda: pyqrx.depthTopic("X", 0),
                lambda: pyqrx.depthTopic("X", "NO SUCH SOURCE"),
                lambda: pyqrx.depthTopic("X", "\0"), lambda: pyqrx.aliasTopic("X", "Y", 100)):
        with pytest.raises(ValueError):
            bad()
    with pytest.raises(TypeError):
        pyqrx.depthTopic("X", 7.5)


def test_a_topic_longer_than_a_builder_makes_is_refused_not_cut(pair):
    # (builder of a topic whose one long part has n characters, the parsed part)
    builders = [
        (lambda n: pyqrx.depthTopic("S" * n, 78), "symbol"),
        (lambda n: pyqrx.filterTopic("F" * n, "IBM", 78), "filter"),
        (lambda n: pyqrx.filterTopic("F", "S" * n, 78), "symbol"),
        (lambda n: pyqrx.sizesTopic("S" * n, 5, 10), "symbol"),
        (lambda n: pyqrx.portfolioTopic("P" * n, "IBM"), "portfolio"),
        (lambda n: pyqrx.portfolioTopic("P", "S" * n), "symbol"),
        (lambda n: pyqrx.mmidTopic("IBM", 78, "M" * n), "mmid"),
        (lambda n: pyqrx.mmidTopic("S" * n, 78, "GSCO"), "symbol"),
        (lambda n: pyqrx.riskUserTopic("IBM", "U" * n), "user"),
        (lambda n: pyqrx.optionUserTopic("S" * n, "ann"), "symbol"),
        (lambda n: pyqrx.greekTopic("S" * n), "symbol"),
        (lambda n: pyqrx.aliasTopic("IBM", "P" * n, 2), "publishSymbol"),
        (lambda n: pyqrx.sourceTopic("S" * n, 78), "symbol"),
    ]
    longest = []
    for build, part in builders:
        n = 511 - (len(build(1)) - 1)
        text = build(n)
        assert len(text) == 511
        assert len(getattr(pyqrx.parseTopic(text), part)) == n, text[:12]
        longest.append(text)
        for more in (n + 1, 5000):
            with pytest.raises(ValueError, match="too long"):
                build(more)

    # The longest ones are published whole (subscriptions carry 127 bytes of a topic).
    got = []
    pair.listener.onTopicData(lambda topic, data: got.append(topic))
    pair.listener.onData(lambda topic, data: got.append(topic))
    pair.proxy.publish("A", {0: 1.0})  # an image, which tells that subscribing to all is done
    assert pair.listener.subscribeAll()
    pair.drive(lambda: got == ["A"])
    del got[:]
    for t in longest:
        pair.proxy.publish(t, {0: 1.0})
    pair.drive(lambda: len(got) == len(longest))
    assert got == [pyqrx.parseTopic(t) for t in longest]


def test_sized_callables_are_checked_and_do_not_leak_through_cycles():
    import gc
    import weakref

    proxy = pyqrx.Symproxy()
    for name in ("onSubscribeWithSize", "onUnsubscribeWithSize"):
        with pytest.raises(TypeError):
            getattr(proxy, name)(42)
        getattr(proxy, name)(lambda *a, keep=proxy: keep)
    ref = weakref.ref(proxy)
    del proxy
    gc.collect()
    assert ref() is None


def test_a_sized_callable_that_raises_propagates_out_of_check_socket(pair):
    def refuse(topic, near, far, req):
        raise LookupError("no book of %d levels for %s" % (near, topic))
    pair.proxy.onSubscribeWithSize(refuse)
    assert pair.listener.subscribeWithSize("IBM", 10, 0)
    with pytest.raises(LookupError, match="no book of 10 levels for IBM"):
        pair.drive(lambda: False)
    # The request was handled: the subscription stands.
    assert pair.proxy.subscriptions() == [pyqrx.sizesTopic("IBM", 10, 0)]
