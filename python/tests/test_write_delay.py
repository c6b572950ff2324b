"""Write coalescing from Python: with a write delay, publishes that follow a
write closely are kept back and leave together, in order, once the feed
handler's loop comes round; without one every publish writes at once."""

import pytest

import symwire as w

SEQ = 600  # an int field carrying the tick's sequence number


def updates(peer, n):
    """The sequence numbers of the next n updates the peer receives (other
    frames, the logon answer and heartbeats, are passed over)."""
    seqs = []
    while len(seqs) < n:
        f = peer.recv_frame()
        if f.mtyp == w.DATA:
            seqs += [r[SEQ] for r in f.records()]
    return seqs


def test_kept_publishes_leave_together_once_the_loop_comes_round():
    import pyqrx

    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    port = w.free_port()
    assert proxy.initialize(port)
    assert proxy.writeDelay() == 0
    peer = w.connect_client(port)
    try:
        peer.send(w.frame(w.SUBSCRIBE, 0, w.text("A")))
        w.pump(proxy, lambda: subs == ["A"])
        proxy.publish("A", {SEQ: -1})
        assert updates(peer, 1) == [-1]  # read past everything before

        proxy.setWriteDelay(60 * 1000 * 1000)  # never due within the test
        assert proxy.writeDelay() == 60 * 1000 * 1000
        for i in range(50):
            proxy.publish("A", {SEQ: i})
        # That update was the last write: everything since is kept, and leaves together
        # (in one message) once the loop comes round.
        written = proxy.stats()["messagesWritten"]
        assert proxy.wantsWrite() and peer.nothing_pending()
        w.pump(proxy, lambda: not proxy.wantsWrite())
        assert updates(peer, 50) == list(range(50))
        assert proxy.stats()["messagesWritten"] == written + 1
        assert proxy.stats()["ticksSent"] == 51

        # Off again: the next publish writes at once.
        proxy.setWriteDelay(0)
        proxy.publish("A", {SEQ: 50})
        assert not proxy.wantsWrite() and proxy.backlog()["pendingMessages"] == 0
        assert updates(peer, 1) == [50]
        with pytest.raises(ValueError):
            proxy.setWriteDelay(-1)
    finally:
        peer.close()
        proxy.closeClient()
