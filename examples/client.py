#!/usr/bin/env python3
"""A market-data client: connects to a symbol server (or straight to a feed
handler such as examples/feed_handler.py), subscribes to a few symbols and
prints every update it receives, field by field, for a while.

    examples/client.py --port 7001 [--host 127.0.0.1] [--seconds 5] IBM MSFT

The updates reach a callable as (topic, data), where data maps field ids to
values; pyqrx.fieldName turns the ids into names. The cached image of each
topic comes first, through its own callable; the logon verdict, a lost or
restored data source and topics that do not exist arrive as status events.
Once logged on, the client asks the feed handler for its status with a
command and prints the answer.
"""

import argparse
import sys
import threading

import pyqrx


def describe(data):
    """The fields of an update as name=value text, in field id order."""
    parts = []
    for flid in sorted(data):
        name = pyqrx.fieldName(flid) or str(flid)
        value = data[flid]
        parts.append("%s=%s" % (name, "%g" % value if isinstance(value, float) else value))
    return " ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("symbols", nargs="*", default=["IBM", "MSFT", "AAPL"])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=7001)
    parser.add_argument("--user", default=None, help="logon user (default: this host)")
    parser.add_argument("--password", default=None)
    parser.add_argument("--seconds", type=float, default=5, help="how long to listen")
    args = parser.parse_args()

    listener = pyqrx.Symlistener()
    received = [0]

    def on_data(topic, data):
        # data is reused for the next update: copy it (dict(data)) to keep it.
        received[0] += 1
        print("client: %-6s %s" % (topic, describe(data)), flush=True)

    def on_snapshot(topic, data):
        print("client: %-6s [image] %s" % (topic, describe(data)), flush=True)

    def on_status(code, text):
        # code is a pyqrx.SymStatus: LOGIN_SUCCESS, LOGIN_ERROR, DATA_SOURCE_ERROR, ...
        print("client: status %s%s" % (code.name, " (%s)" % text if text else ""), flush=True)

    def on_symbol_status(topic, message, code):
        print("client: %s: %s (%s)" % (topic, code.name, message), flush=True)

    def on_response(response):
        print("client: %s answered %s: %s" % (response.name, response.statusName,
                                               response.params), flush=True)

    listener.onData(on_data)
    listener.onSnapshot(on_snapshot)
    listener.onStatus(on_status)
    listener.onSymbolStatus(on_symbol_status)
    try:
        # wait=True: True once the logon is accepted, pyqrx.LogonError if refused.
        connected = listener.connect(args.host, args.port, username=args.user,
                                     password=args.password, wait=True, timeout=5)
    except pyqrx.Error as e:
        print("client: %s" % e, file=sys.stderr)
        return 1
    if not connected:
        print("client: cannot connect to %s:%d" % (args.host, args.port), file=sys.stderr)
        return 1
    for symbol in args.symbols:
        listener.subscribe(symbol)
    listener.sendCommand(pyqrx.Command("status", {"detail": 1}), on_response)

    # loop() blocks until the connection ends; disconnect() is safe from any
    # thread, so a timer ends it after the listening time.
    timer = threading.Timer(args.seconds, listener.disconnect)
    timer.start()
    try:
        listener.loop()
    except KeyboardInterrupt:
        listener.disconnect()
    except Exception as e:  # loop() always ends with an exception
        if str(e) != "CONNECTION_ERROR":
            raise
    finally:
        timer.cancel()
    print("client: %d updates received" % received[0], flush=True)
    return 0 if received[0] > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
