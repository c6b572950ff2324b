"""qrx-symsrv and its clients: logons checked against the configured users (and
accepted from anyone when none are configured), malformed input from a client,
which closes only that client's connection, and a client that stops reading,
which is conflated and then dropped while the others get every update and the
server's memory stays bounded; requests a client repeats are logged a few times,
not once each."""

import os
import select
import socket
import struct
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

import pyqrx
import pytest

from symsrv_peers import SYMSRV, Clients, Feed, SymSrv, need_symsrv, needs_symsrv, wait_for

pytestmark = needs_symsrv


def test_logon_is_refused_for_a_wrong_password_and_accepted_for_the_right_one():
    with tempfile.NamedTemporaryFile("w", suffix=".conf", delete=False) as f:
        f.write("# users of the test\n[users]\nalice = secret\nbob = hunter2\n")
    srv = SymSrv("--config", f.name)
    try:
        lst = pyqrx.Symlistener()
        with pytest.raises(pyqrx.LogonError):
            lst.connect("127.0.0.1", srv.port, "alice", "wrong", wait=True, timeout=10)
        lst.disconnect()
        with pytest.raises(pyqrx.LogonError):
            lst.connect("127.0.0.1", srv.port, "mallory", "secret", wait=True, timeout=10)
        lst.disconnect()
        assert lst.connect("127.0.0.1", srv.port, "bob", "hunter2", wait=True, timeout=10)
        lst.disconnect()
        assert srv.metric("qrx_symsrv_logons_refused_total") == 2
        assert "refused: bad user or password for mallory" in srv.log()
    finally:
        srv.close()
        os.unlink(f.name)


def test_without_configured_users_every_logon_is_accepted():
    srv = SymSrv()
    try:
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port, "anyone", "anything", wait=True, timeout=10)
        lst.disconnect()
    finally:
        srv.close()


@pytest.mark.parametrize("garbage", [
    struct.pack(">H", 3) + b"x",  # a length below the header's own
    struct.pack(">HHHH", 12, 7, 3, 0) + b"abcd",  # a header type no client sends
    struct.pack(">HHHH", 14, 15, 12, 0) + struct.pack(">i", 1000000) + b"zz",  # a bad list
], ids=["short-length", "foreign-header", "bad-topic-list"])
def test_malformed_input_from_a_client_closes_only_that_client(garbage):
    feed = Feed()
    srv = SymSrv("--feed", f"127.0.0.1:{feed.port}")
    clients = None
    try:
        clients = Clients(srv.port, 1)
        clients.listeners[0].subscribe("OK1")
        wait_for(lambda: "OK1" in feed.subs()[0], 20, "the subscription")
        raw = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
        raw.sendall(garbage)
        assert raw.recv(100) == b"", "the server keeps a connection that sent garbage"
        raw.close()
        feed.publish(["OK1"], rounds=2)
        feed.wait_done()
        wait_for(lambda: clients.counts[0] == 2, 20, "the other client's updates")
        assert srv.metric("qrx_symsrv_malformed_total") == 1
        assert srv.metric("qrx_symsrv_clients") >= 1
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


# The slow client's test: records of about 250 bytes, many more of them than the kernel
# buffers of one connection hold, paced so that Python clients keep up.
SLOW_TOPICS = [f"S{j:03d}" for j in range(200)]
SLOW_ROUNDS = 300  # 60,000 updates, about 15 MB
HIGH_WATER = 4 << 20
LIMIT = 64 << 20
# The server's resident memory may grow by at most this much while the slow client is
# conflated and dropped (its queue is bounded by the high-water mark, not by what it misses).
RSS_GROWTH_BOUND_KIB = 64 * 1024


