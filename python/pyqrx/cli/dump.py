"""qrx dump: a recording as JSON lines."""

import json
import sys

from pyqrx import _pyqrx

from . import common
from .common import EXIT_INPUT, CliError, make_parser

KINDS = ("update", "snapshot", "status", "topic status")


def add_parser(subparsers):
    p = make_parser(
        subparsers, "dump", "print a recording as JSON lines",
        "Prints each entry of a recording made by qrx record as a JSON object on "
        "a line: time (seconds since the epoch), kind (update, snapshot, status "
        "or topic status), topic, and the fields by name, or for status events "
        "the code, its meaning and the text. qrx serve takes the output back.\n\n"
        "exit codes: 0 ok, 2 usage, 5 unreadable or malformed recording",
        "qrx dump session.qrx\nqrx dump session.qrx --topic IBM --fields bid,ask")
    p.add_argument("file", metavar="FILE", help="a recording")
    p.add_argument("--topic", action="append", metavar="TOPIC",
                   help="only this topic (repeatable)")
    p.add_argument("--fields", help="comma-separated field names or ids to print")
    return p


def entries(path, decode=True):
    """The entries of a recording; CliError for an unreadable or broken one.
    Without decode, records come without their fields (None)."""
    try:
        reader = _pyqrx._RecordReader(path, decode)
    except Exception as e:
        raise CliError(str(e), EXIT_INPUT) from None
    while True:
        try:
            entry = next(reader)
        except StopIteration:
            return
        except Exception as e:
            raise CliError(str(e), EXIT_INPUT) from None
        yield entry


def entry_json(entry, wanted=None):
    when, kind, code, topic, payload = entry
    obj = {"time": round(when, 9), "kind": KINDS[kind]}
    if kind <= 1:
        obj["topic"] = topic
        obj["fields"] = common.json_safe(common.named_fields(payload, wanted))
    else:
        if kind == 3:
            obj["topic"] = topic
        obj.update(code=code, status=common.STATUS_TEXT.get(code, "status %d" % code),
                   text=payload)
    return json.dumps(obj, ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def run(args):
    wanted = common.parse_fields(args.fields) if args.fields else None
    topics = set(args.topic or ())
    out = sys.stdout
    for entry in entries(args.file):
        if topics and entry[3] not in topics:
            continue
        out.write(entry_json(entry, wanted) + "\n")
    return 0
