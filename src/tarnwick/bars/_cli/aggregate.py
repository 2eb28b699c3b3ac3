"""``aggregate``: a table of trades into a bar file of time, tick, volume or
value bars, or into a directory of bar files, one per ticker."""

from __future__ import annotations

import argparse
from collections.abc import Iterator
from pathlib import Path
from typing import TextIO

from .._columns import TRADE_ROLES
from .._file import write
from .._output import OutputError, output_directory
from .._records import RECORD_SIZE, record_dtype, ticker_file_name
from .._spans import Span
from .._table import check_ticker
from .convert import add_reading_options, reading_of
from .options import Commands, add_force, add_progress, add_zone, argument_type, check_output
from .resample import CHUNK, check_clock, check_session


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(f"a number of trades, 1 or more, not {text}")
    return value


def _amount(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise ValueError(f"a positive amount, not {text}")
    return value


def add(commands: Commands) -> None:
    command = commands.add_parser(
        "aggregate", help="make bars from a table of trades",
        description="Make bars from a table of trades (CSV, gzip CSV, Parquet, Arrow): time bars of a span, or "
                    "bars that close every N trades, every V units traded or every X of notional traded.  A table "
                    "of several tickers makes OUT a directory of bar files, one per ticker.  Written whole or not "
                    "at all.")
    command.add_argument("input", metavar="TRADES")
    command.add_argument("output", metavar="OUT", help="the bar file, or a directory for several tickers' files")
    rule = command.add_mutually_exclusive_group(required=True)
    rule.add_argument("--span", type=argument_type(Span.parse),
                      help="time bars of this span: 1min, 5min, 1h (on the local wall clock), 1d, 1w, 1mo (daily)")
    rule.add_argument("--ticks", type=argument_type(_count), metavar="N", help="a bar every N trades")
    rule.add_argument("--volume", type=argument_type(_amount), metavar="V",
                      help="a bar every V units traded (a trade that crosses V is split between bars)")
    rule.add_argument("--value", type=argument_type(_amount), metavar="X",
                      help="a bar every X of notional traded (split as --volume is)")
    add_zone(command)
    command.add_argument("--session", metavar="HH:MM-HH:MM", type=argument_type(check_session),
                         help="time bars: only the trades within these local hours")
    command.add_argument("--origin", metavar="HH:MM", type=argument_type(check_clock),
                         help="time bars: a local time of day on which a bucket starts (default midnight)")
    command.add_argument("--fill", action="store_true",
                         help="time bars: a bar for every bucket without trades too, at the previous close")
    command.add_argument("--ticker", type=argument_type(check_ticker),
                         help="the ticker of the bars (default: the file's name), or the one to take from a table "
                              "of several")
    add_reading_options(command, TRADE_ROLES, skip_invalid=False)
    add_progress(command)
    add_force(command, "replace an existing OUT (a directory only if it holds nothing but an earlier output)")
    command.set_defaults(run=run)


def run(arguments: argparse.Namespace, out: TextIO) -> int:
    from .._aggregate import aggregate

    source, target = Path(arguments.input), Path(arguments.output)
    check_output(target, "directory" if target.is_dir() else "file", arguments, inputs=(source,))
    bars = aggregate(source, span=arguments.span, ticks=arguments.ticks, volume=arguments.volume,
                     value=arguments.value, tz=arguments.tz, session=arguments.session, origin=arguments.origin,
                     fill=arguments.fill, ticker=arguments.ticker, show_progress=arguments.progress,
                     **reading_of(arguments))
    with memoryview(bars) as view:
        runs = ticker_runs(view)
        what = _rule(arguments)
        if len(runs) <= 1 and not target.is_dir():
            write(target, _chunks(view), kind=bars.kind)
            of = f" of {runs[0][0]}" if runs else ""  # (a session may leave no trade)
            print(f"{target}: {len(bars)} {bars.kind} bars{of}, {what}, from {source}", file=out)
            return 0
        if target.exists() and not target.is_dir():
            raise OutputError(f"{source} holds {len(runs)} tickers, which go into a directory of files, but "
                              f"{target} is a file; give a directory, or choose one ticker with --ticker")
        with output_directory(target, inputs=(source,)) as scratch:
            for ticker, start, stop in runs:
                write(scratch / ticker_file_name(ticker), _chunks(view[start:stop]), kind=bars.kind)
    for ticker, start, stop in runs:
        count = (stop - start) // RECORD_SIZE
        print(f"{target / ticker_file_name(ticker)}: {count} {bars.kind} bars of {ticker}, {what}, from {source}",
              file=out)
    return 0


def ticker_runs(records: memoryview) -> list[tuple[str, int, int]]:
    """Each ticker of records grouped by ticker, with the byte range of its records."""
    import numpy

    tickers = numpy.frombuffer(records, record_dtype())["ticker"]
    if not len(tickers):
        return []
    starts = numpy.flatnonzero(numpy.concatenate(([True], tickers[1:] != tickers[:-1])))
    stops = numpy.append(starts[1:], len(tickers))
    return [(bytes(tickers[start]).decode("utf-8"), int(start) * RECORD_SIZE, int(stop) * RECORD_SIZE)
            for start, stop in zip(starts, stops)]


def _rule(arguments: argparse.Namespace) -> str:
    """How the bars close, for the summary: "5min", "100 trades each", "volume 20 each"."""
    if arguments.span is not None:
        return str(arguments.span)
    if arguments.ticks is not None:
        return f"{arguments.ticks} trades each"
    return f"volume {arguments.volume:g} each" if arguments.volume is not None else f"value {arguments.value:g} each"


def _chunks(view: memoryview) -> Iterator[memoryview]:
    # In pieces, so that a stop ends the write (which removes its temporary file) at once.
    for offset in range(0, len(view), CHUNK):
        yield view[offset:offset + CHUNK]

