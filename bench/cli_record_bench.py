#!/usr/bin/env python3
"""Recording rate of `qrx record`: updates per second written into the
recording, with the peer in another process.

A symbol server (a child process speaking the wire protocol from
python/tests/symwire.py) accepts the recorder, takes its logon and
subscriptions, and sends N quote updates (10 fields each, 100 topics) as fast
as the socket takes them, in messages cut like a feed handler's (at most 255
records and about 4 kB of body). `qrx record --count N` runs as a child
process; its summary line states the rate over the receive times of the
first and last update. Target: at least 500,000 updates per second.

    PYTHONPATH=build/python /usr/bin/python3 bench/cli_record_bench.py [--updates N]
"""

import argparse
import multiprocessing
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "python", "tests"))

import symwire as w  # noqa: E402

TARGET = 500000
TOPICS = ["SYM%03d" % i for i in range(100)]


def quote(i):
    topic = TOPICS[i % len(TOPICS)]
    base = 50.0 + (i % 97) * 0.01
    return {w.TOPIC: topic, w.BID: base, w.ASK: base + 0.01, w.LAST: base + 0.005,
            w.BID_SIZE: 100 + i % 50, w.ASK_SIZE: 200 + i % 30, w.TRADE_SIZE: i % 1000,
            w.UPDATE_TIME: 36000 + i % 3600, w.EXCHANGE: "N", w.TRADE_DIRECTION: "+"}


def frames(n):
    """n updates as data messages of up to 255 records and about 4 kB."""
    out, batch, size = [], [], 0
    for i in range(n):
        body = w.encode_record(quote(i))
        if batch and (len(batch) == 255 or size + len(body) > 4095):
            out.append(w.data_frame(batch))
            batch, size = [], 0
        batch.append(body)
        size += len(body)
    if batch:
        out.append(w.data_frame(batch))
    return b"".join(out)


def serve(server, n, ready):
    block = frames(10000)
    reps, rest = divmod(n, 10000)
    tail = frames(rest) if rest else b""
    ready.set()
    peer = server.accept()
    peer.expect(w.LOGIN)
    peer.send(w.frame(w.STATUS, w.STATUS_LOGIN_OK))
    peer.expect(w.SUBSCRIBE)
    for _ in range(reps):
        peer.sock.sendall(block)
    peer.sock.sendall(tail)
    peer.wait_closed()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--updates", type=int, default=2000000)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    rates = []
    for _ in range(args.runs):
        server = w.ScriptedServer()
        ready = multiprocessing.Event()
        child = multiprocessing.Process(target=serve, args=(server, args.updates, ready))
        child.start()
        ready.wait()
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "bench.qrx")
            proc = subprocess.run(
                [sys.executable, "-m", "pyqrx", "record", "127.0.0.1:%d" % server.port, "SYM000",
                 "-o", path, "--count", str(args.updates), "--quiet"],
                capture_output=True, text=True)
            size = os.path.getsize(path) if os.path.exists(path) else 0
        child.join()
        server.close()
        line = proc.stderr.strip().splitlines()[0] if proc.stderr.strip() else ""
        m = re.search(r"\((\d+) updates/s\)", line)
        if proc.returncode != 0 or m is None:
            print("record failed (%d): %s" % (proc.returncode, proc.stderr.strip()))
            return 1
        rates.append(int(m.group(1)))
        print("%s  [%.1f bytes per update]" % (line, size / args.updates))
    best = max(rates)
    print("recording rate: best %d, median %d updates/s over %d runs; target %d: %s"
          % (best, sorted(rates)[len(rates) // 2], len(rates), TARGET,
             "met" if best >= TARGET else "MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
