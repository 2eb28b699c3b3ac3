"""``convert``: a table (CSV, Parquet, Arrow) into a bar file, or into a
directory of bar files, one per ticker."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TextIO

from .._columns import ROLES, parse_column_option
from .._convert import convert, summary
from .._spans import parse_span
from .._table import Reading, check_ticker
from .options import Commands, add_force, add_kind, add_progress, add_zone, argument_type, check_output, kind


def add(commands: Commands) -> None:
    command = commands.add_parser("convert", help="convert an OHLCV CSV table into a bar file",
                                  description="Convert an OHLCV CSV table into a bar file, written whole or "
                                              "not at all.")
    command.add_argument("input", metavar="IN.csv")
    command.add_argument("output", metavar="OUT.bars")
    add_conversion(command)
    add_force(command)
    command.set_defaults(run=run)


def add_conversion(parser: argparse.ArgumentParser) -> None:
    """The options that say how to read a table and make its bars (``convert`` and ``demo``)."""
    parser.add_argument("--ticker", type=argument_type(check_ticker),
                        help="the ticker of the bars (default: the file's name)")
    add_kind(parser)
    parser.add_argument("--span", type=argument_type(parse_span), metavar="SECONDS",
                        help="the span of each bar in seconds, or with a unit: 5m, 1h, 1d (default: inferred)")
    parser.add_argument("--stamp", choices=("start", "end"), default="start",
                        help="whether an intraday row's time is its bar's start (default) or end")
    add_zone(parser)
    add_reading_options(parser)
    add_progress(parser)


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    target = Path(arguments.output)
    check_output(target, "directory" if target.is_dir() else "file", arguments, inputs=(arguments.input,))
    tables = convert(arguments.input, target, ticker=arguments.ticker, kind=kind(arguments),
                     span=arguments.span, stamp=arguments.stamp, show_progress=arguments.progress, tz=arguments.tz,
                     **reading_of(arguments))
    for line in summary(tables):
        print(line, file=out)
    return 0


_DELIMITERS = {"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|", "\\t": "\t"}


def _delimiter(text: str) -> str:
    value = _DELIMITERS.get(text.lower(), text)
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(f"a delimiter is one character (or comma, semicolon, tab, pipe), not {text!r}")
    return value


def _column(roles: Sequence[str]) -> Callable[[str], tuple[str, str]]:
    def column(text: str) -> tuple[str, str]:
        try:
            return parse_column_option(text, roles)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return column


def _decimal(text: str) -> str:
    if text not in (".", ","):
        raise argparse.ArgumentTypeError(f"the decimal mark is '.' or ',', not {text!r}")
    return text


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"a number of lines, 0 or more, not {text!r}")
    return int(text)


def _thousands(text: str) -> str:
    if text not in (",", ".", " ", "'", "_"):
        raise argparse.ArgumentTypeError(f"the thousands separator is one of , . ' _ or a blank, not {text!r}")
    return text


def add_reading_options(parser: argparse.ArgumentParser, roles: Sequence[str] = ROLES,
                        skip_invalid: bool = True) -> None:
    """The options that say how to read a table, for ``convert`` and ``demo`` (and,
    with the roles of a trade table's columns and no ``--skip-invalid``, ``aggregate``)."""
    group = parser.add_argument_group("reading the table (sniffed unless given)")
    group.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                       help="the field delimiter: a character, or comma, semicolon, tab, pipe")
    group.add_argument("--no-header", dest="header", action="store_const", const=False,
                       help="the first line is data: columns are date[, time], open, high, low, close[, volume] "
                            "unless --column says otherwise")
    group.add_argument("--encoding", metavar="NAME", help="the text encoding, e.g. latin-1 (default: UTF-8, or "
                                                          "UTF-16 by its byte-order mark)")
    group.add_argument("--decimal", type=_decimal, metavar="MARK", help="the decimal mark of numbers: . or ,")
    group.add_argument("--column", type=_column(roles), action="append", metavar="ROLE=NAME_OR_POSITION",
                       help=f"the column that plays a role ({', '.join(roles)}), by header name or 1-based "
                            "position; may be repeated")
    group.add_argument("--date-format", metavar="PATTERN",
                       help="the pattern of the times as Python's strptime takes it, e.g. %%m/%%d/%%Y or "
                            "\"%%d.%%m.%%Y %%H:%%M:%%S.%%f\" (a time of day may follow a date's pattern)")
    group.add_argument("--skip-rows", type=_count, default=0, metavar="N",
                       help="lines before the header (or the data) that are not the table's")
    group.add_argument("--thousands", type=_thousands, metavar="CHAR",
                       help="the thousands separator of numbers, e.g. , for \"3,543.55\" (found by itself in "
                            "most tables)")
    if skip_invalid:
        group.add_argument("--skip-invalid", action="store_true",
                           help="skip rows whose every price is empty or null (days without trading); the summary "
                                "counts them")


def reading_of(arguments: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of ``convert`` that the options of ``add_reading_options`` give."""
    reading = Reading(delimiter=arguments.delimiter, header=arguments.header, encoding=arguments.encoding,
                      decimal=arguments.decimal, columns=dict(arguments.column or ()),
                      date_format=arguments.date_format, skip_rows=arguments.skip_rows,
                      thousands=arguments.thousands,
                      skip_invalid=getattr(arguments, "skip_invalid", False))
    return {"reading": reading}
