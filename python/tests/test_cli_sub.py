"""qrx sub and qrx fields, run as child processes against real peers on
loopback: a Symproxy publishing known records, and a scripted symbol server
that refuses the logon or reports status events."""

import json
import os
import subprocess
import sys
import threading

import pytest

import symwire as w
from cli_peers import FeedThread, by_name, one_line_error, qrx, qrx_popen

IBM = [
    {w.BID: 181.25, w.ASK: 181.5, w.BID_SIZE: 300, w.ASK_SIZE: -7, w.EXCHANGE: "N",
     w.TRADE_DIRECTION: "+"},
    {w.LAST: 181.3, w.TRADE_SIZE: 2**31 - 1, w.EXCHANGE: "Zürich \u20ac"},
    {w.BID: 1e-300, w.ASK: -0.0},
]
MSFT = [
    {w.BID: 402.75, w.FX_IS_INVERSE: "Y", w.SYMBOL: "MSFT"},
    {w.UPDATE_TIME: 64255, w.EXCHANGE: "with = and \"quotes\""},
]


def interleaved():
    out = []
    for i in range(max(len(IBM), len(MSFT))):
        out += [("IBM", r) for r in IBM[i:i + 1]] + [("MSFT", r) for r in MSFT[i:i + 1]]
    return out


@pytest.fixture
def feed():
    f = FeedThread(script=interleaved())
    yield f
    f.close()


def test_json_lines_carry_what_was_published_in_order(feed):
    script = interleaved()
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "IBM", "MSFT", "--json",
               "--count", len(script), "--user", "alice", "--password", "s3cret")
    assert proc.returncode == 0, proc.stderr
    got = [json.loads(line) for line in proc.stdout.splitlines()]
    assert len(got) == len(script)
    for topic in ("IBM", "MSFT"):
        mine = [g for g in got if g["topic"] == topic]
        assert [g["fields"] for g in mine] == [by_name(r, t) for t, r in script if t == topic]
        assert all(isinstance(g["time"], float) and "snapshot" not in g for g in mine)
    assert feed.logons == [("alice", "s3cret")]
    assert sorted(feed.subscribed) == ["IBM", "MSFT"]


def test_text_lines_name_the_chosen_fields_only(feed):
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "IBM", "MSFT", "--fields", "exchange,bid",
               "--count", 4)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    # Updates holding neither field print nothing (MSFT's second has exchange).
    assert [ln.split(" ", 2)[1:] for ln in lines] == [
        ["IBM", "exchange=N bid=181.25"],
        ["MSFT", "bid=402.75"],
        ["IBM", "exchange=\"Zürich \u20ac\""],
        ["MSFT", "exchange=\"with = and \\\"quotes\\\"\""],
    ]


def test_snapshot_prints_each_cached_image_and_exits():
    f = FeedThread(before=[("IBM", IBM[0]), ("IBM", IBM[1]), ("MSFT", MSFT[0])])
    try:
        proc = qrx("sub", "127.0.0.1:%d" % f.port, "IBM", "MSFT", "--snapshot", "--json")
        assert proc.returncode == 0, proc.stderr
        got = {g["topic"]: g for g in map(json.loads, proc.stdout.splitlines())}
        merged = {**IBM[0], **IBM[1]}
        assert got["IBM"]["fields"] == by_name(merged, "IBM") and got["IBM"]["snapshot"] is True
        assert got["MSFT"]["fields"] == by_name(MSFT[0], "MSFT")
        # A topic the feed never published has no image: said, with exit code 1.
        # (IBM's image is sent at once; the wait is for NONE's, which never comes.)
        proc = qrx("sub", "127.0.0.1:%d" % f.port, "IBM", "NONE", "--snapshot",
                   "--seconds", "3")
        assert proc.returncode == 1
        assert one_line_error(proc) == "qrx sub: no snapshot for NONE"
        assert proc.stdout.count("[snapshot]") == 1
    finally:
        f.close()


def scripted(server, *frames_after_logon, close=True):
    """Serves one client: reads its logon, sends the frames, then closes
    (or waits for the client to leave)."""
    def run():
        peer = server.accept()
        peer.expect(w.LOGIN)
        for fr in frames_after_logon:
            peer.send(fr)
        if close:
            peer.hang_up()
        else:
            peer.wait_closed()
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


