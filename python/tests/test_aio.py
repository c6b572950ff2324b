"""pyqrx.aio: an asyncio client and feed handler talking to each other in one
event loop and to the blocking classes in another process; logon verdicts,
cancellation without leaked descriptors, and a stalled peer that does not
hold up the other tasks."""

import asyncio
import os
import queue
import select
import socket
import subprocess
import sys
import threading

import pytest

import pyqrx
import symwire as w
from pyqrx.aio import AsyncSymlistener, AsyncSymproxy

HERE = os.path.dirname(os.path.abspath(__file__))
SEQ = 600


def open_fds():
    return len(os.listdir("/proc/self/fd"))


async def next_item(iterator, timeout=10):
    return await asyncio.wait_for(iterator.__anext__(), timeout)


def test_an_async_client_and_feed_handler_in_one_event_loop():
    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        ticking = asyncio.create_task(ticker())
        proxy = AsyncSymproxy()
        events = proxy.events()
        port = w.free_port()
        await proxy.start(port)
        listener = AsyncSymlistener()
        assert await listener.connect("127.0.0.1", port, "me", "pw")
        assert listener.subscribe("IBM")
        assert await next_item(events) == ("subscribe", "IBM")
        updates = aiter(listener)
        for i in range(100):
            proxy.publish("IBM", {SEQ: i, w.BID: 10.0 + i})
        got = [await next_item(updates) for _ in range(100)]
        assert [(t, d[SEQ], d[w.BID]) for t, d in got] == [
            ("IBM", i, 10.0 + i) for i in range(100)]
        await listener.close()
        assert await next_item(events) == ("unsubscribe", None)
        await proxy.close()
        ticking.cancel()
        return ticks

    assert asyncio.run(main()) > 0


def test_an_async_client_sees_topic_status_and_structured_topics():
    async def main():
        proxy = AsyncSymproxy()
        port = w.free_port()
        await proxy.start(port)
        subscribed = asyncio.Event()
        proxy.on_subscribe = lambda topic: (
            proxy.proxy.sendSymbolStatus(topic, pyqrx.SymStatus.SUBS_ERROR, "unknown")
            if topic == "NONE" else subscribed.set())
        listener = AsyncSymlistener()
        statuses, depth = [], asyncio.Queue()
        listener.on_status = lambda code, text: statuses.append(code)
        listener.on_symbol_status = lambda *a: statuses.append(a)
        listener.listener.onTopicData(lambda topic, data: depth.put_nowait((topic, data[w.BID])))
        assert await listener.connect("127.0.0.1", port, "me", "pw")
        topic = pyqrx.depthTopic("IBM", 78)
        assert listener.subscribe("NONE") and listener.listener.subscribeList([topic])
        await asyncio.wait_for(subscribed.wait(), 10)
        proxy.publish(topic, {w.BID: 1.5})
        got, bid = await asyncio.wait_for(depth.get(), 10)
        assert (got.type, got.symbol, got.source, bid) == (pyqrx.TopicType.DEPTH, "IBM", 78, 1.5)
        assert statuses == [pyqrx.SymStatus.LOGIN_SUCCESS,
                            ("NONE", "unknown", pyqrx.SymStatus.SUBS_ERROR)]
        await listener.close()
        await proxy.close()

    asyncio.run(main())


def refusing_server(port_box):
    srv = w.ScriptedServer()
    port_box.append(srv.port)
    peer = srv.accept()
    f = peer.recv_frame()
    assert f.mtyp == w.LOGIN
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_REFUSED, w.text("bad password")))
    peer.wait_closed()
    srv.close()


def test_connect_raises_the_servers_refusal_and_times_out_without_a_verdict():
    box = []
    t = threading.Thread(target=refusing_server, args=(box,), daemon=True)
    t.start()
    while not box:
        pass

    async def refused():
        listener = AsyncSymlistener()
        with pytest.raises(pyqrx.LogonError):
            await listener.connect("127.0.0.1", box[0], "me", "wrong")
        assert not listener.connected

    asyncio.run(refused())
    t.join(10)

    silent = w.ScriptedServer()

    async def no_verdict():
        listener = AsyncSymlistener()
        with pytest.raises(pyqrx.LogonTimeout):
            await listener.connect("127.0.0.1", silent.port, "me", "pw", timeout=0.3)

    accept = threading.Thread(target=silent.accept, daemon=True)
    accept.start()
    asyncio.run(no_verdict())
    silent.close()


