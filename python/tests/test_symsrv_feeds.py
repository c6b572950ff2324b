"""qrx-symsrv and its feed handlers: a feed handler killed with SIGKILL and
started again (the clients are told the source was lost and restored, and data
resumes without any client subscribing again), two feed handlers with routing by
prefix and by regular expression, the server's own logon at a feed handler, and
malformed input from a feed handler, which closes only that feed's connection."""

import socket
import struct
import threading

import pyqrx

from symsrv_peers import Clients, Feed, SymSrv, free_port, needs_symsrv, wait_for

pytestmark = needs_symsrv


def test_a_killed_feed_handler_is_reported_and_data_resumes_without_resubscribing():
    port = free_port()
    feed = Feed(port, gen=1)
    srv = SymSrv("--feed", f"main=127.0.0.1:{port}")
    clients = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 1, 20, "the feed handler")
        clients = Clients(srv.port, 3)
        topics = ["AAA", "BBB", "CCC"]
        for k, lst in enumerate(clients.listeners):
            lst.subscribe(topics[k])
            lst.subscribe("ALL")
        wait_for(lambda: len(feed.subs()[0]) == 4, 20, "the upstream subscriptions")
        feed.publish(topics + ["ALL"], rounds=2)
        feed.wait_done()
        wait_for(lambda: all(c == 4 for c in clients.counts), 20, "the first updates")

        feed.kill()
        lost = (pyqrx.STATUS_SOURCE_LOST, None, "data source lost: main")
        wait_for(lambda: all(lost in s for s in clients.statuses), 20, "the lost notices")

        feed = Feed(port, gen=2)
        # The server subscribes the new process to every topic its clients hold.
        wait_for(lambda: len(feed.subs()[0]) == 4, 30, "the resubscription")
        assert feed.subs()[0] == {"AAA", "BBB", "CCC", "ALL"}
        restored = (pyqrx.STATUS_SOURCE_RESTORED, None, "data source restored: main")
        wait_for(lambda: all(restored in s for s in clients.statuses), 20, "the restored notices")
        for s in clients.statuses:
            assert s.index(lost) < s.index(restored)

        feed.publish(topics + ["ALL"], rounds=1)
        feed.wait_done()
        wait_for(lambda: all(c == 6 for c in clients.counts), 20, "the updates after the restart")
        for k in range(3):
            assert clients.updates[k][topics[k]] == [(1, 1), (1, 2), (2, 1)]
            assert clients.updates[k]["ALL"] == [(1, 1), (1, 2), (2, 1)]
        m = srv.metrics()
        assert m[("qrx_symsrv_feed_losses_total", 'feed="main"')] == 1
        assert m[("qrx_symsrv_feed_connects_total", 'feed="main"')] == 2
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


def test_topics_are_routed_to_the_feed_handler_that_serves_them():
    fa, fb = Feed(gen=1), Feed(gen=2)
    srv = SymSrv("--feed", f"a=127.0.0.1:{fa.port},prefix:A",
                 "--feed", f"b=127.0.0.1:{fb.port},regex:^B[0-9]+$")
    clients = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 2, 20, "both feed handlers")
        clients = Clients(srv.port, 2)
        for lst in clients.listeners:
            for t in ("A1", "A2", "B1", "BX", "C1"):
                lst.subscribe(t)
        wait_for(lambda: len(fa.subs()[0]) == 2 and len(fb.subs()[0]) == 1, 20,
                 "the routed subscriptions")
        assert fa.subs()[0] == {"A1", "A2"}
        assert fb.subs()[0] == {"B1"}
        # A topic no feed handler serves is refused to the client.
        unknown = [(pyqrx.STATUS_TOPIC_UNKNOWN, t) for t in ("BX", "C1")]
        wait_for(lambda: all(all(u in [(c, t) for c, t, _ in s] for u in unknown)
                             for s in clients.statuses), 20, "the refusals")
        fa.publish(["A1", "A2"], rounds=1)
        fb.publish(["B1"], rounds=3)
        fa.wait_done()
        fb.wait_done()
        wait_for(lambda: all(c == 5 for c in clients.counts), 20, "the updates of both")
        for k in range(2):
            assert clients.updates[k] == {"A1": [(1, 1)], "A2": [(1, 1)],
                                          "B1": [(2, 1), (2, 2), (2, 3)]}
    finally:
        if clients:
            clients.close()
        srv.close()
        fa.close()
        fb.close()


