"""Helpers shared by the qrx commands: exit codes, one-line errors, addresses,
field names and the text and JSON forms of an update."""

import argparse
import datetime
import json
import math
import sys
import textwrap
import threading

import pyqrx

EXIT_OK = 0
EXIT_FAILURE = 1      # the connection was lost, an output could not be written
EXIT_USAGE = 2        # bad arguments: unknown field, bad address, bad value
EXIT_CONNECT = 3      # cannot connect to the server, or cannot listen on the port
EXIT_LOGON = 4        # the server refused the logon
EXIT_INPUT = 5        # an input file is unreadable or malformed
EXIT_INTERRUPTED = 130

TOPIC_FIELD = 1074    # every update carries its topic in this field
MAX_TEXT_BYTES = 16384  # the longest text of a field that a record carries

# Field types by id range: 0-511, 512-1023, 1024-1535, 1536-2047.
TYPE_NAMES = ("float", "int", "str", "char")

STATUS_TEXT = {
    0: "logon accepted",
    1: "logon refused",
    2: "source lost",
    3: "source restored",
    4: "subscription pending",
    5: "topic unknown",
}


class CliError(Exception):
    """A failure reported as one line on standard error, with an exit code."""

    def __init__(self, message, code=EXIT_USAGE):
        super().__init__(message)
        self.code = code


class ArgumentParser(argparse.ArgumentParser):
    """An argument parser whose errors are one line and exit code 2."""

    def error(self, message):
        raise CliError("%s (see %s --help)" % (message, self.prog), EXIT_USAGE)


def make_parser(subparsers, name, summary, description, example):
    """The parser of one command, with its example at the end of --help."""
    description = "\n\n".join(textwrap.fill(part, 79)
                               for part in description.split("\n\n"))
    return subparsers.add_parser(
        name, help=summary, description=description,
        epilog="example:\n  " + "\n  ".join(example.strip().splitlines()),
        formatter_class=argparse.RawDescriptionHelpFormatter)


def decimal(text):
    """The number a run of decimal digits stands for, or None past nine digits
    after the leading zeros: no number the commands read is that large, and
    int() refuses text of more than some thousands of digits."""
    digits = text.lstrip("0")
    if not text.isdecimal() or len(digits) > 9:
        return None
    return int(digits or "0")


def parse_address(text):
    """HOST:PORT (or PORT alone, for this host) as (host, port)."""
    host, sep, port = text.rpartition(":")
    if not sep:
        host = "127.0.0.1"
    if not host:
        host = "127.0.0.1"
    number = decimal(port)
    if number is None or not 0 < number < 65536 or any(c.isspace() for c in host):
        raise CliError("bad address %r: expected HOST:PORT with a port from 1 to 65535"
                       % text)
    return host, number


def parse_port(text):
    number = decimal(text)
    if number is None or not 0 < number < 65536:
        raise CliError("bad port %r: expected a number from 1 to 65535" % text)
    return number


def field_key(flid):
    """The name of a field id, or its number as text when it has no name."""
    return pyqrx.fieldName(flid) or str(flid)


def field_id(key):
    """The field id of a name or of a number in text, or None."""
    if isinstance(key, int):
        return key if 0 <= key < 2048 else None
    key = key.strip()
    if key.isdecimal():
        flid = decimal(key)
        return flid if flid is not None and flid < 2048 else None
    if not key.isascii():
        return None  # every name of the dictionary is ASCII; a surrogate has no UTF-8 form
    return pyqrx.fieldId(key)


def parse_fields(text):
    """The field ids of a comma-separated list of names or ids."""
    ids = []
    for part in text.split(","):
        if not part.strip():
            continue
        flid = field_id(part)
        if flid is None:
            raise CliError("unknown field name %r (qrx fields lists them)" % part.strip())
        if flid not in ids:
            ids.append(flid)
    if not ids:
        raise CliError("--fields names no field")
    return ids


def named_fields(data, wanted=None):
    """The fields of an update as {name: value}: the wanted ids in their order,
    or all but the topic field in id order."""
    if wanted is not None:
        return {field_key(f): data[f] for f in wanted if f in data}
    return {field_key(f): data[f] for f in sorted(data) if f != TOPIC_FIELD}


def _text_value(value):
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, int):
        return str(value)
    if value == "" or any(c.isspace() or c in "=\"" for c in value):
        return json.dumps(value, ensure_ascii=False)
    return value


