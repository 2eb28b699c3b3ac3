"""Converting a table into bar files piece by piece: each piece of the table
is checked, its times placed in their zone, packed and written while the
next one is read, so memory follows the piece, not the file.

What the whole table would decide is decided on the first piece (the kind
of bars, each ticker's span, how dates are written) or carried from piece
to piece (each ticker's last row, for the order of rows and for the hour
the clocks repeat).  A table that this cannot read (one whose cells need
reading again untyped, one newest first, one whose later pieces contradict
the first) raises ``Unstreamable``, and ``convert`` reads it whole instead.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
from collections.abc import Generator, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

import numpy

from ._file import RecordWriter
from ._output import errors_about, output_directory, output_file, stand_in, stops_raise
from ._pack import pack
from ._progress import Progress
from ._records import RECORD_SIZE, Kind, record_dtype, ticker_file_name
from ._source import Source, TableError, Unstreamable, read_pieces
from ._table import (Carried, Finisher, Reader, Reading, SpanRule, Stamp, TableBars, Values, any_time_of_day,
                     skipped_note)

PIECE_BYTES = 8 << 20
"""Text read per piece of a CSV file: some 160,000 rows of one-minute bars."""
PIECE_ROWS = 1 << 18
"""Rows read per piece of a Parquet file (an Arrow IPC file is read a record batch a piece)."""
CHUNK_BARS = 1 << 13
"""Bars packed per chunk: about 0.8 MB, which stays in the processor's cache
until the writer has copied it out."""
MOST_TICKERS = 256
"""Tickers written side by side, a file open for each; a table of more is read whole."""

T = TypeVar("T")


@dataclasses.dataclass(frozen=True)
class Options:
    """What ``convert`` was asked (see ``load_tables``)."""

    ticker: str | None
    kind: Kind | None
    span: float | None
    stamp: Stamp
    reading: Reading
    zone: Any  # a tzinfo, or None for the machine's zone


class _TickerOutput:
    """One ticker's bars as they are written: its temporary file, its span
    rule, and its last row so far (its key and its row in the file)."""

    def __init__(self, name: str, path: Path) -> None:
        self.name, self.path = name, path
        self.ticker = name.encode("utf-8")
        self.writer = RecordWriter(path)
        self.rule: SpanRule | None = None
        self.last: tuple[int, int] | None = None


class _Stream:
    """The state carried from one piece to the next, and the outputs."""

    def __init__(self, options: Options, destination: Path) -> None:
        self.options, self.destination = options, destination
        self.kind = options.kind
        self.inferred_kind = False
        self.reading = options.reading
        self.carried = Carried()
        self.outputs: dict[str, _TickerOutput] = {}
        self.notes: dict[str, None] = {}
        self.absent: tuple[str, ...] = ()
        self.skipped: tuple[int, int] | None = None  # rows skipped for want of prices, and the first's file row
        self.first_source: Source | None = None  # for the notes, which name lines
        self.buffer = memoryview(bytearray(CHUNK_BARS * RECORD_SIZE))  # reused by every chunk of every piece

    def add(self, source: Source) -> None:
        reader = Reader(source, self.options.zone, self.reading, whole=False)
        if reader.skipped is not None:
            count, first = self.skipped or (0, reader.skipped[1])
            self.skipped = (count + reader.skipped[0], first)
        piece = reader.piece(self.options.ticker, self.carried, forward=True, every_piece=True)
        if reader.date_format != self.reading.date_format:  # found on the first piece: kept for the others
            self.reading = dataclasses.replace(self.reading, date_format=reader.date_format)
        self.first_source = self.first_source or source
        self.settle_kind(source, piece.values.local)
        assert self.kind is not None
        stamp = "end" if "end" in source.layout.columns else self.options.stamp
        finisher = Finisher(source, self.kind, self.options.span, stamp, piece.absent, piece.notes)
        self.notes.update(dict.fromkeys(finisher.notes))
        self.absent = finisher.absent
        for index, values in piece.values.by_ticker(piece.groups, len(piece.names)):
            self.write(self.output(piece.names[index]), finisher, values, source)

    def settle_kind(self, source: Source, local: Any) -> None:
        """The kind of bars: given, stated by the table, or daily when no row
        of the first piece has a time of day (and then of no other piece)."""
        if self.kind is None:
            self.kind = source.stated_kind or ("intraday" if any_time_of_day(local) else "daily")
            self.inferred_kind = source.stated_kind is None
        elif self.inferred_kind and self.kind == "daily" and any_time_of_day(local):
            raise Unstreamable("a time of day after a first piece of dates")

    def output(self, name: str) -> _TickerOutput:
        output = self.outputs.get(name)
        if output is None:
            if len(self.outputs) == MOST_TICKERS:
                raise Unstreamable("more tickers than files to keep open")
            output = _TickerOutput(name, stand_in(self.destination, ".tmp"))
            self.outputs[name] = output
        return output

    def write(self, output: _TickerOutput, finisher: Finisher, values: Values, source: Source) -> None:
        keys = finisher.keys(values)
        if finisher.order(keys, values.rows, output.last):
            raise NewestFirst
        if output.rule is None:
            if len(keys) < 2 and self.options.span is None and values.spans is None:
                raise Unstreamable("a ticker's first piece too short to infer its span from")
            output.rule = finisher.span_rule(keys, values.spans)
        timestamps, spans = finisher.stamped(keys, values, output.rule)
        columns = (timestamps, spans, values.high, values.low, values.open, values.close, values.volume,
                   values.notional)
        for start in range(0, len(keys), CHUNK_BARS):
            count = min(CHUNK_BARS, len(keys) - start)
            chunk = self.buffer[:count * RECORD_SIZE]
            pack(chunk, output.ticker, columns, values.trades, start)
            output.writer.write(chunk)
        last = len(keys) - 1 if values.rows is None else int(values.rows[-1])
        output.last = (int(keys[-1]), source.in_file(last))

    def all_notes(self) -> tuple[str, ...]:
        """The notes of every piece, once each, and the rows skipped in all of them."""
        skipped = () if self.skipped is None or self.first_source is None else \
            (skipped_note(*self.skipped, self.first_source),)
        return tuple(self.notes) + skipped

    def span_text(self, output: _TickerOutput, stamp: Stamp) -> str:
        assert output.rule is not None
        return output.rule.text if self.kind == "daily" else f"{output.rule.text}, rows stamped at the bar's {stamp}"


class NewestFirst(Unstreamable):
    """The first piece runs newest first: the table is read whole, to be turned round."""


NEWEST_FIRST_NOTE = "the table runs newest first: it was read a second time, whole, to turn it round"


def stream_convert(path: Path, destination: Path, options: Options, meter: Progress | None) -> list[TableBars]:
    """Converts the table at ``path`` piece by piece (see the module's text);
    returns the bars written, read back from their files."""
    stream = _Stream(options, Path(os.path.realpath(destination)))
    reading = options.reading
    pieces = read_pieces(path, meter, PIECE_BYTES, PIECE_ROWS, delimiter=reading.delimiter, header=reading.header,
                         encoding=reading.encoding, decimal=reading.decimal, thousands=reading.thousands,
                         skip=reading.skip_rows, columns=reading.columns, date_format=reading.date_format)
    stamp = options.stamp
    with stops_raise(), errors_about(destination):  # errors about the temporaries name the output
        try:
            with contextlib.closing(_read_ahead(pieces)) as ahead:
                for source in ahead:
                    stream.add(source)
                    stamp = "end" if "end" in source.layout.columns else options.stamp
            if options.ticker is not None and not stream.outputs:
                raise Unstreamable("no rows of the ticker chosen")  # the whole reading names the tickers there are
            outputs = list(stream.outputs.values())
            if len(outputs) > 1 and destination.exists() and not destination.is_dir():
                raise TableError(f"{path} holds {len(outputs)} tickers, which go into a directory of files, but "
                                 f"{destination} is a file; give a directory, or choose one ticker with --ticker")
            assert stream.kind is not None
            for output in outputs:
                output.writer.finish(stream.kind)
            targets = _put_in_place(outputs, destination, path)
        finally:
            for output in stream.outputs.values():
                output.path.unlink(missing_ok=True)
                with contextlib.suppress(OSError):  # (closing flushes, which fails again on a full disk)
                    output.writer.file.close()
    return [_read_back(target, path, output.name, stream.kind, stream.span_text(output, stamp),
                       stream.absent, stream.all_notes())
            for output, target in zip(outputs, targets)]


def _put_in_place(outputs: list[_TickerOutput], destination: Path, source: Path) -> list[Path]:
    """Moves the finished files into place: one ticker's as ``destination``,
    several tickers' into it as a directory, whole or not at all."""
    if len(outputs) == 1:
        with output_file(destination, inputs=(source,)) as temporary:
            os.replace(outputs[0].path, temporary)
        return [destination]
    with output_directory(destination, inputs=(source,)) as scratch:
        for output in outputs:
            os.replace(output.path, scratch / ticker_file_name(output.name))
    return [destination / ticker_file_name(output.name) for output in outputs]


def _read_ahead(items: Iterator[T]) -> Generator[T]:
    """The items, each next one read in another thread while the caller works
    on the one before (pyarrow lets go of the interpreter while it reads, so
    the reading takes the second core)."""
    try:
        with ThreadPoolExecutor(1, thread_name_prefix="tarnwick-read") as pool:
            ahead = pool.submit(next, items, None)
            while (item := ahead.result()) is not None:
                ahead = pool.submit(next, items, None)
                yield item
    finally:
        close = getattr(items, "close", None)
        if close is not None:
            close()


def _read_back(target: Path, source: Path, ticker: str, kind: Kind | None, span_text: str,
               absent: tuple[str, ...], notes: tuple[str, ...]) -> TableBars:
    """The bars written to ``target`` as ``TableBars`` whose columns are views
    of a mapping of the file: they cost no memory beyond the page cache."""
    records = numpy.memmap(target, record_dtype(), mode="r", offset=RECORD_SIZE)
    return TableBars(source=source, ticker=ticker, kind=kind or "intraday", span_text=span_text, reversed=False,
                     timestamps=records["timestamp"], spans=records["bar_span"], high=records["high_price"],
                     low=records["low_price"], open=records["open_price"], close=records["close_price"],
                     volume=records["volume"], notional=records["notional"], trades=records["trade_count"],
                     absent=absent, notes=notes, target=target)

