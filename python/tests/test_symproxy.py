"""Symproxy against a scripted symbol-server client on loopback."""

import pytest

import pyqrx
import symwire as w


class Proxy:
    """A Symproxy on a free port with callables that record what they see."""

    def __init__(self):
        self.port = w.free_port()
        self.p = pyqrx.Symproxy()
        self.logons, self.subs, self.unsubs = [], [], []
        self.p.onLogon(lambda user, password: self.logons.append((user, password)))
        self.p.onSubscribe(self.subs.append)
        self.p.onUnsubscribe(self.unsubs.append)
        assert self.p.initialize(self.port) is True

    def pump(self, until):
        w.pump(self.p, until)

    def client(self, username=b"feed", password=b"pw"):
        """A logged-on server connection."""
        n = len(self.logons)
        c = w.connect_client(self.port, username, password)
        self.pump(lambda: len(self.logons) > n)
        status = c.expect(w.STATUS)
        assert status.sub == w.STATUS_LOGIN_OK and status.body == w.text(b"")
        return c

    def subscribe(self, c, topic):
        n = len(self.subs)
        c.send(w.frame(w.SUBSCRIBE, 0, w.text(topic)))
        self.pump(lambda: len(self.subs) > n)


@pytest.fixture
def proxy():
    return Proxy()


def test_logon_is_answered_and_reaches_the_callable(proxy):
    assert proxy.p.select() == -1  # before the first getFd
    listen_fd = proxy.p.getFd()
    assert listen_fd >= 0 and proxy.p.select() == 0  # nothing pending: at once
    c = proxy.client(b"alice", b"secret")
    assert proxy.logons == [("alice", "secret")]
    # The descriptor to watch is now the server's connection.
    fd = proxy.p.getFd()
    assert fd >= 0 and fd != listen_fd
    c.close()


def test_every_logon_is_accepted_whatever_the_callable_answers(proxy):
    proxy.p.onLogon(lambda user, password: proxy.logons.append(user) or False)
    c = proxy.client()
    c.close()
    proxy.pump(lambda: proxy.unsubs == [None])
    answers = []

    def odd(user, password):
        answers.append(user)
        return "yes"

    proxy.p.onLogon(odd)
    c = w.connect_client(proxy.port, b"bob")
    with pytest.raises(TypeError, match="None, bool or int"):
        proxy.pump(lambda: answers)
    assert c.expect(w.STATUS).sub == w.STATUS_LOGIN_OK


def test_subscription_gets_the_cached_snapshot_then_updates(proxy):
    assert proxy.p.publish("IBM", {w.BID: 10.5, w.BID_SIZE: 300}) is True
    assert proxy.p.publish("IBM", {w.ASK: 11.0}) is True
    c = proxy.client()
    proxy.subscribe(c, "IBM")
    assert proxy.subs == ["IBM"]
    snap = c.expect(w.DATA)
    assert snap.sub == w.DATA_SNAPSHOT
    assert snap.records() == [{w.SYMBOL: "IBM", w.TOPIC: "IBM", w.BID: 10.5, w.ASK: 11.0,
                               w.BID_SIZE: 300}]
    proxy.p.publish("IBM", {w.LAST: 10.75})
    proxy.p.publish("MSFT", {w.LAST: 1.0})  # not subscribed: not sent
    proxy.p.publish("IBM", {w.LAST: 10.8})
    got = [c.expect(w.DATA, w.DATA_UPDATE).records() for _ in range(2)]
    assert got == [[{w.SYMBOL: "IBM", w.TOPIC: "IBM", w.LAST: 10.75}],
                   [{w.SYMBOL: "IBM", w.TOPIC: "IBM", w.LAST: 10.8}]]


def published(proxy, c, data, topic="T"):
    """What one publish call puts on the wire, as the record's fields."""
    assert proxy.p.publish(topic, data) is True
    (rec,) = c.expect(w.DATA, w.DATA_UPDATE).records()
    assert rec.pop(w.TOPIC) == topic
    if rec.get(w.SYMBOL) == topic:
        del rec[w.SYMBOL]
    return rec


def test_publish_puts_each_value_into_the_type_of_its_field(proxy):
    c = proxy.client()
    proxy.subscribe(c, "T")
    assert published(proxy, c, {0: 1}) == {0: 1.0}  # int into a double field
    assert published(proxy, c, {512: 1.5, 513: 7}) == {513: 7}  # a float is no int
    assert published(proxy, c, {1024: 5}) == {1024: "5"}  # str() into a string field
    assert published(proxy, c, {1536: "Y", 1537: "YES", 1538: "\u00e9", 1539: "\u20ac",
                                1540: b"Z", 1541: 7}) == {1536: "Y", 1538: "\u00e9",
                                                          1540: "Z", 1541: "7"}
    assert published(proxy, c, {512: True, 1: False, 514: 2**31 - 1, 515: 2**31,
                                2: 2**40, 516: -2**31}) == {512: 1, 1: 0.0, 514: 2**31 - 1,
                                                            2: float(2**40), 516: -2**31}
    assert published(proxy, c, {1025: b"raw\xff\x00bytes", 1026: "caf\u00e9",
                                1027: "\udcfe", 1028: None, 1029: 1.5}) == {
        1025: "raw\udcff\x00bytes", 1026: "caf\u00e9", 1027: "\udcfe", 1028: "None",
        1029: "1.5"}
    # Nothing any field type takes: ids out of range, a text for a number field.
    assert published(proxy, c, {-1: 1, 2048: 1.0, 3: "1.0", 517: "2", 4: None,
                                5: 2.5}) == {5: 2.5}


