"""Peers and helpers of the command-line tests: the qrx command run as a
child process, and a feed handler (a Symproxy driven by a thread of the test)
that publishes a script of records once its client has subscribed."""

import os
import select
import subprocess
import sys
import threading
import time

import pyqrx

import symwire as w

TIMEOUT = 60


def qrx(*args, timeout=TIMEOUT, **kw):
    """Runs `python3 -m pyqrx ARGS...` to its end; the finished process."""
    return subprocess.run([sys.executable, "-m", "pyqrx"] + [str(a) for a in args],
                          capture_output=True, text=True, timeout=timeout, **kw)


def qrx_popen(*args, **kw):
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([sys.executable, "-m", "pyqrx"] + [str(a) for a in args],
                            text=True, **kw)


def one_line_error(proc):
    """The single line a failed command wrote to standard error."""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1, proc.stderr
    assert "Traceback" not in proc.stderr
    return lines[0]


def by_name(record, topic=None):
    """{field id: value} as the commands print it: {name: value}, without the
    topic field. With a topic: as a client receives it from a Symproxy, which
    names the symbol in every tick."""
    if topic is not None and w.SYMBOL not in record:
        record = {**record, w.SYMBOL: topic}
    return {pyqrx.fieldName(k) or str(k): v for k, v in record.items() if k != w.TOPIC}


def wait_for_port(port, proc=None, timeout=TIMEOUT):
    """Waits until something listens on the port (a child feed handler)."""
    import socket
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise AssertionError("the feed handler ended: %s" % proc.stderr.read())
        s = socket.socket()
        try:
            s.connect(("127.0.0.1", port))
            return
        except OSError:
            time.sleep(0.05)
        finally:
            s.close()
    raise AssertionError("nothing listens on port %d" % port)


class FeedThread:
    """A Symproxy on a free port, pumped by a thread. It publishes `before`
    (topic, dict) pairs at once (they make the snapshot cache) and `script`
    once the client has subscribed to every topic in `wait_for`."""

    def __init__(self, script=(), before=(), wait_for=()):
        self.proxy = pyqrx.Symproxy()
        self.port = w.free_port()
        assert self.proxy.initialize(self.port)
        self.script = list(script)
        self.wait_for = set(wait_for) or {t for t, _ in self.script}
        self.subscribed = []
        self.logons = []
        self.proxy.onSubscribe(self.subscribed.append)
        self.proxy.onLogon(lambda u, p: self.logons.append((u, p)))
        for topic, rec in before:
            self.proxy.publish(topic, rec)
        self.published = threading.Event()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            fd = self.proxy.getFd()
            if fd < 0:
                time.sleep(0.01)
                continue
            wants = getattr(self.proxy, "wantsWrite", None)
            writers = [fd] if wants is not None and wants() else []
            ready = select.select([fd], writers, [], 0.02)
            if (ready[0] or ready[1]) and self.proxy.select() > 0:
                self.proxy.checkSocket()
            if not self.published.is_set() and self.script \
                    and self.wait_for <= set(self.subscribed):
                for topic, rec in self.script:
                    self.proxy.publish(topic, rec)
                self.published.set()

    def close(self):
        self._stop.set()
        self._thread.join()
        self.proxy.closeClient()


def env_with_tests_path():
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH", "")) if p)
    return env
