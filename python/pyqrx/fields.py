"""Every name of the field dictionary as a constant: pyqrx.fields.bid == 0.

Usable as dict keys when publishing: proxy.publish("IBM", {fields.bid: 181.2}).
A name that is a Python keyword gets a trailing underscore (fields.yield_).
"""

import keyword

from . import _pyqrx


def _define():
    names = {}
    for flid in range(2048):
        name = _pyqrx.fieldName(flid)
        if name is not None:
            names[name + "_" if keyword.iskeyword(name) else name] = flid
    return names


globals().update(_define())
__all__ = sorted(_define())
del _define
