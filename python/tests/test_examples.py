"""The examples of the Python API run against each other as separate processes
over loopback: the queued feed handler and the client of status, snapshots and
structured topics."""

import os
import subprocess
import sys

import symwire as w

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                        "examples")


def test_the_topics_client_sees_status_images_and_depth_from_the_queued_feed():
    port = w.free_port()
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    feed = subprocess.Popen(
        [sys.executable, os.path.join(EXAMPLES, "queued_feed.py"), "--port", str(port),
         "--ticks", "300", "--seconds", "8"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert feed.stdout.readline().startswith("queued_feed: serving on port")
        client = subprocess.run(
            [sys.executable, os.path.join(EXAMPLES, "topics_client.py"), "--port", str(port),
             "--seconds", "4", "IBM", "MSFT"],
            env=env, capture_output=True, text=True, timeout=60)
        out = client.stdout
        assert client.returncode == 0, out + client.stderr
        assert "status: LOGIN_SUCCESS" in out
        assert "topic status: 'NOT-CARRIED' SUBS_ERROR not carried by this feed" in out
        assert "depth: DEPTH IBM from source 2" in out or "depth: DEPTH MSFT from source 2" in out
        start, end = out.index("-- images of every topic --"), out.index("-- end of the images")
        assert out.count("snapshot:", start, end) >= 2
        feed_out, _ = feed.communicate(timeout=60)  # it serves for its 8 seconds
        assert feed.returncode == 0 and "ticks published" in feed_out
    finally:
        if feed.poll() is None:
            feed.kill()
            feed.wait()
