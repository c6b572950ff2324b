"""The module misused the ways a Python program can: arguments out of every
range, calls at the wrong moment, daemon threads left inside a call when the
interpreter exits, asyncio adapters used after close. Each case is answered with
a Python exception or a documented result, never with a crash or a hang.
Cases that could take the interpreter down run in a child process."""

import asyncio
import os
import resource
import subprocess
import sys
import textwrap
import threading

import pytest

import pyqrx
import symwire as w
from pyqrx import _pyqrx
from pyqrx.aio import AsyncSymlistener, AsyncSymproxy

HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(body, timeout=60):
    """Runs a program in a child interpreter (no core file when it aborts)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, env.get("PYTHONPATH", "")) if p)

    def no_core():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=timeout, preexec_fn=no_core)


# ---- Symproxy ----------------------------------------------------------------------


class TestSymproxy:
    def test_a_write_delay_longer_than_the_clock_counts_stays_the_longest_delay(self):
        # Microseconds times a thousand passed the 64-bit nanosecond count: the delay
        # wrapped round to nothing or to a fraction of a microsecond.
        p = pyqrx.Symproxy()
        asked = [2**40, 2**53, 2**62, 18446744073709552, 2**63 - 1]
        got = []
        for micros in asked:
            p.setWriteDelay(micros)
            got.append(p.writeDelay())
        assert got[:2] == asked[:2]
        assert all(d >= 2**53 for d in got[2:]), got
        assert got == sorted(got)
        p.setWriteDelay(0)
        assert p.writeDelay() == 0

    def test_serve_refuses_a_timeout_that_is_not_a_number(self):
        # NaN compared false with everything: serve() took it for no time-out and served
        # until stopped (here by the timer that bounds the test).
        p = pyqrx.Symproxy()
        assert p.initialize(w.free_port())
        stopper = threading.Timer(2.0, p.stop)
        stopper.start()
        try:
            with pytest.raises(ValueError):
                p.serve(float("nan"))
        finally:
            stopper.cancel()
        p.serve(0.0)  # still usable, and a time-out of none at all returns

    def test_a_logon_answer_whose_truth_raises_refuses_the_server_and_propagates(self):
        # bool() of the answer raised, and its error was left set while the library went
        # on: checkSocket() then returned with an exception set (SystemError).
        class Answer(int):
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        proxy = pyqrx.Symproxy()
        proxy.onLogon(lambda user, password: Answer(1))
        port = w.free_port()
        assert proxy.initialize(port, enforceLogon=True)
        peer = w.connect_client(port)
        with pytest.raises(ZeroDivisionError):
            w.pump(proxy, lambda: False)
        peer.expect(w.STATUS, w.STATUS_LOGIN_REFUSED)
        peer.wait_closed()
        peer.close()

    def test_a_user_name_that_is_not_utf8_reads_back_as_the_logon_callable_got_it(self):
        # clientUser() decoded strictly and raised UnicodeDecodeError on a server's
        # user name that the logon callable had received with its bytes kept.
        proxy = pyqrx.Symproxy()
        users = []
        proxy.onLogon(lambda user, password: users.append(user))
        port = w.free_port()
        assert proxy.initialize(port)
        peer = w.connect_client(port, username=b"caf\xe9\xff")
        w.pump(proxy, lambda: users)
        assert users == ["caf\udce9\udcff"]
        assert proxy.clientUser() == users[0]
        peer.close()

    @pytest.mark.parametrize("producers", [1, 3])
    def test_queued_producers_in_daemon_threads_do_not_abort_the_exit(self, producers):
        # A daemon thread publishing in queued mode gives up the interpreter lock while
        # the library queues its tick; taking it back while the interpreter exits ended
        # the thread from inside a C++ destructor, and the process aborted
        # ("terminate called without an active exception").
        body = """
            import threading, time, pyqrx, symwire as w
            p = pyqrx.Symproxy()
            assert p.initialize(w.free_port(), queued=True)
            threading.Thread(target=p.serve, daemon=True).start()
            def produce():
                while True:
                    p.publish("IBM", {pyqrx.fields.bid: 1.5, pyqrx.fields.bid_size: 100})
            for _ in range(%d):
                threading.Thread(target=produce, daemon=True).start()
            time.sleep(0.3)
            print("exiting")
        """ % producers
        for _ in range(4):
            proc = run_child(body)
            assert proc.returncode == 0 and "terminate" not in proc.stderr, proc.stderr[-2000:]
            assert proc.stdout.strip() == "exiting"


# ---- pyqrx.aio ---------------------------------------------------------------------


class TestAsyncSymproxy:
    def test_a_closed_proxy_ends_every_iteration_and_refuses_to_start_again(self):
        # An iteration begun after close() waited for events that could never come, and
        # start() failed inside with AttributeError.
        async def main():
            started = AsyncSymproxy()
            await started.start(w.free_port())
            never_started = AsyncSymproxy()
            for proxy in (started, never_started):
                await proxy.close()
                assert [event async for event in proxy.events()] == []
                assert [event async for event in proxy] == []
                with pytest.raises(RuntimeError, match="closed"):
                    await proxy.start(w.free_port())
                assert proxy.publish("IBM", {pyqrx.fields.bid: 1.0}) is False

        asyncio.run(asyncio.wait_for(main(), 10))

    def test_a_started_proxy_refuses_tasks_of_another_event_loop(self):
        # The descriptors are watched by the loop that started the proxy: a task of
        # another loop waited for events that loop would never hand over.
        first = asyncio.new_event_loop()
        proxy = AsyncSymproxy()
        first.run_until_complete(proxy.start(w.free_port()))

        async def other():
            with pytest.raises(RuntimeError, match="another event loop"):
                await proxy.__anext__()

        try:
            asyncio.run(asyncio.wait_for(other(), 10))
        finally:
            first.run_until_complete(proxy.close())
            first.close()


class TestAsyncSymlistener:
    def test_a_connected_listener_refuses_tasks_of_another_event_loop(self, server):
        first = asyncio.new_event_loop()
        listener = AsyncSymlistener()

        def script():
            peer = server.accept()
            peer.expect(w.LOGIN)
            peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")))
            return peer

        async def connect():
            scripted = asyncio.get_running_loop().run_in_executor(None, script)
            await listener.connect("127.0.0.1", server.port)
            return await scripted

        first.run_until_complete(connect())

        async def other():
            with pytest.raises(RuntimeError, match="another event loop"):
                await listener.__anext__()
            with pytest.raises(RuntimeError, match="another event loop"):
                await listener.command(pyqrx.Command("quote"))

        try:
            asyncio.run(asyncio.wait_for(other(), 10))
        finally:
            first.run_until_complete(listener.close())
            first.close()


# ---- the recording helpers ---------------------------------------------------------


class TestRecordHelpers:
    def test_a_recording_into_a_pipe_nobody_reads_lets_other_threads_run_and_stop_it(self):
        # A recorder run() on a thread of its own waited for the full pipe (and wrote to
        # it) holding the interpreter lock: no other thread ran again, not even to stop it.
        proc = run_child("""
            import os, tempfile, threading, time, symwire as w
            from pyqrx import _pyqrx
            fifo = os.path.join(tempfile.mkdtemp(), "fifo")
            os.mkfifo(fifo)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)   # opened, never read
            srv = w.ScriptedServer()
            rec = _pyqrx._Recorder(fifo)
            assert rec.connect("127.0.0.1", srv.port)
            peer = srv.accept()
            peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")))
            def flood():
                msg = w.data_frame([{w.TOPIC: "IBM", w.BID: 1.0, w.SYMBOL: "x" * 200}] * 50)
                try:
                    for _ in range(2000):
                        peer.send(msg)
                except OSError:
                    pass
            threading.Thread(target=flood, daemon=True).start()
            outcome = []
            def record():
                try:
                    outcome.append(rec.run())
                except Exception as e:
                    outcome.append(str(e))
            t = threading.Thread(target=record)
            t.start()
            while rec.stats()["bytes"] < (1 << 20):   # the pipe is full long before
                time.sleep(0.05)
            time.sleep(0.3)
            try:
                rec.close()
            except RuntimeError as e:
                print("close refused:", e)
            rec.stop()
            t.join(30)
            print("stopped", not t.is_alive(), "cannot write" in outcome[0])
        """, timeout=60)
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.splitlines() == ["close refused: the recorder is already running",
                                            "stopped True True"]

    def test_reading_a_pipe_that_brings_nothing_yet_lets_other_threads_run(self):
        # A reader on a thread of its own waited in read() holding the interpreter lock:
        # the thread that was to write the recording into the pipe never ran again.
        proc = run_child("""
            import os, struct, tempfile, threading, time
            from pyqrx import _pyqrx
            fifo = os.path.join(tempfile.mkdtemp(), "fifo")
            os.mkfifo(fifo)
            writer = []
            threading.Thread(target=lambda: writer.append(open(fifo, "wb", buffering=0)),
                             daemon=True).start()
            entries = []
            def read():
                for entry in _pyqrx._RecordReader(fifo):
                    entries.append(entry[1:])
            t = threading.Thread(target=read)
            t.start()
            time.sleep(0.5)   # the reader waits for the header meanwhile
            while not writer:
                time.sleep(0.01)
            def status(code, text):
                rest = struct.pack("<QBBH", 1, 2, code, 0) + text
                return struct.pack("<I", len(rest)) + rest
            writer[0].write(b"QRXREC01" + struct.pack("<Q", 1) + status(0, b"ok")
                            + status(2, b"feed down"))
            writer[0].close()
            t.join(30)
            print(not t.is_alive(), entries)
        """, timeout=60)
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.strip() == "True [(2, 0, '', 'ok'), (2, 2, '', 'feed down')]"

    @pytest.mark.parametrize("seconds", [float("inf"), 1e12])
    def test_a_run_longer_than_the_clock_counts_has_no_deadline(self, server, tmp_path,
                                                                seconds):
        # seconds in nanoseconds passed 64 bits: the deadline wrapped round and the run
        # ended at once with "seconds".
        rec = _pyqrx._Recorder(str(tmp_path / "session.qrx"))
        assert rec.connect("127.0.0.1", server.port)
        server.accept()
        stopper = threading.Timer(0.5, rec.stop)
        stopper.start()
        try:
            assert rec.run(seconds) == "stopped"
        finally:
            stopper.cancel()
            rec.close()


# ---- Symlistener -------------------------------------------------------------------


class TestSymlistener:
    def test_disconnects_from_another_thread_while_loops_and_dispatches_come_and_go(self):
        # disconnect() is safe from other threads. A close it made (no loop or dispatch
        # running that instant) marked its call in the connection's list of calls under
        # way while a loop or dispatch of the other thread was marking or unmarking its
        # own: the list was left pointing into a stack frame that had returned, and
        # destroying the listener wrote through it.
        proc = run_child("""
            import gc, threading, time, pyqrx, symwire as w
            srv = w.ScriptedServer()
            srv.lsock.settimeout(0.2)
            stop = threading.Event()
            def serve():
                held = []
                while not stop.is_set():
                    try:
                        s, _ = srv.lsock.accept()
                    except OSError:
                        continue
                    s.sendall(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b""))
                              + w.data_frame([{w.TOPIC: "IBM", w.BID: 1.0}]))
                    held.append(s)
                    threading.Timer(0.05, s.close).start()
            threading.Thread(target=serve, daemon=True).start()
            for round in range(5):
                lst = pyqrx.Symlistener()
                lst.onData(lambda topic, data: None)
                done = threading.Event()
                def connect_and_dispatch():
                    while not done.is_set():
                        try:
                            lst.connect("127.0.0.1", srv.port)
                            lst.dispatchEvents()
                        except RuntimeError:
                            pass   # the other thread is dispatching
                def loop():
                    while not done.is_set():
                        try:
                            lst.loop()
                        except RuntimeError:
                            pass
                        except Exception:
                            pass   # ConnectionClosed
                def disconnect():
                    while not done.is_set():
                        lst.disconnect()
                        time.sleep(0.001)
                threads = [threading.Thread(target=f)
                           for f in (connect_and_dispatch, loop, disconnect)]
                for t in threads:
                    t.start()
                time.sleep(1.5)
                done.set()
                lst.disconnect()
                for t in threads:
                    t.join(30)
                assert not any(t.is_alive() for t in threads)
                del lst
                gc.collect()
            stop.set()
            print("done")
        """, timeout=120)
        assert proc.returncode == 0 and "runtime error" not in proc.stderr, proc.stderr[-3000:]
        assert "AddressSanitizer" not in proc.stderr, proc.stderr[-3000:]
        assert proc.stdout.strip() == "done"
