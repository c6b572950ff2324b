"""Logon verdicts: a feed handler that enforces its logon callable's answer,
and a client that waits for the verdict in connect()."""

import os
import resource
import socket
import threading
import time

import pytest

import pyqrx
import symwire as w


@pytest.fixture
def enforcing():
    proxy = pyqrx.Symproxy()
    logons = []

    def check(user, password):
        logons.append(user)
        return password == "secret"

    proxy.onLogon(check)
    port = w.free_port()
    assert proxy.initialize(port, enforceLogon=True)
    t = threading.Thread(target=proxy.serve, daemon=True)
    t.start()
    yield port, logons
    proxy.stop()
    t.join(5)


def test_connect_waits_for_an_accepted_logon_and_raises_a_refused_one(enforcing):
    port, logons = enforcing
    refused = pyqrx.Symlistener()
    with pytest.raises(pyqrx.LogonError):
        refused.connect("127.0.0.1", port, "eve", "guess", wait=True, timeout=10)
    assert refused.getFd() < 0

    accepted = pyqrx.Symlistener()
    statuses = []
    accepted.onStatus(lambda code, text: statuses.append(code))
    assert accepted.connect("127.0.0.1", port, "ann", "secret", wait=True, timeout=10)
    assert statuses == [pyqrx.STATUS_LOGON_OK]
    assert logons == ["eve", "ann"]
    # Connected already: no second logon goes out, so there is no verdict to
    # wait for, and the connection stands.
    assert accepted.connect("127.0.0.1", port, "ann", "secret", wait=True, timeout=0.5)
    assert accepted.getFd() >= 0 and logons == ["eve", "ann"]
    accepted.disconnect()


def test_an_enforcing_feed_handler_serves_no_request_of_a_server_that_has_not_logged_on():
    proxy = pyqrx.Symproxy()
    proxy.onLogon(lambda user, password: password == "secret")
    subs, unsubs = [], []
    proxy.onSubscribe(subs.append)
    proxy.onUnsubscribe(unsubs.append)
    port = w.free_port()
    assert proxy.initialize(port, enforceLogon=True)
    proxy.publish("X", {0: 1.5})

    # Requests with no logon before them: none reaches a callable or is answered, and the
    # server is dropped as a refused one is.
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    peer = w.Peer(sock)
    peer.send(w.frame(w.SUBSCRIBE, 0, w.text("X")) + w.frame(w.SUBSCRIBE, 0, w.text("Y")))
    w.pump(proxy, lambda: subs or unsubs)
    assert subs == [] and unsubs == [None]
    assert all(f.mtyp != w.DATA for f in peer.wait_closed())
    peer.close()

    # One that logs on first is served.
    good = w.connect_client(port, b"ann", b"secret")
    good.send(w.frame(w.SUBSCRIBE, 0, w.text("X")))
    w.pump(proxy, lambda: subs == ["X"])
    good.expect(w.STATUS, w.STATUS_LOGIN_OK)
    assert good.expect(w.DATA).records()[0][0] == 1.5
    good.close()


def test_without_enforcing_every_logon_is_accepted_whatever_the_callable_says():
    proxy = pyqrx.Symproxy()
    proxy.onLogon(lambda user, password: False)
    port = w.free_port()
    assert proxy.initialize(port)
    t = threading.Thread(target=proxy.serve, kwargs={"timeout": 10}, daemon=True)
    t.start()
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", port, "any", "thing", wait=True, timeout=10)
    lst.disconnect()
    proxy.stop()
    t.join(5)


def test_connect_gives_up_waiting_for_a_server_that_never_answers():
    srv = w.ScriptedServer()
    accept = threading.Thread(target=srv.accept, daemon=True)
    accept.start()
    lst = pyqrx.Symlistener()
    with pytest.raises(pyqrx.LogonTimeout):
        lst.connect("127.0.0.1", srv.port, "me", "pw", wait=True, timeout=0.3)
    assert isinstance(pyqrx.LogonTimeout("x"), pyqrx.Error)
    srv.close()


def test_a_feed_handler_can_see_its_server_and_what_it_did():
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    assert proxy.clientAddress() is None and proxy.clientUser() is None
    peer = w.connect_client(port, b"ann", b"pw")
    peer.send(w.frame(w.SUBSCRIBE, 0, w.text("B")) + w.frame(w.SUBSCRIBE, 0, w.text("A")))
    w.pump(proxy, lambda: subs == ["B", "A"])
    assert proxy.subscriptions() == ["A", "B"]
    assert proxy.clientUser() == "ann"
    host, _, port_text = proxy.clientAddress().rpartition(":")
    assert host == "127.0.0.1" and int(port_text) == peer.sock.getsockname()[1]
    before = proxy.stats()
    proxy.publishMany([("A", {0: 1.0}), ("B", {0: 2.0}), ("C", {0: 3.0})])
    after = proxy.stats()
    assert after["ticksFlushed"] - before["ticksFlushed"] == 3
    assert after["ticksSent"] - before["ticksSent"] == 2  # C is not subscribed
    assert after["messagesWritten"] - before["messagesWritten"] == 1
    assert after["pendingMessages"] == 0 and after["ticksDropped"] == 0
    peer.close()
    w.pump(proxy, lambda: proxy.clientUser() is None)  # the proxy saw it go
    assert proxy.clientAddress() is None


