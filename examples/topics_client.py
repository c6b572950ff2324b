#!/usr/bin/env python3
"""A client that shows what besides plain updates reaches a pyqrx.Symlistener:
the logon's verdict and data-source status, a topic's status, the images of
every topic between their start and end markers, and the updates of depth
topics with their parsed topic.

    examples/topics_client.py --port 7001 [--seconds 5] [--source NSDQ] IBM MSFT

Pair it with examples/queued_feed.py. It also subscribes to a topic nobody
carries, to show the topic status a feed answers with.
"""

import argparse
import sys
import threading

import pyqrx


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("symbols", nargs="*", default=["IBM", "MSFT"])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=7001)
    parser.add_argument("--source", default="NSDQ", help="source of the depth topics")
    parser.add_argument("--seconds", type=float, default=5, help="how long to listen")
    args = parser.parse_args()

    listener = pyqrx.Symlistener()
    counts = {"updates": 0, "depth": 0, "snapshots": 0}

    def on_status(code, text):
        print("status: %s %s" % (code.name, text), flush=True)

    def on_symbol_status(topic, message, code):
        print("topic status: %r %s %s" % (topic, code.name, message), flush=True)

    def on_data(topic, data):
        counts["updates"] += 1
        if counts["updates"] % 500 == 1:
            print("update: %s %s" % (topic, pyqrx.named(data)), flush=True)

    def on_topic_data(topic, data):
        # topic is a pyqrx.Topic: immutable, the same object for the same text.
        counts["depth"] += 1
        if counts["depth"] % 500 == 1:
            print("depth: %s %s from source %d: bid %s" % (
                topic.type.name, topic.symbol, topic.source, data.get(pyqrx.fields.bid)),
                flush=True)

    def on_snapshot(topic, data):
        counts["snapshots"] += 1
        print("snapshot: %r %s" % (topic, pyqrx.named(data)), flush=True)

    listener.onStatus(on_status)
    listener.onSymbolStatus(on_symbol_status)
    listener.onData(on_data)
    listener.onTopicData(on_topic_data)
    listener.onSnapshot(on_snapshot)
    listener.onSnapshotStart(lambda: print("-- images of every topic --", flush=True))
    listener.onSnapshotEnd(lambda: print("-- end of the images --", flush=True))
    try:
        listener.connect(args.host, args.port, "demo", "demo", wait=True, timeout=10)
    except pyqrx.Error as e:
        print("topics_client: %s" % e, file=sys.stderr)
        return 1
    except OSError:
        pass
    if listener.getFd() < 0:
        print("topics_client: cannot connect to %s:%d" % (args.host, args.port),
              file=sys.stderr)
        return 1
    listener.subscribeList(args.symbols)
    listener.subscribeList([pyqrx.depthTopic(s, args.source) for s in args.symbols])
    listener.subscribe("NOT-CARRIED")
    # A little later: the images of everything cached so far, between the markers.
    threading.Timer(args.seconds / 2, listener.snapshotAll).start()
    timer = threading.Timer(args.seconds, listener.disconnect)
    timer.start()
    try:
        listener.loop()
    except pyqrx.ConnectionClosed:
        pass
    except KeyboardInterrupt:
        listener.disconnect()
    finally:
        timer.cancel()
    print("topics_client: %(updates)d updates, %(depth)d depth updates, "
          "%(snapshots)d snapshot records" % counts, flush=True)
    return 0 if counts["updates"] else 1


if __name__ == "__main__":
    sys.exit(main())
