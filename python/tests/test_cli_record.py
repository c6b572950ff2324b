"""qrx serve, record, replay and dump, run as child processes against each
other on loopback: a served file arrives whole and in order, and a session
recorded, replayed and recorded again gives the same updates."""

import fcntl
import json
import os
import random
import resource
import signal
import struct
import termios
import threading
import time

import pytest

import symwire as w
from cli_peers import one_line_error, qrx, qrx_popen


class Served:
    """A `qrx serve` or `qrx replay` child: its port is known once it says it
    listens; stop() ends it with SIGTERM and returns its exit code and the
    rest of its standard error."""

    def __init__(self, *args):
        self.port = w.free_port()
        self.proc = qrx_popen(*args, "--port", self.port)
        first = self.proc.stderr.readline()
        assert "listening on port %d" % self.port in first, first + self.proc.stderr.read()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        _, err = self.proc.communicate(timeout=60)
        return self.proc.returncode, err

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


@pytest.fixture
def served():
    started = []

    def start(*args):
        s = Served(*args)
        started.append(s)
        return s
    yield start
    for s in started:
        s.kill()


def ticks(n, topics, seed=7):
    """n records over the topics, with every field type and a time column."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        rec = {"topic": topics[i % len(topics)], "time": i * 1e-5,
               "bid": round(100 + rng.random(), 4), "bid_size": rng.randrange(-2**31, 2**31)}
        if i % 3 == 0:
            rec["exchange"] = rng.choice(["N", "Q", "Zürich", "a b"])
        if i % 5 == 0:
            rec["trade_direction"] = rng.choice("+-=")
        out.append(rec)
    return out


def expected(rec):
    fields = {k: v for k, v in rec.items() if k not in ("topic", "time")}
    fields["symbol"] = rec["topic"]
    return fields


def per_topic(objs):
    out = {}
    for o in objs:
        out.setdefault(o["topic"], []).append(o["fields"])
    return out


def write_jsonl(path, records):
    with open(path, "w") as f:
        for r in records:
            f.write(json.dumps(r) + "\n")


def dump(path):
    proc = qrx("dump", path)
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_a_served_file_of_10000_lines_arrives_whole_and_in_order(tmp_path, served):
    topics = ["T%02d" % i for i in range(10)]
    records = ticks(10000, topics)
    path = str(tmp_path / "ticks.jsonl")
    write_jsonl(path, records)
    feed = served("serve", path, "--speed", "1000")
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, *topics, "--json", "--count", 10000)
    assert proc.returncode == 0, proc.stderr
    got = [json.loads(line) for line in proc.stdout.splitlines()]
    assert per_topic(got) == per_topic({"topic": r["topic"], "fields": expected(r)}
                                       for r in records)
    code, err = feed.stop()
    assert code == 0 and "published 10000 records" in err


def test_text_holding_unicode_line_separators_is_served_as_written(tmp_path, served):
    # qrx sub --json and qrx dump write text as it is: a U+2028 or U+0085
    # inside a value ends no line of the file.
    records = [{"topic": "IBM", "exchange": "a\u2028b\x85c\u2029d\x1ce", "bid": 1.5},
               {"topic": "IBM", "bid": 2.5}]
    path = str(tmp_path / "separators.jsonl")
    with open(path, "w", encoding="utf-8") as f:
        for r in records:
            f.write(json.dumps(r, ensure_ascii=False) + "\n")
    feed = served("serve", path, "--rate", "1000")
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "IBM", "--json", "--count", 2)
    assert proc.returncode == 0, proc.stderr
    assert [json.loads(x)["fields"] for x in proc.stdout.split("\n") if x] == \
        [expected(r) for r in records]



def test_sigterm_ends_a_served_file_waiting_for_its_next_record(tmp_path, served):
    # The next record is due in an hour: SIGTERM ends the playback meanwhile.
    path = str(tmp_path / "slow.jsonl")
    write_jsonl(path, [{"topic": "IBM", "time": 0, "bid": 1.5},
                       {"topic": "IBM", "time": 3600, "bid": 2.5}])
    feed = served("serve", path)
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "IBM", "--json", "--count", 1)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["fields"]["bid"] == 1.5
    code, err = feed.stop()
    assert code == 0 and "published 1 records" in err

def test_csv_values_take_the_type_of_their_field(tmp_path, served):
    path = str(tmp_path / "quotes.csv")
    with open(path, "w") as f:
        f.write("topic,bid,bid_size,exchange,trade_direction,150\n"
                "IBM,181.25,300, a b ,+,1e3\n"
                "IBM,,-7,,,\n"
                "VOD.L,0.72,5,\"x,y\",=,2\n")
    feed = served("serve", path, "--rate", "1000")
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "IBM", "VOD.L", "--json", "--count", 3)
    assert proc.returncode == 0, proc.stderr
    assert per_topic(map(json.loads, proc.stdout.splitlines())) == {
        "IBM": [{"bid": 181.25, "150": 1000.0, "bid_size": 300, "symbol": "IBM",
                 "exchange": " a b ", "trade_direction": "+"},
                {"bid_size": -7, "symbol": "IBM"}],
        "VOD.L": [{"bid": 0.72, "150": 2.0, "bid_size": 5, "symbol": "VOD.L", "exchange": "x,y",
                   "trade_direction": "="}],
    }


def test_a_client_of_some_topics_gets_them_once_it_stops_subscribing(tmp_path, served):
    # The file holds A and B; a client that wants only B still gets the whole
    # playback of B, which starts a moment after its last subscription.
    records = ticks(40, ["A", "B"])
    path = str(tmp_path / "ab.jsonl")
    write_jsonl(path, records)
    feed = served("serve", path)
    proc = qrx("sub", "127.0.0.1:%d" % feed.port, "B", "--json", "--count", 20)
    assert proc.returncode == 0, proc.stderr
    assert [json.loads(x)["fields"] for x in proc.stdout.splitlines()] == \
        [expected(r) for r in records if r["topic"] == "B"]


def test_record_replay_record_gives_the_same_updates(tmp_path, served):
    topics = ["IBM", "MSFT", "VOD.L"]
    records = ticks(600, topics, seed=11)
    source = str(tmp_path / "source.jsonl")
    write_jsonl(source, records)
    first, second = str(tmp_path / "first.qrx"), str(tmp_path / "second.qrx")

    feed = served("serve", source, "--speed", "100")
    proc = qrx("record", "127.0.0.1:%d" % feed.port, *topics, "-o", first, "--count", 600)
    assert proc.returncode == 0, proc.stderr
    assert one_line_error(proc).startswith("qrx record: 600 updates, 0 snapshot records")
    feed.stop()

    replay = served("replay", first, "--speed", "50")
    proc = qrx("record", "127.0.0.1:%d" % replay.port, *topics, "-o", second, "--count", 600)
    assert proc.returncode == 0, proc.stderr
    code, err = replay.stop()
    assert code == 0 and "published 600 records" in err

    one, two = dump(first), dump(second)
    # Each recording holds the logon's verdict, then the updates.
    for d in (one, two):
        assert d[0]["kind"] == "status" and d[0]["status"] == "logon accepted"
        assert {o["kind"] for o in d[1:]} == {"update"}
        assert [o["time"] for o in d] == sorted(o["time"] for o in d)
    assert per_topic(one[1:]) == per_topic(two[1:]) == per_topic(
        {"topic": r["topic"], "fields": expected(r)} for r in records)


def test_the_recording_keeps_status_events_and_snapshots(tmp_path, server):
    path = str(tmp_path / "session.qrx")

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK))
        peer.send(w.data_frame([{w.TOPIC: "IBM", w.BID: 1.5, w.EXCHANGE: "N"}],
                               sub=w.DATA_SNAPSHOT))
        peer.send(w.frame(7, 1, w.text("XYZ") + w.text("no such topic")))
        peer.send(w.data_frame([{w.TOPIC: "IBM", w.BID: 1.75}, {w.TOPIC: "IBM", w.ASK: 2.0}]))
        peer.send(w.frame(w.STATUS, 8, w.text("feed down")))
        peer.hang_up()
    t = threading.Thread(target=script, daemon=True)
    t.start()
    proc = qrx("record", "127.0.0.1:%d" % server.port, "IBM", "XYZ", "-o", path)
    t.join()
    assert proc.returncode == 1  # the server closed the connection
    lines = proc.stderr.splitlines()
    assert lines[0].startswith("qrx record: 2 updates, 1 snapshot records, 3 status events")
    assert lines[1] == "qrx record: connection to 127.0.0.1:%d closed" % server.port
    got = [{k: v for k, v in o.items() if k != "time"} for o in dump(path)]
    assert got == [
        {"kind": "status", "code": 0, "status": "logon accepted", "text": ""},
        {"kind": "snapshot", "topic": "IBM", "fields": {"bid": 1.5, "exchange": "N"}},
        {"kind": "topic status", "topic": "XYZ", "code": 5, "status": "topic unknown",
         "text": "no such topic"},
        {"kind": "update", "topic": "IBM", "fields": {"bid": 1.75}},
        {"kind": "update", "topic": "IBM", "fields": {"ask": 2.0}},
        {"kind": "status", "code": 2, "status": "source lost", "text": "feed down"},
    ]
    # Only some topics, only some fields.
    proc = qrx("dump", path, "--topic", "IBM", "--fields", "ask")
    assert [json.loads(x)["fields"] for x in proc.stdout.splitlines()] == [{}, {}, {"ask": 2.0}]


@pytest.mark.parametrize("server_closes", [True, False])
def test_record_says_when_the_logon_is_refused(tmp_path, server, server_closes):
    path = str(tmp_path / "refused.qrx")

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_REFUSED, w.text("no")))
        if not server_closes:
            peer.wait_closed()
        peer.close()
    t = threading.Thread(target=script, daemon=True)
    t.start()
    proc = qrx("record", "127.0.0.1:%d" % server.port, "IBM", "-o", path)
    t.join()
    assert proc.returncode == 4
    assert proc.stderr.splitlines()[-1] == \
        "qrx record: logon refused by 127.0.0.1:%d" % server.port
    assert [o["status"] for o in dump(path)] == ["logon refused"]


def malformed_cases(tmp):
    """(arguments, the one line of standard error, exit code) per bad input."""
    def write(name, text, mode="w"):
        p = os.path.join(tmp, name)
        with open(p, mode) as f:
            f.write(text)
        return p

    good = write("good.jsonl", '{"topic": "A", "bid": 1}\n')
    cases = [
        (["serve", write("a.jsonl", '{"topic": "A", "bid": 1}\n\n{"topic": "A", "bidd": 2}\n'),
          "--port", 7001], "qrx serve: %s:3: unknown field name 'bidd'", 5),
        (["serve", write("b.jsonl", '{"topic": "A", "bid_size": 1.5}\n'), "--port", 7001],
         "qrx serve: %s:1: field 'bid_size' wants a 32-bit integer, got 1.5", 5),
        (["serve", write("c.jsonl", '{"topic": "A"}\n[1, 2]\n'), "--port", 7001],
         "qrx serve: %s:2: wants a JSON object", 5),
        (["serve", write("d.jsonl", '{"bid": 1}\n'), "--port", 7001],
         "qrx serve: %s:1: no topic", 5),
        (["serve", write("e.jsonl", '{"topic": "A", "time": "noon"}\n'), "--port", 7001],
         "qrx serve: %s:1: time wants a number of seconds, got 'noon'", 5),
        (["serve", write("f.csv", "topic,bid\nA,1\nB,2,3\n"), "--port", 7001],
         "qrx serve: %s:3: 3 values for 2 columns", 5),
        (["serve", write("g.csv", "symbol,bid\nA,1\n"), "--port", 7001],
         "qrx serve: %s:1: the header has no topic column", 5),
        (["serve", write("h.csv", "topic,trade_direction\nA,ab\n"), "--port", 7001],
         "qrx serve: %s:2: field 'trade_direction' wants one character, got 'ab'", 5),
        (["serve", write("i.jsonl", b"\xff\xfe{}\n", "wb"), "--port", 7001], None, 5),
        # Found when the file is read, not when a record of it is published.
        (["serve", write("l.jsonl", '{"topic": "A\\u0000B", "bid": 1}\n'), "--port", 7001,
          "--no-wait"], "qrx serve: %s:1: the topic holds a NUL character", 5),
        (["serve", write("m.csv", "topic,exchange\nA,%s\n" % ("x" * 16385)), "--port", 7001,
          "--no-wait"], "qrx serve: %s:2: field 'exchange' holds 16385 bytes of text, at most "
         "16384", 5),
        (["serve", write("n.jsonl", '{"topic": "A", "exchange": "\\ud800"}\n'), "--port", 7001,
          "--no-wait"], "qrx serve: %s:1: field 'exchange' wants UTF-8 text", 5),
        (["serve", write("o.jsonl", '{"topic": "A", "\\ud800": 1}\n'), "--port", 7001],
         "qrx serve: %s:1: unknown field name '\\ud800'", 5),
        (["serve", write("p.csv", b"topic,b\xffd\nA,1\n", "wb"), "--port", 7001],
         "qrx serve: %s:1: unknown field name 'b\\udcffd'", 5),
        # Numbers past what a double holds, and ids of more digits than int() reads.
        (["serve", write("q.jsonl", '{"topic": "A", "time": 1%s}\n' % ("0" * 400)),
          "--port", 7001], "qrx serve: %s:1: time wants a number of seconds, got 1000", 5),
        (["serve", write("r.jsonl", '{"topic": "A", "bid": -1%s}\n' % ("0" * 400)),
          "--port", 7001], "qrx serve: %s:1: field 'bid' wants a number, got -1000", 5),
        (["serve", write("s.jsonl", '{"topic": "A", "%s": 1}\n' % ("1" * 5000)),
          "--port", 7001], "qrx serve: %s:1: unknown field name '1111", 5),
        (["serve", write("t.csv", "topic,%s\nA,1\n" % ("2" * 5000)), "--port", 7001],
         "qrx serve: %s:1: unknown field name '2222", 5),
        (["serve", write("u.jsonl", '{"topic": "A", "bid": %s%s}\n' % ("[" * 100000,
                                                                        "]" * 100000)),
          "--port", 7001], "qrx serve: %s:1: not JSON: maximum recursion depth exceeded", 5),
        (["serve", os.path.join(tmp, "missing.jsonl"), "--port", 7001],
         "qrx serve: cannot read %s: No such file or directory", 5),
        (["serve", good, "--port", "70000"], "qrx serve: bad port '70000'", 2),
        (["serve", good, "--port", 7001, "--speed", "-1"],
         "qrx serve: --speed wants a number above 0", 2),
        (["dump", write("j.qrx", "QRXREC01")], "qrx dump: %s: not a qrx recording", 5),
        (["dump", write("k.qrx", b"QRXREC01" + bytes(8) + b"\xff\xff\xff\x7f", "wb")],
         "qrx dump: %s: entry at byte 16 has an impossible length 2147483647", 5),
        (["replay", good, "--port", 7001], "qrx replay: %s: not a qrx recording", 5),
        (["record", "127.0.0.1:7001", "IBM", "-o", os.path.join(tmp, "no", "such", "dir")],
         "qrx record: %s: cannot create: No such file or directory", 5),
    ]
    return [(args, msg if msg is None or "%s" not in msg else msg % next(
        a for a in args if isinstance(a, str) and a.startswith(tmp)), code)
        for args, msg, code in cases]


def test_each_malformed_input_gives_its_one_line_and_exit_code(tmp_path):
    for args, message, code in malformed_cases(str(tmp_path)):
        proc = qrx(*args)
        assert proc.returncode == code, (args, proc.stderr)
        line = one_line_error(proc)
        if message is None:
            assert line.startswith("qrx %s: " % args[0]), line
        else:
            assert line.startswith(message), (line, message)


def test_a_truncated_recording_dumps_what_it_holds_then_says_where_it_breaks(tmp_path, server):
    path = str(tmp_path / "cut.qrx")

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.send(w.data_frame([{w.TOPIC: "A", w.BID: float(i)} for i in range(3)]))
        peer.hang_up()
    t = threading.Thread(target=script, daemon=True)
    t.start()
    qrx("record", "127.0.0.1:%d" % server.port, "A", "-o", path)
    t.join()
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(size - 3)
    proc = qrx("dump", path)
    assert proc.returncode == 5
    assert [json.loads(x)["fields"]["bid"] for x in proc.stdout.splitlines()] == [0.0, 1.0]
    assert "is cut short (the file ends inside it)" in one_line_error(proc)


def test_recording_to_nobody_is_exit_code_3_and_leaves_no_file(tmp_path):
    path = str(tmp_path / "none.qrx")
    port = w.free_port()
    proc = qrx("record", "127.0.0.1:%d" % port, "IBM", "-o", path)
    assert proc.returncode == 3
    assert one_line_error(proc) == "qrx record: cannot connect to 127.0.0.1:%d" % port
    assert not os.path.exists(path)
    # What was there before the command is not removed: a file, or a link to /dev/null.
    kept = str(tmp_path / "kept.qrx")
    with open(kept, "w") as f:
        f.write("earlier")
    nowhere = str(tmp_path / "nowhere.qrx")
    os.symlink(os.devnull, nowhere)
    for out in (kept, nowhere):
        proc = qrx("record", "127.0.0.1:%d" % port, "IBM", "-o", out)
        assert proc.returncode == 3, proc.stderr
        assert os.path.lexists(out)
    assert os.readlink(nowhere) == os.devnull


def test_a_long_recording_survives_its_buffers(tmp_path, server):
    # Past the writer's 4 MB buffer and many times the reader's 1 MB one, with
    # entries straddling every refill: every update comes back, in order.
    path = str(tmp_path / "long.qrx")
    n = 80000
    records = [{w.TOPIC: "T%d" % (i % 7), w.BID: i * 0.5, w.BID_SIZE: i,
                w.EXCHANGE: "x" * (i % 80), w.TRADE_DIRECTION: "+-"[i % 2]} for i in range(n)]
    wire = b"".join(w.data_frame(records[i:i + 50]) for i in range(0, n, 50))

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.expect(w.SUBSCRIBE)
        peer.send(wire)
        peer.wait_closed()
    t = threading.Thread(target=script, daemon=True)
    t.start()
    proc = qrx("record", "127.0.0.1:%d" % server.port, "T0", "-o", path, "--count", n)
    t.join()
    assert proc.returncode == 0, proc.stderr
    assert os.path.getsize(path) > 5 * 2**20
    got = dump(path)
    assert len(got) == n
    for i, (o, r) in enumerate(zip(got, records)):
        assert o["topic"] == r[w.TOPIC], i
        assert o["fields"] == {"bid": r[w.BID], "bid_size": i, "exchange": r[w.EXCHANGE],
                               "trade_direction": r[w.TRADE_DIRECTION]}, i


def test_sigterm_ends_a_recording_with_what_arrived(tmp_path, server):
    path = str(tmp_path / "term.qrx")
    released = threading.Event()

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.expect(w.SUBSCRIBE)
        peer.send(w.data_frame([{w.TOPIC: "A", w.BID: float(i)} for i in range(3)]))
        released.wait(60)
        peer.wait_closed()
    t = threading.Thread(target=script, daemon=True)
    t.start()
    proc = qrx_popen("record", "127.0.0.1:%d" % server.port, "A", "-o", path)
    try:
        # The updates reach the file once the traffic pauses.
        deadline = time.monotonic() + 60
        while qrx("dump", path).stdout.count("\n") < 3:
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=60)
    finally:
        released.set()
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    assert err.startswith("qrx record: 3 updates, 0 snapshot records")
    assert [o["fields"] for o in dump(path)] == [{"bid": 0.0}, {"bid": 1.0}, {"bid": 2.0}]


def pipe_holds(fd):
    """Bytes waiting in the pipe of either end."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_a_recording_into_a_pipe_nobody_reads_ends_on_a_signal(server, sig):
    # The reader of the output stopped and the pipe is full: SIGTERM or Ctrl-C
    # ends the command with what it could not write said, rather than waiting
    # for room that never comes.
    stop = threading.Event()

    def script():
        peer = server.accept()
        peer.expect(w.LOGIN)
        peer.expect(w.SUBSCRIBE)
        burst = w.data_frame([{w.TOPIC: "A", w.BID: float(i), w.EXCHANGE: "x" * 40}
                              for i in range(500)])
        while not stop.is_set():
            try:
                peer.send(burst)
            except OSError:
                break
    t = threading.Thread(target=script, daemon=True)
    t.start()
    r, wfd = os.pipe()
    size = fcntl.fcntl(r, getattr(fcntl, "F_GETPIPE_SZ", 1032))
    proc = qrx_popen("record", "127.0.0.1:%d" % server.port, "A", "-o", "/dev/stdout",
                     stdout=wfd)
    os.close(wfd)
    try:
        deadline = time.monotonic() + 60
        while pipe_holds(r) < size:
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        proc.send_signal(sig)
        _, err = proc.communicate(timeout=60)
    finally:
        stop.set()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
        os.close(r)
    assert proc.returncode == 1, err
    assert err.splitlines()[-1] == \
        "qrx record: /dev/stdout: cannot write: Interrupted system call", err