@pytest.mark.parametrize("server_closes", [True, False])
def test_a_refused_logon_is_one_line_and_exit_code_4(server, server_closes):
    # Whether or not the server closes the connection after refusing.
    t = scripted(server, w.frame(w.STATUS, w.STATUS_LOGIN_REFUSED, w.text("bad password")),
                 close=server_closes)
    proc = qrx("sub", "127.0.0.1:%d" % server.port, "IBM", "--user", "bob")
    t.join()
    assert proc.returncode == 4
    assert one_line_error(proc) == \
        "qrx sub: logon refused by 127.0.0.1:%d (bad password)" % server.port


def test_status_events_go_to_standard_error(server):
    unknown = w.frame(7, 1, w.text("XYZ") + w.text("no such topic"))
    lost = w.frame(w.STATUS, 8, w.text("exchange feed down"))
    update = w.data_frame([{w.TOPIC: "IBM", w.BID: 1.5}])
    t = scripted(server, w.frame(w.STATUS, w.STATUS_LOGIN_OK), unknown, lost, update)
    proc = qrx("sub", "127.0.0.1:%d" % server.port, "IBM", "XYZ", "--json")
    t.join()
    # The server closed the connection: said last, exit code 1.
    assert proc.returncode == 1
    assert proc.stderr.splitlines() == [
        "qrx sub: topic unknown: XYZ (no such topic)",
        "qrx sub: source lost (exchange feed down)",
        "qrx sub: connection to 127.0.0.1:%d closed" % server.port,
    ]
    assert [json.loads(x)["fields"] for x in proc.stdout.splitlines()] == [{"bid": 1.5}]



def test_text_that_is_no_utf8_prints_as_it_came_and_serves_back(server, tmp_path):
    # A server's Latin-1 text: sub writes its bytes as they came whatever the
    # locale's error handler (PYTHONIOENCODING=utf-8 makes it strict), and
    # qrx serve takes those JSON lines back, bytes and all.
    env = dict(os.environ, PYTHONIOENCODING="utf-8")

    def sub(port, *args):
        return subprocess.run([sys.executable, "-m", "pyqrx", "sub", "127.0.0.1:%d" % port,
                               "IBM"] + list(args), capture_output=True, env=env, timeout=60)

    update = w.data_frame([{w.TOPIC: "IBM", w.EXCHANGE: b"Z\xfcrich", w.BID: 1.5}])
    for args in ([], ["--json"]):
        t = scripted(server, w.frame(w.STATUS, w.STATUS_LOGIN_OK), update)
        proc = sub(server.port, *args)
        t.join()
        assert proc.returncode == 1, proc.stderr  # the server closed the connection
        assert b"exchange=Z\xfcrich" in proc.stdout or b'"exchange":"Z\xfcrich"' in proc.stdout
    path = tmp_path / "latin.jsonl"
    path.write_bytes(proc.stdout)
    port = w.free_port()
    feed = qrx_popen("serve", path, "--port", port)
    try:
        first = feed.stderr.readline()
        assert "listening on port %d" % port in first, first + feed.stderr.read()
        proc = sub(port, "--json", "--count", "1")
        assert proc.returncode == 0, proc.stderr
        assert json.loads(proc.stdout.decode("utf-8", "surrogateescape"))["fields"] == {
            "bid": 1.5, "exchange": "Z\udcfcrich", "symbol": "IBM"}
    finally:
        feed.kill()
        feed.communicate()

