"""qrx record: write every update and status event of a session into a
recording (the format is described in the README and in record_file.h)."""

import os
import signal
import sys
import threading
import time

from pyqrx import _pyqrx

from . import common
from .common import (EXIT_CONNECT, EXIT_FAILURE, EXIT_INPUT, EXIT_INTERRUPTED, EXIT_LOGON,
                     EXIT_OK, CliError, make_parser, warn)
from .sub import add_connection_args, check_limits

PROG = "qrx record"


def add_parser(subparsers):
    p = make_parser(
        subparsers, "record", "record a session into a file",
        "Subscribes to the topics and writes every update, snapshot record and "
        "status event with its receive time into FILE, a compact binary "
        "recording (see the README; qrx dump prints it, qrx replay serves it). "
        "Runs until --count records, --seconds, the end of the connection, "
        "Ctrl-C, SIGTERM or SIGHUP; what arrived is written to the file at "
        "least once a second and whenever traffic pauses. A progress line (on "
        "a terminal) and a summary line go to standard error.\n\n"
        "exit codes: 0 ok, 1 connection lost or write failure, 2 usage, "
        "3 cannot connect, 4 logon refused, 5 cannot create FILE, 130 interrupted",
        "qrx record 127.0.0.1:7001 IBM MSFT -o session.qrx --seconds 60\n"
        "qrx dump session.qrx | head")
    add_connection_args(p)
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="the recording")
    p.add_argument("--count", type=int, metavar="N", help="stop after N records")
    p.add_argument("--seconds", type=float, metavar="S", help="stop after S seconds")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress line")
    return p


def size_text(n):
    for unit in ("bytes", "kB", "MB", "GB"):
        if n < 1000 or unit == "GB":
            return ("%d %s" if unit == "bytes" else "%.1f %s") % (n, unit)
        n /= 1000.0


def summary(stats, elapsed, path):
    records = stats["updates"] + stats["snapshots"]
    span = stats["last"] - stats["first"]
    # The rate over the span of receive times, first record to last.
    rate = " (%.0f updates/s)" % ((records - 1) / span) if records > 1 and span >= 0.01 else ""
    return ("%d updates, %d snapshot records, %d status events in %.2f s%s, %s to %s"
            % (stats["updates"], stats["snapshots"], stats["statuses"], elapsed, rate,
               size_text(stats["bytes"]), path))


def run(args):
    host, port = common.parse_address(args.address)
    check_limits(args)
    existed = os.path.lexists(args.output)
    try:
        rec = _pyqrx._Recorder(args.output)
    except Exception as e:
        raise CliError(str(e), EXIT_INPUT) from None
    if not rec.connect(host, port, username=args.user, password=args.password):
        rec.close()
        if not existed:  # only a file this command made (never /dev/null, say)
            try:
                os.unlink(args.output)
            except OSError:
                pass
        raise CliError("cannot connect to %s:%d" % (host, port), EXIT_CONNECT)
    for topic in dict.fromkeys(args.topics):
        rec.subscribe(topic)

    started = time.monotonic()
    done = threading.Event()
    progress = None
    if not args.quiet and sys.stderr.isatty():
        def report():
            while not done.wait(1.0):
                s = rec.stats()
                sys.stderr.write("\r%s: %d records, %s " % (
                    PROG, s["updates"] + s["snapshots"], size_text(s["bytes"])))
                sys.stderr.flush()
        progress = threading.Thread(target=report, daemon=True)
        progress.start()

    # SIGTERM and SIGHUP end the recording like --seconds would, with what
    # arrived so far written out.
    ending = (signal.SIGTERM, signal.SIGHUP)
    previous = {sig: signal.signal(sig, lambda *_: rec.stop()) for sig in ending}
    reason = "interrupted"
    failure = None
    try:
        reason = rec.run(args.seconds or 0.0, args.count or 0)
    except KeyboardInterrupt:
        pass
    except Exception as e:
        failure = str(e)
    finally:
        for sig in ending:
            signal.signal(sig, previous[sig])
        done.set()
        if progress is not None:
            progress.join()
            sys.stderr.write("\r")
    try:
        rec.close()
    except Exception as e:
        failure = failure or str(e)
    stats = rec.stats()
    warn(PROG, summary(stats, time.monotonic() - started, args.output))
    if failure:
        warn(PROG, failure)
        return EXIT_FAILURE
    if stats["logonRefused"]:
        warn(PROG, "logon refused by %s:%d" % (host, port))
        return EXIT_LOGON
    if reason == "interrupted":
        return EXIT_INTERRUPTED
    if reason == "closed":
        warn(PROG, "connection to %s:%d closed" % (host, port))
        return EXIT_FAILURE
    return EXIT_OK
