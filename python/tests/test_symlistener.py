"""Symlistener against a scripted symbol server on loopback."""

import socket

import pytest

import pyqrx
import symwire as w
from conftest import run_script


def connected(server, **creds):
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", server.port, **creds) is True
    peer = server.accept()
    return lst, peer


class Recorder:
    """A data callable that keeps a copy of each update, and the dict objects."""

    def __init__(self):
        self.updates = []
        self.dicts = []

    def __call__(self, topic, data):
        self.updates.append((topic, dict(data)))
        self.dicts.append(data)


def loop_until_closed(lst):
    with pytest.raises(Exception) as exc:
        lst.loop()
    # An Exception whose text is CONNECTION_ERROR, as callers have always caught it; its
    # class is the package's ConnectionClosed.
    assert exc.type is pyqrx.ConnectionClosed and str(exc.value) == "CONNECTION_ERROR"


# ---- logon and requests on the wire ---------------------------------------------


def test_logon_carries_the_credentials_given(server):
    lst, peer = connected(server, username="alice", password="secret")
    f = peer.recv_frame()
    assert (f.hdr, f.kind) == (w.SYM, (w.LOGIN, w.LOGIN))
    # The whole message, byte for byte: protocol version 3, the two texts, and
    # every other field zero or empty.
    assert w.frame(w.LOGIN, w.LOGIN, f.body) == w.frame(
        w.LOGIN, w.LOGIN, w.login_body(b"alice", b"secret", protocol_version=3))


def test_logon_without_credentials_carries_the_local_address_and_no_password(server):
    lst, peer = connected(server)
    login = w.parse_login(peer.expect(w.LOGIN, w.LOGIN).body)
    assert login["username"] == socket.gethostbyname("localhost").encode()
    assert login["password"] == b""
    assert login["protocol_version"] == 3


def test_long_credentials_are_cut_to_their_fields(server):
    lst, peer = connected(server, username="u" * 40, password="p" * 40)
    login = w.parse_login(peer.expect(w.LOGIN, w.LOGIN).body)
    assert login["username"] == b"u" * 31 and login["password"] == b"p" * 31


def test_requests_go_out_as_sym_messages(server):
    lst, peer = connected(server)
    peer.expect(w.LOGIN)
    assert lst.subscribe("IBM") is True
    assert lst.unsubscribe("IBM") is True
    assert lst.subscribeAll() is True
    assert lst.unsubscribeAll() is True
    assert lst.subscribe("X" * 200) is True
    assert lst.subscribe("caf\u00e9 \udcff") is True
    sub = peer.expect(w.SUBSCRIBE, 0)
    assert sub.topic() == "IBM"
    assert peer.expect(w.UNSUBSCRIBE, 0).topic() == "IBM"
    assert peer.expect(w.SUBSCRIBE_ALL, 0).body == b""
    assert peer.expect(w.UNSUBSCRIBE_ALL, 0).body == b""
    assert peer.expect(w.SUBSCRIBE).topic() == "X" * 127
    # str goes out as UTF-8; a surrogate escape stands for its raw byte.
    assert peer.expect(w.SUBSCRIBE).body == w.text(b"caf\xc3\xa9 \xff")


def test_requests_without_a_usable_argument_or_connection_send_nothing(server):
    lst = pyqrx.Symlistener()
    assert lst.subscribe("IBM") is False
    assert lst.subscribeAll() is False
    assert lst.connect(None, server.port) is False
    assert lst.connect("127.0.0.1", server.port) is True
    peer = server.accept()
    assert lst.subscribe(None) is False
    assert lst.unsubscribe(None) is False
    with pytest.raises(ValueError):
        lst.subscribe("A\0B")
    with pytest.raises(TypeError):
        lst.subscribe(42)
    lst.subscribe("LAST")
    peer.expect(w.LOGIN)
    # Nothing came before the last request.
    assert peer.expect(w.SUBSCRIBE).topic() == "LAST"