@pytest.mark.parametrize("args, message", [
    (["sub", "localhost", "IBM"], "bad address 'localhost'"),
    (["sub", "127.0.0.1:99999", "IBM"], "bad address '127.0.0.1:99999'"),
    (["sub", "127.0.0.1:7001", "IBM", "--fields", "bid,bidd"], "unknown field name 'bidd'"),
    (["sub", "127.0.0.1:7001", "IBM", "--count", "0"], "--count wants a number above 0"),
    (["sub", "127.0.0.1:7001", "IBM", "--count", "x"], "argument --count: invalid int value"),
    (["sub", "127.0.0.1:7001", "IBM", "--seconds", "inf"], "--seconds wants a number"),
    (["record", "127.0.0.1:7001", "IBM", "-o", "x", "--count", str(2**64)], "--count wants"),
    (["watch", "127.0.0.1:7001", "IBM", "--fields", "nope"], "unknown field name 'nope'"),
    (["serve", "f", "--port", "1", "--rate", "nan"], "--rate wants a number above 0"),
    (["sub", "127.0.0.1:7001"], "the following arguments are required: TOPIC"),
    (["fields", "("], "bad pattern '('"),
    # Digits int() does not read are no port and no field id.
    (["sub", "127.0.0.1:\u00b2", "IBM"], "bad address '127.0.0.1:\u00b2'"),
    (["serve", "f", "--port", "\u00b9"], "bad port '\u00b9'"),
    (["sub", "127.0.0.1:7001", "IBM", "--fields", "bid,\u00b3"], "unknown field name '\u00b3'"),
    # More digits than int() reads from text (4,300) are no port and no field id either.
    (["sub", "127.0.0.1:" + "7" * 5000, "IBM"], "bad address '127.0.0.1:7777"),
    (["serve", "f", "--port", "7" * 5000], "bad port '7777"),
    (["sub", "127.0.0.1:7001", "IBM", "--fields", "3" * 5000], "unknown field name '3333"),
    (["nosuch"], "argument COMMAND: invalid choice: 'nosuch'"),
])
def test_bad_arguments_give_one_line_and_exit_code_2(args, message):
    proc = qrx(*args)
    assert proc.returncode == 2
    line = one_line_error(proc)
    assert line.startswith("qrx") and message in line, line


def test_nobody_listening_is_exit_code_3():
    port = w.free_port()
    proc = qrx("sub", "127.0.0.1:%d" % port, "IBM")
    assert proc.returncode == 3
    assert one_line_error(proc) == "qrx sub: cannot connect to 127.0.0.1:%d" % port


def test_fields_lists_the_dictionary_filtered():
    proc = qrx("fields", "^bid_size$")
    assert proc.returncode == 0 and proc.stdout.split() == ["512", "bid_size", "int"]
    rows = [ln.split() for ln in qrx("fields", "DIRECTION", "--type", "char").stdout.splitlines()]
    assert ["1543", "trade_direction", "char"] in rows
    assert rows and all(r[2] == "char" and "direction" in r[1] for r in rows)
    assert qrx("fields", "1074").stdout.split() == ["1074", "topic", "str"]
    every = qrx("fields").stdout.splitlines()
    assert len(every) == 466
    proc = qrx("fields", "no_such_field")
    assert proc.returncode == 1 and one_line_error(proc) == \
        "qrx fields: no field matches 'no_such_field'"
    assert qrx("fields", "0" * 5000 + "1074").stdout.split() == ["1074", "topic", "str"]
    proc = qrx("fields", "1" * 5000)
    assert proc.returncode == 1 and one_line_error(proc).startswith(
        "qrx fields: no field matches '1111")
    proc = qrx("fields", "\u00b2")
    assert proc.returncode == 1 and one_line_error(proc) == "qrx fields: no field matches '\u00b2'"


def test_a_closed_standard_output_or_input_is_said_in_one_line(tmp_path):
    # A command started with descriptor 0 or 1 closed (prog <&- or >&-).
    def closed(fd, *args):
        return subprocess.run([sys.executable, "-m", "pyqrx"] + list(args),
                              stderr=subprocess.PIPE, text=True, timeout=60,
                              preexec_fn=lambda: os.close(fd))
    path = tmp_path / "x.jsonl"
    path.write_text('{"topic": "A", "bid": 1}\n')
    for args in (["fields", "bid"], ["dump", str(path)], ["sub", "127.0.0.1:7001", "IBM"]):
        proc = closed(1, *args)
        assert proc.returncode == 1, (args, proc.stderr)
        assert one_line_error(proc) == "qrx %s: standard output is closed" % args[0]
    proc = closed(0, "watch", "127.0.0.1:7001", "IBM")
    assert proc.returncode == 2
    assert one_line_error(proc) == \
        "qrx watch: needs a terminal (qrx sub prints to a pipe or a file)"


def test_every_command_explains_itself_with_an_example():
    top = qrx("--help")
    assert top.returncode == 0 and "example:" in top.stdout
    for command in ("sub", "watch", "serve", "record", "replay", "dump", "fields"):
        proc = qrx(command, "--help")
        assert proc.returncode == 0 and "example:\n  qrx " + command in proc.stdout, command