def test_publish_refuses_bad_keys_and_publishes_nothing(proxy):
    c = proxy.client()
    proxy.subscribe(c, "T")
    with pytest.raises(TypeError):
        proxy.p.publish("T", {0: 1.0, "bid": 1.0})
    with pytest.raises(TypeError):
        proxy.p.publish("T", {1.0: 1.0})
    with pytest.raises(TypeError):
        proxy.p.publish("T", {2**40: 1.0})
    with pytest.raises(TypeError):
        proxy.p.publish("T", [(0, 1.0)])
    with pytest.raises(ValueError):
        proxy.p.publish("T", {1030: "x" * 20000})
    assert proxy.p.publish(None, {0: 1.0}) is False
    # None of the refused calls left a tick behind for the next flush.
    assert published(proxy, c, {w.ASK: 2.0}) == {w.ASK: 2.0}
    assert c.nothing_pending()


def test_publish_takes_any_mapping(proxy):
    import collections

    c = proxy.client()
    proxy.subscribe(c, "T")
    m = collections.OrderedDict([(w.BID, 1.0), (w.BID_SIZE, 2)])
    assert published(proxy, c, m) == {w.BID: 1.0, w.BID_SIZE: 2}



def test_a_value_whose_text_publishes_again_leaves_each_tick_its_own_fields(proxy):
    # str() of a value may publish another tick (the same thread re-entering
    # publish while the outer call converts): each tick carries its own fields.
    c = proxy.client()
    proxy.subscribe(c, "T")
    proxy.subscribe(c, "U")

    class Republishing:
        def __str__(self):
            assert proxy.p.publish("U", {w.EXCHANGE: "u" * (3000 + len(seen))}) is True
            seen.append(1)
            return "r"

    def frames(n):
        out = []
        while len(out) < n:
            out.extend(c.expect(w.DATA, w.DATA_UPDATE).records())
        return [(r.pop(w.TOPIC), {k: v for k, v in r.items() if k != w.SYMBOL}) for r in out]

    seen = []
    own = "".join(["own ", "text"])  # held by nobody but the dict
    assert proxy.p.publish("T", {1025: own, 1026: Republishing(), w.BID: 2.5}) is True
    assert frames(2) == [("U", {w.EXCHANGE: "u" * 3000}),
                         ("T", {w.BID: 2.5, 1025: "own text", 1026: "r"})]
    items = [("T", {1025: "".join(["a", "b"]), 1026: Republishing()}), ("T", {w.BID: 3.5})]
    assert proxy.p.publishMany(items) == 2
    assert frames(3) == [("U", {w.EXCHANGE: "u" * 3001}), ("T", {1025: "ab", 1026: "r"}),
                         ("T", {w.BID: 3.5})]

def test_subscribe_all_gets_every_snapshot_between_markers(proxy):
    for topic in ("A", "B", "C"):
        proxy.p.publish(topic, {w.BID: 1.0})
    c = proxy.client()
    n = len(proxy.subs)
    c.send(w.frame(w.SUBSCRIBE_ALL, 0))
    proxy.pump(lambda: len(proxy.subs) > n)
    assert proxy.subs == [""]
    assert c.expect(w.DATA).sub == w.SNAP_START
    snap = c.expect(w.DATA)
    assert snap.sub == w.DATA_SNAPSHOT
    assert [r[w.TOPIC] for r in snap.records()] == ["A", "B", "C"]
    assert c.expect(w.DATA).sub == w.SNAP_END
    # Subscribed to everything: a new topic flows too.
    assert published(proxy, c, {w.BID: 3.0}, topic="D") == {w.BID: 3.0}


def test_unsubscribe_callables_get_the_topic_the_empty_text_and_none(proxy):
    c = proxy.client()
    proxy.subscribe(c, "IBM")
    c.send(w.frame(w.UNSUBSCRIBE, 0, w.text("IBM")))
    proxy.pump(lambda: proxy.unsubs == ["IBM"])
    c.send(w.frame(w.UNSUBSCRIBE_ALL, 0))
    proxy.pump(lambda: proxy.unsubs == ["IBM", ""])
    # Unsubscribed: nothing more goes out.
    proxy.p.publish("IBM", {w.BID: 1.0})
    c.close()
    proxy.pump(lambda: proxy.unsubs == ["IBM", "", None])


