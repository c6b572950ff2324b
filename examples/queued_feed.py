#!/usr/bin/env python3
"""A feed handler whose ticks come from several threads: each producer thread
publishes one symbol's quotes and its depth book through the queued mode of
pyqrx.Symproxy, while serve() owns the socket on a thread of its own.

    examples/queued_feed.py --port 7001 [--ticks 1000] [--seconds 10]

A subscription to a topic the feed does not carry is answered with a topic
status (the client's onSymbolStatus gets SymStatus.SUBS_ERROR); when the
producers are done the feed reports its data source lost, so that clients
know no more updates come. Pair it with examples/topics_client.py.
"""

import argparse
import sys
import threading
import time

import pyqrx
from pyqrx import SymStatus, fields

SYMBOLS = ("IBM", "MSFT", "ORCL", "SAP")
SOURCE = "NSDQ"


def produce(proxy, symbol, ticks, subscribed, stop):
    depth = pyqrx.depthTopic(symbol, SOURCE)
    while not subscribed.wait(0.1):  # the market opens for the first subscriber
        if stop.is_set():
            return
    for i in range(ticks):
        if stop.is_set():
            return
        bid = 100.0 + (i % 50) * 0.01
        proxy.publish(symbol, {fields.bid: bid, fields.ask: bid + 0.02,
                               fields.bid_size: 100 + i % 7, fields.update_time: i})
        proxy.publish(depth, {fields.bid: bid, fields.bid_size: 500 + i % 11})
        time.sleep(0.001)  # a market that moves, not a flood


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=7001)
    parser.add_argument("--ticks", type=int, default=1000, help="quotes per symbol")
    parser.add_argument("--seconds", type=float, default=10, help="how long to serve")
    args = parser.parse_args()

    proxy = pyqrx.Symproxy()
    known = set(SYMBOLS) | {pyqrx.depthTopic(s, SOURCE) for s in SYMBOLS}
    subscribed = threading.Event()

    def on_subscribe(topic):
        # Runs on the serving thread; "" stands for every topic.
        subscribed.set()
        if topic and topic not in known:
            proxy.sendSymbolStatus(topic, SymStatus.SUBS_ERROR, "not carried by this feed")

    proxy.onSubscribe(on_subscribe)
    if not proxy.initialize(args.port, queued=True):
        print("queued_feed: cannot listen on port %d" % args.port, file=sys.stderr)
        return 1
    print("queued_feed: serving on port %d" % args.port, flush=True)
    server = threading.Thread(target=proxy.serve, args=(args.seconds,))
    server.start()
    stop = threading.Event()
    producers = [threading.Thread(target=produce, args=(proxy, s, args.ticks, subscribed, stop))
                 for s in SYMBOLS]
    try:
        for p in producers:
            p.start()
        for p in producers:
            while p.is_alive() and server.is_alive():
                p.join(0.2)
        stop.set()
        proxy.sendStatus(SymStatus.DATA_SOURCE_ERROR, "simulated market closed")
        server.join()
    except KeyboardInterrupt:
        stop.set()
        proxy.stop()
        server.join()
    print("queued_feed: %(ticksFlushed)d ticks published, %(ticksSent)d sent"
          % proxy.stats(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