def test_ctrl_c_ends_a_dump_of_a_pipe_that_brings_nothing():
    r, wfd = os.pipe()
    # The file header, and the length of an entry whose rest does not come.
    os.write(wfd, b"QRXREC01" + bytes(8) + struct.pack("<I", 40))
    proc = qrx_popen("dump", "/dev/stdin", stdin=r)
    os.close(r)
    try:
        deadline = time.monotonic() + 60
        while pipe_holds(wfd) > 0:
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.05)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
        os.close(wfd)
    assert proc.returncode == 130 and out == "" and err == "", err


def test_replay_of_a_recording_from_a_pipe_says_it_wants_a_file(tmp_path):
    # The recording is read once for its topics and again to play it, which a
    # pipe does not allow: said before any port is opened.
    proc = qrx("replay", "/dev/stdin", "--port", w.free_port(), "--no-wait",
               input="QRXREC01" + "\0" * 8)
    assert proc.returncode == 5
    assert one_line_error(proc) == ("qrx replay: /dev/stdin: not a regular file (qrx replay "
                                    "reads the recording more than once)")


def test_serve_refuses_a_device_without_end_before_reading_it():
    # /dev/zero was read whole into memory, as much as there was; the child's
    # room is bounded so that it is not the machine's that runs out.
    def bounded():
        # The address sanitizer (preloaded) reserves more than any such bound at start.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

    proc = qrx("serve", "/dev/zero", "--port", w.free_port(), "--no-wait", preexec_fn=bounded)
    assert proc.returncode == 5, proc.stderr
    assert one_line_error(proc) == "qrx serve: cannot read /dev/zero: a device, not a file"


