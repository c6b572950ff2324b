#!/usr/bin/env python3
"""Commands, order books and translation, both ends in one program.

A feed handler (pyqrx.Symproxy) and a client (pyqrx.Symlistener) talk over a
loopback socket, each driven by the same little event loop:

1. the client sends a command with typed parameters; the feed handler answers
   with two responses in progress and a final one, the last large enough to
   travel in several parts (the client receives it whole);
2. the client subscribes to a depth topic; the feed handler publishes a book of
   five levels a side, which reaches the client's depth callable;
3. the client asks for a consolidated order book; the feed handler publishes it
   and reports the request's status;
4. with a symbol translation table, the client's "ABC.N" is the feed's "ABC".

    PYTHONPATH=build/python examples/commands_and_books.py [--port 7101]
"""

import argparse
import os
import select
import sys
import tempfile
import time

import pyqrx
from pyqrx import fields as F


def run_until(proxy, listener, done, timeout=10.0):
    """Drives both ends until done() holds: the proxy when its descriptor is
    ready (or writable while output waits), the listener when data came."""
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline:
            sys.exit("timed out")
        fd = proxy.getFd()
        writers = [fd] if proxy.wantsWrite() else []
        ready, writable, _ = select.select([fd, listener.getFd()], writers, [], 0.05)
        if (fd in ready or writable) and proxy.select() > 0:
            proxy.checkSocket()
        if listener.getFd() in ready:
            listener.dispatchEvents()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=7101)
    args = parser.parse_args()

    # ---- the feed handler ----
    proxy = pyqrx.Symproxy()
    subscribed = []
    proxy.onSubscribe(subscribed.append)

    def on_command(cmd):
        print("feed handler: command", cmd.name, cmd.params)
        # Rows as they are found, then the final answer with a large report.
        for row in range(2):
            proxy.sendResponse(pyqrx.Response(cmd, {"row": row, "px": 181.0 + row / 4},
                                              status=pyqrx.RESPONSE_IN_PROGRESS))
        final = pyqrx.Response(cmd, {"rows": 2}, chars={"state": "F"})
        # A parameter fits one message (15,359 bytes); many of them do not.
        for part in range(4):
            final.setText("report%d" % part, "x" * 10000)
        proxy.sendResponse(final)

    proxy.onCommand(on_command)

    def on_book_subscribe(request):
        print("feed handler: book request", request.id, request.topic)
        proxy.publishBook(pyqrx.Book(
            request.topic, pyqrx.BOOK_SNAPSHOT,
            infos=[pyqrx.BookInfo(5, request.topic + " call spread", "XCBO",
                                  [pyqrx.BookLeg(request.topic),
                                   pyqrx.BookLeg(request.topic, 20270115, -1, 150.0, "C",
                                                 isBid=False, isOption=True)],
                                  ids=(request.id,))],
            data=[pyqrx.BookData(5, bidPrice=31.1, bidSize=10, askPrice=31.4, askSize=12,
                                 aux={request.topic: {F.last: 181.2}}, ids=(request.id,))],
            ids=(request.id,)))
        proxy.sendBookStatus((request.id, "OK"))

    proxy.onBookSubscribe(on_book_subscribe)

    table = tempfile.NamedTemporaryFile("w", suffix=".xlate", delete=False)
    table.write("# client symbols, then the feed's\nABC.N,ABC ABC\n")
    table.close()
    proxy.enableSymbolTranslation(table.name)
    if not proxy.initialize(args.port):
        sys.exit("cannot listen on port %d" % args.port)

    # ---- the client ----
    listener = pyqrx.Symlistener()
    if not listener.connect("127.0.0.1", args.port, username="demo", password="pw"):
        sys.exit("cannot connect")
    responses, depth, books, statuses, updates = [], [], [], [], []

    # 1. A command and its responses.
    cmd = pyqrx.Command("scan", {"qty": 100, "px": 181.25, "note": "day"}, chars={"side": "B"})
    listener.sendCommand(cmd, responses.append)
    run_until(proxy, listener, lambda: responses and responses[-1].final)
    for rsp in responses:
        shown = {k: (v if not k.startswith("report") else "<%d bytes>" % len(v))
                 for k, v in rsp.params.items()}
        print("client: response", rsp.statusName, shown)

    # 2. A depth book.
    topic = pyqrx.depthTopic("IBM", "N")
    listener.onDepth(depth.append)
    listener.subscribe(topic)
    run_until(proxy, listener, lambda: topic in subscribed)
    proxy.publish(topic, pyqrx.depthFields(
        bids=[(181.20 - i / 100, 100 * (i + 1), "MM%d" % i) for i in range(5)],
        asks=[(181.30 + i / 100, 100 * (i + 1)) for i in range(5)]))
    run_until(proxy, listener, lambda: depth)
    book = depth[0]
    print("client: depth of %s at %s" % (book.symbol, book.source))
    for bid, ask in zip(book.bids, book.asks):
        print("   %5d %-4s %8.2f | %-8.2f %5d" % (bid.size, bid.quoter, bid.price, ask.price,
                                                   ask.size))

    # 3. A consolidated order book.
    listener.onBook(books.append)
    listener.onBookStatus(statuses.append)
    listener.subscribeBook(pyqrx.BookRequest(7, 0, "IBM"))
    run_until(proxy, listener, lambda: books and statuses)
    for data in books[0].data:
        print("client: book %d bid %s x %d ask %s x %d, legs %s" % (
            data.id, data.bidPrice, data.bidSize, data.askPrice, data.askSize,
            [leg.symbol for leg in books[0].infos[0].legs]))
    print("client: book request status", statuses[0])

    # 4. Translation: the client's ABC.N is the feed's ABC.
    listener.onData(lambda t, d: updates.append((t, d[F.bid])))
    listener.subscribe("ABC.N")
    run_until(proxy, listener, lambda: "ABC" in subscribed)
    proxy.publish("ABC", {F.bid: 12.5})
    run_until(proxy, listener, lambda: updates)
    print("client: feed handler saw", subscribed[-1], "; client got", updates[0])

    listener.disconnect()
    os.unlink(table.name)


if __name__ == "__main__":
    main()
