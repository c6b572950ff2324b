"""Property tests of publishing: what a Symproxy is given against what arrives
at the other end of a real loopback connection.

- Any dict given to publish arrives at a Symlistener converted field by field
  as a small model of the conversion rules says, or the call is refused; so
  do runs of updates whatever the data callable does to the dict it gets.
- Any sequence of subscription requests and publishes keeps what a symbol
  server receives (updates, and the snapshots its subscriptions get) and the
  calls of the proxy's callables equal to a model of the subscription set and
  of the merged state of every topic; the same driven through a Symlistener.
- A server that reads slowly still receives every update whole and in order.

Runs are derandomized and keep no example database, so that CI sees the same
examples every time.
"""

import queue
import socket
import struct
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

import pyqrx
import symwire as w

REPRODUCIBLE = dict(derandomize=True, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

INT_MIN, INT_MAX = -2**31, 2**31 - 1
MAX_TEXT = 0x4000  # longest field text a client decodes, in bytes
MAX_BODY = (65536 - 8 - 4) & ~3  # longest record body one data message carries
SYMBOL, TOPIC = w.SYMBOL, w.TOPIC
WAIT = 10.0  # bounds every wait for the other end; only a failure takes that long


# ---- the model of the conversion rules ------------------------------------------


class Refused(Exception):
    """The model's verdict that publish raises the given exception type."""

    def __init__(self, exc_type):
        super().__init__(exc_type.__name__)
        self.exc_type = exc_type


SKIP = object()


def utf8(text):
    return text.encode("utf-8", "surrogateescape")


def model_value(flid, value):
    """The value a field of this id holds after publish stores value, SKIP when
    no field type takes it; raises Refused when publish refuses the call."""
    kind = flid >> 9
    if kind == 0:  # double: an int, a bool or a float
        if isinstance(value, (int, float)):
            try:
                return float(value)
            except OverflowError:
                return SKIP
        return SKIP
    if kind == 1:  # int: an int or a bool in the signed 32-bit range
        if isinstance(value, int) and INT_MIN <= value <= INT_MAX:
            return int(value)
        return SKIP
    if kind == 2:  # string: the bytes of bytes, else the UTF-8 of the str() text
        raw = value if isinstance(value, bytes) else utf8(str(value))
        if len(raw) > MAX_TEXT:
            raise Refused(ValueError)
        return raw.decode("utf-8", "surrogateescape")
    # char: one byte, or a text of exactly one character below chr(256)
    if isinstance(value, bytes):
        return chr(value[0]) if len(value) == 1 else SKIP
    text = str(value)
    return text if len(text) == 1 and ord(text) < 256 else SKIP


def model_publish(topic, data):
    """The fields of the record publish(topic, data) sends; raises Refused."""
    fields = {SYMBOL: topic, TOPIC: topic}
    staged = []
    for key, value in data.items():
        if not isinstance(key, int):
            raise Refused(TypeError)
        if not INT_MIN <= key <= INT_MAX:
            raise Refused(TypeError)
        if 0 <= key < 2048:
            v = model_value(key, value)
            if v is not SKIP:
                staged.append((key, v))
    fields.update(staged)
    return fields


def is_structured(topic_text):
    """Whether a topic text names a structured topic (a one- or two-digit type
    followed by the separator), as the C text sees it: up to its first NUL."""
    b = utf8(topic_text).split(b"\0")[0]
    return len(b) >= 2 and (b[1] == 6 or (len(b) >= 3 and b[2] == 6))


def record_size(fields):
    return len(w.encode_record(fields))


def delivery(topic, data):
    """(topic the callable gets, dict it gets), or None when the update is not
    delivered to a data callable; raises Refused."""
    fields = model_publish(topic, data)
    if is_structured(fields[TOPIC]) or record_size(fields) > MAX_BODY:
        return None
    delivered_topic = utf8(fields[TOPIC]).split(b"\0")[0].decode("utf-8", "surrogateescape")
    return delivered_topic, fields


def comparable(fields):
    """Fields with floats compared by their bits (NaN equals NaN, -0.0 is not 0.0)."""
    return {k: ("f", struct.pack(">d", v)) if isinstance(v, float) else (type(v).__name__, v)
            for k, v in fields.items()}


# ---- both ends in one process ------------------------------------------------------


class Loopback:
    """A Symproxy and a Symlistener connected over loopback and subscribed to
    every topic; the listener loops on a thread of its own and queues what its
    callable receives."""

    SENTINEL = "~sentinel"

    def __init__(self):
        port = w.free_port()
        self.proxy = pyqrx.Symproxy()
        self.subs = []
        self.proxy.onSubscribe(self.subs.append)
        assert self.proxy.initialize(port)
        self.got = queue.Queue()
        self.lst = pyqrx.Symlistener()
        self.meddle = None  # what the callable does to the dict after copying it
        self.lst.onData(self._on_data)
        assert self.lst.connect("127.0.0.1", port, username="prop", password="pw")
        assert self.lst.subscribeAll()
        w.pump(self.proxy, lambda: self.subs == [""])
        self.ended = []
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()
        self.count = 0
        self.in_step = False

    def _on_data(self, topic, data):
        self.got.put((topic, dict(data)))
        if self.meddle is not None:
            self.meddle(data)

    def _loop(self):
        try:
            self.lst.loop()
        except Exception as e:
            self.ended.append(str(e))

    def _poll_proxy(self):
        # A step of the feed handler's event loop: also writes what the socket
        # did not take at once.
        if self.proxy.getFd() >= 0:
            self.proxy.select()
            self.proxy.checkSocket()

    def publish_and_collect(self, topic, data):
        """Publishes, then a sentinel tick; returns the raised exception (or
        None) and every update the callable received before the sentinel."""
        (raised,), seen = self.publish_all_and_collect([(topic, data)])
        return raised, seen

    def publish_all_and_collect(self, ticks):
        """Publishes each (topic, data) in turn, then a sentinel tick; returns
        the exception each publish raised (or None) and every update the
        callable received before the sentinel."""
        if self.in_step:
            # An earlier call failed half-way: what it left behind is read first.
            self._collect_to_sentinel()
        self.in_step = True
        raised = []
        for topic, data in ticks:
            try:
                assert self.proxy.publish(topic, data) is True
                raised.append(None)
            except (TypeError, ValueError) as e:
                raised.append(e)
        seen = self._collect_to_sentinel()
        self.in_step = False
        return raised, seen

    def _collect_to_sentinel(self):
        self.count += 1
        mark = 10**9 + self.count
        assert self.proxy.publish(self.SENTINEL, {w.UPDATE_TIME: mark}) is True
        seen = []
        give_up = time.monotonic() + WAIT
        while time.monotonic() < give_up:
            try:
                t, d = self.got.get(timeout=0.01)
            except queue.Empty:
                assert self.thread.is_alive(), self.ended
                self._poll_proxy()
                continue
            if t == self.SENTINEL and d.get(w.UPDATE_TIME) == mark:
                return seen
            seen.append((t, d))
        raise AssertionError("the sentinel update did not arrive; seen %r" % (seen,))

    def close(self):
        self.lst.disconnect()
        self.thread.join(WAIT)
        assert self.ended == ["CONNECTION_ERROR"]


@pytest.fixture(scope="module")
def loopback():
    lb = Loopback()
    yield lb
    lb.close()


def check_updates(seen, expected):
    assert [t for t, _ in seen] == [t for t, _ in expected]
    assert [comparable(d) for _, d in seen] == [comparable(d) for _, d in expected]


def check_publish(loopback, topic, data):
    try:
        expected = delivery(topic, data)
    except Refused as r:
        raised, seen = loopback.publish_and_collect(topic, data)
        assert type(raised) is r.exc_type, (raised, data)
        assert seen == []  # a refused call publishes nothing
        return
    raised, seen = loopback.publish_and_collect(topic, data)
    assert raised is None, raised
    if expected is None:
        assert seen == []
        return
    assert len(seen) == 1, seen
    (got_topic, got), (want_topic, want) = seen[0], expected
    assert got_topic == want_topic
    assert comparable(got) == comparable(want)


# ---- strategies ---------------------------------------------------------------------

# Any character but lone surrogates (which no str of a program holds), NUL included.
any_char = st.characters(blacklist_categories=("Cs",))
plain_topics = st.text(st.characters(blacklist_categories=("Cs",),
                                     blacklist_characters="\x00\x06"), max_size=12)
structured_texts = st.sampled_from(["1\x06IBM", "12\x06X\x06Y", "\u00e9\x06X", "A\x06", "AB\x06"])


class HexInt(int):
    """An int whose text is one hex digit."""

    def __str__(self):
        return "%x" % (self % 16)


class TaggedFloat(float):
    def __str__(self):
        return "~" + float.__repr__(self)


class Text(str):
    pass


values = st.one_of(
    st.floats(),
    st.integers(INT_MIN - 3, INT_MIN + 3) | st.integers(INT_MAX - 3, INT_MAX + 3),
    st.integers(-1000, 1000),
    st.integers(-2**80, 2**80),
    st.just(2**1100),  # beyond any double
    st.booleans(),
    st.text(any_char, max_size=20),
    st.characters(),
    st.characters(max_codepoint=255),
    st.binary(max_size=4),
    st.none(),
    st.lists(st.integers(0, 9), max_size=2),
    structured_texts,
    # Subclasses: their conversion may run Python code of the program.
    st.integers(-2**40, 2**40).map(HexInt),
    st.floats().map(TaggedFloat),
    st.text(any_char, max_size=3).map(Text),
)

field_ids = st.one_of(
    st.integers(0, 2047),
    # The edges of the four ranges, and the two ids every tick carries.
    st.sampled_from([0, 511, 512, 1023, 1024, 1535, 1536, 2047, SYMBOL, TOPIC]),
)
other_keys = st.one_of(
    st.sampled_from([-1, 2048, 5000, INT_MIN, INT_MAX, INT_MAX + 1, INT_MIN - 1, 2**64]),
    st.booleans(),
    st.sampled_from(["bid", 1.0, b"0", None]),
)
dicts = st.dictionaries(field_ids, values, max_size=10)
dicts_with_odd_keys = st.dictionaries(st.one_of(field_ids, other_keys), values, max_size=6)


# ---- property 1: conversion -----------------------------------------------------------


@settings(max_examples=300, **REPRODUCIBLE)
@given(topic=plain_topics, data=dicts)
def test_any_published_dict_arrives_as_the_conversion_rules_say(loopback, topic, data):
    check_publish(loopback, topic, data)


@settings(max_examples=150, **REPRODUCIBLE)
@given(topic=plain_topics, data=dicts_with_odd_keys)
def test_keys_that_are_no_field_id_are_skipped_or_refuse_the_whole_call(loopback, topic, data):
    check_publish(loopback, topic, data)


MEDDLING = {
    "nothing": None,
    "clear": lambda d: d.clear(),
    "delete": lambda d: d.pop(next(iter(d)), None),
    "add": lambda d: d.__setitem__(w.ASK, "not a field value"),
    "replace": lambda d: d.update({k: None for k in d}),
    "swap": lambda d: (d.pop(next(iter(d)), None), d.__setitem__(9999, 0)),
}


@settings(max_examples=150, **REPRODUCIBLE)
@given(ticks=st.lists(st.tuples(st.sampled_from(["A", "B", ""]), dicts), min_size=1, max_size=6),
       meddle=st.sampled_from(sorted(MEDDLING)))
def test_consecutive_updates_arrive_whole_whatever_the_callable_does_to_its_dict(
        loopback, ticks, meddle):
    # The listener reuses one dict for every update; each update must still
    # hand over exactly its own record's fields.
    expected = []
    for topic, data in ticks:
        try:
            d = delivery(topic, data)
        except Refused:
            d = None
        if d is not None:
            expected.append(d)
    loopback.meddle = MEDDLING[meddle]
    try:
        _, seen = loopback.publish_all_and_collect(ticks)
    finally:
        loopback.meddle = None
    check_updates(seen, expected)


long_texts = st.dictionaries(
    st.integers(1024, 1535).filter(lambda i: i not in (SYMBOL, TOPIC)),
    st.integers(MAX_TEXT - 40, MAX_TEXT + 2).map(lambda n: "x" * n)
    | st.integers(MAX_TEXT // 2 - 4, MAX_TEXT // 2 + 2).map(lambda n: "\u00e9" * n),
    min_size=1, max_size=5)


@settings(max_examples=30, **REPRODUCIBLE)
@given(data=long_texts)
def test_texts_near_the_limits_are_refused_or_arrive_whole(loopback, data):
    check_publish(loopback, "LONG", data)


# ---- property 2: subscriptions and snapshots ------------------------------------------

MARK = "~mark"  # always subscribed: its updates mark how far the server has read
SYNC = "~sync"  # never subscribed: its unsubscribe tells that the requests before it are done
SNAPSHOT_ALL = 9
# Requests carry a topic of at most 127 bytes: the longer ones are cut, the last
# one inside its last character.
TOPICS = ["A", "B", "AB", "a", "\u00e9t\u00e9", "Z9", "L" * 127, "L" * 130, "\u00e9" * 64]


def requested(topic):
    """The topic a subscription request for topic names."""
    return utf8(topic)[:127].decode("utf-8", "surrogateescape")


STATE_IDS = [0, 1, 3, 40, 56, 57, 511, 512, 513, 600, 1023, SYMBOL, 1025, 1100, 1535, 1536,
             1600, 2047]
state_fields = st.lists(st.sampled_from(STATE_IDS), unique=True, max_size=5).flatmap(
    lambda ids: st.fixed_dictionaries({k: typed_value(k) for k in ids}))


def typed_value(flid):
    kind = flid >> 9
    if kind == 0:
        return st.floats()
    if kind == 1:
        return st.integers(INT_MIN, INT_MAX)
    if kind == 2:
        return st.text(any_char, max_size=8)
    return st.characters(max_codepoint=255)


def events(frames):
    """What a server read, as ("update", record), ("snap", record), "start", "end"."""
    out = []
    for f in frames:
        if f.mtyp != w.DATA:
            continue
        if f.sub == w.SNAP_START:
            out.append("start")
        elif f.sub == w.SNAP_END:
            out.append("end")
        else:
            kind = "snap" if f.sub == w.DATA_SNAPSHOT else "update"
            out.extend((kind, comparable(r)) for r in f.records())
    return out


def release(proxy):
    """Drops the callables, which refer back to their machine, so that the proxy
    and its sockets go as soon as the run ends rather than at the next garbage
    collection: a few hundred runs would otherwise exhaust the descriptors."""
    proxy.onLogon(None)
    proxy.onSubscribe(None)
    proxy.onUnsubscribe(None)


def without_nagle(port):
    """Sets TCP_NODELAY on both ends of this process's connections to a local
    port, as QUOR_DISABLE_NAGLE=YES would for every socket of the process (it is
    read once per process, so it cannot be set for one test): a small request
    or update is then not held back until the previous one is acknowledged."""
    import os

    for name in os.listdir("/proc/self/fd"):
        try:
            fd = os.dup(int(name))
        except OSError:
            continue
        try:
            s = socket.socket(fileno=fd)
        except OSError:
            os.close(fd)  # not a socket
            continue
        with s:
            try:
                if s.type != socket.SOCK_STREAM or s.family != socket.AF_INET:
                    continue
                ends = (s.getsockname()[1], s.getpeername()[1])
            except OSError:
                continue
            if port in ends:
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class SubscriptionMachine(RuleBasedStateMachine):
    """One proxy, a scripted symbol server and the model: the subscription set
    (the empty text stands for every topic) and the merged state of every
    topic ever published."""

    def __init__(self):
        super().__init__()
        self.port = w.free_port()
        self.proxy = pyqrx.Symproxy()
        self.logons = []
        self.calls = []  # ("+", topic) and ("-", topic) of the two callables, in order
        self.want_calls = []
        self.proxy.onLogon(lambda user, password: self.logons.append(user))
        self.proxy.onSubscribe(lambda topic: self.calls.append(("+", topic)))
        self.proxy.onUnsubscribe(lambda topic: self.calls.append(("-", topic)))
        assert self.proxy.initialize(self.port)
        self.peer = None
        self.subscribed = set()
        self.cache = {}
        self.marks = 0

    # -- driving the proxy

    def pump(self, until):
        w.pump(self.proxy, until)

    def connect(self):
        n = len(self.logons)
        self.peer = w.connect_client(self.port)
        self.pump(lambda: len(self.logons) > n)
        without_nagle(self.port)
        assert self.peer.expect(w.STATUS).sub == w.STATUS_LOGIN_OK
        self.subscribed = set()  # the accept cleared the set
        self.request(w.frame(w.SUBSCRIBE, 0, w.text(MARK)),
                     lambda: self.subscribe_model(MARK))

    def request(self, frame, model_step):
        """Sends a request and waits until the proxy has handled it; then checks
        the callables' calls and what the server received against the model."""
        n = len(self.calls)
        self.peer.send(frame + w.frame(w.UNSUBSCRIBE, 0, w.text(SYNC)))
        self.pump(lambda: ("-", SYNC) in self.calls[n:])
        self.want_calls = []
        want = model_step()
        assert self.calls[n:] == self.want_calls + [("-", SYNC)]
        self.expect(want)

    def publish(self, topic, fields):
        assert self.proxy.publish(topic, fields) is True
        record = {SYMBOL: topic, TOPIC: topic}
        record.update(fields)
        self.cache.setdefault(topic, {}).update(record)
        return [("update", comparable(record))] if self.is_published(topic) else []

    def expect(self, want):
        """Publishes a mark and reads up to it: what came before equals want."""
        self.marks += 1
        mark = self.publish(MARK, {w.UPDATE_TIME: self.marks})
        assert mark, "the mark topic is subscribed"
        frames = []
        while True:
            f = self.peer.expect(w.DATA)
            if f.sub == w.DATA_UPDATE and events([f]) == mark:
                break
            frames.append(f)
        assert events(frames) == want

    # -- the model

    def is_published(self, topic):
        return "" in self.subscribed or topic in self.subscribed

    def snapshot_of(self, topic):
        return [("snap", comparable(self.cache[topic]))] if topic in self.cache else []

    def snapshot_of_all(self):
        topics = sorted(self.cache, key=utf8)
        snaps = [("snap", comparable(self.cache[t])) for t in topics if self.is_published(t)]
        return ["start"] + snaps + ["end"] if len(topics) >= 2 else snaps

    def subscribe_model(self, topic):
        self.subscribed.add(topic)
        self.want_calls.append(("+", topic))
        return self.snapshot_of_all() if topic == "" else self.snapshot_of(topic)

    def unsubscribe_model(self, topic):
        self.subscribed.discard(topic)
        self.want_calls.append(("-", topic))
        return []

    # -- rules

    @initialize()
    def start(self):
        self.connect()

    @rule(topic=st.sampled_from(TOPICS + [""]))
    def subscribe(self, topic):
        # An empty topic is ignored.
        self.request(w.frame(w.SUBSCRIBE, 0, w.text(topic)),
                     lambda: self.subscribe_model(requested(topic)) if topic else [])

    @rule(topics=st.lists(st.sampled_from(TOPICS + [""]), max_size=3))
    def subscribe_list(self, topics):
        # Each as a subscription; an empty entry is ignored, so that a list
        # never subscribes to every topic by accident.
        body = struct.pack(">i", len(topics)) + b"".join(w.text(t) for t in topics)
        self.request(w.frame(w.SUBSCRIBE_LIST, 0, body),
                     lambda: [e for t in topics if t for e in self.subscribe_model(requested(t))])

    @rule(topic=st.sampled_from(TOPICS + [""]))
    def unsubscribe(self, topic):
        # The empty topic drops the subscription to every topic.
        self.request(w.frame(w.UNSUBSCRIBE, 0, w.text(topic)),
                     lambda: self.unsubscribe_model(requested(topic)))

    @rule()
    def subscribe_all(self):
        self.request(w.frame(w.SUBSCRIBE_ALL, 0), lambda: self.subscribe_model(""))

    @rule()
    def unsubscribe_all(self):
        self.request(w.frame(w.UNSUBSCRIBE_ALL, 0), lambda: self.unsubscribe_model(""))

    @rule(topic=st.sampled_from(TOPICS + [""]))
    def snapshot(self, topic):
        # Sent only for what is subscribed; the empty topic asks for every topic.
        def model():
            if topic == "":
                return self.snapshot_of_all()
            t = requested(topic)
            return self.snapshot_of(t) if self.is_published(t) else []

        self.request(w.frame(w.SNAPSHOT, 0, w.text(topic)), model)

    @rule()
    def snapshot_all(self):
        self.request(w.frame(SNAPSHOT_ALL, 0), self.snapshot_of_all)

    @rule(topic=st.sampled_from(TOPICS), fields=state_fields)
    def publish_tick(self, topic, fields):
        self.expect(self.publish(topic, fields))

    @rule(topic=st.sampled_from(TOPICS), fields=state_fields,
          bad=st.sampled_from([("bid", 1.0), (1030, "x" * (MAX_TEXT + 1))]))
    def publish_refused(self, topic, fields, bad):
        # A refused call leaves nothing behind: no update, no trace in the snapshot.
        with pytest.raises((TypeError, ValueError)):
            self.proxy.publish(topic, {**fields, bad[0]: bad[1]})
        self.expect([])

    @rule(away=st.lists(st.tuples(st.sampled_from(TOPICS), state_fields), max_size=3))
    def reconnect(self, away):
        # The server goes away and comes back: its subscriptions are gone, the
        # snapshots stay and take in what was published meanwhile.
        n = len(self.calls)
        self.peer.close()
        self.pump(lambda: ("-", None) in self.calls[n:])
        assert self.calls[n:] == [("-", None)]
        for topic, fields in away:
            self.publish(topic, fields)  # nobody to send it to
        self.connect()

    def teardown(self):
        if self.peer is not None:
            self.peer.close()
        release(self.proxy)
        self.proxy = self.peer = None


SubscriptionMachine.TestCase.settings = settings(max_examples=100, stateful_step_count=30,
                                                 **REPRODUCIBLE)
TestSubscriptions = SubscriptionMachine.TestCase


class ListenerMachine(RuleBasedStateMachine):
    """The same kind of sequence driven through a Symlistener, in this thread:
    its requests reach the proxy's callables as the model says, and exactly the
    updates of the topics it is subscribed to reach its data callable.
    (Snapshots go to a snapshot callable of their own, which drops them.)"""

    def __init__(self):
        super().__init__()
        self.port = w.free_port()
        self.proxy = pyqrx.Symproxy()
        self.logons, self.calls, self.got = [], [], []
        self.proxy.onLogon(lambda user, password: self.logons.append(user))
        self.proxy.onSubscribe(lambda topic: self.calls.append(("+", topic)))
        self.proxy.onUnsubscribe(lambda topic: self.calls.append(("-", topic)))
        assert self.proxy.initialize(self.port)
        self.lst = None
        self.subscribed = set()
        self.marks = 0

    def connect(self):
        n = len(self.logons)
        self.lst = pyqrx.Symlistener()
        self.lst.onData(lambda topic, data: self.got.append((topic, dict(data))))
        self.lst.onSnapshot(lambda topic, data: None)
        assert self.lst.connect("127.0.0.1", self.port, username="machine", password="pw")
        w.pump(self.proxy, lambda: len(self.logons) > n)
        without_nagle(self.port)
        self.subscribed = set()
        self.request(lambda: self.lst.subscribe(MARK), [("+", MARK)])
        self.subscribed.add(MARK)

    def request(self, send, want_calls):
        n = len(self.calls)
        assert send() is True
        assert self.lst.unsubscribe(SYNC) is True
        w.pump(self.proxy, lambda: ("-", SYNC) in self.calls[n:])
        assert self.calls[n:] == want_calls + [("-", SYNC)]
        self.expect([])

    def is_published(self, topic):
        return "" in self.subscribed or topic in self.subscribed

    def expect(self, want):
        """Publishes a mark and dispatches up to it: what came before equals want."""
        self.marks += 1
        assert self.proxy.publish(MARK, {w.UPDATE_TIME: self.marks}) is True
        mark = (MARK, {SYMBOL: MARK, TOPIC: MARK, w.UPDATE_TIME: self.marks})
        give_up = time.monotonic() + WAIT
        while mark not in self.got and time.monotonic() < give_up:
            self.lst.dispatchEvents()
            if mark not in self.got:
                # Nothing yet: let the proxy write what it kept, and wait a moment.
                self.proxy.getFd()
                self.proxy.select()
                self.proxy.checkSocket()
                time.sleep(0.0005)
        assert mark in self.got, self.got
        seen = self.got[:self.got.index(mark)]
        del self.got[:self.got.index(mark) + 1]
        check_updates(seen, want)

    @initialize()
    def start(self):
        self.connect()

    @rule(topic=st.sampled_from(TOPICS + [""]))
    def subscribe(self, topic):
        # An empty topic is ignored.
        self.request(lambda: self.lst.subscribe(topic),
                     [("+", requested(topic))] if topic else [])
        if topic:
            self.subscribed.add(requested(topic))

    @rule(topic=st.sampled_from(TOPICS + [""]))
    def unsubscribe(self, topic):
        self.request(lambda: self.lst.unsubscribe(topic), [("-", requested(topic))])
        self.subscribed.discard(requested(topic))

    @rule()
    def subscribe_all(self):
        self.request(self.lst.subscribeAll, [("+", "")])
        self.subscribed.add("")

    @rule()
    def unsubscribe_all(self):
        self.request(self.lst.unsubscribeAll, [("-", "")])
        self.subscribed.discard("")

    @rule(topic=st.sampled_from(TOPICS), fields=state_fields)
    def publish_tick(self, topic, fields):
        assert self.proxy.publish(topic, fields) is True
        record = {SYMBOL: topic, TOPIC: topic}
        record.update(fields)
        self.expect([(topic, record)] if self.is_published(topic) else [])

    @rule()
    def reconnect(self):
        # A new listener: the proxy drops the old one's subscriptions.
        n = len(self.calls)
        self.lst.onData(None)
        self.lst.disconnect()
        self.lst = None
        w.pump(self.proxy, lambda: ("-", None) in self.calls[n:])
        assert self.calls[n:] == [("-", None)]
        self.connect()

    def teardown(self):
        if self.lst is not None:
            self.lst.onData(None)
            self.lst.disconnect()
        release(self.proxy)
        self.proxy = self.lst = None


ListenerMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=25,
                                             **REPRODUCIBLE)
TestListenerSubscriptions = ListenerMachine.TestCase


# ---- property 3: a server that reads slowly loses nothing ------------------------------


class SlowServer:
    """A Proxy whose symbol server has a small receive buffer and reads only when
    told to, so that the proxy's socket fills and its output is kept pending."""

    def __init__(self):
        self.port = w.free_port()
        self.proxy = pyqrx.Symproxy()
        self.logons, self.subs = [], []
        self.proxy.onLogon(lambda user, password: self.logons.append(user))
        self.proxy.onSubscribe(self.subs.append)
        assert self.proxy.initialize(self.port)
        sock = socket.socket()
        # Set before connecting, so that the advertised window stays small.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.settimeout(w.Peer.TIMEOUT)
        sock.connect(("127.0.0.1", self.port))
        self.peer = w.Peer(sock)
        self.peer.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"slow", b"pw")))
        w.pump(self.proxy, lambda: self.logons)
        assert self.peer.expect(w.STATUS).sub == w.STATUS_LOGIN_OK
        for topic in ("A", "B"):
            self.peer.send(w.frame(w.SUBSCRIBE, 0, w.text(topic)))
        w.pump(self.proxy, lambda: len(self.subs) == 2)
        self.updates = []

    def read(self, nbytes):
        """Takes at most nbytes of what has arrived, without waiting."""
        self.peer.sock.settimeout(0)
        try:
            chunk = self.peer.sock.recv(nbytes)
        except BlockingIOError:
            return
        finally:
            self.peer.sock.settimeout(w.Peer.TIMEOUT)
        frames, self.peer.buf = w.split_frames(self.peer.buf + chunk)
        for f in frames:
            if f.mtyp == w.DATA and f.sub == w.DATA_UPDATE:
                self.updates.extend(comparable(r) for r in f.records())

    def poll(self):
        self.proxy.getFd()
        self.proxy.select()
        self.proxy.checkSocket()

    def drain(self, last):
        """Reads, letting the proxy write what it kept, until last arrived."""
        give_up = time.monotonic() + WAIT
        while last not in self.updates and time.monotonic() < give_up:
            self.poll()
            self.read(1 << 20)

    def close(self):
        self.peer.close()
        release(self.proxy)