def test_status_sent_by_the_feed_handler_reaches_the_clients_status_callable():
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    proxy.publish("IBM", {0: 1.25})
    listener = pyqrx.Symlistener()
    events, snaps = [], []
    listener.onStatus(lambda code, text: events.append((code, None, text)))
    listener.onSymbolStatus(lambda topic, message, code: events.append((code, topic, message)))
    listener.onSnapshot(lambda topic, data: snaps.append((topic, data[0])))
    assert listener.connect("127.0.0.1", port, "me", "pw")
    listener.subscribe("IBM")
    w.pump(proxy, lambda: subs == ["IBM"])
    assert proxy.sendStatus(pyqrx.STATUS_SOURCE_LOST, "feed down")
    assert proxy.sendSymbolStatus("XYZ", pyqrx.STATUS_TOPIC_UNKNOWN, "no such topic")
    assert proxy.sendSymbolStatus("ABC", pyqrx.STATUS_TOPIC_PENDING)
    assert proxy.sendStatus(pyqrx.STATUS_SOURCE_RESTORED)
    assert proxy.sendSnapshot("IBM")
    with pytest.raises(ValueError):
        proxy.sendStatus(pyqrx.STATUS_LOGON_OK)
    S = pyqrx.SymStatus
    expected = [(S.LOGIN_SUCCESS, None, ""),
                (S.DATA_SOURCE_ERROR, None, "feed down"),
                (S.SUBS_ERROR, "XYZ", "no such topic"),
                (S.PENDING_SUB, "ABC", ""),
                (S.DATA_SOURCE_RESTORED, None, "")]
    deadline = time.monotonic() + 10
    while (events != expected or len(snaps) < 2) and time.monotonic() < deadline:
        listener.dispatchEvents()
        time.sleep(0.01)
    assert events == expected
    assert all(type(code) is pyqrx.SymStatus for code, _, _ in events)
    assert snaps == [("IBM", 1.25), ("IBM", 1.25)]  # on subscribing, then asked for
    listener.disconnect()


def test_a_feed_handler_listens_on_a_local_socket_or_on_the_address_it_is_given(tmp_path):
    import socket

    path = str(tmp_path / "feed.sock")
    local = pyqrx.Symproxy()
    subs = []
    local.onSubscribe(subs.append)
    assert local.initializeLocal(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    peer = w.Peer(sock)
    peer.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"srv", b"")) +
              w.frame(w.SUBSCRIBE, 0, w.text("L")))
    w.pump(local, lambda: subs == ["L"])
    peer.expect(w.STATUS, w.STATUS_LOGIN_OK)
    local.publish("L", {0: 2.5})
    assert peer.expect(w.DATA, w.DATA_UPDATE).records()[0][0] == 2.5
    peer.close()

    bound = pyqrx.Symproxy()
    port = w.free_port()
    assert bound.initialize(port, bindAddress="127.0.0.2")
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5)
    socket.create_connection(("127.0.0.2", port), timeout=5).close()


def test_a_feed_handler_listens_on_a_service_name(monkeypatch):
    # A service resolves through KO_PORT_<name> before the services database;
    # its port is used as it is with QUOR_TRUE_BIND=YES (byte-swapped otherwise,
    # as clients connecting by service name do too).
    port = w.free_port()
    monkeypatch.setenv("KO_PORT_qrxfeed", str(port))
    monkeypatch.setenv("QUOR_TRUE_BIND", "YES")
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    assert proxy.initialize("qrxfeed", bindAddress="127.0.0.1")
    peer = w.connect_client(port)
    peer.send(w.frame(w.SUBSCRIBE, 0, w.text("S")))
    w.pump(proxy, lambda: subs == ["S"])
    peer.expect(w.STATUS, w.STATUS_LOGIN_OK)
    peer.close()
    proxy.closeClient()

    assert not pyqrx.Symproxy().initialize("no-such-qrx-service")
    with pytest.raises(ValueError):
        pyqrx.Symproxy().initialize(70000)
    with pytest.raises(TypeError):
        pyqrx.Symproxy().initialize(None)


def test_connect_waits_for_a_late_verdict_also_on_a_descriptor_beyond_what_select_watches():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip("the process may not open 1,200 descriptors")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 1200), hard))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    srv = w.ScriptedServer()
    answered = threading.Event()

    def serve():
        peer = srv.accept()
        peer.expect(w.LOGIN)
        time.sleep(0.3)  # the verdict comes after connect() has begun to wait
        answered.set()  # before it is sent: connect() may return the moment it arrives
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, b"\0"))
        peer.wait_closed()

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    try:
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port, "me", "pw", wait=True, timeout=10)
        assert lst.getFd() >= 1024 and answered.is_set()
        lst.disconnect()
        server.join(10)
    finally:
        for fd in held:
            os.close(fd)
        srv.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_a_connection_that_never_speaks_is_dropped_so_that_the_server_can_log_on():
    proxy = pyqrx.Symproxy()
    assert proxy.firstRequestTimeout() == 60
    with pytest.raises(ValueError):
        proxy.setFirstRequestTimeout(-1)
    with pytest.raises(ValueError):
        proxy.setFirstRequestTimeout(float("nan"))
    proxy.setFirstRequestTimeout(0.2)
    assert proxy.firstRequestTimeout() == pytest.approx(0.2)
    port = w.free_port()
    assert proxy.initialize(port)
    t = threading.Thread(target=proxy.serve, daemon=True)
    t.start()
    try:
        # A health check or a scanner that connects and holds the connection.
        silent = socket.create_connection(("127.0.0.1", port), timeout=10)
        assert silent.recv(1) == b""  # closed by the feed handler once its time was up
        silent.close()
        listener = pyqrx.Symlistener()
        assert listener.connect("127.0.0.1", port, "ann", "pw", wait=True, timeout=10)
        time.sleep(0.4)  # past the bound: having spoken, it stays
        assert proxy.clientUser() == "ann"
        listener.disconnect()
    finally:
        proxy.stop()
        t.join(5)
