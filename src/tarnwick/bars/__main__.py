"""``python -m tarnwick.bars``: the bar-file tool."""

import sys

from tarnwick.bars import main

if __name__ == "__main__":
    sys.exit(main())