def test_connect_while_connected_sends_no_second_logon(server):
    lst, peer = connected(server, username="a", password="b")
    assert lst.connect("127.0.0.1", server.port, username="c") is True
    lst.subscribe("AFTER")
    peer.expect(w.LOGIN)
    assert peer.expect(w.SUBSCRIBE).topic() == "AFTER"


def test_connect_to_a_closed_port_returns_false():
    port = w.free_port()
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", port) is False
    assert lst.subscribe("IBM") is False


# ---- updates ------------------------------------------------------------------


def test_update_arrives_as_a_dict_of_exact_types(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    peer.send(w.data_frame([
        {w.BID: 10.5, w.BID_SIZE: 300, w.FX_IS_INVERSE: "Y", w.TOPIC: "IBM"},
        # A record without topic takes its symbol as topic; odd bytes survive.
        {w.SYMBOL: b"AB\xffC", w.ASK: -1.25, w.TRADE_DIRECTION: b"\xe9", 1100: ""},
    ]))
    peer.close()
    loop_until_closed(lst)
    (t1, d1), (t2, d2) = rec.updates
    assert t1 == "IBM" and d1 == {0: 10.5, 512: 300, 1536: "Y", 1074: "IBM"}
    assert [type(d1[k]) for k in (0, 512, 1536, 1074)] == [float, int, str, str]
    assert t2 == "AB\udcffC"
    assert d2 == {1: -1.25, 1024: "AB\udcffC", 1074: "AB\udcffC", 1543: "\u00e9", 1100: ""}
    assert t2.encode("utf-8", "surrogateescape") == b"AB\xffC"


def test_the_dict_is_reused_and_always_holds_exactly_the_last_record(server):
    lst, peer = connected(server)
    rec = Recorder()

    def meddle(topic, data):
        rec(topic, data)
        if len(rec.updates) == 3:
            data["junk"] = 1  # a callable that edits the dict it was lent
            del data[w.ASK]

    lst.onData(meddle)
    records = [
        {w.TOPIC: "A", w.BID: 1.0, w.ASK: 2.0, w.BID_SIZE: 5},
        {w.TOPIC: "A", w.BID: 1.0, w.ASK: 2.5, w.BID_SIZE: 5},  # same fields
        {w.TOPIC: "B", w.ASK: 3.0, w.LAST: 9.0},  # fields gone and new
        {w.TOPIC: "B", w.BID: 4.0, w.ASK: 3.0, w.LAST: 9.0, w.EXCHANGE: "N"},
        {w.TOPIC: "C"},
        {w.TOPIC: "A", w.BID: 1.0, w.ASK: 2.5, w.BID_SIZE: 5},
    ]
    peer.send(w.data_frame(records[:3]) + w.data_frame(records[3:]))
    peer.close()
    loop_until_closed(lst)
    assert [d for _, d in rec.updates] == records
    assert all(d is rec.dicts[0] for d in rec.dicts)
    # The lent dict now shows the last update, in increasing id order.
    assert rec.dicts[0] == records[-1]
    assert list(rec.dicts[0]) == sorted(records[-1])


def test_key_order_follows_the_ids_whatever_came_before(server):
    lst, peer = connected(server)
    orders = []
    lst.onData(lambda topic, data: orders.append(list(data)))
    peer.send(w.data_frame([{w.TOPIC: "A", w.ASK: 1.0}, {w.TOPIC: "A", w.BID: 1.0, w.ASK: 1.0},
                            {w.TOPIC: "A", w.BID: 1.0, w.UPDATE_TIME: 3}]))
    peer.close()
    loop_until_closed(lst)
    assert orders == [[1, 1074], [0, 1, 1074], [0, 518, 1074]]


def test_depth_and_other_structured_topics_reach_no_callable(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    depth = "4" + w.SEP + "IBM" + w.SEP + "N"
    direct = "1" + w.SEP + "78" + w.SEP + "XYZ"
    peer.send(w.data_frame([{w.TOPIC: depth, w.BID: 1.0}, {w.TOPIC: direct, w.BID: 2.0},
                            {w.TOPIC: "XYZ", w.BID: 3.0}]))
    peer.close()
    loop_until_closed(lst)
    assert [(t, d[w.BID]) for t, d in rec.updates] == [("XYZ", 3.0)]


def test_heartbeat_is_echoed_and_reaches_no_callable(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    peer.expect(w.LOGIN)
    peer.send(w.heartbeat(7))
    # dispatchEvents does not wait: the echo proves the heartbeat was read.
    for _ in range(500):
        lst.dispatchEvents()
        if not peer.nothing_pending(0.01):
            break
    echo = peer.recv_frame()
    assert echo.kind == (w.HEARTBEAT, w.HEARTBEAT) and echo.body == b"\x00\x00\x00\x07"
    assert rec.updates == []


def test_dispatch_events_with_nothing_received_calls_nothing(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    assert lst.dispatchEvents() is None
    assert rec.updates == []


def test_snapshot_records_reach_the_data_callable_when_no_snapshot_callable_is_set(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    # Neither the status nor the markers reach the data callable.
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")) +
              w.frame(w.DATA, w.SNAP_START) +
              w.data_frame([{w.TOPIC: "S", w.BID: 1.0}], sub=w.DATA_SNAPSHOT) +
              w.frame(w.DATA, w.SNAP_END) +
              w.data_frame([{w.TOPIC: "U", w.BID: 2.0}]))
    peer.close()
    loop_until_closed(lst)
    assert rec.updates == [("S", {w.TOPIC: "S", w.BID: 1.0}), ("U", {w.TOPIC: "U", w.BID: 2.0})]


def test_the_callable_may_replace_itself_while_it_runs(server):
    lst, peer = connected(server)
    seen = []

    class Once:
        def __call__(self, topic, data):
            lst.onData(lambda t, d: seen.append(("second", t)))
            seen.append(("first", topic))

    lst.onData(Once())
    peer.send(w.data_frame([{w.TOPIC: "A"}, {w.TOPIC: "B"}]))
    peer.close()
    loop_until_closed(lst)
    assert seen == [("first", "A"), ("second", "B")]


def test_updates_without_a_callable_are_read_and_dropped(server):
    lst, peer = connected(server)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
    peer.close()
    loop_until_closed(lst)
    rec = Recorder()
    lst.onData(rec)
    lst.onData(None)
    with pytest.raises(TypeError):
        lst.onData(5)


# ---- the end of loop ------------------------------------------------------------


def test_loop_ends_with_connection_error_when_the_server_closes(server):
    lst, peer = connected(server)
    rec = Recorder()
    lst.onData(rec)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 2.0}]))
    peer.close()
    loop_until_closed(lst)
    assert [d[w.BID] for _, d in rec.updates] == [1.0, 2.0]
    # The connection is gone: requests fail, another loop ends at once.
    assert lst.subscribe("A") is False
    loop_until_closed(lst)


