"""Converting tables into bar files: the library's ``convert`` and the
command-line options that feed it."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from ._columns import ROLES, parse_column_option
from ._file import StrPath, write
from ._output import check_target, output_directory
from ._pack import pack
from ._progress import AUTO_THRESHOLD, Progress, progress
from ._records import RECORD_SIZE, Kind, ticker_file_name
from ._spans import SpanLike
from ._table import Reading, Stamp, TableBars, TableError, load_tables
from ._zones import TimeZone

CHUNK_BARS = 1 << 13
"""Bars packed per chunk: about 0.8 MB, which stays in the processor's cache
until ``write`` has copied it out."""


def convert(source: StrPath, target: StrPath, *, ticker: str | None = None, kind: Kind | None = None,
            span: SpanLike | None = None, stamp: Stamp = "start", show_progress: bool | None = None,
            reading: Reading = Reading(), tz: TimeZone = None) -> list[TableBars]:
    """Reads the table ``source`` (CSV, Parquet or Arrow IPC; see ``load_tables``)
    and writes its bars to the bar file ``target``, whole or not at all.

    A table of several tickers (a ticker or symbol column) makes ``target`` a
    directory holding one file per ticker, named by ``ticker_file_name``, put
    in place whole (see ``_output.output_directory``); ``ticker`` chooses one
    of them instead.  Returns the bars written, one ``TableBars`` per file,
    with ``target`` set.  ``show_progress`` None shows progress bars on a
    terminal for large tables; ``tz`` is the zone of times without an offset
    (None: ``PROFILE.time_zone``).  Refuses to write over ``source`` itself,
    or into a directory that holds it."""
    destination = Path(target)
    check_target(destination, "directory" if destination.is_dir() else "file", inputs=(source,))
    tables = load_tables(source, ticker=ticker, kind=kind, span=span, stamp=stamp, show_progress=show_progress,
                         reading=reading, tz=tz)
    if len(tables) > 1 and destination.exists() and not destination.is_dir():
        raise TableError(f"{source} holds {len(tables)} tickers, which go into a directory of files, but "
                         f"{destination} is a file; give a directory, or choose one ticker with --ticker")
    large = Path(source).stat().st_size >= AUTO_THRESHOLD and sys.stderr.isatty()
    enabled = large if show_progress is None else show_progress
    meter = progress(sum(map(len, tables)), f"writing {destination.name}", unit="bar", enabled=enabled)
    try:
        if len(tables) == 1:
            write(destination, _chunks(tables[0], meter), kind=tables[0].kind)
            tables[0].target = destination
            return tables
        with output_directory(destination, inputs=(source,)) as scratch:
            for table in tables:
                name = ticker_file_name(table.ticker)
                write(scratch / name, _chunks(table, meter), kind=table.kind)
                table.target = destination / name
    finally:
        meter.close()
    return tables


def _chunks(table: TableBars, meter: Progress) -> Iterator[memoryview]:
    """The table's records, packed natively a chunk at a time into one buffer
    (``write`` has written each chunk before it asks for the next)."""
    ticker = table.ticker.encode("utf-8")
    columns = table.float_columns
    buffer = memoryview(bytearray(min(CHUNK_BARS, len(table)) * RECORD_SIZE))
    for start in range(0, len(table), CHUNK_BARS):
        count = min(CHUNK_BARS, len(table) - start)
        chunk = buffer[:count * RECORD_SIZE]
        pack(chunk, ticker, columns, table.trades, start)
        meter.update(count)
        yield chunk


def summary(tables: list[TableBars]) -> list[str]:
    """What ``convert`` did, for people: a line per file, then how the table was read."""
    lines = []
    for table in tables:
        turned = " (the table was newest first: turned round)" if table.reversed else ""
        lines.append(f"{table.target}: {len(table)} {table.kind} bars of {table.ticker} from {table.source}{turned}")
    spans = {table.span_text for table in tables}
    if len(spans) == 1:
        lines.append(f"span: {spans.pop()}")
    else:
        lines.extend(f"span of {table.ticker}: {table.span_text}" for table in tables)
    lines.extend(dict.fromkeys(note for table in tables for note in table.notes))
    return lines


# ---- the command line ---------------------------------------------------------------

_DELIMITERS = {"comma": ",", "semicolon": ";", "tab": "\t", "pipe": "|", "\\t": "\t"}


def _delimiter(text: str) -> str:
    value = _DELIMITERS.get(text.lower(), text)
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(f"a delimiter is one character (or comma, semicolon, tab, pipe), not {text!r}")
    return value


def _column(text: str) -> tuple[str, str]:
    try:
        return parse_column_option(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


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


def add_convert_options(parser: argparse.ArgumentParser) -> None:
    """The options that say how to read a table, for ``convert`` and ``demo``."""
    group = parser.add_argument_group("reading the table (sniffed unless given)")
    group.add_argument("--delimiter", type=_delimiter, metavar="CHAR",
                       help="the field delimiter: a character, or comma, semicolon, tab, pipe")
    group.add_argument("--no-header", dest="header", action="store_const", const=False,
                       help="the first line is data: columns are date[, time], open, high, low, close[, volume] "
                            "unless --column says otherwise")
    group.add_argument("--encoding", metavar="NAME", help="the text encoding, e.g. latin-1 (default: UTF-8, or "
                                                          "UTF-16 by its byte-order mark)")
    group.add_argument("--decimal", type=_decimal, metavar="MARK", help="the decimal mark of numbers: . or ,")
    group.add_argument("--column", type=_column, action="append", metavar="ROLE=NAME_OR_POSITION",
                       help=f"the column that plays a role ({', '.join(ROLES)}), by header name or 1-based "
                            "position; may be repeated")
    group.add_argument("--date-format", metavar="PATTERN",
                       help="the pattern of the times as Python's strptime takes it, e.g. %%m/%%d/%%Y or "
                            "\"%%d.%%m.%%Y %%H:%%M:%%S.%%f\" (a time of day may follow a date's pattern)")
    group.add_argument("--skip-rows", type=_count, default=0, metavar="N",
                       help="lines before the header (or the data) that are not the table's")
    group.add_argument("--thousands", type=_thousands, metavar="CHAR",
                       help="the thousands separator of numbers, e.g. , for \"3,543.55\" (found by itself in "
                            "most tables)")
    group.add_argument("--skip-invalid", action="store_true",
                       help="skip rows whose every price is empty or null (days without trading); the summary "
                            "counts them")


def reading_of(arguments: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of ``convert`` that the options of ``add_convert_options`` give."""
    reading = Reading(delimiter=arguments.delimiter, header=arguments.header, encoding=arguments.encoding,
                      decimal=arguments.decimal, columns=dict(arguments.column or ()),
                      date_format=arguments.date_format, skip_rows=arguments.skip_rows,
                      thousands=arguments.thousands, skip_invalid=arguments.skip_invalid)
    return {"reading": reading}
