import os
import subprocess
import sys
import textwrap

import pytest

import symwire as w

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def server():
    srv = w.ScriptedServer()
    yield srv
    srv.close()


def run_script(body, timeout=60):
    """Runs a Python program in a child interpreter with the module and the
    wire helpers importable; returns the finished process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, env.get("PYTHONPATH", "")) if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=timeout)
