"""A feed handler whose server stops reading: its memory stays bounded, the
server is conflated and converges to the latest state once it reads again,
without anything more being published; past the hard limit it is dropped and
the next server is served. The feed handler runs in a process of its own, so
that its memory can be read."""

import json
import os
import select
import socket
import subprocess
import sys
import time

import symwire as w

HERE = os.path.dirname(os.path.abspath(__file__))
SEQ = 600  # an int field carrying the tick's sequence number

FEED_HANDLER = r"""
import json, select, sys, time
import pyqrx

SEQ, BID = 600, 0
port, n, ntopics = (int(a) for a in sys.argv[1:4])
proxy = pyqrx.Symproxy()
subs, lost = [], []
proxy.onSubscribe(subs.append)
proxy.onUnsubscribe(lambda t: lost.append(t) if t is None else None)
assert proxy.initialize(port)

def memory():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out

def serve(timeout, until=lambda: False):
    # The loop a feed handler runs: readable, or writable while output waits.
    deadline = time.monotonic() + timeout
    while not until() and time.monotonic() < deadline:
        fd = proxy.getFd()
        writers = [fd] if proxy.wantsWrite() else []
        readers = [fd, sys.stdin]
        r, wr, _ = select.select(readers, writers, [], 0.05)
        if sys.stdin in r:
            return sys.stdin.readline().strip()
        if (fd in r or wr) and proxy.select() > 0:
            proxy.checkSocket()

print("READY", flush=True)
serve(20, lambda: subs)
names = ["T%d" % k for k in range(ntopics)]
before = memory()
laps = []
start = time.perf_counter()
for i in range(n):
    proxy.publish(names[i % ntopics], {SEQ: i, BID: i * 0.25})
    if i % 100000 == 99999:
        laps.append(time.perf_counter() - start)
after = memory()
print("DONE " + json.dumps(dict(before=before, after=after, laps=laps,
                                backlog=proxy.backlog(), lost=len(lost))), flush=True)
while serve(120) not in ("quit", ""):
    pass
"""


class FeedHandler:
    def __init__(self, n, ntopics, **env):
        self.port = w.free_port()
        environ = dict(os.environ)
        environ["PYTHONPATH"] = os.pathsep.join(
            p for p in (HERE, environ.get("PYTHONPATH", "")) if p)
        environ.update({k: str(v) for k, v in env.items()})
        self.proc = subprocess.Popen(
            [sys.executable, "-c", FEED_HANDLER, str(self.port), str(n), str(ntopics)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=environ)
        assert self.line(20) == "READY"

    def line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        assert ready, "the feed handler said nothing in time"
        return self.proc.stdout.readline().strip()

    def result(self, timeout=180):
        text = self.line(timeout)
        assert text.startswith("DONE "), text
        return json.loads(text[5:])

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def stalled_server(port):
    """A symbol server that logs on, subscribes to everything and then reads
    nothing until told to: a small receive buffer fills at once."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    sock.connect(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    peer = w.Peer(sock)
    peer.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"srv", b"pw")))
    peer.send(w.frame(w.SUBSCRIBE_ALL, 0))
    return peer


def test_a_million_ticks_to_a_server_that_stops_reading_stay_bounded_and_converge():
    n, ntopics = 1_000_000, 1_000
    fh = FeedHandler(n, ntopics, QUOR_PROXY_BACKLOG_HIGH_WATER=4_000_000)
    try:
        peer = stalled_server(fh.port)
        res = fh.result()
        backlog = res["backlog"]
        assert backlog["highWater"] == 4_000_000
        assert backlog["conflating"] and backlog["conflatedTicks"] > n // 2
        assert backlog["drops"] == 0 and res["lost"] == 0
        assert backlog["pendingBytes"] < 4_000_000 + 64 * 1024
        # The process grew by what waits for the server, not by what was published.
        growth = res["after"]["VmHWM"] - res["before"]["VmRSS"]
        assert growth < 48 * 1024 * 1024, res

        # Nothing more is published: the feed handler's loop sends the backlog,
        # then every topic's latest state.
        expected = {"T%d" % k: n - ntopics + k for k in range(ntopics)}
        latest = {}
        deadline = time.monotonic() + 120
        while latest != expected and time.monotonic() < deadline:
            f = peer.recv_frame()
            if f.mtyp != w.DATA:
                continue
            for rec in f.records():
                topic, seq = rec[w.TOPIC], rec[SEQ]
                assert seq > latest.get(topic, -1), (topic, seq)
                latest[topic] = seq
        assert latest == expected
        peer.close()
    finally:
        fh.close()


def test_a_server_past_the_hard_limit_is_dropped_and_the_next_one_is_served():
    fh = FeedHandler(200_000, 100, QUOR_PROXY_BACKLOG_LIMIT=1_000_000)
    try:
        peer = stalled_server(fh.port)
        res = fh.result()
        assert res["backlog"]["drops"] == 1 and res["lost"] == 1, res
        assert res["backlog"]["pendingBytes"] == 0
        peer.wait_closed()
        peer.close()

        nxt = w.connect_client(fh.port)
        nxt.expect(w.STATUS, w.STATUS_LOGIN_OK)
        nxt.send(w.frame(w.SUBSCRIBE, 0, w.text(b"T5")))
        snap = nxt.expect(w.DATA, w.DATA_SNAPSHOT).records()
        assert [(r[w.TOPIC], r[SEQ]) for r in snap] == [("T5", 200_000 - 100 + 5)]
        nxt.close()
    finally:
        fh.close()


def test_a_burst_left_unwritten_reaches_a_server_that_reads_again_without_more_publishing():
    import pyqrx

    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    peer = stalled_server(port)
    w.pump(proxy, lambda: subs == [""])
    for i in range(3000):
        proxy.publish("T%d" % (i % 100), {SEQ: i, w.BID: i * 0.5})
    assert proxy.wantsWrite()

    # The feed goes quiet; its loop only polls the proxy's own select().
    expected = {"T%d" % k: 2900 + k for k in range(100)}
    latest = {}
    peer.sock.setblocking(False)
    deadline = time.monotonic() + 30
    while latest != expected and time.monotonic() < deadline:
        proxy.getFd()
        if proxy.select() > 0:
            proxy.checkSocket()
        try:
            chunk = peer.sock.recv(65536)
        except BlockingIOError:
            time.sleep(0.001)
            continue
        frames, peer.buf = w.split_frames(peer.buf + chunk)
        for f in frames:
            if f.mtyp == w.DATA:
                for rec in f.records():
                    latest[rec[w.TOPIC]] = rec[SEQ]
    assert latest == expected
    assert not proxy.wantsWrite()
    peer.close()
