"""qrx watch: a live table of topics in the terminal (curses)."""

import collections
import sys
import threading
import time

import pyqrx

from . import common
from .common import (EXIT_CONNECT, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_LOGON, EXIT_OK,
                     CliError, make_parser)
from .sub import add_connection_args

# How long a changed cell stays highlighted, and the window of the rate.
HIGHLIGHT = 1.0
RATE_WINDOW = 2.0
MAX_WIDTH = 16
HIDDEN = {common.TOPIC_FIELD, pyqrx.fieldId("symbol")}


def add_parser(subparsers):
    p = make_parser(
        subparsers, "watch", "a live table of topics",
        "Subscribes to the topics and shows a table that is redrawn in place: "
        "one row per topic, a column per field (--fields, or every field seen), "
        "the latest value in each cell, cells that changed in the last second "
        "highlighted (green up, red down, reversed otherwise) and the update "
        "rate per topic. Status events show on the bottom line. q or Ctrl-C "
        "quits and restores the terminal.\n\n"
        "exit codes: 0 ok, 1 the connection was lost, 2 usage, 3 cannot connect, "
        "4 logon refused, 130 interrupted",
        "qrx watch 127.0.0.1:7001 IBM MSFT AAPL --fields bid,ask,last,volume")
    add_connection_args(p)
    p.add_argument("--fields", help="comma-separated field names or ids to show")
    p.add_argument("--interval", type=float, default=0.25, metavar="S",
                   help="seconds between redraws (default 0.25)")
    p.add_argument("--highlight", type=float, default=HIGHLIGHT, metavar="S",
                   help="seconds a changed cell stays highlighted (default 1)")
    return p


class Board:
    """What the table shows, fed by the listener's thread and read by the
    drawing thread under one lock."""

    def __init__(self, topics, wanted):
        self.lock = threading.Lock()
        self.topics = topics
        self.wanted = wanted
        self.seen = set()
        self.values = {t: {} for t in topics}
        self.changed = {t: {} for t in topics}  # flid -> (time, direction)
        self.times = {t: collections.deque() for t in topics}
        self.status = "connected"
        self.refused = False
        self.closed = False

    def update(self, topic, data, count=True):
        now = time.monotonic()
        with self.lock:
            row = self.values.get(topic)
            if row is None:
                # A topic the table does not show: nothing of it is kept, or a
                # server sending other topics would grow the board without end.
                return
            marks = self.changed[topic]
            for flid, value in data.items():
                old = row.get(flid)
                if old != value:
                    direction = 0
                    if isinstance(value, (int, float)) and isinstance(old, (int, float)):
                        direction = 1 if value > old else -1
                    marks[flid] = (now, direction)
                    row[flid] = value
                self.seen.add(flid)
            if count:
                self.times[topic].append(now)

    def columns(self):
        if self.wanted is not None:
            return list(self.wanted)
        return sorted(f for f in self.seen if f not in HIDDEN)

    def rate(self, topic, now):
        times = self.times.get(topic)
        while times and times[0] < now - RATE_WINDOW:
            times.popleft()
        return len(times) / RATE_WINDOW if times else 0.0


def cell_text(value):
    if value is None:
        return ""
    if isinstance(value, float):
        return "%.10g" % value
    return str(value).replace("\0", "^@")  # as wide as put() shows it


