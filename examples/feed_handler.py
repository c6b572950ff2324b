#!/usr/bin/env python3
"""A feed handler: serves a simulated market to the symbol server (or to a
client connected directly, like examples/client.py).

It listens with a pyqrx.Symproxy, drives it from its own event loop, and a few
times a second moves the quotes of a handful of symbols and now and then
prints a trade. Every update is published with Symproxy.publish(topic, dict),
whose keys are field ids (see pyqrx.fieldId) and whose values are floats, ints,
strs or one-character strs, according to the field.

    examples/feed_handler.py --port 7001 [--seconds 30]

It answers the "status" command with what it serves, and every --outage
seconds (0: never) it plays a short loss of its exchange feed: the server
is told the data source went down, then that it is back.

Stops after --seconds (0: never), or on Ctrl-C or SIGTERM.
"""

import argparse
import random
import select
import signal
import sys
import time

import pyqrx

# Field ids by name, looked up once in the field dictionary.
F = {name: pyqrx.fieldId(name) for name in (
    "bid", "ask", "last", "high", "low", "volume", "bid_size", "ask_size", "trade_size",
    "update_time", "trade_time", "exchange", "company_name", "trade_direction")}


class Instrument:
    """The simulated state of one symbol: a random walk of its mid price."""

    def __init__(self, symbol, name, price, rng):
        self.symbol, self.name, self.rng = symbol, name, rng
        self.mid, self.high, self.low = price, price, price
        self.volume = 0
        self.last = price

    def quote(self):
        """Moves the market and returns the fields of a quote update."""
        self.mid = max(0.01, self.mid * (1 + self.rng.gauss(0, 0.0005)))
        spread = max(0.01, round(self.mid * 0.0004, 2))
        return {
            F["bid"]: round(self.mid - spread / 2, 2),
            F["ask"]: round(self.mid + spread / 2, 2),
            F["bid_size"]: self.rng.randrange(1, 50) * 100,
            F["ask_size"]: self.rng.randrange(1, 50) * 100,
            F["update_time"]: seconds_since_midnight(),
        }

    def trade(self):
        """A trade at the current mid price: the fields of a trade update."""
        price = round(self.mid, 2)
        size = self.rng.randrange(1, 20) * 100
        direction = "+" if price > self.last else "-" if price < self.last else "="
        self.last = price
        self.high, self.low = max(self.high, price), min(self.low, price)
        self.volume += size
        return {
            F["last"]: price,
            F["trade_size"]: size,
            F["volume"]: float(self.volume),
            F["high"]: self.high,
            F["low"]: self.low,
            F["trade_time"]: seconds_since_midnight(),
            F["trade_direction"]: direction,  # a character field: one-character str
        }

    def static(self):
        """Fields that do not move: sent once, kept in the proxy's snapshot."""
        return {F["company_name"]: self.name, F["exchange"]: "N"}


def seconds_since_midnight():
    t = time.localtime()
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=7001, help="port to listen on")
    parser.add_argument("--seconds", type=float, default=0, help="run time, 0 for ever")
    parser.add_argument("--rate", type=float, default=10, help="market moves per second")
    parser.add_argument("--outage", type=float, default=3,
                        help="seconds between simulated feed outages, 0 for none")
    args = parser.parse_args()

    rng = random.Random(1)
    market = [Instrument("IBM", "International Business Machines", 181.20, rng),
              Instrument("MSFT", "Microsoft", 402.75, rng),
              Instrument("AAPL", "Apple", 189.30, rng),
              Instrument("VOD.L", "Vodafone Group", 0.72, rng)]

    proxy = pyqrx.Symproxy()
    subscribed = set()

    # The callables: the proxy answers the logon itself and has already sent
    # the cached snapshot of a subscribed topic when onSubscribe is called.
    def on_logon(user, password):
        print("feed: logon from %r" % user, flush=True)

    def on_subscribe(topic):
        print("feed: subscribe %r" % (topic or "<all>"), flush=True)
        subscribed.add(topic)

    def on_unsubscribe(topic):
        if topic is None:  # the server went away: every subscription is gone
            print("feed: server disconnected", flush=True)
            subscribed.clear()
        else:
            print("feed: unsubscribe %r" % (topic or "<all>"), flush=True)
            subscribed.discard(topic)

    def on_command(command):
        # A command's name and typed parameters; the answer goes back by id.
        print("feed: command %r %s" % (command.name, command.params), flush=True)
        if command.name == "status":
            answer = {"symbols": len(market), "subscribed": len(subscribed),
                      "feed": "down" if outage else "up"}
            proxy.sendResponse(pyqrx.Response(command, answer))
        else:
            proxy.sendResponse(pyqrx.Response(command, {"error": "unknown command"}))

    proxy.onLogon(on_logon)
    proxy.onSubscribe(on_subscribe)
    proxy.onUnsubscribe(on_unsubscribe)
    proxy.onCommand(on_command)
    if not proxy.initialize(args.port):
        print("feed: cannot listen on port %d" % args.port, file=sys.stderr)
        return 1
    print("feed: listening on port %d" % args.port, flush=True)

    # Everything published is cached, so a later subscriber starts from a full
    # picture: static fields once, then a first quote and trade.
    for inst in market:
        proxy.publish(inst.symbol, inst.static())
        proxy.publish(inst.symbol, inst.quote())
        proxy.publish(inst.symbol, inst.trade())

    stopping = []
    outage = []  # non-empty while the simulated exchange feed is down
    next_outage = time.monotonic() + args.outage if args.outage > 0 else None
    signal.signal(signal.SIGTERM, lambda *_: stopping.append("SIGTERM"))
    deadline = time.monotonic() + args.seconds if args.seconds > 0 else None
    period = 1.0 / args.rate
    next_move = time.monotonic()
    try:
        while not stopping and (deadline is None or time.monotonic() < deadline):
            # The proxy is polled from our own loop: wait on its descriptor
            # (which changes when the server connects or leaves, hence getFd
            # on every turn) until the next market move is due; while output
            # waits for a slow server, for writability too.
            fd = proxy.getFd()
            wait = max(0.0, next_move - time.monotonic())
            if fd >= 0:
                writers = [fd] if proxy.wantsWrite() else []
                readable, writable, _ = select.select([fd], writers, [], wait)
                ready = readable or writable
            else:
                ready = False
            if ready and proxy.select() > 0:
                proxy.checkSocket()  # accept the server or handle its requests
            if next_outage is not None and time.monotonic() >= next_outage:
                # The server learns of it; its clients see the source go and come back.
                if outage:
                    outage.clear()
                    proxy.sendStatus(pyqrx.SymStatus.DATA_SOURCE_RESTORED, "exchange feed back")
                    next_outage += args.outage
                else:
                    outage.append(True)
                    proxy.sendStatus(pyqrx.SymStatus.DATA_SOURCE_ERROR, "exchange feed down")
                    next_outage += 0.5
            if time.monotonic() >= next_move:
                next_move += period
                if outage:
                    continue  # nothing comes from the exchange meanwhile
                inst = rng.choice(market)
                proxy.publish(inst.symbol, inst.quote())
                if rng.random() < 0.3:
                    proxy.publish(inst.symbol, inst.trade())
    except KeyboardInterrupt:
        stopping.append("Ctrl-C")
    proxy.closeClient()
    print("feed: stopped%s" % (" (%s)" % stopping[0] if stopping else ""), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
