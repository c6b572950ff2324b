"""The module's own surface: version, field dictionary look-ups, docstrings and
the type stub installed beside it."""

import ast
import os

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
