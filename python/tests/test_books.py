"""Order books and translation between a Symproxy and a Symlistener of the
same process, over a loopback socket: consolidated order books with their
requests and statuses, depth books level by level, and symbol and exchange
translation tables applied end to end."""

import pytest

import pyqrx
from pyqrx import fields as f
from test_commands import drive, pair  # noqa: F401  (the fixture)


def test_an_order_book_and_its_requests_and_statuses_arrive_as_sent(pair):  # noqa: F811
    proxy, lst = pair
    subs, unsubs = [], []
    proxy.onBookSubscribe(subs.append)
    proxy.onBookUnsubscribe(unsubs.append)
    request = pyqrx.BookRequest(7, 3, "IBM", [pyqrx.BookFilter("expiry", "20270101", "20271231"),
                                              ("strike", "100", "")])
    assert lst.subscribeBook(request)
    drive(proxy, lst, lambda: subs)
    assert subs == [request._replace(filters=[pyqrx.BookFilter("expiry", "20270101", "20271231"),
                                              pyqrx.BookFilter("strike", "100", "")])]

    legs = [pyqrx.BookLeg("IBM", ratio=1, isBid=True),
            pyqrx.BookLeg("IBM", 20270115, -2, 150.5, "C", False, True)]
    book = pyqrx.Book("IBM", pyqrx.BOOK_SNAPSHOT,
                      [pyqrx.BookInfo(5, "IBM call spread", "XCBO", legs, (7,)),
                       pyqrx.BookInfo(2, "second", "", [], (7, 8))],
                      [pyqrx.BookData(5, 1.25, 10, None, 0,
                                      {"IBM": {f.bid: 181.5, f.bid_size: 300, f.exchange: "N"},
                                       "IBM 150C": {f.ask: 2.5, f.bid_direction: "+"}}, (7,)),
                       pyqrx.BookData(2, bidPrice=-3.5, bidSize=1)],
                      (7, 8))
    update = book._replace(type=pyqrx.BOOK_UPDATE, infos=[],
                           data=[pyqrx.BookData(5, 1.3, 12, 1.4, 4)])
    books = []
    lst.onBook(books.append)
    assert proxy.publishBook(book)
    assert proxy.publishBook([update, update._replace(underlying="MSFT")])
    drive(proxy, lst, lambda: len(books) == 3)

    # Received in increasing id order, with every default made explicit.
    want = book._replace(infos=[book.infos[1], book.infos[0]],
                         data=[book.data[1]._replace(aux={}, ids=()), book.data[0]])
    assert books[0] == want
    assert books[0].infos[1].legs[1].strike == 150.5 and books[0].data[1].askPrice is None
    assert books[1] == update._replace(data=[update.data[0]._replace(aux={}, ids=())])
    assert books[2].underlying == "MSFT"

    statuses, creates = [], []
    lst.onBookStatus(statuses.append)
    lst.onBookRequest(creates.append)
    assert proxy.sendBookStatus([(7, "OK"), pyqrx.BookStatus(8, "no such book")])
    assert proxy.sendBookStatus((9, "one"))
    assert proxy.sendBookRequest(pyqrx.BookRequest(11, 0, "NEWBOOK"))
    assert lst.unsubscribeBook(request)
    drive(proxy, lst, lambda: len(statuses) == 3 and creates and unsubs)
    assert statuses == [(7, "OK"), (8, "no such book"), (9, "one")]
    assert creates == [pyqrx.BookRequest(11, 0, "NEWBOOK", [])]
    assert unsubs[0].id == 7 and unsubs[0].topic == "IBM"


def test_bad_books_are_refused_before_anything_is_sent(pair):  # noqa: F811
    proxy, lst = pair
    with pytest.raises(ValueError, match="above 0"):
        proxy.publishBook(pyqrx.Book("X", pyqrx.BOOK_UPDATE, [pyqrx.BookInfo(0)]))
    with pytest.raises(ValueError, match="BOOK_SNAPSHOT"):
        proxy.publishBook(pyqrx.Book("X", 9))
    with pytest.raises(TypeError, match="underlying"):
        proxy.publishBook([object()])
    with pytest.raises(ValueError, match="more than one message"):
        proxy.publishBook(pyqrx.Book("X", 1, [pyqrx.BookInfo(i, "d" * 400) for i in range(1, 200)]))
    with pytest.raises(TypeError):
        lst.subscribeBook("IBM")
    books = []
    lst.onBook(books.append)
    assert proxy.publishBook(pyqrx.Book("OK", pyqrx.BOOK_UPDATE))
    drive(proxy, lst, lambda: books)
    assert books == [pyqrx.Book("OK", pyqrx.BOOK_UPDATE)]