def send_flood(sock, make_frame, count, outcome, go_on):
    """Sends make_frame(i) for i in range(count) as fast as the peer takes
    them. When it takes nothing for two seconds, puts ("stalled", frames
    sent) in outcome and goes on once go_on is set; at the end it puts
    ("done", count)."""
    sock.setblocking(False)
    stalled = False
    for i in range(count):
        data = memoryview(make_frame(i))
        while data:
            try:
                data = data[sock.send(data):]
            except BlockingIOError:
                if not select.select([], [sock], [], 2.0)[1] and not stalled:
                    stalled = True
                    outcome.put(("stalled", i))
                    go_on.wait(30)
    outcome.put(("done", count))
    sock.setblocking(True)


def flooding_server(srv, count, outcome, go_on):
    """Accepts the logon and, once IBM is subscribed, floods the client with
    count updates of about 1 KB (see send_flood)."""
    peer = srv.accept()
    peer.expect(w.LOGIN)
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, b"\0"))
    peer.expect(w.SUBSCRIBE)
    pad = "x" * 1000
    send_flood(peer.sock, lambda i: w.data_frame([{w.TOPIC: "IBM", SEQ: i, w.SYMBOL: pad}]),
               count, outcome, go_on)
    peer.wait_closed()
    srv.close()


def test_a_server_faster_than_the_iterating_task_waits_in_the_socket_and_nothing_is_lost():
    count = 8000  # about 8 MB: more than the socket buffers of both ends hold
    srv = w.ScriptedServer()
    outcome, go_on = queue.Queue(), threading.Event()
    server = threading.Thread(target=flooding_server, args=(srv, count, outcome, go_on),
                              daemon=True)
    server.start()

    async def main():
        listener = AsyncSymlistener()
        listener.max_waiting = 50
        assert await listener.connect("127.0.0.1", srv.port, "me", "pw")
        updates = aiter(listener)
        assert listener.subscribe("IBM")
        first = await next_item(updates)
        # The task takes nothing more until the server has sent what it could.
        loop = asyncio.get_running_loop()
        verdict = await loop.run_in_executor(None, outcome.get, True, 60)
        go_on.set()
        seqs = [first[1][SEQ]] + [(await next_item(updates))[1][SEQ] for _ in range(count - 1)]
        await listener.close()
        return verdict, seqs

    verdict, seqs = asyncio.run(main())
    server.join(10)
    assert verdict[0] == "stalled" and verdict[1] < count
    assert seqs == list(range(count))


def flooding_symbol_server(port, count, outcome, go_on):
    """Logs on to a feed handler and floods it with count requests: subscribe
    and unsubscribe of one long topic in turn (see send_flood)."""
    peer = w.connect_client(port)
    topic = w.text("F" * 120)
    frames = [w.frame(w.SUBSCRIBE, 0, topic), w.frame(w.UNSUBSCRIBE, 0, topic)]
    send_flood(peer.sock, lambda i: frames[i % 2], count, outcome, go_on)
    return peer


