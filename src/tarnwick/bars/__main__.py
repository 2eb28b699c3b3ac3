"""``python -m tarnwick.bars`` and ``tarnwick-bars``: the bar-file tool."""

import os
import sys


def main() -> int:
    try:
        # The tool makes no use of numpy's BLAS, whose threads would start with
        # numpy and spin for a while, taking a core from the table reader's
        # threads.  Only the tool's own process is told so, before numpy starts.
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
        from tarnwick.bars._cli import main as run
    except KeyboardInterrupt:  # Ctrl-C while the modules load: nothing was begun
        print("tarnwick-bars: interrupted", file=sys.stderr)
        return 130
    return run()


if __name__ == "__main__":
    sys.exit(main())
