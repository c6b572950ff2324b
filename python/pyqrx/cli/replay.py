"""qrx replay: serve a recording back as a feed handler, with its pacing."""

import os
import stat

from . import common
from .common import EXIT_INPUT, EXIT_OK, CliError, make_parser, warn
from .dump import entries
from .feed import Feed
from .serve import add_pacing_args, check_pacing


def add_parser(subparsers):
    p = make_parser(
        subparsers, "replay", "serve a recording as a feed handler",
        "Listens on the port as a feed handler and publishes the updates and "
        "snapshot records of a recording made by qrx record, paced by their "
        "receive times (--speed X: X times faster; 0 for no pacing). FILE is "
        "read more than once, so it is a regular file, not a pipe. Status "
        "events are not published. Playback starts once the client has "
        "subscribed to every topic of the recording (or to all, or a second "
        "after its last new subscription); --loop plays it again and again. Runs "
        "until SIGTERM or Ctrl-C.\n\n"
        "exit codes: 0 ok, 2 usage, 3 cannot listen, 5 unreadable or malformed recording",
        "qrx replay session.qrx --port 7001\nqrx replay session.qrx --port 7001 --speed 10 --loop")
    p.add_argument("file", metavar="FILE", help="a recording")
    p.add_argument("--port", required=True, help="port to listen on")
    add_pacing_args(p)
    p.set_defaults(rate=None)
    return p


def run(args):
    port = common.parse_port(args.port)
    if args.speed == 0:
        speed = None  # as fast as the client takes
    else:
        check_pacing(args)
        speed = args.speed or 1.0
    # The whole recording is read once first: its topics, and any fault in it
    # before a port is opened. A pipe would be empty the second time.
    try:
        regular = stat.S_ISREG(os.stat(args.file).st_mode)
    except OSError:
        regular = True  # the reader says what is wrong with it
    if not regular:
        raise CliError("%s: not a regular file (qrx replay reads the recording more than once)"
                       % args.file, EXIT_INPUT)
    topics = set()
    first = None
    for when, kind, _, topic, _ in entries(args.file, decode=False):
        if kind <= 1:
            topics.add(topic)
            first = when if first is None else first

    def timeline():
        for when, kind, _, topic, data in entries(args.file):
            if kind <= 1:
                yield (None if speed is None else (when - first) / speed), topic, data

    feed = Feed(port, "qrx replay")
    try:
        feed.run(timeline, topics, loop=args.loop, wait=not args.no_wait)
    finally:
        warn("qrx replay", "published %d records from %s" % (feed.published, args.file))
    return EXIT_OK
