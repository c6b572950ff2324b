"""Market-data client and feed-handler end of the Sym service.

Field values by field id: 0-511 float, 512-1023 int (signed 32-bit),
1024-1535 str (UTF-8, undecodable bytes kept as surrogates), 1536-2047 a str of
one character (the byte as a Latin-1 character).
"""

import enum
from typing import (Callable, ContextManager, Dict, Iterable, List, Mapping, NamedTuple, Optional,
                    Sequence, Tuple, Union)

__version__: str

FieldValue = Union[float, int, str]

class SymStatus(enum.IntEnum):
    """Status codes of Symlistener's onStatus and onSymbolStatus events (ints too)."""
    LOGIN_SUCCESS = 0
    LOGIN_ERROR = 1
    DATA_SOURCE_ERROR = 2
    DATA_SOURCE_RESTORED = 3
    PENDING_SUB = 4
    SUBS_ERROR = 5
    CONNECTION_LOST = 100
    CONNECTION_RESTORED = 101

class TopicType(enum.IntEnum):
    """Types of structured topics (Topic.type)."""
    SYMBOL = 0
    DEPTH = 1
    PORT_SYMBOL = 2
    FILTER = 3
    SOURCE_SYMBOL = 4
    WITH_SIZES = 5
    SYMBOL_SOURCE_MMID = 6
    SYMBOL_RISK_USER = 7
    SYMBOL_OPTION_USER = 8
    GREEK = 9
    SYMBOL_ALIAS = 10

class Topic(NamedTuple):
    """The parsed parts of a topic, immutable; parts a topic does not have are None."""
    text: str
    type: TopicType
    symbol: Optional[str]
    source: Optional[int]
    nearSize: Optional[float]
    farSize: Optional[float]
    portfolio: Optional[str]
    filter: Optional[str]
    mmid: Optional[str]
    user: Optional[str]
    publishSymbol: Optional[str]
    symbolType: Optional[int]

Source = Union[int, str]  # a source number (1-255), that byte as a str ("N"), or its code ("NSDQ")

def parseTopic(text: Union[str, bytes]) -> Topic:
    """The parts of a topic text, as a listener parses structured updates."""
def depthTopic(symbol: Union[str, bytes], source: Source) -> str:
    """The depth topic of a symbol from a source."""
def filterTopic(filter: Union[str, bytes], symbol: Union[str, bytes], source: Source) -> str:
    """The depth topic of a symbol from a source, behind a filter."""
def sourceTopic(symbol: Union[str, bytes], source: Source) -> str:
    """The topic of a symbol straight from one source."""
def sizesTopic(symbol: Union[str, bytes], nearSize: int, farSize: int) -> str:
    """The topic of a symbol with sizes, as a server keys subscribeWithSize()."""
def portfolioTopic(portfolio: Union[str, bytes], symbol: Union[str, bytes]) -> str:
    """The topic of a symbol within a portfolio."""
def mmidTopic(symbol: Union[str, bytes], source: Source, mmid: Union[str, bytes]) -> str:
    """The topic of one market maker's quotes for a symbol from a source."""
def riskUserTopic(symbol: Union[str, bytes], user: Union[str, bytes]) -> str:
    """The risk topic of a symbol for a user."""
def optionUserTopic(symbol: Union[str, bytes], user: Union[str, bytes]) -> str:
    """The option topic of a symbol for a user."""
def greekTopic(symbol: Union[str, bytes]) -> str:
    """The greeks topic of a symbol."""
def aliasTopic(subscribeSymbol: Union[str, bytes], publishSymbol: Union[str, bytes],
               symbolType: int) -> str:
    """The topic that publishes a symbol under another one."""

# The earlier names of the status codes, aliases of SymStatus members.
STATUS_LOGON_OK: int
STATUS_LOGON_REFUSED: int
STATUS_SOURCE_LOST: int
STATUS_SOURCE_RESTORED: int
STATUS_TOPIC_PENDING: int
STATUS_TOPIC_UNKNOWN: int
STATUS_CONNECTION_LOST: int
STATUS_CONNECTION_RESTORED: int