def test_a_leg_topic_longer_than_a_record_carries_is_refused(pair):  # noqa: F811
    proxy, lst = pair
    books = []
    lst.onBook(books.append)
    longest = {"L" * 16384: {f.bid: 1.0, f.ask: 2.0}}
    data = [pyqrx.BookData(1, aux=longest)]
    assert proxy.publishBook(pyqrx.Book("X", pyqrx.BOOK_UPDATE, [], data))
    drive(proxy, lst, lambda: books)
    assert books[0].data[0].aux == longest
    # One character more: the leg would arrive under an empty topic, the second one lost.
    too_long = {"L" * 16385: {f.bid: 1.0}, "M" * 16385: {f.bid: 2.0}}
    with pytest.raises(ValueError, match="leg topic"):
        proxy.publishBook(pyqrx.Book("X", pyqrx.BOOK_UPDATE, [], [pyqrx.BookData(1, aux=too_long)]))
    assert proxy.publishBook(pyqrx.Book("NEXT", pyqrx.BOOK_UPDATE))
    drive(proxy, lst, lambda: len(books) == 2)
    assert books[1] == pyqrx.Book("NEXT", pyqrx.BOOK_UPDATE)


def test_a_legs_own_symbol_arrives_and_its_topic_field_is_its_key(pair):  # noqa: F811
    proxy, lst = pair
    books = []
    lst.onBook(books.append)
    aux = {"IBM 150C": {f.symbol: "IBM", f.ask: 2.5}, "IBM": {f.symbol: "IBM", f.bid: 181.5},
           "MSFT": {f.topic: "MSFT", f.bid: 1.0}}
    assert proxy.publishBook(pyqrx.Book("IBM", pyqrx.BOOK_UPDATE, [], [pyqrx.BookData(1, aux=aux)]))
    drive(proxy, lst, lambda: books)
    # The symbol of a leg that differs from its topic is the leg's own value; the topic is the key.
    assert books[0].data[0].aux == {"IBM 150C": {f.symbol: "IBM", f.ask: 2.5},
                                    "IBM": {f.bid: 181.5}, "MSFT": {f.bid: 1.0}}
    # A topic field naming another leg would have the client file the values under it.
    for other in ("OTHER", "IBM"):
        with pytest.raises(ValueError, match="leg topic"):
            proxy.publishBook(pyqrx.Book("IBM", pyqrx.BOOK_UPDATE, [], [pyqrx.BookData(
                1, aux={"IBM": {f.bid: 1.0}, "MSFT": {f.topic: other, f.bid: 2.0}})]))


def test_two_records_of_one_id_or_two_legs_of_one_topic_are_refused(pair):  # noqa: F811
    proxy, lst = pair
    books = []
    lst.onBook(books.append)
    for bad in (pyqrx.Book("X", pyqrx.BOOK_UPDATE, [], [pyqrx.BookData(1, 1.0, 1),
                                                         pyqrx.BookData(1, 5.0, 5)]),
                pyqrx.Book("X", pyqrx.BOOK_UPDATE,
                           [pyqrx.BookInfo(2, "a"), pyqrx.BookInfo(2, "b")]),
                pyqrx.Book("X", pyqrx.BOOK_UPDATE, [], [pyqrx.BookData(
                    1, aux={"LEG": {f.bid: 1.0}, b"LEG": {f.ask: 2.0}})])):
        with pytest.raises(ValueError, match="twice"):
            proxy.publishBook(bad)
    # The same ids in different messages, and in infos and data, are as before.
    book = pyqrx.Book("X", pyqrx.BOOK_UPDATE, [pyqrx.BookInfo(1, "a")], [pyqrx.BookData(1, 1.0, 1)])
    assert proxy.publishBook([book, book])
    drive(proxy, lst, lambda: len(books) == 2)
    assert books[0].data[0].bidPrice == 1.0 and books[1].infos[0].description == "a"


