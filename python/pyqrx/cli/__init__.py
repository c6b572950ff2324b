"""The qrx command line: market-data tools built on the pyqrx module.

    qrx sub HOST:PORT TOPIC...      subscribe and print updates
    qrx watch HOST:PORT TOPIC...    a live table in the terminal
    qrx serve --port P FILE         a feed handler publishing a file
    qrx record HOST:PORT TOPIC... -o FILE, qrx replay FILE --port P, qrx dump FILE
    qrx fields [PATTERN]            the field dictionary

Every command answers --help with an example. Errors are one line on standard
error; the exit code says what happened (see common.py).
"""

import faulthandler
import os
import sys

import pyqrx

from . import common, dump, fields, record, replay, serve, sub, watch

COMMANDS = (sub, watch, serve, record, replay, dump, fields)
# The commands whose output is standard output.
PRINTING = ("sub", "dump", "fields")


def build_parser():
    parser = common.ArgumentParser(
        prog="qrx", description="Market-data tools built on the pyqrx module.",
        epilog="example:\n  qrx sub 127.0.0.1:7001 IBM MSFT --fields bid,ask --count 10",
        formatter_class=common.argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="qrx " + pyqrx.__version__)
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND",
                                       parser_class=common.ArgumentParser)
    for module in COMMANDS:
        module.add_parser(subparsers).set_defaults(run=module.run)
    return parser


def quiet_library_log():
    """Keeps the library's own log lines (connecting, connection closed, ...)
    off the terminal, so that standard error holds the commands' one-line
    messages: file descriptor 2 goes to /dev/null and sys.stderr to a copy of
    the original. QRX_LIBRARY_LOG=YES keeps them."""
    if os.environ.get("QRX_LIBRARY_LOG") == "YES":
        return
    try:
        saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    sys.stderr.flush()
    os.dup2(null, 2)
    os.close(null)
    sys.stderr = open(saved, "w", buffering=1, errors="backslashreplace")
    # A crash still says where it happened, on the real standard error: a
    # sanitizer's report (when one is loaded) and Python's fatal-signal dump.
    try:
        import ctypes
        set_report_fd = getattr(ctypes.CDLL(None), "__sanitizer_set_report_fd", None)
        if set_report_fd is not None:
            set_report_fd(ctypes.c_void_p(saved))
    except (ImportError, OSError):
        pass
    faulthandler.enable(file=sys.stderr)


def main(argv=None):
    """Runs one command; returns its exit code."""
    if argv is None:
        argv = sys.argv[1:]
    quiet_library_log()
    # Text from a peer that is no UTF-8 arrives with its bytes kept as surrogates: they
    # are written out as they came, whatever error handler the locale gives stdout.
    try:
        sys.stdout.reconfigure(errors="surrogateescape")
    except (AttributeError, ValueError):
        pass
    parser = build_parser()
    prog = "qrx"
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help(sys.stderr)
            return common.EXIT_USAGE
        prog = "qrx " + args.command
        if sys.stdout is None and args.command in PRINTING:
            # Descriptor 1 was closed when the command started (prog >&-).
            raise common.CliError("standard output is closed", common.EXIT_FAILURE)
        return args.run(args) or common.EXIT_OK
    except common.CliError as e:
        common.warn(prog, str(e))
        return e.code
    except KeyboardInterrupt:
        return common.EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (qrx sub ... | head): not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return common.EXIT_OK
    except Exception as e:  # never a traceback for the user
        if os.environ.get("QRX_DEBUG") == "YES":
            raise
        common.warn(prog, "unexpected failure: %s: %s" % (type(e).__name__, e))
        return common.EXIT_FAILURE