# Response statuses (Response.status).
RESPONSE_START: int
RESPONSE_IN_PROGRESS: int
RESPONSE_END: int
# Book message types (Book.type).
BOOK_SNAPSHOT: int
BOOK_UPDATE: int

class Error(Exception):
    """Base of the errors the package raises."""
class ConnectionClosed(Error):
    """The connection to the peer ended."""
class LogonError(Error):
    """The symbol server refused the logon; the text is the server's."""
class LogonTimeout(Error):
    """No logon verdict came in time."""

def fieldName(id: int) -> Optional[str]:
    """Name of a field id in the field dictionary, or None when it has none."""

def named(data: Mapping[int, FieldValue]) -> Dict[Union[str, int], FieldValue]:
    """The update dict {field id: value} as {field name: value} (ids without
    a name stay ids), in one pass."""

def fieldId(name: str) -> Optional[int]:
    """Field id of a name in the field dictionary, or None when the name is unknown."""

def depthTopic(symbol: Union[str, bytes], source: Union[str, bytes, int]) -> str:
    """The depth topic of a symbol at a source (one character, or its code 1-255)."""

def depthFields(
    bids: Optional[Iterable[Sequence[object]]], asks: Optional[Iterable[Sequence[object]]]
) -> Dict[int, FieldValue]:
    """The fields of a depth book for Symproxy.publish: each side a list of
    (price, size) or (price, size, quoter), best first, at most 20; level n
    goes to bid<n>/bid_size<n>/bid_quoter<n> (ask alike), the best level also
    to bid, bid_size, bid_quoter (ask alike)."""

def depthLevels(data: Mapping[int, FieldValue]) -> Tuple[List["Level"], List["Level"]]:
    """(bids, asks) of an update dict, read from level 1 up to the first one
    without a price."""

ParamValue = Union[int, float, str, bytes]

class Command:
    """A command: a name and typed parameters (int, double, char, text, each
    kind its own namespace) that a client sends to the feed handler."""

    def __init__(
        self,
        name: Union[str, bytes] = "",
        params: Optional[Mapping[str, ParamValue]] = None,
        *,
        ints: Optional[Mapping[str, int]] = None,
        doubles: Optional[Mapping[str, float]] = None,
        chars: Optional[Mapping[str, Union[str, bytes, int]]] = None,
        texts: Optional[Mapping[str, Union[str, bytes]]] = None,
    ) -> None:
        """params: the kind follows the value's type (bool and int an int,
        float a double, str and bytes a text); chars only through chars=."""
    name: str
    @property
    def id(self) -> int:
        """client id + 65536 x request id, set when the command is sent."""
    @property
    def clientId(self) -> int: ...
    @property
    def requestId(self) -> int: ...
    @property
    def ints(self) -> Dict[str, int]: ...
    @property
    def doubles(self) -> Dict[str, float]: ...
    @property
    def chars(self) -> Dict[str, str]:
        """One-character str (the byte as a Latin-1 character)."""
    @property
    def texts(self) -> Dict[str, str]:
        """UTF-8, undecodable bytes kept as surrogates."""
    @property
    def params(self) -> Dict[str, Union[int, float, str]]:
        """Every kind in one dict (int, double, char, then text win)."""
    def get(self, name: Union[str, bytes], default: object = None) -> object: ...
    def set(self, name: Union[str, bytes], value: ParamValue) -> None: ...
    def setInt(self, name: Union[str, bytes], value: int) -> None:
        """ValueError outside the signed 32-bit range."""
    def setDouble(self, name: Union[str, bytes], value: float) -> None: ...
    def setChar(self, name: Union[str, bytes], value: Union[str, bytes, int]) -> None: ...
    def setText(self, name: Union[str, bytes], value: Union[str, bytes]) -> None: ...

class Response(Command):
    """A response to a command: its id and name, parameters and a status."""

    def __init__(
        self,
        command: Optional[Command] = None,
        params: Optional[Mapping[str, ParamValue]] = None,
        *,
        status: int = ...,
        name: Optional[Union[str, bytes]] = None,
        ints: Optional[Mapping[str, int]] = None,
        doubles: Optional[Mapping[str, float]] = None,
        chars: Optional[Mapping[str, Union[str, bytes, int]]] = None,
        texts: Optional[Mapping[str, Union[str, bytes]]] = None,
    ) -> None:
        """Final (RESPONSE_END) unless status says otherwise."""
    status: int
    @property
    def statusName(self) -> str: ...
    @property
    def final(self) -> bool: ...

