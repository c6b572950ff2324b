"""qrx serve: a feed handler that publishes the records of a file."""

import csv
import io
import json
import math
import os
import stat

from . import common
from .common import EXIT_INPUT, EXIT_OK, CliError, make_parser, warn
from .feed import Feed


def add_pacing_args(p):
    p.add_argument("--speed", type=float, metavar="X",
                   help="play the times X times faster (0.5: half speed)")
    p.add_argument("--loop", action="store_true", help="start again at the end")
    p.add_argument("--no-wait", action="store_true",
                   help="start playing at once, not when the client has subscribed")


def add_parser(subparsers):
    p = make_parser(
        subparsers, "serve", "a feed handler publishing a file",
        "Listens on the port as a feed handler and publishes the records of FILE "
        "to the client that connects (a symbol server, or qrx sub directly). "
        "FILE holds JSON lines (one object per record: topic, optional time, "
        "and the fields by name or id, at the top level or under \"fields\", "
        "so qrx sub --json and qrx dump output serve as they are) or CSV with "
        "a header of field names (a topic column, an optional time column). "
        "Values take the type of their field. Differences of time (seconds) "
        "pace the playback; --rate N publishes N records a second instead, "
        "--speed X plays the times X times faster; without times or --rate "
        "records go out as fast as the client takes them. Playback starts once "
        "the client has subscribed to every topic of the file (or to all, or a "
        "second after its last new subscription); then the snapshot cache answers "
        "new subscriptions until SIGTERM or Ctrl-C.\n\n"
        "exit codes: 0 ok, 2 usage, 3 cannot listen, 5 unreadable or malformed file",
        "qrx serve --port 7001 ticks.jsonl\n"
        "qrx serve --port 7001 quotes.csv --rate 100 --loop\n"
        "printf 'topic,bid,ask\\nIBM,181.2,181.3\\n' > q.csv && qrx serve --port 7001 q.csv")
    p.add_argument("file", metavar="FILE", help="JSON lines or CSV")
    p.add_argument("--port", required=True, help="port to listen on")
    p.add_argument("--rate", type=float, metavar="N", help="records per second")
    p.add_argument("--format", choices=("json", "csv"), help="the file's format "
                   "(default: from its name or first character)")
    add_pacing_args(p)
    return p


def check_pacing(args):
    if args.speed is not None and not 0 < args.speed < 1e9:
        raise CliError("--speed wants a number above 0")
    if getattr(args, "rate", None) is not None and not 0 < args.rate < 1e9:
        raise CliError("--rate wants a number above 0")


def _endless_device(path):
    """Whether path names a device, which may never end (/dev/zero): read
    whole, it would take all the memory there is. The empty /dev/null is a
    file like any other; a FIFO or a pipe is read as it comes."""
    try:
        st = os.stat(path)
    except OSError:
        return False  # opening it says what is wrong
    if stat.S_ISCHR(st.st_mode):
        return st.st_rdev != os.makedev(1, 3)
    return stat.S_ISBLK(st.st_mode)


def read_text(path):
    if _endless_device(path):
        raise CliError("cannot read %s: a device, not a file" % path, EXIT_INPUT)
    try:
        # Bytes that are no UTF-8 (as qrx sub and qrx dump write a peer's) are kept.
        with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CliError("cannot read %s: %s" % (path, getattr(e, "strerror", None) or e),
                       EXIT_INPUT) from None
    # A byte order mark (spreadsheet programs begin their UTF-8 CSV with one) is
    # no part of the first line.
    return text[1:] if text.startswith("\ufeff") else text


def _field(key, where):
    flid = common.field_id(key)
    if flid is None:
        raise CliError("%s: unknown field name %r" % (where, key), EXIT_INPUT)
    return flid


def _time(value, where):
    try:
        t = float(value)
    except (TypeError, ValueError, OverflowError):
        t = math.nan
    if isinstance(value, bool) or not math.isfinite(t):
        raise CliError("%s: time wants a number of seconds, got %r" % (where, value), EXIT_INPUT)
    return t


def _topic(text, where):
    if "\0" in text:
        raise CliError("%s: the topic holds a NUL character" % where, EXIT_INPUT)
    if not common.encodable(text):
        raise CliError("%s: the topic is not UTF-8 text: %r" % (where, text), EXIT_INPUT)
    return text


