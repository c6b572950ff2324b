"""Commands and responses between a Symlistener and a Symproxy of the same
process, over a loopback socket: typed parameters both ways, responses in
parts, callables per command and for all."""

import gc
import select
import threading
import time
import weakref

import pytest

import pyqrx
import symwire as w


def drive(proxy, lst, until, timeout=20.0):
    """Runs both ends' event loops, a step at a time, until until() holds."""
    deadline = time.monotonic() + timeout
    while not until():
        assert time.monotonic() < deadline, "condition not reached in time"
        fd = proxy.getFd()
        writers = [fd] if proxy.wantsWrite() else []
        ready, writable, _ = select.select([fd, lst.getFd()], writers, [], 0.01)
        if (fd in ready or writable) and proxy.select() > 0:
            proxy.checkSocket()
        if lst.getFd() in ready:
            lst.dispatchEvents()


@pytest.fixture
def pair():
    port = w.free_port()
    proxy = pyqrx.Symproxy()
    users = []
    proxy.onLogon(lambda user, password: users.append(user))
    assert proxy.initialize(port)
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", port, username="client", password="pw")
    drive(proxy, lst, lambda: users == ["client"])
    yield proxy, lst
    lst.disconnect()


def test_every_parameter_type_goes_both_ways_and_a_large_response_comes_back_whole(pair):
    proxy, lst = pair
    commands = []

    def on_command(cmd):
        commands.append(cmd)
        # Answer with what came, every kind echoed, plus 40 texts of 1,000
        # bytes each: three messages on the wire, one response here.
        rsp = pyqrx.Response(cmd, ints=cmd.ints, doubles=cmd.doubles, chars=cmd.chars,
                             texts=cmd.texts)
        for i in range(40):
            rsp.setText("blob%02d" % i, chr(ord("a") + i % 26) * 1000)
        assert proxy.sendResponse(rsp)

    proxy.onCommand(on_command)
    cmd = pyqrx.Command("quote", {"qty": 2**31 - 1, "neg": -2**31, "flag": True, "px": 101.25,
                                  "note": "caf\u00e9", "raw": b"\xffok"},
                        chars={"side": "B", "byte": b"\x01", "code": 200},
                        doubles={"whole": 3})
    # 20 texts of 1,000 bytes: the command too goes out in two parts.
    for i in range(20):
        cmd.setText("in%02d" % i, "%04d" % i * 250)
    got = []
    cid = lst.sendCommand(cmd, got.append)
    assert cid is not None and cid == cmd.id
    drive(proxy, lst, lambda: got)

    (seen,) = commands
    assert seen.name == "quote" and seen.id == cid
    assert seen.ints == {"qty": 2**31 - 1, "neg": -2**31, "flag": 1}
    assert seen.doubles == {"px": 101.25, "whole": 3.0}
    assert seen.chars == {"side": "B", "byte": "\x01", "code": "\xc8"}
    # Text keeps its bytes: UTF-8 decodes, the rest comes back as surrogates.
    texts = seen.texts
    assert [texts.pop("in%02d" % i) for i in range(20)] == ["%04d" % i * 250 for i in range(20)]
    assert texts == {"note": "caf\u00e9", "raw": "\udcffok"}

    (rsp,) = got
    assert isinstance(rsp, pyqrx.Response) and rsp.final and rsp.statusName == "RESPONSE_END"
    assert rsp.id == cid and rsp.name == "quote"
    assert rsp.ints == seen.ints and rsp.doubles == seen.doubles and rsp.chars == seen.chars
    texts = rsp.texts
    assert len(texts) == 62
    assert all(texts["blob%02d" % i] == chr(ord("a") + i % 26) * 1000 for i in range(40))
    assert rsp.get("px") == 101.25 and rsp.get("missing", 7) == 7
    assert rsp.params["note"] == "caf\u00e9"


def test_responses_in_progress_reach_the_command_callable_until_the_final_one(pair):
    proxy, lst = pair
    pending = []
    proxy.onCommand(pending.append)
    mine, others = [], []
    lst.onResponse(others.append)
    first = lst.sendCommand(pyqrx.Command("scan", {"n": 3}), mine.append)
    second = lst.sendCommand(pyqrx.Command("ping"))
    assert first != second
    drive(proxy, lst, lambda: len(pending) == 2)
    scan, ping = pending
    assert (scan.name, scan.get("n"), ping.name) == ("scan", 3, "ping")

    for i in range(3):
        proxy.sendResponse(pyqrx.Response(scan, {"row": i},
                                          status=pyqrx.RESPONSE_IN_PROGRESS))
    proxy.sendResponse(pyqrx.Response(ping, texts={"pong": "yes"}))
    proxy.sendResponse(pyqrx.Response(scan, {"rows": 3}))
    # After the final response the command is forgotten: another reaches onResponse.
    proxy.sendResponse(pyqrx.Response(scan, {"late": 1}))
    drive(proxy, lst, lambda: len(mine) == 4 and len(others) == 2)

    assert [r.status for r in mine] == [pyqrx.RESPONSE_IN_PROGRESS] * 3 + [pyqrx.RESPONSE_END]
    assert [r.get("row") for r in mine[:3]] == [0, 1, 2] and mine[3].ints == {"rows": 3}
    assert [(r.name, r.params) for r in others] == [("ping", {"pong": "yes"}),
                                                     ("scan", {"late": 1})]


