"""qrx watch driven in a tmux pane: the table appears with the values the
feed published, and q (or Ctrl-C) quits and gives the terminal back."""

import os
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

import symwire as w
from cli_peers import FeedThread

pytestmark = pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")


class Pane:
    """A detached tmux session on a private server running one command."""

    _made = 0

    def __init__(self, command, width=120, height=16):
        # A server of its own: the previous pane's server may still be going
        # away, taking a session made on it along.
        Pane._made += 1
        self.server = "qrx-test-%d-%d" % (os.getpid(), Pane._made)
        # The pane gets what the module needs to load (a sanitizer build
        # preloads its runtime).
        env = []
        for name in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env += ["-e", "%s=%s" % (name, os.environ[name])]
        self.tmux("new-session", "-d", "-x", str(width), "-y", str(height), *env, command)

    def tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.server, "-f", os.devnull] + list(args),
                              capture_output=True, text=True, timeout=30)

    def text(self):
        return self.tmux("capture-pane", "-p").stdout

    def wait_for(self, predicate, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = self.text()
            if predicate(screen):
                return screen
            time.sleep(0.1)
        raise AssertionError("the pane never showed it:\n" + self.text())

    def close(self):
        self.tmux("kill-server")


def watch_command(port, *extra):
    # The shell around the command reports whether the terminal settings came
    # back as they were, and the exit code.
    watch = " ".join([sys.executable, "-m", "pyqrx", "watch", "127.0.0.1:%d" % port, "IBM",
                      "MSFT"] + list(extra))
    return ('before=$(stty -g); %s; rc=$?; [ "$(stty -g)" = "$before" ] && echo terminal '
            'restored; echo exit code $rc; sleep 60' % watch)


@pytest.fixture
def feed():
    f = FeedThread(before=[("IBM", {w.BID: 181.25, w.ASK: 181.5, w.EXCHANGE: "N"}),
                           ("MSFT", {w.BID: 402.75})],
                   script=[("IBM", {w.BID: 181.5}), ("MSFT", {w.ASK: 403.0, w.BID_SIZE: 700})])
    yield f
    f.close()


def plain(line):
    return re.sub(r"\x1b\[[0-9;]*m", "", line)


def rows(screen):
    """The table's cells by topic."""
    return {line.split()[0]: line.split()[1:] for line in screen.splitlines()
            if line.split()[:1] in (["IBM"], ["MSFT"])}


def test_watch_shows_the_table_and_quits_on_q(feed):
    pane = Pane(watch_command(feed.port, "--fields", "bid,ask,bid_size,exchange",
                              "--highlight", "600"))
    try:
        screen = pane.wait_for(lambda s: feed.published.is_set() and
                               rows(s).get("MSFT", [""])[:3] == ["402.75", "403", "700"] and
                               rows(s).get("IBM", [""])[0] == "181.5")
        header = next(line for line in screen.splitlines() if line.startswith("topic"))
        assert header.split() == ["topic", "bid", "ask", "bid_size", "exchange", "upd/s"]
        assert rows(screen)["IBM"][:3] == ["181.5", "181.5", "N"]
        # IBM's bid went up: its cell is green; MSFT's ask is new: reversed.
        coloured = pane.tmux("capture-pane", "-p", "-e").stdout
        ibm = next(line for line in coloured.splitlines() if plain(line).startswith("IBM"))
        assert re.search(r"\x1b\[[0-9;]*42m *181\.5", ibm), ibm
        msft = next(line for line in coloured.splitlines() if plain(line).startswith("MSFT"))
        assert re.search(r"\x1b\[[0-9;]*7m *403\x1b", msft), msft
        assert "qrx watch 127.0.0.1:%d" % feed.port in screen
        pane.tmux("send-keys", "q")
        screen = pane.wait_for(lambda s: "exit code" in s)
        assert "terminal restored" in screen and "exit code 0" in screen
        assert not rows(screen)  # the table went with the curses screen
    finally:
        pane.close()


def test_watch_quits_on_ctrl_c_too(feed):
    pane = Pane(watch_command(feed.port))
    try:
        pane.wait_for(lambda s: "MSFT" in rows(s) and "IBM" in rows(s))
        pane.tmux("send-keys", "C-c")
        screen = pane.wait_for(lambda s: "exit code" in s)
        assert "terminal restored" in screen and "exit code 130" in screen
    finally:
        pane.close()


def test_watch_wants_a_terminal():
    proc = subprocess.run([sys.executable, "-m", "pyqrx", "watch", "127.0.0.1:7001", "X"],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stderr == "qrx watch: needs a terminal (qrx sub prints to a pipe or a file)\n"


def test_watch_says_when_it_cannot_connect():
    port = w.free_port()
    pane = Pane('%s -m pyqrx watch 127.0.0.1:%d X; echo exit code $?; sleep 60'
                % (sys.executable, port))
    try:
        screen = pane.wait_for(lambda s: "exit code" in s)
        assert "qrx watch: cannot connect to 127.0.0.1:%d\nexit code 3" % port in screen
    finally:
        pane.close()


def test_watch_keeps_nothing_of_topics_it_does_not_show():
    # A server that sends topics nobody asked for (every one new) besides the
    # two of the table: they neither add columns nor stay in memory.
    srv = w.ScriptedServer()
    done = threading.Event()

    def serve():
        peer = srv.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, b"\0"))
        peer.expect(w.SUBSCRIBE)
        peer.expect(w.SUBSCRIBE)
        for k in range(400):
            peer.send(w.data_frame([{w.TOPIC: "JUNK%d" % (k * 50 + i), w.ASK_SIZE: i}
                                    for i in range(50)]))
        peer.send(w.data_frame([{w.TOPIC: "IBM", w.BID: 181.5}, {w.TOPIC: "MSFT", w.BID: 402.75}]))
        done.set()
        peer.wait_closed()

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    pane = Pane(watch_command(srv.port))
    try:
        screen = pane.wait_for(
            lambda s: done.is_set() and rows(s).get("MSFT", [""])[0] == "402.75")
        header = next(line for line in screen.splitlines() if line.startswith("topic"))
        assert header.split() == ["topic", "bid", "upd/s"]
        assert rows(screen)["IBM"][0] == "181.5"
        pane.tmux("send-keys", "q")
        assert "exit code 0" in pane.wait_for(lambda s: "exit code" in s)
    finally:
        pane.close()
        server.join(10)
        srv.close()


