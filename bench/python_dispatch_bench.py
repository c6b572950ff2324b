#!/usr/bin/env python3
"""Speed of the pyqrx module from Python, each next to a baseline measured in
the same run:

1. Delivery: updates per second that a Symlistener hands to a Python callable
   (the 24-field quote record; the callable reads one field), read from a
   socket fed by another process, next to the floor: a presized dict with
   cached int keys built with the raw C API from records decoded beforehand,
   handed to the same callable (module pyqrx_dispatch_floor). Target: at most
   1.3 times the floor's time per update.
2. Publishing: Symproxy.publish calls per second for the same record, to a
   subscribed client in another process, next to a pure-Python encoder that
   writes the same wire bytes with struct and socket. Target: at least 3 times
   faster.
3. Batched publishing: publishMany of 100 ticks at a time to a reading
   client, next to single publish calls with no client connected (no write at
   all). Target: at most 1.3 times the time per tick.
4. Delivery in batches: updates per second through onDataBatch (every
   update of a dispatch at once, each dict its own) next to onData.
5. A stalled client: the same publish calls to a client that logs on,
   subscribes and then reads nothing, next to the reading client of 2. Target:
   at most 1.2 times the time per call (past the backlog's high-water mark the
   updates are conflated, never waited for).
6. Delivery against pyzmq: the updates per second of 1, next to a pyzmq SUB
   socket receiving the same quotes as plain structs, one a message, from a
   PUB in another process (no high-water mark: nothing dropped), each unpacked
   into the same dict and handed to the same callable. Target: at least 2.6
   times pyzmq's rate, the ratio when first measured (needs python3-zmq).

    PYTHONPATH=build/python /usr/bin/python3 bench/python_dispatch_bench.py

The build needs -DQRX_BUILD_BENCH=ON for the floor module.
"""

import argparse
import multiprocessing
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "python", "tests"))

import pyqrx  # noqa: E402
import pyqrx_dispatch_floor  # noqa: E402
import symwire as w  # noqa: E402

# The quote record: 10 doubles, 6 ints, 5 strings, 3 characters.
DOUBLES = ["bid", "ask", "last", "high", "low", "open", "close", "vwap", "volume", "net_change"]
INTS = ["bid_size", "ask_size", "trade_size", "update_time", "trade_time", "price_precision"]
STRINGS = ["symbol", "topic", "exchange", "currency", "last_exchange"]
CHARS = ["bid_direction", "ask_direction", "trade_direction"]
IDS = {name: pyqrx.fieldId(name) for name in DOUBLES + INTS + STRINGS + CHARS}
assert len(IDS) == 24 and None not in IDS.values()

TOPICS = ["SYM%03d" % i for i in range(100)]


def quote(i):
    """The i-th update: a quote of one of 100 symbols whose prices move."""
    topic = TOPICS[i % len(TOPICS)]
    base = 50.0 + (i % len(TOPICS)) + (i % 97) * 0.01
    rec = {}
    for k, name in enumerate(DOUBLES):
        rec[IDS[name]] = round(base + k * 0.25, 2)
    rec[IDS["volume"]] = float(1000 * i)
    for k, name in enumerate(INTS):
        rec[IDS[name]] = (i * 7 + k * 100) % 100000
    rec[IDS["price_precision"]] = 2
    rec.update({IDS["symbol"]: topic, IDS["topic"]: topic, IDS["exchange"]: "NYSE",
                IDS["currency"]: "USD", IDS["last_exchange"]: "ARCA"})
    for k, name in enumerate(CHARS):
        rec[IDS[name]] = "+-="[(i + k) % 3]
    return topic, rec


def reader(topic, data, _bid=IDS["bid"]):
    return data[_bid]


# ---- delivery -------------------------------------------------------------------