def text_line(when, topic, named, snapshot=False):
    """HH:MM:SS.micro TOPIC name=value ... (strings with blanks quoted)."""
    stamp = datetime.datetime.fromtimestamp(when).strftime("%H:%M:%S.%f")
    parts = [stamp, topic] + (["[snapshot]"] if snapshot else [])
    parts.extend("%s=%s" % (k, _text_value(v)) for k, v in named.items())
    return " ".join(parts)


def json_safe(named):
    # JSON has no NaN or infinities: they travel as null.
    return {k: (None if isinstance(v, float) and not math.isfinite(v) else v)
            for k, v in named.items()}


def json_line(when, topic, named, snapshot=False):
    """One update as a JSON object: topic, receive time (seconds since the
    epoch) and the named fields."""
    obj = {"topic": topic, "time": round(when, 6)}
    if snapshot:
        obj["snapshot"] = True
    obj["fields"] = json_safe(named)
    return json.dumps(obj, ensure_ascii=False, allow_nan=False,
                      separators=(",", ":"))


def status_line(code, topic, text):
    """A status event in words."""
    what = STATUS_TEXT.get(code, "status %d" % code)
    if topic is not None:
        what += ": " + topic
    if text:
        what += " (%s)" % text
    return what


def warn(prog, message):
    print("%s: %s" % (prog, message), file=sys.stderr, flush=True)


class Stopper:
    """Ends a running Symlistener loop (or anything with a stop callable) at a
    deadline, from a thread of its own. The request is repeated until the loop
    is known to have ended, since one sent just before the loop starts waiting
    would be missed."""

    def __init__(self, stop, seconds):
        self._stop = stop
        self._done = threading.Event()
        self._thread = None
        if seconds is not None:
            self._thread = threading.Thread(target=self._run, args=(seconds,), daemon=True)
            self._thread.start()
        self.fired = False

    def _run(self, seconds):
        if self._done.wait(seconds):
            return
        self.fired = True
        while not self._done.is_set():
            self._stop()
            self._done.wait(0.2)

    def done(self):
        self._done.set()
        if self._thread is not None:
            self._thread.join()


def encodable(text):
    """Whether a str goes out as UTF-8 (undecodable bytes kept as they came);
    a lone surrogate from a JSON escape does not."""
    try:
        text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return False
    return True


def coerce_value(flid, value, where):
    """A value read from a file, as the type of its field: numbers from text for
    float and int fields, text for string fields, one character for character
    fields. CliError (EXIT_INPUT) naming where for a value that does not fit."""
    kind = flid >> 9
    name = field_key(flid)
    if kind == 0:
        if isinstance(value, bool) or not isinstance(value, (int, float, str)):
            raise CliError("%s: field %r wants a number, got %r" % (where, name, value),
                           EXIT_INPUT)
        try:
            return float(value)
        except (ValueError, OverflowError):  # an integer past what a double holds
            raise CliError("%s: field %r wants a number, got %r" % (where, name, value),
                           EXIT_INPUT) from None
    if kind == 1:
        number = value
        if isinstance(value, str):
            try:
                number = int(value.strip())
            except ValueError:
                number = None
        elif isinstance(value, float) and value.is_integer():
            number = int(value)
        if isinstance(number, bool) or not isinstance(number, int) \
                or not -2**31 <= number < 2**31:
            raise CliError("%s: field %r wants a 32-bit integer, got %r" % (where, name, value),
                           EXIT_INPUT)
        return number
    if kind == 2:
        if isinstance(value, (dict, list)) or value is None:
            raise CliError("%s: field %r wants text, got %r" % (where, name, value), EXIT_INPUT)
        text = repr(value) if isinstance(value, float) else str(value)
        if not encodable(text):
            raise CliError("%s: field %r wants UTF-8 text, got %r" % (where, name, value),
                           EXIT_INPUT)
        size = len(text.encode("utf-8", "surrogateescape"))
        if size > MAX_TEXT_BYTES:
            raise CliError("%s: field %r holds %d bytes of text, at most %d" % (
                where, name, size, MAX_TEXT_BYTES), EXIT_INPUT)
        return text
    if not isinstance(value, str) or len(value) != 1 or ord(value) > 255:
        raise CliError("%s: field %r wants one character, got %r" % (where, name, value),
                       EXIT_INPUT)
    return value
