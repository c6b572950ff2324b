"""Market-data client and feed-handler end of the Sym service.

Symlistener connects to a symbol server, subscribes to topics and hands every
update to a callable as a dict {field id: value}. Symproxy listens for the
symbol server, learns of its subscriptions through callables and publishes
ticks from dicts. The qrx command line (python3 -m pyqrx) is built on them.
"""

from . import _pyqrx
from ._pyqrx import *  # noqa: F401,F403
from ._pyqrx import __version__
from .listener import STATUS_CONNECTION_LOST, STATUS_CONNECTION_RESTORED, Symlistener
from . import fields  # noqa: E402  (needs the extension loaded above)



class Error(Exception):
    """Base of the errors the package raises."""


class ConnectionClosed(Error):
    """The connection to the peer ended."""


class LogonError(Error):
    """The symbol server refused the logon; the text is the server's."""


class LogonTimeout(Error):
    """No logon verdict came in time."""


__all__ = [name for name in vars(_pyqrx) if not name.startswith("_")] + [
    "__version__", "Error", "ConnectionClosed", "LogonError", "LogonTimeout",
    "STATUS_CONNECTION_LOST", "STATUS_CONNECTION_RESTORED"]

# The classes and functions present themselves as members of the package.
for _name in ("Symlistener", "Symproxy", "fieldName", "fieldId", "named", "parseTopic",
              "Command", "Response", "Translator", "depthFields", "depthLevels",
              "depthTopic", "filterTopic", "sourceTopic", "sizesTopic", "portfolioTopic",
              "mmidTopic", "riskUserTopic", "optionUserTopic", "greekTopic", "aliasTopic"):
    try:
        globals()[_name].__module__ = __name__
    except (AttributeError, TypeError):
        pass
del _name
