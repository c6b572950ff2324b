"""Builds the pyqrx wheel from the checkout with pip (Debian's setuptools,
no download), installs it into a fresh virtual environment and checks that
the installed package works: its version, one publish-and-receive round trip
between Symproxy and Symlistener, and the qrx command."""

import os
import subprocess
import sys
import tempfile

ROOT = sys.argv[1]

ROUND_TRIP = r"""
import socket, time, pyqrx, pyqrx.aio
assert pyqrx.__version__ == "%s", pyqrx.__version__
assert "site-packages" in pyqrx.__file__, pyqrx.__file__
s = socket.socket(); s.bind(("127.0.0.1", 0)); port = s.getsockname()[1]; s.close()
proxy = pyqrx.Symproxy()
subs = []
proxy.onSubscribe(subs.append)
assert proxy.initialize(port)
listener = pyqrx.Symlistener()
got = []
listener.onData(lambda topic, data: got.append((topic, data[0])))
assert listener.connect("127.0.0.1", port, "me", "pw")
listener.subscribe("IBM")
deadline = time.monotonic() + 20
while not got and time.monotonic() < deadline:
    proxy.getFd()
    if proxy.select() > 0:
        proxy.checkSocket()
    if subs:
        proxy.publish("IBM", {0: 181.25})
    listener.dispatchEvents()
    time.sleep(0.01)
assert got and got[0] == ("IBM", 181.25), got
print("round trip ok", pyqrx.__version__)
"""


def main():
    version = sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        venv = os.path.join(tmp, "venv")
        subprocess.check_call([sys.executable, "-m", "venv", "--system-site-packages", venv])
        py = os.path.join(venv, "bin", "python")
        subprocess.check_call([py, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                               "--quiet", ROOT])
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        subprocess.check_call([py, "-c", ROUND_TRIP % version], env=env, cwd=tmp)
        out = subprocess.check_output([os.path.join(venv, "bin", "qrx"), "fields", "^bid$"],
                                      env=env, cwd=tmp, text=True)
        assert out.split()[:3] == ["0", "bid", "float"], out
        print("qrx ok")


if __name__ == "__main__":
    main()
