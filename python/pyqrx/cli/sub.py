"""qrx sub: subscribe to topics and print every update."""

import sys
import time

import pyqrx

from . import common
from .common import (EXIT_CONNECT, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_LOGON, EXIT_OK,
                     CliError, Stopper, make_parser)

# How long --snapshot waits for the images when --seconds does not say.
SNAPSHOT_WAIT = 5.0


def add_connection_args(p):
    """HOST:PORT, TOPIC... and the logon, as sub, watch and record take them."""
    p.add_argument("address", metavar="HOST:PORT", help="the server or feed handler")
    p.add_argument("topics", nargs="+", metavar="TOPIC", help="topics to subscribe to")
    p.add_argument("--user", "-u", help="logon user (default: this host's address)")
    p.add_argument("--password", "-p", help="logon password (default: empty)")


def add_parser(subparsers):
    p = make_parser(
        subparsers, "sub", "subscribe and print updates",
        "Subscribes to the topics and prints every update on a line: receive "
        "time, topic and name=value per field (or, with --json, one JSON object "
        "per line: topic, time, fields). Records of the image a server answers "
        "a subscription with are marked as snapshot. Status events (logon "
        "refused, topic unknown, source lost) go to standard error. Runs until "
        "--count updates, --seconds, the end of the connection or Ctrl-C.\n\n"
        "exit codes: 0 ok, 1 connection lost or no snapshot, 2 usage, "
        "3 cannot connect, 4 logon refused, 130 interrupted",
        "qrx sub 127.0.0.1:7001 IBM MSFT\n"
        "qrx sub 127.0.0.1:7001 IBM --fields bid,ask --count 10\n"
        "qrx sub 127.0.0.1:7001 IBM --json --seconds 5 > ibm.jsonl\n"
        "qrx sub 127.0.0.1:7001 IBM MSFT --snapshot")
    add_connection_args(p)
    p.add_argument("--json", action="store_true", help="one JSON object per line")
    p.add_argument("--fields", help="comma-separated field names or ids to print")
    p.add_argument("--count", type=int, metavar="N", help="stop after N updates")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    p.add_argument("--snapshot", action="store_true",
                   help="print each topic's current image and exit")
    return p


def check_limits(args):
    if args.count is not None and not 0 < args.count < 2**62:
        raise CliError("--count wants a number above 0")
    if args.seconds is not None and not 0 < args.seconds < 1e9:
        raise CliError("--seconds wants a number of seconds above 0")


def run(args):
    host, port = common.parse_address(args.address)
    wanted = common.parse_fields(args.fields) if args.fields else None
    check_limits(args)
    form = common.json_line if args.json else common.text_line
    prog = "qrx sub"
    out = sys.stdout
    topics = list(dict.fromkeys(args.topics))
    listener = pyqrx.Symlistener()

    printed = [0]
    stopping = [False]
    refused = [False]
    pending = set(topics)  # --snapshot: topics still without their image

    def stop():
        stopping[0] = True
        listener.disconnect()

    def emit(topic, data, snapshot):
        named = common.named_fields(data, wanted)
        if wanted is not None and not named:
            return  # none of the chosen fields changed
        out.write(form(time.time(), topic, named, snapshot) + "\n")
        printed[0] += 1
        if args.count is not None and printed[0] >= args.count:
            stop()

    def on_data(topic, data):
        if not stopping[0] and not args.snapshot:
            emit(topic, data, False)

    def on_snapshot(topic, data):
        if stopping[0] or (args.snapshot and topic not in pending):
            return
        emit(topic, data, True)
        if args.snapshot:
            pending.discard(topic)
            if not pending:
                stop()

    def on_status(code, text):
        if code == pyqrx.SymStatus.LOGIN_SUCCESS:
            return
        if code == pyqrx.SymStatus.LOGIN_ERROR:
            refused[0] = True
            common.warn(prog, "logon refused by %s:%d%s" % (host, port,
                                                           " (%s)" % text if text else ""))
            stop()
            return
        common.warn(prog, common.status_line(code, None, text))

    def on_symbol_status(topic, message, code):
        common.warn(prog, common.status_line(code, topic, message))
        if args.snapshot and code == pyqrx.SymStatus.SUBS_ERROR and topic in pending:
            pending.discard(topic)
            if not pending:
                stop()

    listener.onData(on_data)
    listener.onSnapshot(on_snapshot)
    listener.onStatus(on_status)
    listener.onSymbolStatus(on_symbol_status)
    if not listener.connect(host, port, username=args.user, password=args.password):
        raise CliError("cannot connect to %s:%d" % (host, port), EXIT_CONNECT)
    out.reconfigure(line_buffering=True)
    for topic in topics:
        listener.subscribe(topic)

    seconds = args.seconds
    if args.snapshot and seconds is None:
        seconds = SNAPSHOT_WAIT
    stopper = Stopper(stop, seconds)
    interrupted = False
    try:
        listener.loop()
    except KeyboardInterrupt:
        interrupted = True
    except Exception as e:  # loop() always ends with an exception
        if str(e) != "CONNECTION_ERROR":
            raise
    finally:
        stopper.done()
        listener.disconnect()
        out.flush()
    if refused[0]:
        return EXIT_LOGON
    if interrupted:
        return EXIT_INTERRUPTED
    if not stopping[0]:
        common.warn(prog, "connection to %s:%d closed" % (host, port))
        return EXIT_FAILURE
    if args.snapshot and pending:
        common.warn(prog, "no snapshot for %s" % ", ".join(t for t in topics if t in pending))
        return EXIT_FAILURE
    return EXIT_OK