def draw(screen, curses, board, title, highlight=HIGHLIGHT):
    now = time.monotonic()
    height, width = screen.getmaxyx()
    screen.erase()
    with board.lock:
        cols = board.columns()
        rows = [(t, board.values.get(t, {}), board.changed.get(t, {}), board.rate(t, now))
                for t in board.topics]
        status = board.status
    headers = ["topic"] + [common.field_key(f) for f in cols] + ["upd/s"]
    cells = [[t] + [cell_text(v.get(f)) for f in cols] + ["%.1f" % r] for t, v, _, r in rows]
    widths = [min(MAX_WIDTH, max([len(headers[i])] + [len(c[i]) for c in cells]))
              for i in range(len(headers))]

    def put(y, x, text, attr=0):
        # curses shows other control characters as ^X but refuses a NUL.
        text = text.replace("\0", "^@")
        if y < height and x < width:
            try:
                screen.addnstr(y, x, text, width - x, attr)
            except curses.error:
                pass  # the bottom-right cell cannot take a character

    put(0, 0, title, curses.A_BOLD)
    x = 0
    for i, h in enumerate(headers):
        put(2, x, h.rjust(widths[i]) if 0 < i else h.ljust(widths[i]), curses.A_UNDERLINE)
        x += widths[i] + 2
    for y, (cell_row, (topic, _, marks, _)) in enumerate(zip(cells, rows), 3):
        x = 0
        for i, text in enumerate(cell_row):
            attr = 0
            mark = marks.get(cols[i - 1]) if 0 < i <= len(cols) else None
            if mark is not None and now - mark[0] < highlight:
                # Numbers that moved are green or red, other changes reversed.
                if mark[1] and curses.has_colors():
                    attr = curses.color_pair(1 if mark[1] > 0 else 2)
                else:
                    attr = curses.A_REVERSE
            text = text[:widths[i]]
            put(y, x, text.ljust(widths[i]) if i == 0 else text.rjust(widths[i]), attr)
            x += widths[i] + 2
    put(height - 1, 0, (status + "   (q quits)")[:max(0, width - 1)], curses.A_DIM)
    screen.refresh()


def run(args):
    host, port = common.parse_address(args.address)
    wanted = common.parse_fields(args.fields) if args.fields else None
    if not 0 < args.interval < 1e6:
        raise CliError("--interval wants a number above 0")
    if not 0 <= args.highlight < 1e9:
        raise CliError("--highlight wants a number of seconds")
    import curses  # only this command needs it

    # A closed descriptor 0 or 1 leaves sys.stdin or sys.stdout None.
    if not (sys.stdin and sys.stdin.isatty() and sys.stdout and sys.stdout.isatty()):
        raise CliError("needs a terminal (qrx sub prints to a pipe or a file)")
    try:
        curses.setupterm()
    except curses.error as e:
        raise CliError("cannot draw on this terminal: %s" % e) from None

    topics = list(dict.fromkeys(args.topics))
    board = Board(topics, wanted)
    listener = pyqrx.Symlistener()
    listener.onData(lambda topic, data: board.update(topic, data))
    listener.onSnapshot(lambda topic, data: board.update(topic, data, count=False))

    def on_status(code, text, topic=None):
        with board.lock:
            if code == pyqrx.SymStatus.LOGIN_ERROR:
                board.refused = True
            board.status = time.strftime("%H:%M:%S ") + common.status_line(code, topic, text)

    listener.onStatus(on_status)
    listener.onSymbolStatus(lambda topic, message, code: on_status(code, message, topic))
    if not listener.connect(host, port, username=args.user, password=args.password):
        raise CliError("cannot connect to %s:%d" % (host, port), EXIT_CONNECT)
    for topic in topics:
        listener.subscribe(topic)

    quitting = threading.Event()

    def pump():
        try:
            listener.loop()
        except Exception:
            pass  # loop() always ends with an exception
        with board.lock:
            board.closed = not quitting.is_set()
            if board.closed:
                board.status = time.strftime("%H:%M:%S ") + "connection to %s:%d closed" % (
                    host, port)

    thread = threading.Thread(target=pump, daemon=True)
    thread.start()
    title = "qrx watch %s:%d" % (host, port)

    def show(screen):
        try:
            curses.curs_set(0)
        except curses.error:
            pass  # a terminal that cannot hide its cursor
        if curses.has_colors():
            curses.use_default_colors()
            curses.init_pair(1, curses.COLOR_BLACK, curses.COLOR_GREEN)
            curses.init_pair(2, curses.COLOR_WHITE, curses.COLOR_RED)
        screen.timeout(int(args.interval * 1000))
        while True:
            draw(screen, curses, board, title, args.highlight)
            key = screen.getch()
            if key in (ord("q"), ord("Q")):
                return

    interrupted = False
    try:
        curses.wrapper(show)
    except KeyboardInterrupt:
        interrupted = True
    except curses.error as e:
        raise CliError("cannot draw on this terminal: %s" % e, EXIT_FAILURE) from None
    finally:
        quitting.set()
        stopper = common.Stopper(listener.disconnect, 0)
        thread.join()
        stopper.done()
    if board.refused:
        return EXIT_LOGON
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILURE if board.closed else EXIT_OK
