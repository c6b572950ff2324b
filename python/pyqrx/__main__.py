"""python3 -m pyqrx: the qrx command line."""

import sys

from pyqrx.cli import main

if __name__ == "__main__":
    sys.exit(main())
