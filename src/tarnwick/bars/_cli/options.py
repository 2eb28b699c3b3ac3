"""What the tool's commands share: the options several of them take, the
checks of an output before any work starts, and the error they report in
one line."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Iterable
from typing import Any

from .._file import StrPath
from .._ranges import parse_moment, select
from .._records import Kind
from .._output import Shape, check_target, stops_deferred
from .._sequence import BarSequence
from .._zones import parse_zone

PROGRAM = "tarnwick-bars"

Commands = Any  # argparse's subparsers action, which has no public type


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


def argument_type(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    """An argparse type from a parser of text that raises ``ValueError``: its
    message becomes the usage error."""
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    convert.__name__ = parse.__name__
    return convert


def positive(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a count: {text}")
    return value


def _zone_text(text: str) -> str:
    parse_zone(text)  # refused while the options are read, as a usage error
    return text


def kind(arguments: argparse.Namespace) -> Kind | None:
    chosen: Kind | None = arguments.kind
    return chosen


def check_output(target: StrPath, shape: Shape, arguments: argparse.Namespace,
                 inputs: Iterable[StrPath] = ()) -> None:
    """Refuses, before any work, an output that the command may not write:
    an input, a special file, or an existing output without ``--force``."""
    check_target(target, shape, inputs=inputs, force=arguments.force)


def check_plotting() -> None:
    try:
        # A stop waits for the import: one that breaks into matplotlib's native
        # modules comes out as an ImportError, or a crash as the process ends.
        with stops_deferred():
            import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("charts need matplotlib: pip install 'tarnwick[plot]'") from None


def add_kind(parser: argparse.ArgumentParser, when: str = "") -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--daily", dest="kind", action="store_const", const="daily",
                       help=when + "daily bars (DailyBar: market dates, spans in days)")
    group.add_argument("--intraday", dest="kind", action="store_const", const="intraday",
                       help=when + "intraday bars (BarData: epoch seconds, spans in seconds)")


def add_force(parser: argparse.ArgumentParser, help: str = "replace an existing output") -> None:
    parser.add_argument("--force", action="store_true", help=help)


def add_zone(parser: argparse.ArgumentParser) -> None:
    """``--tz``, kept as the text given (None when not given), which the
    command passes on as ``tz=``: the library reads it as it reads any."""
    parser.add_argument("--tz", type=argument_type(_zone_text), metavar="ZONE",
                        help="time zone of the bar times: a name such as America/New_York, UTC, or local; "
                             "default: PROFILE's, UTC")


def add_window(parser: argparse.ArgumentParser) -> None:
    """``--from`` and ``--to``: each ticker's bars within a window (see ``window``)."""
    for option, dest, side in (("--from", "start", "first"), ("--to", "end", "last")):
        parser.add_argument(option, dest=dest, type=argument_type(parse_moment), metavar="TIME",
                            help=f"only the bars within the window from --from to --to: an ISO date (its {side} "
                                 "moment) or date-time (2024-03-01T09:30), in --tz unless it has an offset")


def window(bars: BarSequence[Any], arguments: argparse.Namespace) -> BarSequence[Any]:
    """The bars of an open file that ``--from`` and ``--to`` ask for (all of them without either)."""
    if arguments.start is None and arguments.end is None:
        return bars
    return select(bars, arguments.start, arguments.end, tz=arguments.tz)


def add_progress(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_const", const=True,
                       help="always show a progress bar")
    group.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                       help="never show one (default: on a terminal for large tables)")