def test_a_symbol_server_faster_than_the_event_task_waits_in_the_socket_and_nothing_is_lost():
    count = 80000  # about 10 MB of requests: more than the socket buffers of both ends hold
    outcome, go_on = queue.Queue(), threading.Event()
    peers = []

    async def main():
        proxy = AsyncSymproxy()
        proxy.max_waiting = 50
        port = w.free_port()
        await proxy.start(port)
        events = proxy.events()
        server = threading.Thread(
            target=lambda: peers.append(flooding_symbol_server(port, count, outcome, go_on)),
            daemon=True)
        server.start()
        first = await asyncio.wait_for(events.__anext__(), 10)
        # The task takes nothing more until the server has sent what it could.
        verdict = await asyncio.get_running_loop().run_in_executor(None, outcome.get, True, 60)
        go_on.set()
        kinds = [first[0]] + [(await asyncio.wait_for(events.__anext__(), 10))[0]
                              for _ in range(count - 1)]
        server.join(10)
        await proxy.close()
        return verdict, kinds

    verdict, kinds = asyncio.run(main())
    for peer in peers:
        peer.close()
    assert verdict[0] == "stalled" and verdict[1] < count
    assert kinds == ["subscribe", "unsubscribe"] * (count // 2)


def test_failures_of_a_callable_count_against_the_updates_waiting_for_the_iterating_task():
    count = 8000
    srv = w.ScriptedServer()
    outcome, go_on = queue.Queue(), threading.Event()
    server = threading.Thread(target=flooding_server, args=(srv, count, outcome, go_on),
                              daemon=True)
    server.start()

    async def main():
        listener = AsyncSymlistener()
        listener.max_waiting = 50

        def on_data(topic, data):
            raise ValueError(data[SEQ])

        listener.on_data = on_data
        assert await listener.connect("127.0.0.1", srv.port, "me", "pw")
        updates = aiter(listener)
        assert listener.subscribe("IBM")
        with pytest.raises(ValueError):
            await next_item(updates)
        verdict = await asyncio.get_running_loop().run_in_executor(None, outcome.get, True, 60)
        go_on.set()
        failed = [0]
        for _ in range(count - 1):
            with pytest.raises(ValueError) as raised:
                await next_item(updates)
            failed.append(raised.value.args[0])
        await listener.close()
        return verdict, failed

    verdict, failed = asyncio.run(main())
    server.join(10)
    assert verdict[0] == "stalled" and verdict[1] < count
    assert failed == list(range(count))


def test_what_a_raising_callable_left_unread_is_delivered_without_more_from_the_server():
    srv = w.ScriptedServer()

    def serve():
        peer = srv.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, b"\0"))
        peer.expect(w.SUBSCRIBE)
        # One write: the three arrive in one read, and then the server is silent.
        peer.send(b"".join(w.data_frame([{w.TOPIC: "IBM", SEQ: i}]) for i in range(3)))
        peer.wait_closed()
        srv.close()

    server = threading.Thread(target=serve, daemon=True)
    server.start()

    async def main():
        listener = AsyncSymlistener()

        def on_data(topic, data):
            if data[SEQ] == 0:
                raise ValueError("first")

        listener.on_data = on_data
        assert await listener.connect("127.0.0.1", srv.port, "me", "pw")
        updates = aiter(listener)
        assert listener.subscribe("IBM")
        with pytest.raises(ValueError, match="first"):
            await next_item(updates)
        got = [(await next_item(updates))[1][SEQ] for _ in range(2)]
        await listener.close()
        return got

    assert asyncio.run(main()) == [1, 2]
    server.join(10)


FEED = r"""
import sys, pyqrx
proxy = pyqrx.Symproxy()
assert proxy.initialize(int(sys.argv[1]))
def subscribed(topic):
    for i in range(50):
        proxy.publish(topic, {600: i})
proxy.onSubscribe(subscribed)
print("READY", flush=True)
proxy.serve(timeout=30)
"""