def test_a_client_that_stops_reading_is_conflated_then_dropped_and_the_others_get_everything():
    feed = Feed()
    srv = SymSrv("--feed", f"127.0.0.1:{feed.port}", "--high-water", HIGH_WATER,
                 "--limit", LIMIT, "--stall-timeout", 2)
    clients = None
    try:
        clients = Clients(srv.port, 3)
        clients.paused.add(2)  # client 2 never reads
        for lst in clients.listeners:
            for t in SLOW_TOPICS:
                lst.subscribe(t)
        wait_for(lambda: srv.metric("qrx_symsrv_client_topics") == 3 * len(SLOW_TOPICS), 20,
                 "the subscriptions")
        rss_before = srv.rss_kib()
        # Paced (about 10,000 updates a second), so that the clients that read keep up on a
        # loaded machine too: they would have to fall 4 MB, some 1.6 s, behind to be conflated.
        feed.publish(SLOW_TOPICS, rounds=SLOW_ROUNDS, pad=200, per_batch=200, pause=0.02)
        peak = 0
        dropped = lambda: srv.metric("qrx_symsrv_clients_dropped_total") == 1  # noqa: E731
        while not dropped():
            peak = max(peak, srv.rss_kib())
            assert peak - rss_before < RSS_GROWTH_BOUND_KIB, f"resident memory {peak} KiB"
            time.sleep(0.05)
            assert srv.proc.poll() is None
            if feed.lines.qsize():
                break
        feed.wait_done()
        wait_for(dropped, 30, "the slow client to be dropped")
        total = len(SLOW_TOPICS) * SLOW_ROUNDS
        wait_for(lambda: clients.counts[0] == total and clients.counts[1] == total, 60,
                 "the other clients' updates")
        expected = [(1, r) for r in range(1, SLOW_ROUNDS + 1)]
        for k in (0, 1):
            for t in SLOW_TOPICS:
                assert clients.updates[k][t] == expected
        peak = max(peak, srv.rss_kib())
        assert peak - rss_before < RSS_GROWTH_BOUND_KIB, \
            f"resident memory {peak} KiB (before: {rss_before} KiB)"
        log = srv.log()
        behind = log.index("is behind")
        assert "conflating its updates" in log
        assert log.index("dropped: it has read nothing", behind) > behind
        m = srv.metrics()
        assert m[("qrx_symsrv_conflated_total", "")] > 0
        # The clients that kept up were never conflated.
        per_client = {labels: v for (n, labels), v in m.items()
                      if n == "qrx_symsrv_client_conflated_total"}
        assert len(per_client) >= 2 and all(v == 0 for v in per_client.values())
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


def test_a_client_whose_queue_passes_the_limit_is_dropped_at_once():
    feed = Feed()
    # With the high-water mark at the limit there is no room to conflate in: the slow
    # client is dropped as soon as its queue passes the limit.
    srv = SymSrv("--feed", f"127.0.0.1:{feed.port}", "--high-water", HIGH_WATER,
                 "--limit", HIGH_WATER, "--stall-timeout", 0)
    clients = None
    try:
        clients = Clients(srv.port, 2)
        clients.paused.add(1)
        for lst in clients.listeners:
            for t in SLOW_TOPICS:
                lst.subscribe(t)
        wait_for(lambda: srv.metric("qrx_symsrv_client_topics") == 2 * len(SLOW_TOPICS), 20,
                 "the subscriptions")
        feed.publish(SLOW_TOPICS, rounds=SLOW_ROUNDS, pad=200, per_batch=200, pause=0.02)
        feed.wait_done()
        wait_for(lambda: srv.metric("qrx_symsrv_clients_dropped_total") == 1, 30, "the drop")
        total = len(SLOW_TOPICS) * SLOW_ROUNDS
        wait_for(lambda: clients.counts[0] == total, 60, "the other client's updates")
        assert f"past the limit of {HIGH_WATER} bytes" in srv.log()
        assert srv.metric("qrx_symsrv_clients") >= 1
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


def test_the_metrics_port_answers_get_metrics_and_nothing_else():
    srv = SymSrv()
    try:
        lst = pyqrx.Symlistener()
        assert lst.connect("127.0.0.1", srv.port, "watcher", "x", wait=True, timeout=10)
        m = srv.metrics()
        assert m[("qrx_symsrv_clients", "")] >= 1
        assert any(n == "qrx_symsrv_client_queue_bytes" and 'user="watcher"' in labels
                   for n, labels in m)
        with pytest.raises(urllib.error.HTTPError) as e:
            urllib.request.urlopen(f"http://127.0.0.1:{srv.metrics_port}/other", timeout=10)
        assert e.value.code == 404
        lst.disconnect()
    finally:
        srv.close()


def test_connections_the_server_has_no_descriptor_for_are_closed_and_it_keeps_serving():
    # Room for a few clients only; the connections past them wait in the listen queue.
    srv = SymSrv("--logon-timeout", 0, metrics=False, nofile=24)
    conns = []
    try:
        for _ in range(40):
            conns.append(socket.create_connection(("127.0.0.1", srv.port), timeout=10))

        def one_closed():
            readable, _, _ = select.select(conns, [], [], 0.05)
            return any(s.recv(1) == b"" for s in readable)
        wait_for(one_closed, 30, "a connection past the descriptors to be closed")
        assert "no descriptor left" in srv.log()
        for s in conns:
            s.close()
        conns = []

        # Served again once the server has seen those connections go.
        def logs_on():
            lst = pyqrx.Symlistener()
            try:
                return lst.connect("127.0.0.1", srv.port, "later", "x", wait=True, timeout=10)
            except pyqrx.ConnectionClosed:
                return False
            finally:
                lst.disconnect()
        wait_for(logs_on, 60, "a client to log on once descriptors are free")
    finally:
        for s in conns:
            s.close()
        srv.close()