class BookFilter(NamedTuple):
    """A filter of a book request: field name and bounds."""
    field: str
    low: str = ""
    high: str = ""

class BookRequest(NamedTuple):
    """A request for consolidated order books."""
    id: int
    closure: int = 0
    topic: str = ""
    filters: Sequence[Union[BookFilter, Tuple[str, str, str]]] = ()

class BookLeg(NamedTuple):
    """One leg of a book's composite instrument."""
    symbol: str
    expiry: int = 0
    ratio: int = 1
    strike: float = 0.0
    callPut: str = ""
    isBid: bool = True
    isOption: bool = False

class BookInfo(NamedTuple):
    """The description of a book (id above 0)."""
    id: int
    description: str = ""
    exchange: str = ""
    legs: Sequence[BookLeg] = ()
    ids: Sequence[int] = ()

class BookData(NamedTuple):
    """The current data of a book (id above 0; price None for none), aux
    {leg topic: {field id: value}}: a leg's symbol field is its topic unless
    given (and then arrives in its dict), its topic field is the key."""
    id: int
    bidPrice: Optional[float] = None
    bidSize: int = 0
    askPrice: Optional[float] = None
    askSize: int = 0
    aux: Optional[Dict[str, Dict[int, FieldValue]]] = None
    ids: Sequence[int] = ()

class Book(NamedTuple):
    """A consolidated order book message."""
    underlying: str
    type: int
    infos: Sequence[BookInfo] = []
    data: Sequence[BookData] = []
    ids: Sequence[int] = ()

class BookStatus(NamedTuple):
    """The status of a book request."""
    id: int
    status: str

class Level(NamedTuple):
    """One level of a depth book."""
    price: float
    size: int
    quoter: Optional[str] = None

class DepthBook(NamedTuple):
    """A depth topic's update, levels best first."""
    topic: str
    symbol: str
    source: str
    bids: List[Level]
    asks: List[Level]

class Translator:
    """A symbol translation table loaded from a file."""

    def __init__(self, path: Optional[Union[str, bytes]] = None) -> None:
        """OSError when the file cannot be read; an empty table without path."""
    def toFeed(self, symbol: Union[str, bytes]) -> Optional[str]: ...
    def toClient(self, symbol: Union[str, bytes]) -> List[str]: ...
    def add(self, client: Union[str, bytes], feed: Union[str, bytes]) -> bool: ...

