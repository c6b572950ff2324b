"""Peers of the symbol server for the tests: the qrx-symsrv process itself, feed
handlers (pyqrx.Symproxy in child processes driven by lines on their standard
input) and sets of clients (pyqrx.Symlistener, dispatched by one thread)."""

import os
import queue
import resource
import selectors
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import pyqrx
import pytest

SEQ = 600  # the int field carrying the per-topic sequence number
GEN = 601  # the int field carrying the feed handler's generation
PAD = 1100  # a string field that makes records larger

SYMSRV = os.environ.get("QRX_SYMSRV")


def have_symsrv():
    return bool(SYMSRV) and os.path.exists(SYMSRV)


# For the test modules: skipped, cleanly, when the program's path is not given.
needs_symsrv = pytest.mark.skipif(not have_symsrv(),
                                  reason="QRX_SYMSRV does not name the qrx-symsrv program")


def need_symsrv():
    if not have_symsrv():
        pytest.skip("QRX_SYMSRV does not name the qrx-symsrv program")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(cond, timeout=30.0, what="the condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class SymSrv:
    """The qrx-symsrv program on a free port, its log in a file."""

    def __init__(self, *args, metrics=True, nofile=None):
        """nofile: the most descriptors the process may hold (its own limit when None)."""
        need_symsrv()
        limit = None
        if nofile is not None:
            def limit():
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        # A free port may be taken by another test's process before the server binds it:
        # the server then ends at once, and is started again on other ports.
        for attempt in range(5):
            self.port = free_port()
            self.metrics_port = free_port() if metrics else 0
            self.log_file = tempfile.NamedTemporaryFile(prefix="symsrv-", suffix=".log",
                                                        delete=False)
            argv = [SYMSRV, "--port", str(self.port), "--summary-interval", "1"]
            if metrics:
                argv += ["--metrics-port", str(self.metrics_port)]
            self.proc = subprocess.Popen(argv + [str(a) for a in args], stdout=self.log_file,
                                         stderr=subprocess.STDOUT, preexec_fn=limit)
            wait_for(self._listening, 20, "qrx-symsrv to listen")
            if self.proc.poll() is None:
                return
            assert "cannot listen" in self.log() and attempt < 4, \
                "qrx-symsrv ended:\n" + self.log()

    def _listening(self):
        # Ready once every port it was given takes connections (the metrics port is opened
        # after the clients' one), or ended.
        if self.proc.poll() is not None:
            return True
        for port in (self.port, self.metrics_port):
            if port:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                except OSError:
                    return False
        return True

    def log(self):
        with open(self.log_file.name, errors="replace") as f:
            return f.read()

    def metrics(self):
        """{(name, labels text): value} from GET /metrics."""
        with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/metrics",
                                    timeout=10) as r:
            text = r.read().decode()
        out = {}
        for line in text.splitlines():
            if not line or line.startswith("#"):
                continue
            key, _, value = line.rpartition(" ")
            name, _, labels = key.partition("{")
            out[(name, labels.rstrip("}"))] = float(value)
        return out

    def metric(self, name):
        return sum(v for (n, _), v in self.metrics().items() if n == name)

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log_file.close()
        os.unlink(self.log_file.name)


FEED = r"""
import select, sys, time, pyqrx
port, gen = int(sys.argv[1]), int(sys.argv[2])
proxy = pyqrx.Symproxy()
for _ in range(200):  # a killed predecessor may hold the port for a moment
    if proxy.initialize(port, enforceLogon=len(sys.argv) > 3):
        break
    time.sleep(0.05)
else:
    sys.exit("cannot listen")
if len(sys.argv) > 3:
    proxy.onLogon(lambda user, password: password == sys.argv[3])
# Nothing may be conflated or dropped on the way to the server.
proxy.setBacklogLimits(1 << 28, 1 << 29)
subs = set()
requests = []
def subscribed(topic):
    subs.add(topic)
    requests.append("+" + topic)
def unsubscribed(topic):
    if topic is None:
        subs.clear()
    else:
        subs.discard(topic)
        requests.append("-" + topic)
proxy.onSubscribe(subscribed)
proxy.onUnsubscribe(unsubscribed)
print("READY", flush=True)
while True:
    proxy.serve(timeout=0.01)
    if not select.select([sys.stdin], [], [], 0)[0]:
        continue
    cmd = sys.stdin.readline().split()
    if not cmd:
        break
    if cmd[0] == "SUBS":
        print("SUBS", len(subs), len(requests), " ".join(sorted(subs)), flush=True)
    elif cmd[0] == "PUB":
        # PUB topic,topic,... rounds pad_bytes per_batch pause_s
        topics = cmd[1].split(",")
        rounds, pad, per_batch, pause = int(cmd[2]), int(cmd[3]), int(cmd[4]), float(cmd[5])
        items = []
        for r in range(1, rounds + 1):
            for t in topics:
                d = {600: r, 601: gen}
                if pad:
                    d[1100] = "x" * pad
                items.append((t, d))
        for i in range(0, len(items), per_batch):
            proxy.publishMany(items[i:i + per_batch])
            proxy.serve(timeout=pause if pause > 0 else 0.0)
        print("DONE", len(items), flush=True)
"""