slow_steps = st.lists(st.one_of(
    st.tuples(st.just("publish"), st.sampled_from(["A", "B", "C"]),
              st.integers(0, 3000) | st.integers(15000, MAX_TEXT)),
    st.tuples(st.just("read"), st.integers(1, 20000)),
    st.tuples(st.just("poll")),
), min_size=1, max_size=80)


@settings(max_examples=60, **REPRODUCIBLE)
@given(steps=slow_steps)
def test_a_slow_server_receives_every_update_whole_and_in_order(steps):
    srv = SlowServer()
    try:
        want = []
        for n, step in enumerate(steps):
            if step[0] == "publish":
                _, topic, size = step
                fields = {w.UPDATE_TIME: n, 1100: chr(65 + n % 26) * size}
                assert srv.proxy.publish(topic, fields) is True
                if topic != "C":  # not subscribed
                    want.append(comparable({**fields, SYMBOL: topic, TOPIC: topic}))
            elif step[0] == "read":
                srv.read(step[1])
            else:
                srv.poll()
        last = {SYMBOL: "A", TOPIC: "A", w.UPDATE_TIME: -1}
        assert srv.proxy.publish("A", {w.UPDATE_TIME: -1}) is True
        want.append(comparable(last))
        srv.drain(want[-1])
        assert srv.updates == want
    finally:
        srv.close()