def test_a_callable_that_raises_propagates_from_the_dispatch_that_ran_it(pair):
    proxy, lst = pair

    def boom(cmd):
        raise KeyError(cmd.name)

    proxy.onCommand(boom)
    lst.sendCommand(pyqrx.Command("explode"))
    with pytest.raises(KeyError, match="explode"):
        drive(proxy, lst, lambda: False, timeout=10.0)


def test_a_response_callable_that_raises_propagates_from_the_listeners_dispatch(pair):
    proxy, lst = pair
    proxy.onCommand(lambda cmd: proxy.sendResponse(pyqrx.Response(cmd, {"n": 1})))

    def bad(rsp):
        raise ZeroDivisionError(rsp.get("n"))

    lst.sendCommand(pyqrx.Command("c"), bad)
    with pytest.raises(ZeroDivisionError):
        drive(proxy, lst, lambda: False, timeout=10.0)


def test_callables_that_refer_back_to_their_objects_do_not_keep_them_alive():
    lst = pyqrx.Symlistener()
    lst.onResponse(lambda rsp: lst)
    proxy = pyqrx.Symproxy()
    proxy.onCommand(lambda cmd: proxy)
    proxy.onBookSubscribe(lambda req: proxy)
    lst.onBook(lambda book: lst)
    refs = [weakref.ref(lst), weakref.ref(proxy)]
    del lst, proxy
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_bad_parameters_are_refused_with_what_was_wrong():
    cmd = pyqrx.Command("c")
    with pytest.raises(ValueError, match="32-bit"):
        cmd.setInt("big", 2**31)
    with pytest.raises(ValueError, match="reserved"):
        cmd.set("KO::user", 1)
    with pytest.raises(ValueError, match="one character"):
        cmd.setChar("c", "ab")
    with pytest.raises(ValueError, match="NUL"):
        cmd.setText("t", "a\0b")
    with pytest.raises(TypeError, match="list"):
        pyqrx.Command("c", {"x": [1]})
    with pytest.raises(TypeError):
        pyqrx.Command("c", [("x", 1)])
    assert cmd.params == {}
    # A name may be reused across kinds; each kind keeps its own.
    cmd.setInt("v", 1)
    cmd.setText("v", "one")
    assert cmd.ints == {"v": 1} and cmd.texts == {"v": "one"}
    assert "Command('c'" in repr(cmd)
    # Unconnected, nothing is sent.
    assert pyqrx.Symlistener().sendCommand(cmd) is None


def test_commands_sent_while_other_threads_serve_and_dispatch_find_their_callables():
    # The feed handler serves on one thread, the client's loop() dispatches on
    # another; this thread sends. Each response must reach its own command's
    # callable, also when it is dispatched before sendCommand has returned.
    port = w.free_port()
    proxy = pyqrx.Symproxy()
    proxy.onCommand(lambda cmd: proxy.sendResponse(pyqrx.Response(cmd, {"echo": cmd.get("i")})))
    assert proxy.initialize(port)
    serving = threading.Thread(target=proxy.serve, kwargs={"timeout": 60})
    serving.start()
    lst = pyqrx.Symlistener()
    strays = []
    lst.onResponse(strays.append)
    assert lst.connect("127.0.0.1", port, username="client", password="pw")
    ended = []

    def run():
        try:
            lst.loop()
        except pyqrx.ConnectionClosed:
            ended.append(True)

    looping = threading.Thread(target=run)
    looping.start()
    n = 300
    answers = {}
    all_in = threading.Event()

    def answer(i):
        def on_response(rsp):
            answers[i] = rsp.get("echo")
            if len(answers) == n:
                all_in.set()
        return on_response

    try:
        ids = [lst.sendCommand(pyqrx.Command("c", {"i": i}), answer(i)) for i in range(n)]
        assert all_in.wait(60)
    finally:
        lst.disconnect()
        looping.join(30)
        proxy.stop()
        serving.join(30)
    assert len(set(ids)) == n and None not in ids
    assert answers == {i: i for i in range(n)} and strays == [] and ended == [True]


COMMAND = 14  # the message type of a command


class Callback:
    """A command's callable, watched through a weak reference."""

    def __call__(self, rsp):
        pass


def test_the_callables_of_commands_a_closed_connection_never_answered_are_let_go():
    # A server that takes each command and hangs up without answering, once
    # through the library's loop and once through a disconnect() of the program.
    srv = w.ScriptedServer()

    def serve():
        for _ in range(2):
            peer = srv.accept()
            peer.expect(w.LOGIN)
            peer.expect(COMMAND)
            peer.hang_up()

    server = threading.Thread(target=serve, daemon=True)
    server.start()
    lst = pyqrx.Symlistener()
    refs = []
    for how in ("server hangs up", "program disconnects"):
        assert lst.connect("127.0.0.1", srv.port, "me", "pw")
        callback = Callback()
        refs.append(weakref.ref(callback))
        assert lst.sendCommand(pyqrx.Command("quote", {"qty": 1}), callback) is not None
        del callback
        if how == "server hangs up":
            with pytest.raises(pyqrx.ConnectionClosed):
                lst.loop()
        else:
            lst.disconnect()
    server.join(10)
    srv.close()
    # The next command (none can go out now) finds both connections gone.
    assert lst.sendCommand(pyqrx.Command("quote"), Callback()) is None
    gc.collect()
    assert [r() for r in refs] == [None, None]
