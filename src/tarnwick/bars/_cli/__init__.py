"""The bar-file tool: ``python -m tarnwick.bars`` or ``tarnwick-bars``.

Each command is a module of this package with ``add(commands)``, which adds
its parser and sets ``run`` (a function of the arguments and the output
stream that returns the exit status); ``COMMANDS`` lists them.  Options and
checks that several commands share are in ``options``.  Commands refuse to
replace an existing output unless given ``--force``, and never replace an
input or a special file; whatever they write appears whole or not at all,
also when stopped (see ``_output``).
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .._output import describe_error, stops_raise
from . import aggregate, convert, demo, export, resample, show
from .options import PROGRAM, CommandError, Commands

COMMANDS: tuple[Callable[[Commands], None], ...] = (convert.add, aggregate.add, export.add, resample.add, show.add,
                                                    demo.add)
"""The commands of the tool, in the order its help lists them."""


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarnwick")
    except PackageNotFoundError:
        return "unknown"


class _VersionAction(argparse._VersionAction):
    """``--version``, which looks the version up only when asked (its lookup
    imports more than a whole conversion needs)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        self.version = f"{PROGRAM} {_version()}"
        super().__call__(parser, namespace, values, option_string)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROGRAM, description="Bar files: 101-byte bar records back to back, "
                                                            "after a header that states their kind.")
    top.add_argument("--version", action=_VersionAction)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in COMMANDS:
        add(commands)
    return top


def stopped(stop: KeyboardInterrupt) -> int:
    """Says in one line that the tool was stopped (Ctrl-C, SIGTERM, SIGHUP),
    and gives the exit status for it: 128 plus the signal's number, as
    shells give (130 for Ctrl-C)."""
    number = getattr(stop, "signal_number", signal.SIGINT)
    what = "interrupted" if number == signal.SIGINT else f"stopped by {signal.Signals(number).name}"
    print(f"{PROGRAM}: {what}", file=sys.stderr)
    return 128 + number


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the tool; returns its exit status (0 done, 1 failed, 2 misused,
    128 plus the signal's number when stopped: 130 for Ctrl-C)."""
    out = sys.stdout if out is None else out
    try:
        with stops_raise():
            arguments = parser().parse_args(argv)
            status: int = arguments.run(arguments, out)
    except KeyboardInterrupt as stop:
        # What was being written is gone already (see ``_output``).
        return stopped(stop)
    except BrokenPipeError:
        # The reader went away (``show ... | head``): nothing more to say, and
        # nothing for Python to fail to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as error:
        print(f"{PROGRAM}: error: {describe_error(error)}", file=sys.stderr)
        return 1
    except (CommandError, ValueError, ImportError) as error:
        # ValueError covers TableError, BarFileError and OutputError, whose messages name the file.
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return status
