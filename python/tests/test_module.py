"""The module's own surface: version, field dictionary look-ups, docstrings and
the type stub installed beside it."""

import ast
import os

import pytest

import pyqrx

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "pyqrx.pyi")


def test_field_names_and_ids_go_both_ways():
    assert pyqrx.fieldName(0) == "bid" and pyqrx.fieldId("bid") == 0
    assert pyqrx.fieldName(1074) == "topic" and pyqrx.fieldId("topic") == 1074
    assert pyqrx.fieldName(1536) == "fx_is_inverse"
    # Unnamed and impossible ids, unknown and differently cased names.
    for flid in (150, 2047, -1, 2048, 10**6):
        assert pyqrx.fieldName(flid) is None
    assert pyqrx.fieldId("Bid") is None and pyqrx.fieldId("") is None
    # A name is the whole text: one that a NUL cuts short is none.
    assert pyqrx.fieldId("bid\x00size") is None and pyqrx.fieldId("topic\x00") is None
    named = [i for i in range(2048) if pyqrx.fieldName(i) is not None]
    assert len(named) == 466
    assert all(pyqrx.fieldId(pyqrx.fieldName(i)) == i for i in named)


def test_everything_public_is_documented_and_in_the_stub():
    assert pyqrx.__version__.count(".") == 2 and pyqrx.__doc__
    tree = ast.parse(open(STUB).read())
    stub = {n.name: n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    for name in ("fieldName", "fieldId", "Symlistener", "Symproxy"):
        assert getattr(pyqrx, name).__doc__, name
        assert name in stub, name
    for cls in (pyqrx.Symlistener, pyqrx.Symproxy):
        public = {m for m in dir(cls) if not m.startswith("_")}
        in_stub = {n.name for n in stub[cls.__name__].body if isinstance(n, ast.FunctionDef)}
        assert public == in_stub - {"__init__"}, cls
        for m in public:
            assert getattr(cls, m).__doc__, m


def test_every_public_function_and_type_of_the_extension_is_documented_and_in_the_stub():
    from pyqrx import _pyqrx

    tree = ast.parse(open(STUB).read())
    stub = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    for name in dir(_pyqrx):
        obj = getattr(_pyqrx, name)
        if name.startswith("_") or name == "SymproxyBatch" or not callable(obj):
            continue
        assert name in stub, name
        assert obj.__doc__, name
        assert hasattr(pyqrx, name), name  # Symlistener is the reconnecting subclass


def test_field_names_are_constants_and_updates_turn_into_named_dicts():
    from pyqrx import fields

    assert fields.bid == 0 and fields.bid_size == pyqrx.fieldId("bid_size")
    assert fields.yield_ == pyqrx.fieldId("yield")
    assert len(fields.__all__) == 466
    data = {fields.bid: 1.5, fields.symbol: "IBM", 2047: "x"}
    assert pyqrx.named(data) == {"bid": 1.5, "symbol": "IBM", 2047: "x"}
    with pytest.raises(TypeError):
        pyqrx.named([(0, 1.0)])


def test_loop_ends_with_connection_closed_which_old_callers_still_catch(server):
    lst = pyqrx.Symlistener()
    assert lst.connect("127.0.0.1", server.port)
    peer = server.accept()
    peer.close()
    with pytest.raises(pyqrx.ConnectionClosed) as info:
        lst.loop()
    assert isinstance(info.value, pyqrx.Error) and isinstance(info.value, Exception)
    assert str(info.value) == "CONNECTION_ERROR"


def test_commands_books_and_translation_are_documented_and_in_the_stub():
    tree = ast.parse(open(STUB).read())
    stub = {n.name: n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    for name in ("Command", "Response", "Translator", "depthTopic", "depthFields", "depthLevels",
                 "Book", "BookInfo", "BookData", "BookLeg", "BookRequest", "BookFilter",
                 "BookStatus", "DepthBook", "Level"):
        assert name in stub and getattr(pyqrx, name).__doc__, name
    for cls in (pyqrx.Command, pyqrx.Response, pyqrx.Translator):
        public = {m for m in vars(cls) if not m.startswith("_")}
        members = {n.name for n in stub[cls.__name__].body
                   if isinstance(n, ast.FunctionDef)} | {
            n.target.id for n in stub[cls.__name__].body if isinstance(n, ast.AnnAssign)}
        assert public <= members, (cls, public - members)
        for m in public:
            assert getattr(cls, m).__doc__, m
    # The named tuples' fields are those of the stub, in order.
    for name in ("Book", "BookInfo", "BookData", "BookLeg", "BookRequest", "BookFilter",
                 "BookStatus", "DepthBook", "Level"):
        fields = [n.target.id for n in stub[name].body if isinstance(n, ast.AnnAssign)]
        assert list(getattr(pyqrx, name)._fields) == fields, name