class Feed:
    """A feed handler process listening on port; commands go to its standard input."""

    def __init__(self, port=None, gen=1, password=None):
        self.port = port or free_port()
        argv = [sys.executable, "-c", FEED, str(self.port), str(gen)]
        if password is not None:
            argv.append(password)
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.line() == "READY"

    def _read(self):
        for text in self.proc.stdout:
            self.lines.put(text.strip())

    def line(self, timeout=60):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the feed handler said nothing in time")

    def send(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def subs(self):
        """(topics subscribed now, subscribe and unsubscribe requests received so far)."""
        self.send("SUBS")
        parts = self.line().split(" ")
        return set(p for p in parts[3:] if p), int(parts[2])

    def publish(self, topics, rounds=1, pad=0, per_batch=500, pause=0.0):
        self.send(f"PUB {','.join(topics)} {rounds} {pad} {per_batch} {pause}")

    def wait_done(self, timeout=120):
        line = self.line(timeout)
        assert line.startswith("DONE"), line

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Clients:
    """n Symlisteners logged on to the server, dispatched by one thread. Each keeps,
    per topic, the sequence numbers of its updates and of its snapshot records, and its
    status events."""

    def __init__(self, port, n, user="user", password="pw"):
        self.listeners = []
        self.updates = [dict() for _ in range(n)]
        self.snapshots = [dict() for _ in range(n)]
        self.statuses = [[] for _ in range(n)]
        self.counts = [0] * n
        self.paused = set()
        self.closed = set()
        self.lock = threading.Lock()
        for k in range(n):
            lst = pyqrx.Symlistener()
            lst.onData(self._on_data(k))
            lst.onSnapshot(self._on_snapshot(k))
            lst.onStatus(self._on_status(k))
            lst.onSymbolStatus(self._on_symbol_status(k))
            assert lst.connect("127.0.0.1", port, user, password, wait=True)
            self.listeners.append(lst)
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _on_data(self, k):
        ups = self.updates[k]

        def cb(topic, d):
            ups.setdefault(topic, []).append((d.get(GEN), d.get(SEQ)))
            self.counts[k] += 1
        return cb

    def _on_snapshot(self, k):
        snaps = self.snapshots[k]

        def cb(topic, d):
            snaps.setdefault(topic, []).append((d.get(GEN), d.get(SEQ)))
        return cb

    def _on_status(self, k):
        # Connection status and per-topic status land in one list as (code, topic, text).
        def cb(code, text):
            self.statuses[k].append((code, None, text))
        return cb

    def _on_symbol_status(self, k):
        def cb(topic, message, code):
            self.statuses[k].append((code, topic, message))
        return cb

    def _run(self):
        sel = selectors.DefaultSelector()
        for k, lst in enumerate(self.listeners):
            sel.register(lst.getFd(), selectors.EVENT_READ, k)
        while not self.stop:
            for key, _ in sel.select(0.05):
                k = key.data
                if k in self.paused or k in self.closed:
                    continue
                try:
                    self.listeners[k].dispatchEvents()
                except Exception:
                    self.closed.add(k)
                    sel.unregister(key.fd)
            # A paused client's descriptor stays readable: do not spin on it.
            if self.paused:
                time.sleep(0.001)

    def close(self):
        self.stop = True
        self.thread.join(10)
        for lst in self.listeners:
            lst.disconnect()
