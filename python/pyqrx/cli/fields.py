"""qrx fields: the field dictionary (id, name, type), filtered."""

import re

import pyqrx

from . import common
from .common import EXIT_FAILURE, TYPE_NAMES, CliError, make_parser


def add_parser(subparsers):
    p = make_parser(
        subparsers, "fields", "the field dictionary",
        "Lists the named fields of the dictionary: id, name and type (float for "
        "ids 0-511, int 512-1023, str 1024-1535, char 1536-2047). PATTERN is a "
        "regular expression searched in the names, case ignored, or a field id.",
        "qrx fields size\nqrx fields '^bid' --type float\nqrx fields 1074")
    p.add_argument("pattern", nargs="?", metavar="PATTERN", help="regular expression or id")
    p.add_argument("--type", choices=TYPE_NAMES, help="only fields of this type")
    return p


def run(args):
    by_id = args.pattern is not None and args.pattern.isdecimal()
    wanted_id = common.decimal(args.pattern) if by_id else None
    try:
        regex = re.compile("" if by_id else args.pattern or "", re.IGNORECASE)
    except re.error as e:
        raise CliError("bad pattern %r: %s" % (args.pattern, e)) from None

    def wanted(flid, name):
        return flid == wanted_id if by_id else regex.search(name) is not None
    lines = []
    for flid in range(2048):
        name = pyqrx.fieldName(flid)
        kind = TYPE_NAMES[flid >> 9]
        if name is None or (args.type and kind != args.type) or not wanted(flid, name):
            continue
        lines.append("%4d  %-32s %s" % (flid, name, kind))
    if not lines:
        raise CliError("no field matches %r" % (args.pattern or ""), EXIT_FAILURE)
    print("\n".join(lines))
    return 0