def test_disconnect_from_the_callable_ends_loop(server):
    lst, peer = connected(server)
    seen = []

    def on_data(topic, data):
        seen.append(data[w.BID])
        lst.disconnect()

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
    loop_until_closed(lst)
    assert seen == [1.0]
    peer.expect(w.LOGIN)
    assert peer.wait_closed() == []


def test_a_raising_callable_stops_at_its_record_and_the_rest_comes_later(server):
    lst, peer = connected(server)
    seen = []

    def on_data(topic, data):
        seen.append(data[w.BID])
        if data[w.BID] == 1.0:
            raise ValueError("bad tick")

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}, {w.TOPIC: "A", w.BID: 2.0}]) +
              w.data_frame([{w.TOPIC: "A", w.BID: 3.0}]))
    with pytest.raises(ValueError, match="bad tick"):
        lst.loop()
    assert seen == [1.0]  # the second record of that message is not delivered
    # The connection stays usable and the next message was kept.
    assert lst.subscribe("B") is True
    peer.close()
    loop_until_closed(lst)
    assert seen == [1.0, 3.0]


def test_a_raising_callable_propagates_out_of_dispatch_events(server):
    lst, peer = connected(server)
    calls = []

    def on_data(topic, data):
        calls.append(topic)
        raise KeyError(topic)

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A"}]) + w.data_frame([{w.TOPIC: "B"}]))
    peer.close()
    raised = []
    # Each call delivers one message and raises; bounded by the two messages.
    for _ in range(10):
        try:
            lst.dispatchEvents()
        except KeyError as e:
            raised.append(e.args[0])
        if len(raised) == 2:
            break
    assert raised == ["A", "B"] and calls == ["A", "B"]


