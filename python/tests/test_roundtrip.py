"""A Symlistener connected directly to a Symproxy in the same process."""

import threading

import pyqrx
import symwire as w

N = 10000


def test_ten_thousand_updates_arrive_complete_and_in_order():
    port = w.free_port()
    proxy = pyqrx.Symproxy()
    subs = []
    proxy.onSubscribe(subs.append)
    assert proxy.initialize(port)

    lst = pyqrx.Symlistener()
    got = []

    def on_data(topic, data):
        got.append((topic, data[w.UPDATE_TIME], data[w.BID], data[w.SYMBOL]))
        if len(got) == N:
            lst.disconnect()

    lst.onData(on_data)
    assert lst.connect("127.0.0.1", port, username="client", password="pw")
    assert lst.subscribe("QRX")
    w.pump(proxy, lambda: subs == ["QRX"])

    # The listener runs its loop on a thread of its own (the interpreter lock
    # is free while it waits); a watchdog ends it should updates go missing.
    result = []

    def run():
        try:
            lst.loop()
        except Exception as e:
            result.append(str(e))

    t = threading.Thread(target=run)
    t.start()
    watchdog = threading.Timer(60, lst.disconnect)
    watchdog.start()
    try:
        for i in range(N):
            proxy.publish("QRX", {w.UPDATE_TIME: i, w.BID: i / 4, w.ASK: i / 4 + 0.25,
                                  w.EXCHANGE: "N"})
            if i % 500 == 0:
                # Lets pending output go out while the socket was full.
                proxy.getFd()
                if proxy.select() > 0:
                    proxy.checkSocket()
        while t.is_alive():
            proxy.getFd()
            if proxy.select() > 0:
                proxy.checkSocket()
            else:
                proxy.dispatch()
            t.join(0.01)
    finally:
        watchdog.cancel()
    assert result == ["CONNECTION_ERROR"]
    assert len(got) == N
    assert got == [("QRX", i, i / 4, "QRX") for i in range(N)]
