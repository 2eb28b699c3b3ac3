"""``convert``: a table (CSV, Parquet, Arrow) into a bar file, or into a
directory of bar files, one per ticker."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TextIO

from .._convert import add_convert_options, convert, reading_of, summary
from .._spans import parse_span
from .._table import check_ticker
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
    add_convert_options(parser)
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
