"""The module misused the ways a Python program can: arguments out of every
range, calls at the wrong moment, daemon threads left inside a call when the
interpreter exits, asyncio adapters used after close. Each case is answered with
a Python exception or a documented result, never with a crash or a hang.
Cases that could take the interpreter down run in a child process."""

import asyncio
import os
import resource
import subprocess
import sys
import textwrap

import pytest

import pyqrx
import symwire as w
from pyqrx.aio import AsyncSymproxy

HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(body, timeout=60):
    """Runs a program in a child interpreter (no core file when it aborts)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, env.get("PYTHONPATH", "")) if p)

    def no_core():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=timeout, preexec_fn=no_core)


# ---- Symproxy ----------------------------------------------------------------------


class TestSymproxy:
    def test_a_write_delay_longer_than_the_clock_counts_stays_the_longest_delay(self):
        # Microseconds times a thousand passed the 64-bit nanosecond count: the delay
        # wrapped round to nothing or to a fraction of a microsecond.
        p = pyqrx.Symproxy()
        asked = [2**40, 2**53, 2**62, 18446744073709552, 2**63 - 1]
        got = []
        for micros in asked:
            p.setWriteDelay(micros)
            got.append(p.writeDelay())
        assert got[:2] == asked[:2]
        assert all(d >= 2**53 for d in got[2:]), got
        assert got == sorted(got)
        p.setWriteDelay(0)
        assert p.writeDelay() == 0