def test_a_depth_book_reaches_the_depth_callable_with_every_level(pair):  # noqa: F811
    proxy, lst = pair
    subs = []
    proxy.onSubscribe(subs.append)
    topic = pyqrx.depthTopic("IBM", "N")
    assert topic == "1\x0678\x06IBM" and pyqrx.depthTopic("IBM", 78) == topic
    bids = [(100.0 - i / 8, 100 * (i + 1), "MM%d" % i) for i in range(5)]
    asks = [(100.5 + i / 8, 10 + i) for i in range(20)]
    depth, plain = [], []
    lst.onDepth(depth.append)
    lst.onData(lambda t, d: plain.append(t))
    assert lst.subscribe(topic)
    drive(proxy, lst, lambda: subs == [topic])
    data = pyqrx.depthFields(bids, asks)
    assert data[f.bid] == 100.0 and data[f.ask_size] == 10 and data[f.bid_quoter] == "MM0"
    assert proxy.publish(topic, data)
    # A smaller book next: the levels it holds are the ones sent.
    assert proxy.publish(topic, pyqrx.depthFields([(99.0, 1)], []))
    drive(proxy, lst, lambda: len(depth) == 2)

    first, second = depth
    assert (first.topic, first.symbol, first.source) == (topic, "IBM", "N")
    assert first.bids == [pyqrx.Level(p, s, q) for p, s, q in bids]
    assert first.asks == [pyqrx.Level(p, s, None) for p, s in asks]
    assert second.bids == [(99.0, 1, None)] and second.asks == []
    assert plain == []  # depth topics stay off the plain-topic callable

    assert pyqrx.depthLevels(data) == (first.bids, first.asks)
    with pytest.raises(ValueError, match="20 levels"):
        pyqrx.depthFields([], [(1.0, 1)] * 21)
    with pytest.raises(TypeError):
        pyqrx.depthFields([(1.0,)], [])
    with pytest.raises(ValueError):
        pyqrx.depthTopic("IBM", "")


def test_translation_tables_apply_to_requests_and_to_published_ticks(pair, tmp_path):  # noqa: F811
    proxy, lst = pair
    symbols = tmp_path / "symbols.txt"
    symbols.write_text("# client symbols, then the feed's\n"
                       "ABC.N,ABC ABC\n"
                       "REGEX: ^(.*)\\.L$ $1.LN\n")
    exchanges = tmp_path / "exchanges.txt"
    exchanges.write_text("N XNYS\n")
    assert not proxy.enableSymbolTranslation(str(tmp_path / "missing.txt"))
    assert proxy.enableSymbolTranslation(str(symbols))
    assert proxy.enableExchangeTranslation(str(exchanges))
    assert proxy.toFeed("ABC.N") == "ABC" and proxy.toFeed("VOD.L") == "VOD.LN"

    subs = []
    proxy.onSubscribe(subs.append)
    got = []
    lst.onData(lambda topic, data: got.append((topic, dict(data))))
    assert lst.subscribe("ABC.N") and lst.subscribe("VOD.L") and lst.subscribe("ABC")
    drive(proxy, lst, lambda: len(subs) == 3)
    assert subs == ["ABC", "VOD.LN", "ABC"]

    # Published under the feed symbol, received under each client symbol of it.
    assert proxy.publish("ABC", {f.bid: 1.5, f.exchange: "N", f.last_exchange: "Q"})
    assert proxy.publish("VOD.LN", {f.ask: 2.5})
    drive(proxy, lst, lambda: len(got) == 3)
    by_topic = dict(got)
    assert sorted(by_topic) == ["ABC", "ABC.N", "VOD.L"]
    for topic in ("ABC", "ABC.N"):
        abc = by_topic[topic]
        assert abc[f.bid] == 1.5 and abc[f.exchange] == "XNYS" and abc[f.symbol] == topic
        assert abc[f.last_exchange] == "Q"  # not in the table: as published
    assert by_topic["VOD.L"][f.ask] == 2.5
    # Structured topics are not translated.
    assert proxy.toFeed(pyqrx.depthTopic("ABC.N", "N")) == pyqrx.depthTopic("ABC.N", "N")

    table = pyqrx.Translator(str(symbols))
    assert table.toFeed("ABC") == "ABC" and table.toFeed("UNKNOWN") == "UNKNOWN"
    assert table.toClient("ABC") == ["ABC", "ABC.N"] and table.toClient("NONE") == []
    assert table.add("ABC.X", "ABCX") and table.toFeed("ABC.X") == "ABCX"
    assert not table.add("", "X")
    with pytest.raises(OSError):
        pyqrx.Translator(str(tmp_path / "missing.txt"))
