"""Malformed input from the network never brings the interpreter down. Each
case runs in a child interpreter, which must finish normally."""

import pytest

from conftest import run_script

LISTENER_CASES = {
    "length below the header": "w.frame_with_length(3, w.DATA, 0) + b'\\0' * 16",
    "length zero": "w.frame_with_length(0, w.DATA, 0) + b'\\0' * 16",
    "length of the header only": "w.frame_with_length(8, w.DATA, 0)",
    "text longer than its message": "w.frame_with_length(12, w.DATA, 0, b'\\xff\\xff\\0\\0')",
    "record count without fields": "w.data_frame([struct.pack('>h', 5000)])",
    "negative record count": "w.data_frame([struct.pack('>h', -1) + b'\\0\\x01' + b'\\0' * 8])",
    "string longer than the body":
        "w.data_frame([struct.pack('>hBB', 1, 128, 1) + b'\\xff\\xf0abc'])",
    "truncated double": "w.data_frame([struct.pack('>hBB', 1, 0, 1) + b'\\x40\\x25'])",
    "unknown header type": "w.frame(w.DATA, 0, b'x' * 20, hdr=99)",
    "unknown message type": "w.frame(30000, 3, b'x' * 20)",
    "response garbage": "w.frame(15, 12, bytes(range(256)) * 4)",
    "order-book garbage": "w.frame(23, 0, bytes(range(200)))",
    "status without text": "w.frame(w.STATUS, 7)",
    "random bytes": "random.Random(7).randbytes(5000)",
}


@pytest.mark.parametrize("case", sorted(LISTENER_CASES))
def test_listener_survives(case):
    proc = run_script("""
        import random, struct, pyqrx, symwire as w
        srv = w.ScriptedServer()
        lst = pyqrx.Symlistener()
        got = []
        lst.onData(lambda topic, data: got.append(dict(data)))
        assert lst.connect("127.0.0.1", srv.port)
        peer = srv.accept()
        peer.send(%s)
        peer.send(w.data_frame([{w.TOPIC: "AFTER", w.BID: 1.0}]))
        peer.close()
        try:
            lst.loop()
        except Exception as e:
            print(e)
        print("survived", len(got))
    """ % LISTENER_CASES[case])
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "CONNECTION_ERROR\nsurvived" in proc.stdout


PROXY_CASES = {
    "length below the header": "w.frame_with_length(2, w.SUBSCRIBE, 0) + b'\\0' * 16",
    "length zero": "w.frame_with_length(0, w.SUBSCRIBE, 0) + b'\\0' * 16",
    "overlong logon texts": "w.frame(w.LOGIN, w.LOGIN, w.login_body(b'u' * 300, b'p' * 300))",
    "truncated logon": "w.frame(w.LOGIN, w.LOGIN, b'\\0\\0\\0\\3')",
    "overlong topic": "w.frame(w.SUBSCRIBE, 0, w.text('T' * 3000))",
    "topic past the end": "w.frame_with_length(12, w.SUBSCRIBE, 0, b'\\x10\\0AB')",
    "list count without topics": "w.frame(w.SUBSCRIBE_LIST, 0, struct.pack('>i', 100000))",
    "negative list count": "w.frame(w.UNSUBSCRIBE_LIST, 0, struct.pack('>i', -5))",
    "command garbage": "w.frame(14, 11, bytes(range(256)) * 8)",
    "command parts garbage": "w.frame(14, 14, b'\\xff' * 64) + w.frame(14, 16, b'\\0' * 3)",
    "sizes request truncated": "w.frame(19, 0, w.text('X'))",
    "unknown header type": "w.frame(w.SUBSCRIBE, 0, w.text('X'), hdr=99)",
    "random bytes": "random.Random(11).randbytes(5000)",
}


@pytest.mark.parametrize("case", sorted(PROXY_CASES))
def test_proxy_survives_and_serves_the_next_client(case):
    proc = run_script("""
        import random, struct, pyqrx, symwire as w
        port = w.free_port()
        p = pyqrx.Symproxy()
        subs, unsubs = [], []
        p.onSubscribe(subs.append)
        p.onUnsubscribe(unsubs.append)
        assert p.initialize(port)
        c = w.connect_client(port)
        c.send(%s)
        c.close()
        w.pump(p, lambda: None in unsubs)
        # A well-behaved server is served afterwards.
        c = w.connect_client(port)
        c.send(w.frame(w.SUBSCRIBE, 0, w.text("GOOD")))
        w.pump(p, lambda: "GOOD" in subs)
        p.publish("GOOD", {w.BID: 2.0})
        c.expect(w.STATUS, w.STATUS_LOGIN_OK)
        print("survived", c.expect(w.DATA, w.DATA_UPDATE).records()[0][w.BID])
    """ % PROXY_CASES[case])
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert "survived 2.0" in proc.stdout