def test_a_file_that_begins_with_a_byte_order_mark_serves_as_one_without(tmp_path):
    # As spreadsheet programs save CSV: the mark was read as part of the first
    # column's name (or of the first JSON line) and the file refused.
    from pyqrx.cli import serve

    for name, text in (("q.csv", "topic,bid\nIBM,1.5\n"),
                       ("q.jsonl", '{"topic": "IBM", "bid": 1.5}\n'),
                       ("q.txt", '{"topic": "IBM", "bid": 1.5}\n'),
                       ("r.txt", "topic,bid\nIBM,1.5\n")):
        plain = tmp_path / ("plain-" + name)
        marked = tmp_path / ("marked-" + name)
        plain.write_text(text, encoding="utf-8")
        marked.write_text("\ufeff" + text, encoding="utf-8")
        assert serve.load(str(marked)) == serve.load(str(plain)) == [(None, "IBM", {0: 1.5})]


def test_a_recording_path_holding_a_nul_character_names_no_file(tmp_path):
    # The name was cut at the NUL: the recorder truncated, and the reader read,
    # a file other than the one named.
    from pyqrx import _pyqrx

    other = tmp_path / "kept.qrx"
    other.write_bytes(b"QRXREC01" + bytes(8))
    with pytest.raises(ValueError, match="path holds a NUL character"):
        _pyqrx._Recorder(str(other) + "\0.new")
    assert other.read_bytes() == b"QRXREC01" + bytes(8)
    with pytest.raises(ValueError, match="path holds a NUL character"):
        _pyqrx._RecordReader(str(other) + "\0.new")