def test_a_local_socket_path_that_names_another_file_is_refused_and_the_file_kept():
    need_symsrv()
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("not a socket\n")
    proc = subprocess.Popen([SYMSRV, "--port", "0", "--unix", f.name],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        wait_for(lambda: proc.poll() is not None, 30, "qrx-symsrv to give up")
        assert proc.returncode != 0
        assert "cannot listen on " + f.name in proc.stdout.read()
        with open(f.name) as kept:
            assert kept.read() == "not a socket\n"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        if os.path.exists(f.name):
            os.unlink(f.name)


def test_requests_a_client_repeats_are_logged_a_few_times_not_once_each():
    import symwire as w
    srv = SymSrv()
    raw = None
    try:
        raw = w.Peer(socket.create_connection(("127.0.0.1", srv.port), timeout=10))
        # Before its logon, then requests the server does not serve, then the logon again
        # and again: each would be a line of the log.
        raw.send(w.frame(w.SUBSCRIBE, 0, w.text("EARLY")) * 500)
        raw.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"flood", b"pw")))
        raw.send(w.frame(w.HB_NOTICE, 0) * 500)
        raw.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"flood", b"pw")) * 500)
        # A request answered after all of them shows they have been handled.
        raw.send(w.frame(9, 0))  # snapshot of every topic: two markers, nothing between
        while raw.recv_frame().kind != (w.DATA, w.SNAP_END):
            pass
        log = srv.log()
        at = log.index(" logged on as flood")
        client = "client " + log[:at].rsplit("client ", 1)[1] + " "
        lines = [line for line in log.splitlines() if client in line]
        for text in ("before logging on; ignored", "sent unhandled request", "logged on as"):
            n = sum(1 for line in lines if text in line)
            assert 1 <= n <= 10, f"{n} lines saying '{text}'"
        # The client is served as before.
        assert srv.metric("qrx_symsrv_clients") == 1
    finally:
        if raw:
            raw.close()
        srv.close()


def test_logons_that_alternate_between_names_are_logged_a_few_times_not_once_each():
    import symwire as w
    srv = SymSrv()
    raw = None
    try:
        raw = w.Peer(socket.create_connection(("127.0.0.1", srv.port), timeout=10))
        # Every logon is under another name than the one before it.
        pair = (w.frame(w.LOGIN, w.LOGIN, w.login_body(b"flip", b"pw")) +
                w.frame(w.LOGIN, w.LOGIN, w.login_body(b"flop", b"pw")))
        raw.send(pair * 500)
        raw.send(w.frame(9, 0))  # answered after all the logons
        while raw.recv_frame().kind != (w.DATA, w.SNAP_END):
            pass
        n = sum(1 for line in srv.log().splitlines()
                if " logged on as flip" in line or " logged on as flop" in line)
        assert 1 <= n <= 10, f"{n} lines of logons"
        assert srv.metric("qrx_symsrv_clients") == 1
    finally:
        if raw:
            raw.close()
        srv.close()


def test_topic_lists_past_a_hundred_topics_take_the_first_hundred_with_a_few_log_lines():
    import symwire as w
    srv = SymSrv()
    raw = None
    try:
        raw = w.Peer(socket.create_connection(("127.0.0.1", srv.port), timeout=10))
        raw.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"lister", b"pw")))
        # Each of these lists costs a few hundred bytes; a line of the log for each would
        # let a client write the log as fast as it sends.
        empty = w.frame(w.UNSUBSCRIBE_LIST, 0, struct.pack(">i", 101) + w.text(b"") * 101)
        raw.send(empty * 2000)
        # No feed handler serves these: each topic taken is refused, one answer each.
        topics = [b"L%d" % i for i in range(150)]
        raw.send(w.frame(w.SUBSCRIBE_LIST, 0,
                         struct.pack(">i", len(topics)) + b"".join(w.text(t) for t in topics)))
        raw.send(w.frame(9, 0))
        refused = 0
        while True:
            f = raw.recv_frame()
            if f.kind == (w.DATA, w.SNAP_END):
                break
            refused += f.kind[0] == 7
        assert refused == 100
        log = srv.log()
        n = sum(1 for line in log.splitlines()
                if "exceeding symbol number limit" in line or "topics in one list" in line)
        assert 1 <= n <= 10, f"{n} lines of long lists"
        assert srv.metric("qrx_symsrv_clients") == 1
    finally:
        if raw:
            raw.close()
        srv.close()