def test_dispatching_again_from_the_callable_is_refused(server):
    lst, peer = connected(server)
    errors = []

    def on_data(topic, data):
        for method in (lst.dispatchEvents, lst.loop):
            try:
                method()
            except RuntimeError as e:
                errors.append(str(e))

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A"}]))
    peer.close()
    loop_until_closed(lst)
    assert len(errors) == 2 and "already dispatching" in errors[0]


def test_other_threads_run_and_can_disconnect_while_loop_waits():
    # In a child process: a module that kept the interpreter lock would hang.
    proc = run_script("""
        import threading, pyqrx, symwire as w
        srv = w.ScriptedServer()
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port)
        peer = srv.accept()
        ran = []
        def worker():
            ran.append(sum(range(1000)))   # Python code running meanwhile
            peer.send(w.data_frame([{w.TOPIC: "T", w.BID: 1.0}]))
        got = []
        def on_data(topic, data):
            got.append(topic)
            threading.Thread(target=lst.disconnect).start()
        lst.onData(on_data)
        threading.Timer(0.2, worker).start()
        try:
            lst.loop()
        except Exception as e:
            print(str(e), ran, got)
    """, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "CONNECTION_ERROR [499500] ['T']"


def test_ctrl_c_ends_loop_with_keyboard_interrupt_and_keeps_the_connection():
    proc = run_script("""
        import signal, sys, threading, time, pyqrx, symwire as w
        srv = w.ScriptedServer()
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port)
        peer = srv.accept()
        main = threading.main_thread().ident

        def run_loop(lst):
            lst.loop()

        def interrupter():
            # Waits until the main thread is inside run_loop's call of loop().
            while True:
                f = sys._current_frames().get(main)
                if f is not None and f.f_code.co_name == "run_loop":
                    break
                time.sleep(0.01)
            signal.pthread_kill(main, signal.SIGINT)

        threading.Thread(target=interrupter).start()
        try:
            run_loop(lst)
        except KeyboardInterrupt:
            print("interrupted")
        got = []
        lst.onData(lambda topic, data: got.append(topic))
        assert lst.subscribe("AFTER")
        peer.send(w.data_frame([{w.TOPIC: "T"}]))
        peer.close()
        try:
            lst.loop()
        except Exception as e:
            print(str(e), got)
    """, timeout=30)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["interrupted", "CONNECTION_ERROR ['T']"]


def test_a_listener_in_a_cycle_with_its_callable_is_collected(server):
    import gc

    def make():
        lst = pyqrx.Symlistener()
        lst.onData(lambda topic, data: lst.disconnect())  # refers back to lst
        assert lst.connect("127.0.0.1", server.port)

    make()
    peer = server.accept()
    peer.expect(w.LOGIN)
    gc.collect()
    # Destroyed: it unsubscribes from everything and closes the connection.
    assert [f.kind for f in peer.wait_closed()] == [(w.UNSUBSCRIBE_ALL, 0)]


# ---- disconnect whatever ran before, and never frozen by a blocked write ------------


def test_disconnect_after_a_loop_ended_by_the_callable_closes_and_connect_logs_on_again(server):
    lst, peer = connected(server, username="me", password="pw")
    peer.expect(w.LOGIN)

    def on_data(topic, data):
        raise ValueError("stop here")

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
    with pytest.raises(ValueError, match="stop here"):
        lst.loop()
    # The loop is over: disconnect closes, and the feed handler sees the client go.
    lst.disconnect()
    assert peer.wait_closed() == []
    assert lst.subscribe("A") is False

    # A new connection, logged on with the same credentials.
    lst.onData(None)
    assert lst.connect("127.0.0.1", server.port) is True
    again = server.accept()
    logon = w.parse_login(again.expect(w.LOGIN).body)
    assert (logon["username"], logon["password"]) == (b"me", b"pw")
    assert lst.subscribe("B") is True
    assert again.expect(w.SUBSCRIBE).topic() == "B"

    # The destructor closes it too, after telling the server.
    del lst
    assert [f.kind for f in again.wait_closed()] == [(w.UNSUBSCRIBE_ALL, 0)]


def test_disconnect_after_ctrl_c_ended_loop_closes_the_connection():
    proc = run_script("""
        import signal, sys, threading, time, pyqrx, symwire as w
        srv = w.ScriptedServer()
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port)
        peer = srv.accept()
        peer.expect(w.LOGIN)
        main = threading.main_thread().ident

        def run_loop(lst):
            lst.loop()

        def interrupter():
            while True:
                f = sys._current_frames().get(main)
                if f is not None and f.f_code.co_name == "run_loop":
                    break
                time.sleep(0.01)
            signal.pthread_kill(main, signal.SIGINT)

        threading.Thread(target=interrupter).start()
        try:
            run_loop(lst)
        except KeyboardInterrupt:
            print("interrupted")
        lst.disconnect()
        print("closed", peer.wait_closed())
        assert lst.connect("127.0.0.1", srv.port)
        print("logon", srv.accept().expect(w.LOGIN).kind)
    """, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["interrupted", "closed []", "logon (10000, 10000)"]


# A writer thread subscribes until a write blocks on a server that reads nothing; another
# thread then disconnects. mode "dispatching": a third thread is inside dispatchEvents (in
# the callable, which gives up the interpreter lock while it waits); mode "after_loop": a
# loop ran before and ended through the callable.
BLOCKED_WRITER_SCRIPT = """
    import threading, time, pyqrx, symwire as w
    mode = "%s"
    srv = w.ScriptedServer()
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", srv.port)
    peer = srv.accept()          # reads nothing from here on
    in_callable = threading.Event()
    leave = threading.Event()

    def on_data(topic, data):
        if mode == "after_loop":
            raise ValueError("ends the loop")
        in_callable.set()
        leave.wait(30)

    lst.onData(on_data)
    peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
    if mode == "after_loop":
        try:
            lst.loop()
        except ValueError:
            pass
    else:
        def dispatch():
            while not in_callable.is_set():
                lst.dispatchEvents()
                time.sleep(0.01)
            lst.dispatchEvents()   # meets the end of the connection
        dispatcher = threading.Thread(target=dispatch, daemon=True)
        dispatcher.start()
        in_callable.wait(10)

    sent = [0]
    ended = []
    def writer():
        while lst.subscribe("T%%08d" %% sent[0] + "x" * 100):
            sent[0] += 1
        ended.append(sent[0])
    threading.Thread(target=writer, daemon=True).start()
    last, stable = -1, 0
    while stable < 10:             # the writer has stopped getting anywhere
        time.sleep(0.05)
        stable = stable + 1 if sent[0] == last else 0
        last = sent[0]

    done = threading.Event()
    def disconnect():
        lst.disconnect()
        done.set()
    threading.Thread(target=disconnect, daemon=True).start()
    ticks = 0
    while not done.is_set() and ticks < 200:   # Python keeps running meanwhile
        ticks += 1
        time.sleep(0.05)
    print("disconnected" if done.is_set() else "frozen", flush=True)
    for _ in range(200):
        if ended:
            break
        time.sleep(0.05)
    print("writer ended" if ended and ended[0] == sent[0] else "writer blocked", flush=True)
    leave.set()
    if mode != "after_loop":
        dispatcher.join(10)
    peer.sock.settimeout(30)
    try:
        while peer.sock.recv(1 << 20):
            pass
        print("closed", flush=True)
    except ConnectionResetError:
        print("closed", flush=True)
    except OSError:
        print("open", flush=True)
"""


@pytest.mark.parametrize("mode", ["dispatching", "after_loop"])
def test_disconnect_ends_a_write_blocked_on_a_server_that_does_not_read(mode):
    proc = run_script(BLOCKED_WRITER_SCRIPT % mode, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["disconnected", "writer ended", "closed"], proc.stdout