def test_a_client_that_subscribes_while_a_feed_handler_is_down_is_told_it_is_lost_once():
    pa = free_port()
    fa, fb = Feed(pa, gen=1), Feed(gen=2)
    srv = SymSrv("--feed", f"a=127.0.0.1:{pa},prefix:A", "--feed", f"b=127.0.0.1:{fb.port},prefix:B")
    first = late = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 2, 20, "both feed handlers")
        first = Clients(srv.port, 1)
        first.listeners[0].subscribeList(["A1", "A2"])
        wait_for(lambda: fa.subs()[0] == {"A1", "A2"}, 20, "the upstream subscriptions")
        fa.publish(["A1", "A2"], rounds=1)
        fa.wait_done()
        wait_for(lambda: first.counts[0] == 2, 20, "the first updates")
        fa.kill()
        lost = (pyqrx.STATUS_SOURCE_LOST, None, "data source lost: a")
        restored = (pyqrx.STATUS_SOURCE_RESTORED, None, "data source restored: a")
        wait_for(lambda: lost in first.statuses[0], 20, "the first client's lost notice")

        # One client takes two topics of the lost feed handler and one of the other, one
        # takes everything: each is given the images held, and told the source is lost.
        late = Clients(srv.port, 2)
        late.listeners[0].subscribeList(["A1", "A2", "B1"])
        late.listeners[1].subscribeAll()
        wait_for(lambda: all(set(s) >= {"A1", "A2"} for s in late.snapshots), 20, "the images")
        for s in late.statuses:
            assert s.count(lost) == 1

        fa = Feed(pa, gen=3)
        wait_for(lambda: all(restored in s for s in late.statuses + first.statuses), 30,
                 "the restored notices")
        for s in late.statuses + first.statuses:
            assert [e for e in s if e[0] != pyqrx.SymStatus.LOGIN_SUCCESS] == [lost, restored]
    finally:
        for c in (first, late):
            if c:
                c.close()
        srv.close()
        fa.close()
        fb.close()


def test_a_list_holding_topics_nobody_serves_subscribes_the_others_all_the_same():
    feed = Feed()
    srv = SymSrv("--feed", f"a=127.0.0.1:{feed.port},prefix:A")
    clients = None
    try:
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 1, 20, "the feed handler")
        clients = Clients(srv.port, 1)
        clients.listeners[0].subscribeList(["C1", "A1", "A2", "C2", "A3"])
        refused = [(pyqrx.STATUS_TOPIC_UNKNOWN, t) for t in ("C1", "C2")]
        wait_for(lambda: all(r in [(c, t) for c, t, _ in clients.statuses[0]] for r in refused),
                 20, "the refusals")
        wait_for(lambda: len(feed.subs()[0]) == 3, 20, "the upstream subscriptions")
        assert feed.subs()[0] == {"A1", "A2", "A3"}
        feed.publish(["A1", "A2", "A3"], rounds=1)
        feed.wait_done()
        wait_for(lambda: clients.counts[0] == 3, 20, "the updates")
        assert clients.updates[0] == {"A1": [(1, 1)], "A2": [(1, 1)], "A3": [(1, 1)]}
    finally:
        if clients:
            clients.close()
        srv.close()
        feed.close()