def test_an_async_client_of_a_blocking_feed_handler_in_another_process():
    port = w.free_port()
    env = dict(os.environ)
    proc = subprocess.Popen([sys.executable, "-c", FEED, str(port)], env=env,
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "READY"

        async def main():
            listener = AsyncSymlistener()
            await listener.connect("127.0.0.1", port)
            listener.subscribe("X")
            updates = aiter(listener)
            got = [(await next_item(updates))[1][SEQ] for _ in range(50)]
            await listener.close()
            return got

        assert asyncio.run(main()) == list(range(50))
    finally:
        proc.kill()
        proc.wait()


def test_cancelled_tasks_and_closed_objects_leave_no_descriptor_open():
    before = open_fds()

    async def main():
        proxy = AsyncSymproxy()
        port = w.free_port()
        await proxy.start(port)
        listener = AsyncSymlistener()
        await listener.connect("127.0.0.1", port)
        listener.subscribe("Q")

        async def consume():
            async for _ in listener:
                pass

        async def watch_events():
            async for _ in proxy.events():
                pass

        tasks = [asyncio.create_task(consume()), asyncio.create_task(watch_events())]
        await asyncio.sleep(0.05)
        for task in tasks:
            task.cancel()
        for task in tasks:
            with pytest.raises(asyncio.CancelledError):
                await task
        await listener.close()
        await proxy.close()
        pending = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        assert pending == []
        # A task still publishing after close() finds nobody to send to, as
        # requests of a closed listener do.
        assert proxy.publish("Q", {w.BID: 1.0}) is False
        assert proxy.publishMany([("Q", {w.BID: 2.0})]) == 0
        assert listener.subscribe("Q") is False

    asyncio.run(main())
    assert open_fds() == before



def test_every_task_iterating_a_listener_ends_at_close_and_a_new_connection_delivers_again():
    async def main():
        proxies = []

        async def feed(bid):
            proxy = AsyncSymproxy()
            port = w.free_port()
            await proxy.start(port)
            proxy.publish("IBM", {w.BID: bid})
            proxies.append(proxy)
            return port

        async def first(listener):
            async for topic, data in listener:
                return topic, data[w.BID]
            return "ended"

        listener = AsyncSymlistener()
        await listener.connect("127.0.0.1", await feed(1.0))
        # Two tasks wait for the same listener: the image goes to one of them,
        # and close() ends the other.
        readers = [asyncio.create_task(first(listener)) for _ in range(2)]
        await asyncio.sleep(0)
        listener.subscribe("IBM")
        done, _ = await asyncio.wait(readers, timeout=10, return_when=asyncio.FIRST_COMPLETED)
        assert [t.result() for t in done] == [("IBM", 1.0)]
        await listener.close()
        results = await asyncio.wait_for(asyncio.gather(*readers), 10)
        assert sorted(results, key=str) == [("IBM", 1.0), "ended"]
        # The same object connects again: iterating it delivers the new session's updates.
        await listener.connect("127.0.0.1", await feed(2.0))
        listener.subscribe("IBM")
        assert await asyncio.wait_for(first(listener), 10) == ("IBM", 2.0)
        await listener.close()
        for proxy in proxies:
            await proxy.close()

    asyncio.run(main())


def test_every_failure_reaches_the_iterating_task_even_when_it_reads_them_late(server):
    # The data callable raises on both updates, then the server hangs up; the
    # task iterates only once all of it was handled: each exception comes in
    # turn, the closed connection last, and only then the end.
    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK, w.text(b"")))
        peer.expect(w.SUBSCRIBE)
        peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 1.0}]))
        peer.send(w.data_frame([{w.TOPIC: "A", w.BID: 2.0}]))
        peer.hang_up()

    def on_data(topic, data):
        raise LookupError(data[w.BID])

    async def main():
        scripted = asyncio.get_running_loop().run_in_executor(None, script)
        listener = AsyncSymlistener()
        listener.on_data = on_data
        await listener.connect("127.0.0.1", server.port)
        updates = aiter(listener)
        listener.subscribe("A")
        await asyncio.wait_for(scripted, 20)
        while listener.connected:
            await asyncio.sleep(0.01)
        seen = []
        while True:
            try:
                await asyncio.wait_for(updates.__anext__(), 10)
            except StopAsyncIteration:
                break
            except (LookupError, pyqrx.ConnectionClosed) as exc:
                seen.append(repr(exc))
        return seen

    assert asyncio.run(main()) == ["LookupError(1.0)", "LookupError(2.0)",
                                   "ConnectionClosed('CONNECTION_ERROR')"]


def test_close_ends_the_event_iterator_also_when_the_unsubscribe_callable_raises():
    async def main():
        proxy = AsyncSymproxy()
        port = w.free_port()
        await proxy.start(port)
        events = proxy.events()
        listener = AsyncSymlistener()
        assert await listener.connect("127.0.0.1", port)
        listener.subscribe("IBM")
        assert await next_item(events) == ("subscribe", "IBM")

        def refuse(topic):
            raise LookupError(topic)

        proxy.on_unsubscribe = refuse

        async def rest():
            return [e async for e in events]

        reader = asyncio.create_task(rest())
        await asyncio.sleep(0)
        with pytest.raises(LookupError):  # the server's going reaches the callable
            await proxy.close()
        assert await asyncio.wait_for(reader, 10) == []
        await listener.close()

    asyncio.run(main())

def test_a_server_that_stops_reading_does_not_hold_up_the_other_tasks():
    async def main():
        proxy = AsyncSymproxy()
        events = proxy.events()
        port = w.free_port()
        await proxy.start(port)
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.setblocking(False)
        await asyncio.get_running_loop().sock_connect(sock, ("127.0.0.1", port))
        sock.send(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"srv", b"")) +
                  w.frame(w.SUBSCRIBE_ALL, 0))
        assert await next_item(events) == ("subscribe", "")

        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0)

        ticking = asyncio.create_task(ticker())
        for i in range(50_000):
            proxy.publish("T%d" % (i % 100), {SEQ: i, w.BID: 1.0})
            if i % 500 == 0:
                await asyncio.sleep(0)
        assert proxy.proxy.backlog()["pendingBytes"] > 0
        ticking.cancel()
        sock.close()
        await proxy.close()
        return ticks

    assert asyncio.run(main()) >= 90


