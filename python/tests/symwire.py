"""The Sym protocol in its stream form, in pure Python, for the scripted peers of
the tests: framing, the logon record, requests and market-data record bodies.

A frame is: total length (u16, header included), header type, message type,
sub-type (all big-endian 16-bit), then the fields of the body one after another:
integers and doubles big-endian, texts as a u16 length and the bytes.
"""

import socket
import struct
import threading
import time

SYM = 15  # header type of the Sym family

# Message types (and the sub-types the peers use).
DATA = 2
SUBSCRIBE = 3
UNSUBSCRIBE = 4
SUBSCRIBE_ALL = 5
UNSUBSCRIBE_ALL = 6
SNAPSHOT = 8
STATUS = 10
HB_NOTICE = 11
SUBSCRIBE_LIST = 12
UNSUBSCRIBE_LIST = 13
LOGIN = 10000
HEARTBEAT = 10001

DATA_UPDATE, DATA_SNAPSHOT, SNAP_START, SNAP_END = 0, 2, 3, 4
STATUS_LOGIN_REFUSED, STATUS_LOGIN_OK = 5, 7

# Field ids used by the tests.
BID, ASK, LAST = 0, 1, 3
BID_SIZE, ASK_SIZE, TRADE_SIZE, UPDATE_TIME = 512, 513, 514, 518
SYMBOL, EXCHANGE, TOPIC = 1024, 1028, 1074
FX_IS_INVERSE, TRADE_DIRECTION = 1536, 1543

SEP = "\x06"  # field separator of structured topics


def field_type(flid):
    """0 double, 1 int, 2 string, 3 char."""
    return flid >> 9


# ---- field stream -------------------------------------------------------


def text(value):
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    return struct.pack(">H", len(value)) + value


class Reader:
    """Reads fields from a body; raises ValueError past the end."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("read past the end of the body")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def unpack(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def short(self):
        return self.unpack(">h")

    def int(self):
        return self.unpack(">i")

    def double(self):
        return self.unpack(">d")

    def char(self):
        return self.take(1)

    def text(self):
        return self.take(self.unpack(">H"))

    def at_end(self):
        return self.pos >= len(self.data)


def frame(mtyp, sub, body=b"", hdr=SYM):
    return struct.pack(">Hhhh", 8 + len(body), hdr, mtyp, sub) + body


def frame_with_length(length, mtyp, sub, body=b"", hdr=SYM):
    """A frame whose length field says what the caller wants (malformed input)."""
    return struct.pack(">Hhhh", length & 0xFFFF, hdr, mtyp, sub) + body


def split_frames(buf):
    """Complete frames at the front of buf and the remaining bytes."""
    frames = []
    while len(buf) >= 2:
        n = struct.unpack(">H", buf[:2])[0]
        if n < 8:
            raise ValueError("frame length %d below the header" % n)
        if len(buf) < n:
            break
        hdr, mtyp, sub = struct.unpack(">hhh", buf[2:8])
        frames.append(Frame(hdr, mtyp, sub, buf[8:n]))
        buf = buf[n:]
    return frames, buf


class Frame:
    def __init__(self, hdr, mtyp, sub, body):
        self.hdr, self.mtyp, self.sub, self.body = hdr, mtyp, sub, body

    def __repr__(self):
        return "Frame(hdr=%d, mtyp=%d, sub=%d, %d body bytes)" % (
            self.hdr, self.mtyp, self.sub, len(self.body))

    @property
    def kind(self):
        return (self.mtyp, self.sub)

    def topic(self):
        """The topic of a subscribe, unsubscribe or snapshot request."""
        r = Reader(self.body)
        t = r.text()
        assert r.at_end()
        return t.decode("utf-8", "surrogateescape")

    def topics(self):
        """The topics of a list request."""
        r = Reader(self.body)
        return [r.text().decode("utf-8", "surrogateescape") for _ in range(r.int())]

    def records(self):
        """The records of a market-data message, as dicts."""
        r = Reader(self.body)
        body = Reader(r.text())
        assert r.at_end()
        out = []
        while not body.at_end():
            out.append(decode_record(body))
        return out


# ---- session records ------------------------------------------------------

LOGIN_FIELDS = ("protocol_version", "mode", "username", "password", "status", "int_value",
                "group", "text_value", "curr_local_time", "curr_local_date", "curr_gmt_time",
                "curr_gmt_date", "UserLoginName")
LOGIN_INTS = {"protocol_version", "mode", "status", "int_value"}


def login_body(username=b"", password=b"", protocol_version=3, **rest):
    values = dict(protocol_version=protocol_version, mode=0, username=username,
                  password=password, status=0, int_value=0)
    values.update(rest)
    out = b""
    for name in LOGIN_FIELDS:
        v = values.get(name, b"")
        out += struct.pack(">i", v) if name in LOGIN_INTS else text(v)
    return out


def parse_login(body):
    r = Reader(body)
    out = {}
    for name in LOGIN_FIELDS:
        out[name] = r.int() if name in LOGIN_INTS else r.text()
    assert r.at_end()
    return out


def heartbeat(request_id):
    return frame(HEARTBEAT, HEARTBEAT, struct.pack(">i", request_id))


# ---- record bodies ----------------------------------------------------------


def encode_value(flid, value):
    t = field_type(flid)
    if t == 0:
        return struct.pack(">d", value)
    if t == 1:
        return struct.pack(">i", value)
    if t == 2:
        return text(value)
    if isinstance(value, str):
        value = value.encode("latin-1")
    assert len(value) == 1
    return value


def encode_record(fields):
    """One record body: count, then per group of eight ids the group number,
    the presence mask and the values from bit 7 down to bit 0."""
    groups = {}
    for flid in fields:
        groups.setdefault(flid >> 3, []).append(flid)
    out = struct.pack(">h", len(fields))
    for g in sorted(groups):
        mask = 0
        for flid in groups[g]:
            mask |= 1 << (flid & 7)
        out += struct.pack(">BB", g, mask)
        for bit in range(7, -1, -1):
            if mask & (1 << bit):
                out += encode_value(g * 8 + bit, fields[g * 8 + bit])
    return out


def decode_record(r):
    count = r.short()
    out = {}
    while count > 0:
        g = r.unpack(">B")
        mask = r.unpack(">B")
        for bit in range(7, -1, -1):
            if mask & (1 << bit):
                flid = g * 8 + bit
                t = field_type(flid)
                if t == 0:
                    out[flid] = r.double()
                elif t == 1:
                    out[flid] = r.int()
                elif t == 2:
                    out[flid] = r.text().decode("utf-8", "surrogateescape")
                else:
                    out[flid] = r.char().decode("latin-1")
                count -= 1
    return out


def data_frame(records, sub=DATA_UPDATE):
    """A market-data message holding the given records (dicts or raw bodies)."""
    bodies = b"".join(r if isinstance(r, bytes) else encode_record(r) for r in records)
    return frame(DATA, sub, text(bodies))


# ---- scripted peers -----------------------------------------------------------


class Peer:
    """One end of a Sym connection driven by a test; every wait is bounded."""

    TIMEOUT = 10.0

    def __init__(self, sock):
        self.sock = sock
        self.sock.settimeout(self.TIMEOUT)
        self.buf = b""
        self.pending = []

    def send(self, data):
        self.sock.sendall(data)

    def recv_frame(self):
        """The next frame; raises socket.timeout when none comes in time and
        EOFError when the other end closes."""
        while not self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("peer closed")
            frames, self.buf = split_frames(self.buf + chunk)
            self.pending.extend(frames)
        return self.pending.pop(0)

    def expect(self, mtyp, sub=None, skip_heartbeats=True):
        """The next frame, which must have the given type (and sub-type)."""
        while True:
            f = self.recv_frame()
            if skip_heartbeats and f.mtyp in (HB_NOTICE, HEARTBEAT) and mtyp != f.mtyp:
                continue
            assert f.mtyp == mtyp and (sub is None or f.sub == sub), f
            return f

    def wait_closed(self):
        """Reads until the other end closes; returns the frames seen meanwhile."""
        seen = []
        while True:
            try:
                seen.append(self.recv_frame())
            except EOFError:
                return seen
            except ConnectionResetError:
                return seen

    def nothing_pending(self, wait=0.05):
        """True when no byte arrives within a short moment (used only to
        confirm an absence after a later message proved the order)."""
        if self.pending or self.buf:
            return False
        self.sock.settimeout(wait)
        try:
            chunk = self.sock.recv(65536, socket.MSG_PEEK)
            return False if chunk else True
        except (socket.timeout, BlockingIOError):
            return True
        finally:
            self.sock.settimeout(self.TIMEOUT)

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def hang_up(self):
        """Closes the way a server does after its last word: stops sending,
        then reads until the client leaves. Closing with the client's
        requests unread would reset the connection, and a reset discards
        what the client had not read yet."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.wait_closed()
        self.close()