def parse_json_lines(text, path):
    records = []
    # Lines end at "\n" only: text values may hold U+2028, U+0085 and the like
    # unescaped (qrx sub --json and qrx dump write them so).
    for n, line in enumerate(text.split("\n"), 1):
        if not line.strip():
            continue
        where = "%s:%d" % (path, n)
        try:
            obj = json.loads(line)
        except (ValueError, RecursionError) as e:  # RecursionError: arrays nested past the stack
            raise CliError("%s: not JSON: %s" % (where, e), EXIT_INPUT) from None
        if not isinstance(obj, dict):
            raise CliError("%s: wants a JSON object" % where, EXIT_INPUT)
        if obj.get("kind") in ("status", "topic status"):
            continue  # status events of a recording are not published
        topic = obj.get("topic")
        if not isinstance(topic, str) or not topic:
            raise CliError("%s: no topic" % where, EXIT_INPUT)
        _topic(topic, where)
        t = _time(obj["time"], where) if obj.get("time") is not None else None
        fields = obj.get("fields")
        if fields is None:
            fields = {k: v for k, v in obj.items() if k not in ("topic", "time", "kind",
                                                                 "snapshot")}
        elif not isinstance(fields, dict):
            raise CliError("%s: \"fields\" wants a JSON object" % where, EXIT_INPUT)
        data = {}
        for key, value in fields.items():
            flid = _field(key, where)
            if value is not None:
                data[flid] = common.coerce_value(flid, value, where)
        records.append((t, topic, data))
    return records


def parse_csv(text, path):
    rows = csv.reader(io.StringIO(text))
    try:
        header = next(rows, None)
    except csv.Error as e:
        raise CliError("%s:1: %s" % (path, e), EXIT_INPUT) from None
    if not header:
        raise CliError("%s:1: no header of field names" % path, EXIT_INPUT)
    names = [h.strip() for h in header]
    if "topic" not in names:
        raise CliError("%s:1: the header has no topic column" % path, EXIT_INPUT)
    columns = []
    for name in names:
        if name in ("topic", "time"):
            columns.append(name)
        else:
            columns.append(_field(name, "%s:1" % path))
    records = []
    try:
        for row in rows:
            where = "%s:%d" % (path, rows.line_num)
            if not row or all(not c.strip() for c in row):
                continue
            if len(row) != len(columns):
                raise CliError("%s: %d values for %d columns" % (where, len(row), len(columns)),
                               EXIT_INPUT)
            topic, t, data = None, None, {}
            for col, cell in zip(columns, row):
                if col == "topic":
                    topic = cell.strip()
                elif col == "time":
                    t = _time(cell, where) if cell.strip() else None
                elif cell != "":
                    value = cell if (col >> 9) >= 2 else cell.strip()
                    data[col] = common.coerce_value(col, value, where)
            if not topic:
                raise CliError("%s: no topic" % where, EXIT_INPUT)
            _topic(topic, where)
            records.append((t, topic, data))
    except csv.Error as e:
        raise CliError("%s:%d: %s" % (path, rows.line_num, e), EXIT_INPUT) from None
    return records


def load(path, fmt=None):
    """The records of a file as (time or None, topic, {field id: value})."""
    text = read_text(path)
    if fmt is None:
        lower = path.lower()
        if lower.endswith(".csv"):
            fmt = "csv"
        elif lower.endswith((".json", ".jsonl", ".ndjson")):
            fmt = "json"
        else:
            fmt = "json" if text.lstrip().startswith("{") else "csv"
    return parse_json_lines(text, path) if fmt == "json" else parse_csv(text, path)


def timeline_of(records, rate=None, speed=None):
    """(due, topic, data) per record: by --rate, else by the differences of
    the times divided by --speed, else at once."""
    out = []
    t0 = next((t for t, _, _ in records if t is not None), None)
    last = 0.0
    for i, (t, topic, data) in enumerate(records):
        if rate:
            due = i / rate
        elif t0 is None:
            due = None
        else:
            if t is not None:
                # Times that go back do not wait.
                last = max(last, (t - t0) / (speed or 1.0))
            due = last
        out.append((due, topic, data))
    return out


def run(args):
    port = common.parse_port(args.port)
    check_pacing(args)
    records = load(args.file, args.format)
    timeline = timeline_of(records, args.rate, args.speed)
    feed = Feed(port, "qrx serve")
    topics = {topic for _, topic, _ in records}
    try:
        feed.run(lambda: timeline, topics, loop=args.loop, wait=not args.no_wait)
    finally:
        warn("qrx serve", "published %d records from %s" % (feed.published, args.file))
    return EXIT_OK
