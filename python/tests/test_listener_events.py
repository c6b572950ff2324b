"""Symlistener.onStatus, onSymbolStatus and onSnapshot against a scripted
symbol server: the status events and snapshot records reach their callables in
the order of the wire, and a callable that raises stops delivery like the data
callable."""

import gc
import weakref

import pytest

import pyqrx
import symwire as w


def connected(server, listener):
    assert listener.connect("127.0.0.1", server.port, username="u", password="p")
    peer = server.accept()
    peer.expect(w.LOGIN)
    return peer


def test_status_events_and_snapshots_arrive_in_order(server):
    listener = pyqrx.Symlistener()
    seen = []
    listener.onStatus(lambda code, text: seen.append(("status", code, None, text)))
    listener.onSymbolStatus(
        lambda topic, message, code: seen.append(("status", code, topic, message)))
    listener.onSnapshot(lambda topic, data: seen.append(("snapshot", topic, dict(data))))
    listener.onData(lambda topic, data: seen.append(("update", topic, dict(data))))
    peer = connected(server, listener)
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK)
              + w.data_frame([{w.TOPIC: "IBM", w.BID: 1.5}, {w.SYMBOL: "NOTOPIC"}],
                             sub=w.DATA_SNAPSHOT)
              + w.frame(7, 6, w.text("SLOW") + w.text("waiting"))
              + w.frame(7, 1, w.text("XYZ") + w.text("unknown"))
              + w.data_frame([{w.TOPIC: "IBM", w.BID: 1.75}])
              + w.frame(w.STATUS, 8, w.text("feed down"))
              + w.frame(w.STATUS, 9, w.text("feed up")))
    peer.close()
    with pytest.raises(Exception, match="CONNECTION_ERROR"):
        listener.loop()
    S = pyqrx.SymStatus
    assert seen == [
        ("status", S.LOGIN_SUCCESS, None, ""),
        # A snapshot record without a topic field is not delivered.
        ("snapshot", "IBM", {w.TOPIC: "IBM", w.BID: 1.5}),
        ("status", S.PENDING_SUB, "SLOW", "waiting"),
        ("status", S.SUBS_ERROR, "XYZ", "unknown"),
        ("update", "IBM", {w.TOPIC: "IBM", w.BID: 1.75}),
        ("status", S.DATA_SOURCE_ERROR, None, "feed down"),
        ("status", S.DATA_SOURCE_RESTORED, None, "feed up"),
    ]
    # The codes are the enum's members, which are ints too (the old names alias them).
    assert all(type(e[1]) is S for e in seen if e[0] == "status")
    assert S.SUBS_ERROR == 5 and pyqrx.STATUS_TOPIC_UNKNOWN is S.SUBS_ERROR


def test_a_raising_status_callable_stops_delivery_after_its_message(server):
    listener = pyqrx.Symlistener()
    updates = []

    def refuse(code, text):
        if code == pyqrx.SymStatus.LOGIN_ERROR:
            raise PermissionError(text)
    listener.onStatus(refuse)
    listener.onData(lambda topic, data: updates.append(topic))
    peer = connected(server, listener)
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_REFUSED, w.text("bad password"))
              + w.data_frame([{w.TOPIC: "A"}]))
    with pytest.raises(PermissionError, match="bad password"):
        listener.loop()
    assert updates == []
    # The connection stays usable: the next message is delivered.
    listener.onStatus(None)
    peer.close()
    with pytest.raises(Exception, match="CONNECTION_ERROR"):
        listener.loop()
    assert updates == ["A"]


def test_event_callables_are_checked_and_do_not_leak_through_cycles():
    listener = pyqrx.Symlistener()
    names = ("onStatus", "onSymbolStatus", "onSnapshot", "onSnapshotStart", "onSnapshotEnd",
             "onTopicData")
    for name in names:
        with pytest.raises(TypeError):
            getattr(listener, name)(42)
        getattr(listener, name)(None)
    # Callables that refer back to their listener: the collector frees both.
    for name in names:
        getattr(listener, name)(lambda *a, keep=listener: keep)
    ref = weakref.ref(listener)
    del listener
    gc.collect()
    assert ref() is None


def test_markers_and_structured_records_reach_their_callables_and_a_raise_stops_delivery(server):
    listener = pyqrx.Symlistener()
    seen = []
    depth = pyqrx.depthTopic("IBM", 78)

    def on_topic(topic, data):
        seen.append(("topic", topic.symbol, data[w.BID]))
        if data[w.BID] < 0:
            raise ValueError("negative bid")
    listener.onSnapshotStart(lambda: seen.append("start"))
    listener.onSnapshotEnd(lambda: seen.append("end"))
    listener.onTopicData(on_topic)
    listener.onData(lambda topic, data: seen.append(("data", topic)))
    peer = connected(server, listener)
    # Structured snapshot records go to the topic callable when no snapshot callable is set.
    peer.send(w.frame(w.DATA, w.SNAP_START)
              + w.data_frame([{w.TOPIC: depth, w.BID: 1.0}, {w.TOPIC: "P", w.BID: 2.0}],
                             sub=w.DATA_SNAPSHOT)
              + w.frame(w.DATA, w.SNAP_END)
              + w.data_frame([{w.TOPIC: depth, w.BID: -1.0}, {w.TOPIC: depth, w.BID: 3.0}])
              + w.data_frame([{w.TOPIC: "P", w.BID: 4.0}]))
    with pytest.raises(ValueError, match="negative bid"):
        listener.loop()
    assert seen == ["start", ("topic", "IBM", 1.0), ("data", "P"), "end",
                    ("topic", "IBM", -1.0)]
    peer.close()
    with pytest.raises(pyqrx.ConnectionClosed):
        listener.loop()
    # The rest of the message that raised is lost; the next message is delivered.
    assert seen[5:] == [("data", "P")]