class ScriptedServer:
    """A symbol server on loopback that accepts one client at a time."""

    def __init__(self):
        self.lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.lsock.bind(("127.0.0.1", 0))
        self.lsock.listen(4)
        self.lsock.settimeout(Peer.TIMEOUT)
        self.port = self.lsock.getsockname()[1]
        self.peers = []

    def accept(self):
        sock, _ = self.lsock.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        peer = Peer(sock)
        self.peers.append(peer)
        return peer

    def close(self):
        for p in self.peers:
            p.close()
        self.lsock.close()


def connect_client(port, username=b"feed", password=b"pw"):
    """A scripted symbol server connecting to a Symproxy: connects and logs on."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=Peer.TIMEOUT)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    peer = Peer(sock)
    peer.send(frame(LOGIN, LOGIN, login_body(username, password)))
    return peer


def free_port():
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Watchdog:
    """Calls action once after a delay unless cancelled: bounds a blocking call
    of the module by making its peer go away."""

    def __init__(self, delay, action):
        self.timer = threading.Timer(delay, action)
        self.timer.daemon = True
        self.fired = False
        self._action = action

    def __enter__(self):
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.timer.cancel()


def pump(proxy, until, timeout=10.0, step=0.02):
    """Drives a Symproxy the way a feed handler's event loop does (getFd,
    select, checkSocket; writability too while output waits) until until()
    is true; fails after timeout."""
    import select as _select

    deadline = time.monotonic() + timeout
    while not until():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        fd = proxy.getFd()
        if fd < 0:
            raise AssertionError("proxy has no descriptor")
        writers = [fd] if proxy.wantsWrite() else []
        readable, writable, _ = _select.select([fd], writers, [], step)
        if (readable or writable) and proxy.select() > 0:
            proxy.checkSocket()
