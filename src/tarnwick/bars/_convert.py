"""Converting tables into bar files: the library's ``convert`` and the
summary it gives for people."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

from ._file import StrPath, write
from ._output import check_target, output_directory
from ._pack import pack
from ._progress import AUTO_THRESHOLD, Progress, is_silent, progress
from ._records import RECORD_SIZE, Kind, ticker_file_name
from ._source import Unstreamable
from ._spans import SpanLike
from ._stream import CHUNK_BARS, NEWEST_FIRST_NOTE, NewestFirst, Options, stream_convert
from ._table import Reading, Stamp, TableBars, TableError, checked_options, load_tables
from ._times import check_date_format
from ._zones import TimeZone, resolve_zone

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
    or into a directory that holds it.

    The table is read, checked and written piece by piece, so that memory
    follows the piece and not the file (see ``_stream``); the bars returned
    are views of the files written.  A table that runs newest first is read
    a second time, whole, to be turned round (its notes say so)."""
    destination = Path(target)
    check_target(destination, "directory" if destination.is_dir() else "file", inputs=(source,))
    path, seconds = Path(source), checked_options(ticker, span, stamp)
    if reading.date_format is not None:
        try:
            check_date_format(reading.date_format)
        except ValueError as error:
            raise TableError(str(error)) from None
    large = path.stat().st_size >= AUTO_THRESHOLD and sys.stderr.isatty()
    enabled = large if show_progress is None else show_progress
    options = Options(ticker, kind, seconds, stamp, reading, resolve_zone(tz))
    meter = progress(path.stat().st_size, f"converting {path.name}", enabled=enabled)
    try:
        return stream_convert(path, destination, options, None if is_silent(meter) else meter)
    except Unstreamable as reason:
        newest_first = isinstance(reason, NewestFirst)
    finally:
        meter.close()
    tables = _convert_whole(path, destination, ticker=ticker, kind=kind, span=span, stamp=stamp,
                            show_progress=enabled, reading=reading, tz=tz)
    if newest_first:
        for table in tables:
            table.notes += (NEWEST_FIRST_NOTE,)
    return tables


def _convert_whole(source: Path, destination: Path, *, show_progress: bool, **options: Any) -> list[TableBars]:
    """``convert`` of the table read whole: for the tables that cannot be read in pieces."""
    tables = load_tables(source, show_progress=show_progress, **options)
    if len(tables) > 1 and destination.exists() and not destination.is_dir():
        raise TableError(f"{source} holds {len(tables)} tickers, which go into a directory of files, but "
                         f"{destination} is a file; give a directory, or choose one ticker with --ticker")
    meter = progress(sum(map(len, tables)), f"writing {destination.name}", unit="bar", enabled=show_progress)
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