class Symlistener:
    """Market-data client: connects to a symbol server, subscribes to topics and
    calls the data callable with (topic, dict) for every plain-topic update;
    status, snapshots and structured topics have callables of their own."""

    def __init__(self) -> None: ...
    def connect(
        self,
        host: Optional[Union[str, bytes]],
        port: int,
        username: Optional[Union[str, bytes]] = None,
        password: Optional[Union[str, bytes]] = None,
        reconnect: bool = False,
        backoff: float = 0.5,
        max_backoff: float = 30.0,
        wait: bool = False,
        timeout: float = 10.0,
    ) -> bool:
        """Opens the connection and sends the logon; False when the TCP connect
        fails. The logon's verdict is not awaited. With reconnect, loop()
        connects again whenever the connection ends (back-off from backoff to
        max_backoff seconds), logs on, subscribes again to every topic held and
        reports SymStatus.CONNECTION_LOST and CONNECTION_RESTORED. With
        wait, waits for the logon verdict: True once accepted, LogonError when
        refused, LogonTimeout when none came within timeout seconds."""
    def subscribeAll(self) -> bool: ...
    def unsubscribeAll(self) -> bool: ...
    def subscribe(self, topic: Optional[Union[str, bytes]]) -> bool: ...
    def unsubscribe(self, topic: Optional[Union[str, bytes]]) -> bool: ...
    def onData(self, callable: Optional[Callable[[str, Dict[int, FieldValue]], object]]) -> None:
        """Sets the data callable. The dict it receives is reused for the next
        update: copy it to keep it."""
    def onStatus(self, callable: Optional[Callable[[SymStatus, str], object]]) -> None:
        """Sets callable(code, text) for the connection's status: the logon's
        verdict (LOGIN_SUCCESS, LOGIN_ERROR with the server's text), a data
        source lost or restored (DATA_SOURCE_ERROR, DATA_SOURCE_RESTORED)."""
    def onSymbolStatus(self, callable: Optional[Callable[[str, str, SymStatus], object]]) -> None:
        """Sets callable(topic, message, code) for a topic's status: refused
        (SUBS_ERROR) or held pending (PENDING_SUB)."""
    def onSnapshot(
        self, callable: Optional[Callable[[str, Dict[int, FieldValue]], object]]
    ) -> None:
        """Sets callable(topic, data) for the records of a cached image; the
        dict is reused. Without it they go where updates go (onData for plain
        topics, onTopicData for structured ones)."""
    def onSnapshotStart(self, callable: Optional[Callable[[], object]]) -> None:
        """Sets callable() for the start of a batch of snapshots (subscribeAll,
        snapshotAll)."""
    def onSnapshotEnd(self, callable: Optional[Callable[[], object]]) -> None:
        """Sets callable() for the end of a batch of snapshots."""
    def onTopicData(self, callable: Optional[Callable[[Topic, Dict[int, FieldValue]], object]]
                    ) -> None:
        """Sets callable(topic, data) for updates of structured topics, topic a
        Topic (parsed, immutable, the same object for the same text); the dict
        is reused."""
    def subscribeList(self, topics: Iterable[Union[str, bytes]]) -> bool:
        """Subscribes to every topic of an iterable (100 a message)."""
    def unsubscribeList(self, topics: Iterable[Union[str, bytes]]) -> bool:
        """Drops the subscriptions of every topic of an iterable."""
    def subscribeWithSize(self, topic: Optional[Union[str, bytes]], nearSize: int, farSize: int,
                          reqId: int = 0) -> bool:
        """Subscribes to a topic with near and far sizes; the updates come as
        sizesTopic(topic, nearSize, farSize) to onTopicData."""
    def unsubscribeWithSize(self, topic: Optional[Union[str, bytes]], nearSize: int,
                            farSize: int, reqId: int = 0) -> bool:
        """Drops a subscription made with subscribeWithSize()."""
    def subscribeWithType(self, topic: Optional[Union[str, bytes]], symbolType: int) -> bool:
        """Subscribes to a topic with a symbol type."""
    def unsubscribeWithType(self, topic: Optional[Union[str, bytes]], symbolType: int) -> bool:
        """Drops a subscription made with subscribeWithType()."""
    def snapshot(self, topic: Optional[Union[str, bytes]]) -> bool:
        """Asks for the cached image of a topic without subscribing."""
    def snapshotAll(self) -> bool:
        """Asks for the cached image of every topic (between the start and
        end markers when it holds two records or more)."""
    def onDataBatch(
        self, callable: Optional[Callable[[List[Tuple[str, Dict[int, FieldValue]]]], object]]
    ) -> None:
        """Sets callable(updates): every update of one dispatch at once, as a
        list of (topic, dict), each dict its own."""
    def getFd(self) -> int:
        """The connection's descriptor, -1 when not connected."""
    def dispatchEvents(self) -> None:
        """Handles what has arrived, without waiting: at most one read of the
        socket (64 KiB) per call; the next call handles the rest."""
    def loop(self) -> None:
        """Dispatches until the connection ends or disconnect() is called, then
        raises ConnectionClosed("CONNECTION_ERROR"), an Exception. Ctrl-C ends it with
        KeyboardInterrupt and leaves the connection usable."""
    def disconnect(self) -> None:
        """Closes the connection, whether or not a loop ran before, and ends a
        running loop (also from a callback or another thread) and a request
        blocked on a server that does not read. connect() then opens a new
        connection and logs on."""
    def sendCommand(
        self, command: Command, callback: Optional[Callable[[Response], object]] = None
    ) -> Optional[int]:
        """Sends the command; its id, or None without a connection. callback
        receives each response to it until the final one, or until the
        connection closes."""
    def onResponse(self, callable: Optional[Callable[[Response], object]]) -> None:
        """Sets the callable of the responses to commands sent without a callback."""
    def subscribeBook(self, request: BookRequest) -> bool: ...
    def unsubscribeBook(self, request: BookRequest) -> bool: ...
    def onBook(self, callable: Optional[Callable[[Book], object]]) -> None: ...
    def onBookStatus(self, callable: Optional[Callable[[BookStatus], object]]) -> None: ...
    def onBookRequest(self, callable: Optional[Callable[[BookRequest], object]]) -> None:
        """The feed handler asks for a book to be created."""
    def onDepth(self, callable: Optional[Callable[[DepthBook], object]]) -> None:
        """Sets callable(book) for the updates of depth topics."""