def test_the_server_logs_on_at_the_feed_handler_with_its_own_credentials():
    feed = Feed(password="feedpw")
    bad = SymSrv("--feed", f"x=127.0.0.1:{feed.port},user:symsrv,password:wrong")
    try:
        wait_for(lambda: "logon refused" in bad.log(), 20, "the refusal")
        assert bad.metric("qrx_symsrv_feed_up") == 0
    finally:
        bad.close()
    good = SymSrv("--feed", f"x=127.0.0.1:{feed.port},user:symsrv,password:feedpw")
    try:
        wait_for(lambda: good.metric("qrx_symsrv_feed_up") == 1, 20, "the accepted logon")
    finally:
        good.close()
        feed.close()


class GarbageFeed:
    """A feed handler that accepts the server's logon, then sends one message of a
    header type no Sym peer sends; it counts the connections it gets."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.stop = False
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        self.sock.settimeout(0.2)
        while not self.stop:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.connections += 1
            conn.settimeout(5)
            try:
                conn.recv(4096)  # the logon
                conn.sendall(struct.pack(">HHHH", 8, 15, 10, 7))  # logon accepted
                conn.sendall(struct.pack(">HHHH", 8, 99, 2, 0) + b"junk")
                conn.recv(4096)  # until the server hangs up
            except OSError:
                pass
            conn.close()

    def close(self):
        self.stop = True
        self.sock.close()


def test_malformed_input_from_a_feed_handler_closes_only_that_feed():
    good = Feed()
    bad = GarbageFeed()
    srv = SymSrv("--feed", f"bad=127.0.0.1:{bad.port},prefix:X",
                 "--feed", f"good=127.0.0.1:{good.port},all")
    clients = None
    try:
        wait_for(lambda: bad.connections >= 2, 20, "the server to drop and retry the bad feed")
        assert "malformed input: header type 99" in srv.log()
        clients = Clients(srv.port, 1)
        clients.listeners[0].subscribe("G1")
        wait_for(lambda: "G1" in good.subs()[0], 20, "the good feed's subscription")
        good.publish(["G1"], rounds=2)
        good.wait_done()
        wait_for(lambda: clients.counts[0] == 2, 20, "the good feed's updates")
        assert srv.metric("qrx_symsrv_malformed_total") >= 2
    finally:
        if clients:
            clients.close()
        srv.close()
        bad.close()
        good.close()


def test_a_feed_handler_that_hangs_mid_message_is_given_up_and_its_clients_told():
    """The feed handler accepts the logon, sends the first half of a status message and
    then nothing, its connection left open: past --feed-stall-timeout the server says
    so, tells the clients the source is lost and connects again."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(4)
    port = sock.getsockname()[1]
    srv = SymSrv("--feed", f"hung=127.0.0.1:{port}", "--feed-stall-timeout", "0.5")
    clients = None
    held = []
    try:
        sock.settimeout(20)
        conn, _ = sock.accept()
        held.append(conn)
        conn.settimeout(5)
        conn.recv(4096)  # the logon
        conn.sendall(struct.pack(">HHHH", 8, 15, 10, 7))  # logon accepted
        wait_for(lambda: srv.metric("qrx_symsrv_feed_up") == 1, 20, "the feed handler")
        clients = Clients(srv.port, 1)
        clients.listeners[0].subscribe("H1")
        # A status message of 20 bytes, of which 12 come.
        conn.sendall(struct.pack(">HHHH", 20, 15, 10, 8) + b"hal")
        wait_for(lambda: "a message left unfinished" in srv.log(), 20, "the stall to be seen")
        lost = (pyqrx.STATUS_SOURCE_LOST, None, "data source lost: hung")
        wait_for(lambda: lost in clients.statuses[0], 20, "the lost notice")
        again, _ = sock.accept()
        held.append(again)
        assert srv.proc.poll() is None
    finally:
        if clients:
            clients.close()
        srv.close()
        for c in held:
            c.close()
        sock.close()