def test_watch_shows_text_holding_a_nul_or_no_utf8():
    # A server's texts may hold any byte: NUL (which curses will not take),
    # bytes that are no UTF-8 and control characters, in a value and in a
    # status text alike.
    srv = w.ScriptedServer()

    def serve():
        peer = srv.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, b"\0"))
        peer.expect(w.SUBSCRIBE)
        peer.expect(w.SUBSCRIBE)
        peer.send(w.data_frame([{w.TOPIC: "IBM", w.BID: 181.5, w.EXCHANGE: b"N\0Y"},
                                {w.TOPIC: "MSFT", w.BID: 402.75, w.EXCHANGE: b"Z\xfc\x1b"}]))
        peer.send(w.frame(w.STATUS, 8, w.text(b"feed\0down")))
        peer.wait_closed()

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    pane = Pane(watch_command(srv.port))
    try:
        screen = pane.wait_for(lambda s: "source lost" in s or "exit code" in s)
        assert rows(screen)["IBM"][:2] == ["181.5", "N^@Y"], screen
        assert rows(screen)["MSFT"][0] == "402.75", screen
        pane.tmux("send-keys", "q")
        assert "exit code 0" in pane.wait_for(lambda s: "exit code" in s)
    finally:
        pane.close()
        server.join(10)
        srv.close()