def start_relay(n):
    """A relay server process sending at least n quote updates; (process,
    port, the encoded records)."""
    bodies = [w.encode_record(quote(i)[1]) for i in range(1000)]
    ports = multiprocessing.Queue()
    proc = multiprocessing.Process(target=relay_server,
                                   args=(ports, bodies, n // len(bodies) + 2), daemon=True)
    proc.start()
    return proc, ports.get(timeout=30), bodies


def bench_delivery(n):
    proc, port, bodies = start_relay(n)

    lst = pyqrx.Symlistener()
    count = [0]
    start = [0.0]
    end = [0.0]

    def on_data(topic, data, _bid=IDS["bid"]):
        data[_bid]
        count[0] += 1
        if count[0] == 1:
            start[0] = time.perf_counter()  # from the first update on
        elif count[0] == n + 1:
            end[0] = time.perf_counter()
            lst.disconnect()  # the loop ends after the messages already read

    lst.onData(on_data)
    assert lst.connect("127.0.0.1", port)
    try:
        lst.loop()
    except Exception as e:
        assert str(e) == "CONNECTION_ERROR", e
    proc.terminate()
    proc.join()
    assert count[0] >= n + 1, count[0]
    elapsed = end[0] - start[0]
    module_ns = elapsed / n * 1e9

    floor_ns = pyqrx_dispatch_floor.deliver(reader, bodies, n) / n * 1e9
    return module_ns, floor_ns


def bench_batch_delivery(n):
    """ns per update through onDataBatch (a list of (topic, own dict) per
    dispatch), next to onData in the same run."""
    out = []
    for batched in (True, False):
        proc, port, _ = start_relay(n)
        lst = pyqrx.Symlistener()
        count = [0]
        clock = [0.0, 0.0]

        def seen(k):
            if count[0] == 0:
                clock[0] = time.perf_counter()
            count[0] += k
            if count[0] > n and not clock[1]:
                clock[1] = time.perf_counter()
                lst.disconnect()

        if batched:
            def on_batch(updates, _bid=IDS["bid"]):
                for topic, data in updates:
                    data[_bid]
                seen(len(updates))
            lst.onDataBatch(on_batch)
        else:
            def on_data(topic, data, _bid=IDS["bid"]):
                data[_bid]
                seen(1)
            lst.onData(on_data)
        assert lst.connect("127.0.0.1", port)
        try:
            lst.loop()
        except Exception as e:
            assert str(e) == "CONNECTION_ERROR", e
        proc.terminate()
        proc.join()
        out.append((clock[1] - clock[0]) / count[0] * 1e9)
    return tuple(out)


# The quote as a plain struct, the way a ZeroMQ publisher sends it: numbers, then
# the texts in fixed fields of 8 bytes, then the characters.
QUOTE_STRUCT = struct.Struct("<10d6i8s8s8s8s8s3c")
NUMBER_IDS = [IDS[name] for name in DOUBLES + INTS]
TEXT_IDS = [IDS[name] for name in STRINGS]
CHAR_IDS = [IDS[name] for name in CHARS]


def packed_quote(i):
    _, rec = quote(i)
    return QUOTE_STRUCT.pack(*([rec[k] for k in NUMBER_IDS] +
                               [rec[k].encode() for k in TEXT_IDS] +
                               [rec[k].encode() for k in CHAR_IDS]))


def zmq_publisher(port_queue, n):
    """Another process: an XPUB that waits for its subscriber, then sends n
    quotes, one a message, and keeps them all (no high-water mark)."""
    import zmq
    ctx = zmq.Context()
    pub = ctx.socket(zmq.XPUB)
    pub.setsockopt(zmq.SNDHWM, 0)
    port = pub.bind_to_random_port("tcp://127.0.0.1")
    port_queue.put(port)
    pub.recv()  # the subscription
    msgs = [packed_quote(i) for i in range(1000)]
    send = pub.send
    for i in range(n):
        send(msgs[i % 1000])
    time.sleep(60)


def bench_zmq_delivery(n):
    """ns per update delivered to the callable as a dict through pyzmq, or None
    without python3-zmq."""
    try:
        import zmq
    except ImportError:
        return None
    ports = multiprocessing.Queue()
    proc = multiprocessing.Process(target=zmq_publisher, args=(ports, n + 1), daemon=True)
    proc.start()
    ctx = zmq.Context()
    sub = ctx.socket(zmq.SUB)
    sub.setsockopt(zmq.RCVHWM, 0)
    sub.connect("tcp://127.0.0.1:%d" % ports.get(timeout=30))
    sub.setsockopt(zmq.SUBSCRIBE, b"")
    unpack = QUOTE_STRUCT.unpack
    numbers, texts, chars = NUMBER_IDS, TEXT_IDS, CHAR_IDS
    recv = sub.recv
    callback = reader
    start = 0.0
    for k in range(n + 1):
        values = unpack(recv())
        data = dict(zip(numbers, values[:16]))
        for flid, v in zip(texts, values[16:21]):
            data[flid] = v.rstrip(b"\0").decode()
        for flid, v in zip(chars, values[21:]):
            data[flid] = v.decode("latin-1")
        callback(TOPICS[0], data)
        if k == 0:
            start = time.perf_counter()  # from the first update on, as for the Symlistener
    elapsed = time.perf_counter() - start
    sub.close(0)
    ctx.term()
    proc.terminate()
    proc.join()
    return elapsed / n * 1e9


def relay_server(port_queue, bodies, rounds):
    """Another process: listens, accepts the listener, blasts update messages."""
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    port_queue.put(srv.getsockname()[1])
    c, _ = srv.accept()
    c.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    chunk = bytearray()
    body = b""
    for rec in bodies:
        if len(body) + len(rec) > 4000:
            chunk += w.frame(w.DATA, w.DATA_UPDATE, w.text(body))
            body = b""
        body += rec
    chunk += w.frame(w.DATA, w.DATA_UPDATE, w.text(body))
    chunk = bytes(chunk)
    try:
        for _ in range(rounds):
            c.sendall(chunk)
        time.sleep(60)
    except OSError:
        pass


# ---- publishing --------------------------------------------------------------------


def stalled_client(port, topic, ready):
    """Another process: a symbol server that logs on, subscribes and then reads
    nothing at all."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
    s.connect(("127.0.0.1", port))
    s.sendall(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"bench", b"")) +
              w.frame(w.SUBSCRIBE, 0, w.text(topic)))
    ready.set()
    time.sleep(600)


def drain_client(port, topic, ready):
    """Another process: a symbol server that logs on, subscribes and reads all."""
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    s.sendall(w.frame(w.LOGIN, w.LOGIN, w.login_body(b"bench", b"")) +
              w.frame(w.SUBSCRIBE, 0, w.text(topic)))
    ready.set()
    buf = bytearray(1 << 20)
    try:
        while s.recv_into(buf):
            pass
    except OSError:
        pass


class PyEncoder:
    """The same wire bytes as Symproxy.publish, in pure Python: one update
    message holding one record per call, written with sendall."""

    def __init__(self, sock):
        self.sock = sock
        self.d = struct.Struct(">d")
        self.i = struct.Struct(">i")
        self.h = struct.Struct(">h")
        self.hdr = struct.Struct(">Hhhh")
        self.H = struct.Struct(">H")

    def publish(self, topic, data):
        groups = {}
        for flid in data:
            groups.setdefault(flid >> 3, []).append(flid)
        out = [self.h.pack(len(data))]
        for g in sorted(groups):
            ids = sorted(groups[g], reverse=True)
            mask = 0
            for flid in ids:
                mask |= 1 << (flid & 7)
            out.append(bytes((g, mask)))
            kind = g >> 6
            for flid in ids:
                v = data[flid]
                if kind == 0:
                    out.append(self.d.pack(v))
                elif kind == 1:
                    out.append(self.i.pack(v))
                elif kind == 2:
                    b = v.encode("utf-8", "surrogateescape")
                    out.append(self.H.pack(len(b)))
                    out.append(b)
                else:
                    out.append(v.encode("latin-1"))
        body = b"".join(out)
        msg = self.hdr.pack(10 + len(body), 15, 2, 0) + self.H.pack(len(body)) + body
        if self.sock is not None:
            self.sock.sendall(msg)


def bench_updates():
    updates = [quote(i) for i in range(1000)]
    # Every update goes to the one subscribed topic, so that all are sent.
    for _, rec in updates:
        rec[IDS["topic"]] = rec[IDS["symbol"]] = "BENCH"
    return updates


def publish_to(client, n, batch=0):
    """ns per Symproxy.publish call (or per tick of publishMany calls of batch
    ticks) to a client process of the given kind."""
    updates = bench_updates()
    port = w.free_port()
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    assert proxy.initialize(port)
    ready = multiprocessing.Event()
    proc = multiprocessing.Process(target=client, args=(port, "BENCH", ready), daemon=True)
    proc.start()
    ready.wait(30)
    w.pump(proxy, lambda: subs == ["BENCH"], timeout=30)
    start = time.perf_counter()
    if batch:
        publish_many = proxy.publishMany
        items = [("BENCH", rec) for _, rec in updates]
        for i in range(0, n, batch):
            k = i % 1000
            publish_many(items[k:k + batch])
    else:
        publish = proxy.publish
        for i in range(n):
            publish("BENCH", updates[i % 1000][1])
    module_ns = (time.perf_counter() - start) / n * 1e9
    proxy.closeClient()
    if client is stalled_client:
        proc.terminate()
    proc.join(30)
    return module_ns


def bench_stalled(n):
    """The same calls to a client that reads nothing, next to one that reads."""
    return publish_to(stalled_client, n), publish_to(drain_client, n)


def bench_batched(n):
    """publishMany of 100 ticks to a reading client, next to publish() with no client."""
    batched_ns = publish_to(drain_client, n, batch=100)
    return batched_ns, bench_encode_only(n)[0]


def bench_publish(n):
    updates = bench_updates()
    module_ns = publish_to(drain_client, n)

    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    ready = multiprocessing.Event()
    proc = multiprocessing.Process(target=drain_client,
                                   args=(srv.getsockname()[1], "BENCH", ready), daemon=True)
    proc.start()
    conn, _ = srv.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    enc = PyEncoder(conn)
    start = time.perf_counter()
    for i in range(n):
        enc.publish("BENCH", updates[i % 1000][1])
    python_ns = (time.perf_counter() - start) / n * 1e9
    conn.close()
    srv.close()
    proc.join(30)
    return module_ns, python_ns


def bench_encode_only(n):
    """The same two, with nobody to send to: the cost of the calls themselves."""
    updates = [quote(i)[1] for i in range(1000)]
    proxy = pyqrx.Symproxy()
    assert proxy.initialize(w.free_port())
    publish = proxy.publish
    start = time.perf_counter()
    for i in range(n):
        publish("BENCH", updates[i % 1000])
    module_ns = (time.perf_counter() - start) / n * 1e9
    enc = PyEncoder(None)
    start = time.perf_counter()
    for i in range(n):
        enc.publish("BENCH", updates[i % 1000])
    return module_ns, (time.perf_counter() - start) / n * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--updates", type=int, default=300000)
    parser.add_argument("--publishes", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=3, help="runs; the best is reported")
    args = parser.parse_args()

    # The library logs connection events on standard error; keep the table clean.
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved = os.dup(2)
    os.dup2(devnull, 2)
    try:
        delivery = min((bench_delivery(args.updates) for _ in range(args.repeat)),
                       key=lambda r: r[0] / r[1])
        publishing = min((bench_publish(args.publishes) for _ in range(args.repeat)),
                         key=lambda r: r[0] / r[1])
        encoding = min((bench_encode_only(args.publishes) for _ in range(args.repeat)),
                       key=lambda r: r[0] / r[1])
        batched = sorted((bench_batched(args.publishes) for _ in range(args.repeat)),
                         key=lambda r: r[0] / r[1])[args.repeat // 2]
        batch_delivery = sorted((bench_batch_delivery(args.updates) for _ in range(args.repeat)),
                                key=lambda r: r[0] / r[1])[args.repeat // 2]
        stalled = sorted((bench_stalled(3 * args.publishes) for _ in range(args.repeat)),
                         key=lambda r: r[0] / r[1])[args.repeat // 2]
        # Each pairs a Symlistener run with a pyzmq run; the median of the ratios.
        versus_zmq = [(bench_delivery(args.updates)[0], bench_zmq_delivery(args.updates))
                      for _ in range(args.repeat)]
    finally:
        os.dup2(saved, 2)

    module_ns, floor_ns = delivery
    print("delivery of the 24-field quote to a callable (best of %d)" % args.repeat)
    print("  Symlistener (socket, decode, dict, call) %8.0f ns/update %10.0f updates/s"
          % (module_ns, 1e9 / module_ns))
    print("  floor (raw C API dict, call)             %8.0f ns/update %10.0f updates/s"
          % (floor_ns, 1e9 / floor_ns))
    print("  ratio %.2f (target <= 1.3)" % (module_ns / floor_ns))
    pub_ns, py_ns = publishing
    print("publishing the same record (best of %d)" % args.repeat)
    print("  Symproxy.publish                         %8.0f ns/update %10.0f updates/s"
          % (pub_ns, 1e9 / pub_ns))
    print("  pure-Python struct encoder + sendall     %8.0f ns/update %10.0f updates/s"
          % (py_ns, 1e9 / py_ns))
    print("  speed-up %.2f (target >= 3)" % (py_ns / pub_ns))
    pub_ns, py_ns = encoding
    print("the same calls with no server connected (no write system call)")
    print("  Symproxy.publish (snapshot kept, nothing encoded) %8.0f ns/update" % pub_ns)
    print("  pure-Python struct encoder (bytes built)          %8.0f ns/update" % py_ns)
    batched_ns, alone_ns = batched
    ratio = batched_ns / alone_ns
    print("batched publishing, 100 ticks per publishMany (median of %d)" % args.repeat)
    print("  publishMany to a reading client           %8.0f ns/tick" % batched_ns)
    print("  publish with no client connected          %8.0f ns/tick" % alone_ns)
    print("  ratio %.2f (target <= 1.3): %s" % (ratio, "met" if ratio <= 1.3 else "MISSED"))
    batch_ns, single_ns = batch_delivery
    print("delivery in batches, onDataBatch (median of %d)" % args.repeat)
    print("  onDataBatch (a list of own dicts per dispatch) %8.0f ns/update %10.0f updates/s"
          % (batch_ns, 1e9 / batch_ns))
    print("  onData (the reused dict, a call per update)    %8.0f ns/update %10.0f updates/s"
          % (single_ns, 1e9 / single_ns))
    stalled_ns, reading_ns = stalled
    ratio = stalled_ns / reading_ns
    print("publishing to a client that stops reading (median of %d)" % args.repeat)
    print("  Symproxy.publish, client reads nothing    %8.0f ns/update" % stalled_ns)
    print("  Symproxy.publish, client reads everything %8.0f ns/update" % reading_ns)
    print("  ratio %.2f (target <= 1.2): %s" % (ratio, "met" if ratio <= 1.2 else "MISSED"))
    print("delivery to a callable against pyzmq (median of %d)" % args.repeat)
    if any(z is None for _, z in versus_zmq):
        print("  not measured: python3-zmq is not installed")
    else:
        module_ns, zmq_ns = sorted(versus_zmq, key=lambda r: r[1] / r[0])[args.repeat // 2]
        print("  Symlistener (socket, decode, dict, call)   %8.0f ns/update %10.0f updates/s"
              % (module_ns, 1e9 / module_ns))
        print("  pyzmq SUB (recv, struct unpack, dict, call) %7.0f ns/update %10.0f updates/s"
              % (zmq_ns, 1e9 / zmq_ns))
        ratio = zmq_ns / module_ns
        print("  rate ratio %.2f (target >= 2.6, the ratio when first measured): %s"
              % (ratio, "met" if ratio >= 2.6 else "MISSED"))


if __name__ == "__main__":
    main()