CLIENT = r"""
import sys, pyqrx
got = []
listener = pyqrx.Symlistener()
def on_data(topic, data):
    got.append(data[600])
    if len(got) == 50:
        listener.disconnect()
listener.onData(on_data)
assert listener.connect("127.0.0.1", int(sys.argv[1]), "me", "pw")
listener.subscribe("Y")
try:
    listener.loop()
except Exception as e:
    print(str(e), got == list(range(50)), flush=True)
"""


def test_an_async_feed_handler_of_a_blocking_client_in_another_process():
    async def main():
        proxy = AsyncSymproxy()
        events = proxy.events()
        port = w.free_port()
        await proxy.start(port)
        proc = await asyncio.create_subprocess_exec(
            sys.executable, "-c", CLIENT, str(port), stdout=asyncio.subprocess.PIPE)
        assert await next_item(events) == ("subscribe", "Y")
        for i in range(50):
            proxy.publish("Y", {SEQ: i})
        out, _ = await asyncio.wait_for(proc.communicate(), 30)
        assert await next_item(events) == ("unsubscribe", None)
        await proxy.close()
        return out.decode().split()

    assert asyncio.run(main()) == ["CONNECTION_ERROR", "True"]


def test_an_awaited_command_returns_its_responses_and_fails_when_the_connection_ends():
    async def main():
        proxy = AsyncSymproxy()
        commands = []

        def on_command(cmd):
            commands.append(cmd)
            if cmd.name == "hang":
                return  # never answered: the awaiting task learns of the closed connection
            proxy.proxy.sendResponse(pyqrx.Response(cmd, {"row": 1},
                                                    status=pyqrx.RESPONSE_IN_PROGRESS))
            proxy.proxy.sendResponse(pyqrx.Response(cmd, {"n": cmd.get("n") * 2}))

        proxy.proxy.onCommand(on_command)
        port = w.free_port()
        await proxy.start(port)
        listener = AsyncSymlistener()
        assert await listener.connect("127.0.0.1", port, "me", "pw")
        got = await listener.command(pyqrx.Command("double", {"n": 21}), timeout=20)
        assert [(r.statusName, r.params) for r in got] == [
            ("RESPONSE_IN_PROGRESS", {"row": 1}), ("RESPONSE_END", {"n": 42})]
        hanging = asyncio.ensure_future(listener.command(pyqrx.Command("hang")))
        while len(commands) < 2:
            await asyncio.sleep(0.01)
        await listener.close()
        with pytest.raises(pyqrx.ConnectionClosed):
            await hanging
        with pytest.raises(pyqrx.ConnectionClosed):
            await listener.command(pyqrx.Command("late"))
        await proxy.close()

    asyncio.run(main())


def rss_kb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


# Under the address sanitizer (preloaded into the interpreter) freed memory is held back for a
# while, so the resident size says nothing of what is kept.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(UNDER_ASAN, reason="the resident size is the sanitizer's")
def test_responses_that_come_after_the_awaiting_task_gave_up_are_not_kept():
    async def main():
        proxy = AsyncSymproxy()
        commands = []
        proxy.proxy.onCommand(commands.append)
        port = w.free_port()
        await proxy.start(port)
        listener = AsyncSymlistener()
        assert await listener.connect("127.0.0.1", port, "me", "pw")
        with pytest.raises(asyncio.TimeoutError):
            await listener.command(pyqrx.Command("slow"), timeout=0.2)
        while not commands:
            await asyncio.sleep(0.01)
        # The feed handler goes on answering, never finally, then answers a
        # second command: once that is back, every answer to the first was read.
        before = rss_kb()
        for i in range(20000):
            proxy.proxy.sendResponse(pyqrx.Response(commands[0], {"row": "r" * 1000},
                                                    status=pyqrx.RESPONSE_IN_PROGRESS))
            if i % 100 == 0:
                await asyncio.sleep(0)
        proxy.proxy.onCommand(lambda cmd: proxy.proxy.sendResponse(pyqrx.Response(cmd)))
        got = await listener.command(pyqrx.Command("ping"), timeout=20)
        grown = rss_kb() - before
        assert [r.name for r in got] == ["ping"]
        await listener.close()
        await proxy.close()
        return grown

    # Kept, the 20,000 responses of a kilobyte each came to about 30 MB.
    assert asyncio.run(main()) < 10_000