class Symproxy:
    """Feed-handler end: listens for the symbol server, learns of its
    subscriptions through callables and publishes ticks from dicts."""

    def __init__(self) -> None: ...
    def initialize(
        self, port: Union[int, str], enforceLogon: bool = False, bindAddress: Optional[str] = None,
        queued: bool = False
    ) -> bool:
        """Binds and listens on the port (a number or a service name); False
        when binding fails. With
        enforceLogon a logon the onLogon callable answers False is refused
        (and a server that sends a request before an accepted logon dropped);
        bindAddress picks the local address (else QUOR_SYMBIND). With queued,
        publish() may be called from any thread and the serving thread
        (serve(), or getQueueFd() and flush()) publishes the queued ticks."""
    def initializeLocal(self, path: Union[str, bytes], enforceLogon: bool = False,
                        queued: bool = False) -> bool:
        """Listens on a local (Unix-domain) socket at path."""
    def onLogon(self, callable: Optional[Callable[[str, str], Optional[Union[bool, int]]]]) -> None: ...
    def onSubscribe(self, callable: Optional[Callable[[str], object]]) -> None: ...
    def onUnsubscribe(self, callable: Optional[Callable[[Optional[str]], object]]) -> None:
        """The callable gets None when the server's connection goes away and
        "" for an unsubscribe-all request."""
    def getFd(self) -> int:
        """The descriptor to watch: the server's connection, else the listening
        socket, else -1. Call it again after the server connects or leaves."""
    def select(self) -> int:
        """Polls the descriptor of the last getFd() without waiting: 1 ready,
        0 not, -1 on error or before getFd(). While output waits for the
        server, a socket that can take it counts as ready too."""
    def wantsWrite(self) -> bool:
        """True while output waits for the server: an event loop should then
        also wait for getFd() to be writable and call checkSocket()."""
    def setBacklogLimits(self, highWater: int = 0, limit: int = 0) -> None:
        """Bounds in bytes of the output kept for a server that does not read:
        past highWater updates are conflated (each topic's latest state is sent
        once the server reads again), past limit the server is dropped; 0
        keeps a bound."""
    def setWriteDelay(self, micros: int) -> None:
        """Write coalescing (0, off, by default): publishes within micros of the
        last write are kept back and sent together by one write once micros
        have passed, or when serve() or the program's loop comes round."""
    def writeDelay(self) -> int:
        """The write delay in microseconds."""
    def setFirstRequestTimeout(self, seconds: float) -> None:
        """How long a newly connected server may send nothing before it is
        dropped and the feed handler listens again (60 s by default; 0: no
        bound)."""
    def firstRequestTimeout(self) -> float:
        """That bound in seconds."""
    def backlog(self) -> Dict[str, Union[int, bool]]:
        """pendingMessages, pendingBytes, highWater, limit, conflating,
        dirtyTopics, conflatedTicks, conflatedTopics, conflations, drops."""
    def sendStatus(self, code: int, text: Optional[Union[str, bytes]] = "") -> bool:
        """Tells the server its data source went down (STATUS_SOURCE_LOST) or
        came back (STATUS_SOURCE_RESTORED)."""
    def sendSymbolStatus(
        self, topic: Union[str, bytes], code: int, message: Optional[Union[str, bytes]] = ""
    ) -> bool:
        """Tells the server a topic does not exist or is not entitled
        (STATUS_TOPIC_UNKNOWN), or is held pending (STATUS_TOPIC_PENDING)."""
    def sendSnapshot(self, topic: Union[str, bytes]) -> bool:
        """Sends the topic's cached snapshot ("" for all) now."""
    def stats(self) -> Dict[str, int]:
        """ticksFlushed, ticksSent, ticksDropped, ticksConflated,
        messagesWritten, pendingMessages, pendingBytes, clientsDropped."""
    def subscriptions(self) -> List[str]:
        """The topics the server subscribed ("" for every topic)."""
    def clientAddress(self) -> Optional[str]:
        """The server's "host:port" ("local" on a local socket), or None."""
    def clientUser(self) -> Optional[str]:
        """The user name of the server's accepted logon, or None."""
    def serve(self, timeout: float = -1.0) -> None:
        """Serves the symbol server (accept, requests, heartbeats, waiting
        output) until stop(), Ctrl-C (KeyboardInterrupt) or timeout seconds
        when given (ValueError for NaN), with the interpreter lock released
        while it waits."""
    def stop(self) -> None:
        """Ends serve(), from a callable or any other thread."""
    def getQueueFd(self) -> int:
        """Readable when producers queued ticks (queued mode); -1 otherwise."""
    def flush(self) -> bool:
        """Publishes what waits (queued ticks, or those of a batch); on the
        serving thread only."""
    def isQueued(self) -> bool:
        """True when initialised with queued=True."""
    def onSubscribeWithSize(
        self, callable: Optional[Callable[[str, int, int, int], object]]
    ) -> None:
        """Sets callable(topic, nearSize, farSize, reqId) for subscriptions with
        sizes; their updates are published under sizesTopic(topic, nearSize,
        farSize)."""
    def onUnsubscribeWithSize(
        self, callable: Optional[Callable[[str, int, int, int], object]]
    ) -> None:
        """Sets callable(topic, nearSize, farSize, reqId) for a dropped
        subscription with sizes."""
    def publishMany(
        self, items: Iterable[Tuple[Optional[Union[str, bytes]], Mapping[int, object]]]
    ) -> int:
        """Publishes every (topic, data) pair with one flush; the number of
        ticks listed. The ticks before an item that raises are published."""
    def batch(self) -> ContextManager["Symproxy"]:
        """Inside `with proxy.batch():` publish() lists ticks; the end of the
        block publishes them with one flush."""
    def checkSocket(self) -> bool:
        """Accepts the server or handles its requests when select() found the
        descriptor ready."""
    def closeClient(self) -> bool: ...
    def dispatch(self) -> bool:
        """Handles the requests already received."""
    def publish(
        self, topic: Optional[Union[str, bytes]], data: Mapping[int, object]
    ) -> bool:
        """Publishes one tick: each value goes into its field's type (an int
        or bool into an int field, also a float into a float field, the text
        of str, bytes or anything else into a string field, a one-character
        text into a character field); values no type takes are skipped.
        TypeError for a key that is not an int, and nothing is published.
        False for a None topic or when the tick could not be sent on."""
    def onCommand(self, callable: Optional[Callable[[Command], object]]) -> None:
        """Sets callable(command) for the commands the server sends."""
    def sendResponse(self, response: Response) -> bool:
        """Sends a response (in parts when large) and flushes, unless batched."""
    def onBookSubscribe(self, callable: Optional[Callable[[BookRequest], object]]) -> None: ...
    def onBookUnsubscribe(self, callable: Optional[Callable[[BookRequest], object]]) -> None: ...
    def publishBook(self, books: Union[Book, Iterable[Book]]) -> bool:
        """Sends one or more Book in one message; ValueError past 65,525 bytes."""
    def sendBookStatus(
        self, statuses: Union[BookStatus, Tuple[int, str], Iterable[Union[BookStatus, Tuple[int, str]]]]
    ) -> bool: ...
    def sendBookRequest(self, request: BookRequest) -> bool:
        """Asks the client to create a book."""
    def enableSymbolTranslation(self, path: Union[str, bytes]) -> bool:
        """Translates requests' plain topics to feed symbols and republishes
        feed ticks under the client symbols; False when unreadable."""
    def enableExchangeTranslation(self, path: Union[str, bytes]) -> bool:
        """Translates the exchange-code fields of published ticks."""
    def toFeed(self, topic: Union[str, bytes]) -> Optional[str]:
        """The feed topic of a client topic under the symbol table."""