def test_close_client_drops_everything_and_a_second_client_is_served(proxy):
    c = proxy.client()
    proxy.subscribe(c, "IBM")
    assert proxy.p.closeClient() is True
    assert proxy.unsubs == [None]
    assert [f.mtyp for f in c.wait_closed() if f.mtyp != w.HB_NOTICE] == []
    c2 = proxy.client(b"second")
    assert proxy.logons[-1] == ("second", "pw")
    proxy.p.publish("IBM", {w.BID: 1.0})  # the first client's subscription is gone
    proxy.subscribe(c2, "IBM")
    assert c2.expect(w.DATA).records()[0][w.BID] == 1.0


def test_a_second_client_after_the_first_went_away(proxy):
    c = proxy.client()
    c.close()
    proxy.pump(lambda: proxy.unsubs == [None])
    c2 = proxy.client(b"again")
    assert [u for u, _ in proxy.logons] == ["feed", "again"]
    c2.close()


def test_a_raising_callable_propagates_and_the_request_still_counts(proxy):
    c = proxy.client()

    def boom(topic):
        raise RuntimeError("feed down: " + topic)

    proxy.p.onSubscribe(boom)
    c.send(w.frame(w.SUBSCRIBE, 0, w.text("IBM")))
    with pytest.raises(RuntimeError, match="feed down: IBM"):
        proxy.pump(lambda: False)
    assert published(proxy, c, {w.BID: 1.0}, topic="IBM") == {w.BID: 1.0}


def test_callables_may_publish_and_drop_the_client(proxy):
    c = proxy.client()

    def on_subscribe(topic):
        proxy.subs.append(topic)
        proxy.p.publish(topic, {w.BID: 42.0})
        if topic == "DROP":
            proxy.p.closeClient()

    proxy.p.onSubscribe(on_subscribe)
    proxy.subscribe(c, "IBM")
    assert c.expect(w.DATA, w.DATA_UPDATE).records()[0][w.BID] == 42.0
    c.send(w.frame(w.SUBSCRIBE, 0, w.text("DROP")))
    proxy.pump(lambda: proxy.unsubs == [None])
    # Handling requests again from inside a callable is refused.
    proxy.p.onSubscribe(lambda topic: proxy.p.dispatch())
    c2 = proxy.client()
    c2.send(w.frame(w.SUBSCRIBE, 0, w.text("X")))
    with pytest.raises(RuntimeError, match="already handling"):
        proxy.pump(lambda: False)


def test_initialize_fails_on_a_port_in_use():
    import socket

    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(1)
    p = pyqrx.Symproxy()
    assert p.initialize(s.getsockname()[1]) is False
    assert p.getFd() == -1 and p.select() == -1
    s.close()



def test_initialize_refuses_every_port_number_out_of_range_alike():
    p = pyqrx.Symproxy()
    for port in (-1, 65536, 2**40, -2**63, 2**80):
        with pytest.raises(ValueError, match="port from 0 to 65535"):
            p.initialize(port)
    assert p.getFd() == -1

def test_a_server_lost_while_publishing_reaches_the_unsubscribe_callable(proxy):
    import socket
    import struct

    c = proxy.client()
    proxy.subscribe(c, "IBM")
    # Gone with a reset: the next writes fail.
    c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
    for _ in range(1000):
        proxy.p.publish("IBM", {w.BID: 1.0})
        if proxy.unsubs:
            break
    assert proxy.unsubs == [None]
    # Listening again: the next server is served.
    proxy.client(b"next")


def test_a_proxy_in_a_cycle_with_its_callables_is_collected():
    import gc

    port = w.free_port()

    def make():
        p = pyqrx.Symproxy()
        logons = []
        p.onLogon(lambda user, password: logons.append(p))  # refers back to p
        assert p.initialize(port)
        c = w.connect_client(port)
        w.pump(p, lambda: logons)
        return c

    c = make()
    gc.collect()
    assert [f.mtyp for f in c.wait_closed() if f.mtyp != w.HB_NOTICE] == [w.STATUS]


def test_publish_arguments_by_position_or_keyword_and_misuse():
    p = pyqrx.Symproxy()
    assert p.publish(topic=None, data={}) is False and p.publish(None, data={}) is False
    for call in (lambda: p.publish(), lambda: p.publish("a", {}, 3),
                 lambda: p.publish("a", {}, topic="b"), lambda: p.publish("a", dat={}),
                 lambda: pyqrx.Symproxy.publish(pyqrx.Symlistener(), "a", {}),
                 lambda: pyqrx.Symproxy.__new__(pyqrx.Symproxy).publish("a", {})):
        with pytest.raises(TypeError):
            call()
