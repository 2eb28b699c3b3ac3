"""OHLCV tables (CSV, Parquet, Arrow IPC) read into the values of bar
records, column-wise: ``_source`` reads the file into columns, ``_checks``
checks them (a refusal names the earliest bad line), and the reader here
places the times in their zone, splits the rows by ticker and makes each
ticker's rows bars of one kind and span."""

from __future__ import annotations

import datetime
import math
import os
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal, NoReturn

import numpy
import numpy.typing as npt
import pyarrow

from tarnwick.base.candlestick import BarData, DailyBar

from ._checks import DAY, Checks
from ._columns import TIME_ROLES, normal
from ._file import StrPath
from ._progress import Progress, is_silent, progress
from ._records import BAR_KIND_CODE, TICKER_BYTES, Kind, date_numbers, market_date
from ._source import Source, Unstreamable, read_source
from ._source import TableError as TableError  # raised here too; defined with the reading of files
from ._spans import Span, SpanLike, parse_span
from ._times import (DAY_US, EARLIEST, EPOCH_ORDINAL, LATEST, NO_EPOCH, US, NonexistentTime, Parsed,
                     check_date_format, localize, parse_texts, parse_typed, slashed_format, supported, to_local,
                     to_numpy)
from ._zones import TimeZone, resolve_zone

Stamp = Literal["start", "end"]
Floats = npt.NDArray[numpy.float64]
Mask = npt.NDArray[numpy.bool_]


def check_ticker(ticker: str) -> str:
    size = len(ticker.encode("utf-8"))
    if not ticker or size > TICKER_BYTES or "\0" in ticker:
        raise ValueError(f"a ticker is 1 to {TICKER_BYTES} bytes of UTF-8 without NUL, not {ticker!r}")
    return ticker


@dataclass(frozen=True)
class Reading:
    """How to read a table where sniffing is not enough (None: sniff it)."""

    delimiter: str | None = None
    header: bool | None = None
    encoding: str | None = None
    decimal: str | None = None
    columns: Mapping[str, str] = field(default_factory=dict)  # role -> name or 1-based position
    date_format: str | None = None  # the pattern of Python's strptime, e.g. "%d.%m.%Y %H:%M:%S.%f"
    skip_rows: int = 0  # lines before the header (or the data) that are not the table's
    thousands: str | None = None  # the separator of thousands in numbers: "3,543.55"
    skip_invalid: bool = False  # drop rows whose every price is empty or "null"


@dataclass
class TableBars:
    """The bars of one ticker of a table: the values of their records, in time order.

    ``timestamps`` and ``spans`` hold what the records hold: for intraday bars
    the end of each bar in epoch seconds and the span in seconds, for daily
    bars the date number (20240105.0) and the span in days.  Volume and
    notional are NaN where the table has no such column (so VWAP is unknown,
    not zero); trade counts are 0 then.
    """

    source: Path
    ticker: str
    kind: Kind
    span_text: str  # how the span was found, for people
    reversed: bool  # the rows came newest first
    timestamps: Floats
    spans: Floats
    high: Floats
    low: Floats
    open: Floats
    close: Floats
    volume: Floats
    notional: Floats
    trades: npt.NDArray[numpy.uint32]
    absent: tuple[str, ...] = ()  # fields the table has no column for
    notes: tuple[str, ...] = ()  # what the reader recognised or chose, for people
    target: Path | None = None  # the bar file written, once it is

    def __len__(self) -> int:
        return len(self.timestamps)

    def __repr__(self) -> str:
        """One line, as numpy's and pandas' reprs are short: the columns hold every bar."""
        count = len(self)
        text = f"<TableBars {self.ticker}: {count} {self.kind} bar{'' if count == 1 else 's'}"
        if not count:
            return text + ">"
        daily = self.kind == "daily"

        def span(length: float) -> str:  # in the span grammar: 1min, 90s, 1d
            return str(Span("d" if daily else "s", int(length))) if length == int(length) else f"{length:g}s"

        shortest, longest = span(float(self.spans.min())), span(float(self.spans.max()))
        spans = shortest if shortest == longest else f"{shortest} to {longest}"
        if daily:
            first, last = (str(market_date(float(t))) for t in (self.timestamps[0], self.timestamps[-1]))
        else:
            zone = resolve_zone(None)  # the profile's, as bars show their times
            first, last = (f"{datetime.datetime.fromtimestamp(float(t), zone):%Y-%m-%d %H:%M:%S%z}"
                           for t in (self.timestamps[0] - self.spans[0], self.timestamps[-1]))
        return f"{text} of {spans}, {first} .. {last}>"

    @property
    def bar_class(self) -> type[BarData]:
        return DailyBar if self.kind == "daily" else BarData

    @property
    def float_columns(self) -> tuple[Floats, ...]:
        """The eight float fields in record order, for the packer."""
        return (self.timestamps, self.spans, self.high, self.low, self.open, self.close, self.volume,
                self.notional)

    def record(self, index: int) -> tuple[str, float, float, float, float, float, float, float, float, int]:
        """The fields of bar ``index``'s record: ticker, timestamp, bar span,
        high, low, open and close prices, volume, notional and trade count."""
        return (self.ticker, *(float(column[index]) for column in self.float_columns),  # type: ignore[return-value]
                int(self.trades[index]))

    def bars(self, meter: Progress | None = None) -> Iterator[BarData]:
        """Builds the bars one by one (so a large table needs no list of them)."""
        from ._records import RECORD_STRUCT

        cls = self.bar_class
        ticker = self.ticker.encode("utf-8")
        for i in range(len(self)):
            fields = self.record(i)
            yield cls.from_bytes(RECORD_STRUCT.pack(BAR_KIND_CODE, ticker, *fields[1:]))
            if meter is not None:
                meter.update(1)


def load_csv(path: StrPath, *, ticker: str | None = None, kind: Kind | None = None, span: SpanLike | None = None,
             stamp: Stamp = "start", show_progress: bool | None = None, reading: Reading = Reading(),
             tz: TimeZone = None) -> TableBars:
    """Reads an OHLCV table of one ticker (see ``load_tables``); a table of
    several tickers needs ``ticker`` to choose one."""
    tables = load_tables(path, ticker=ticker, kind=kind, span=span, stamp=stamp, show_progress=show_progress,
                         reading=reading, tz=tz)
    if len(tables) > 1:
        names = ", ".join(table.ticker for table in tables[:5]) + (", ..." if len(tables) > 5 else "")
        raise TableError(f"{path}: the table holds {len(tables)} tickers ({names}); choose one with ticker=")
    return tables[0]


def load_tables(path: StrPath, *, ticker: str | None = None, kind: Kind | None = None,
                span: SpanLike | None = None, stamp: Stamp = "start", show_progress: bool | None = None,
                reading: Reading = Reading(), tz: TimeZone = None) -> list[TableBars]:
    """Reads an OHLCV table: one ``TableBars`` per ticker, in the order of their first rows.

    The columns are found by their header names (in any case, without regard
    to blanks, underscores or angle brackets), by the shape of a table without
    a header, or as ``reading.columns`` says.  Times without a zone are read in
    ``tz`` (a tzinfo, a zone name, "UTC" or "local"; None: ``PROFILE.time_zone``).
    ``kind`` None infers daily bars when no row has a time of day other than
    midnight, else intraday.  ``span`` (seconds, a timedelta or text such as
    ``5min``; see ``parse_span``) None infers the span as the most common gap
    between consecutive rows (daily bars whose common gap is 28 to 31 days
    are calendar months).  Intraday rows are stamped with the start of their
    bar unless ``stamp`` is ``"end"``.  Rows must be in time order, one per
    bar and ticker (a table newest first is turned round).  A table with a ticker column holds the tickers it names;
    ``ticker`` chooses one of them, or names the bars of a table without one
    (default: the file's name).  Any row that cannot be read raises
    ``TableError`` naming its line.
    """
    source_path = Path(path)
    zone = resolve_zone(tz)
    seconds = checked_options(ticker, span, stamp)
    if reading.date_format is not None:
        try:
            check_date_format(reading.date_format)
        except ValueError as error:
            raise TableError(str(error)) from None
    meter = progress(os.path.getsize(source_path), f"reading {source_path.name}", enabled=show_progress)
    try:
        source = read_source(source_path, None if is_silent(meter) else meter,
                             delimiter=reading.delimiter, header=reading.header, encoding=reading.encoding,
                             decimal=reading.decimal, thousands=reading.thousands, skip=reading.skip_rows,
                             columns=reading.columns, date_format=reading.date_format)
    finally:
        meter.close()
    return Reader(source, zone, reading).bars(ticker, kind, seconds, stamp)


def checked_options(ticker: str | None, span: SpanLike | None, stamp: Stamp) -> float | None:
    """The span in seconds, once ``ticker``, ``span`` and ``stamp`` (as ``load_tables`` takes them) are checked."""
    if stamp not in ("start", "end"):
        raise TableError(f"stamp is 'start' or 'end', not {stamp!r}")
    if ticker is not None:
        try:
            check_ticker(ticker)
        except ValueError as error:
            raise TableError(f"{error}; give the ticker explicitly") from None
    try:
        return None if span is None else parse_span(span)
    except ValueError as error:
        raise TableError(str(error)) from None


def source_tables(source: Source, *, ticker: str | None = None, kind: Kind | None = None,
                  span: SpanLike | None = None, stamp: Stamp = "start", tz: TimeZone = None) -> list[TableBars]:
    """The bars of each ticker of a table whose columns are read already (see ``load_tables``)."""
    seconds = checked_options(ticker, span, stamp)
    return Reader(source, resolve_zone(tz), Reading()).bars(ticker, kind, seconds, stamp)


CsvBars = TableBars
"""The old name of ``TableBars``."""
CsvError = TableError
"""The old name of ``TableError``."""


class Carried:
    """Each ticker's last epoch so far, carried from one piece of a table to
    the next (see ``localize``), by the ticker's name: each piece numbers its
    tickers itself."""

    def __init__(self) -> None:
        self.epochs: dict[str, int] = {}

    def take(self, names: list[str]) -> npt.NDArray[numpy.int64]:
        return numpy.array([self.epochs.get(name, NO_EPOCH) for name in names], dtype=numpy.int64)

    def put(self, names: list[str], epochs: npt.NDArray[numpy.int64]) -> None:
        self.epochs.update(zip(names, epochs.tolist()))


class Reader:
    """The columns of one table, checked and turned into bars of each ticker."""

    def __init__(self, source: Source, zone: datetime.tzinfo | None, reading: Reading, whole: bool = True) -> None:
        """``whole`` False: ``source`` is one piece of a table, whose rows
        skipped for want of prices (``skipped``: their number and the file row
        of the first) the caller sums up."""
        self.source, self.zone = source, zone
        self.date_format = self.given_format = reading.date_format
        self.columns = source.layout.columns
        self.checks = Checks(source)
        for described in (source.sniffed.described, source.layout.described):
            if described:
                self.checks.notes.append(f"read as {described}")
        if source.sniffed.thousands is not None:
            self.checks.notes.append(f"numbers with thousands separated by {source.sniffed.thousands!r}")
        self.skipped = _drop_rows_without_prices(self.checks, reading.skip_invalid, whole)
        if self.skipped is not None and whole:
            self.checks.notes.append(skipped_note(*self.skipped, source))
        self.count = source.table.num_rows

    def piece(self, ticker: str | None, carried: Carried | None = None,
              forward: bool | None = None, every_piece: bool = False) -> Piece:
        """The rows checked and their times placed (see ``_placed``): the
        values of a whole table, or of one piece of it (``every_piece``: a
        piece may hold no row of ``ticker``)."""
        checks = self.checks
        parsed = self.times()
        prices = {name: checks.floats(name, name.capitalize(), 1 + i)
                  for i, name in enumerate(("open", "high", "low", "close"))}
        opening, high, low, closing = prices.values()
        checks.fail(~((low <= opening) & (low <= closing) & (opening <= high) & (closing <= high)), 5,
                    lambda row: f"prices out of order: open {float(opening[row])}, high {float(high[row])}, "
                                f"low {float(low[row])}, close {float(closing[row])} (low <= open, close <= high)")
        volume = checks.volume()
        notional = checks.optional("notional", "Notional", 8, unknown=True)
        vwap = checks.optional("vwap", "VWAP", 8, unknown=True)
        absent: list[str] = []
        if volume is None:
            absent.append("volume")
            volume = numpy.full(self.count, math.nan)
        if notional is None and vwap is not None:
            notional = vwap * volume
        if notional is None:
            absent.append("notional")
            notional = numpy.full(self.count, math.nan)
        checks.fail(notional < 0, 9, lambda row: f"the notional value is negative: {float(notional[row])!r}")
        trades = checks.trades()
        if trades is None:
            absent.append("trade count")
            trades = numpy.zeros(self.count, dtype=numpy.uint32)
        groups, names = self.tickers(ticker, every_piece)
        spans = checks.given_spans()
        refusal = checks.refusal()
        if refusal is not None:
            raise refusal

        epochs = None if carried is None else carried.take(names)
        times = _placed(self.source, self.zone, parsed, groups, epochs, forward)
        if carried is not None and epochs is not None:
            carried.put(names, epochs)
        seconds = parsed.seconds if parsed.seconds is not None and parsed.aware.all() else times / US
        local = to_local(times, self.zone)
        values = Values(times, seconds, local, spans, opening, high, low, closing, volume, notional, trades)
        return Piece(values, groups, names, tuple(absent), tuple(checks.notes))

    def bars(self, ticker: str | None, kind: Kind | None, span: float | None, stamp: Stamp) -> list[TableBars]:
        piece = self.piece(ticker)
        values = piece.values
        if kind is None:
            kind = self.source.stated_kind or ("intraday" if any_time_of_day(values.local) else "daily")
        finisher = Finisher(self.source, kind, span, "end" if "end" in self.columns else stamp, piece.absent,
                            piece.notes)
        return [finisher.finish(piece.names[index], rows)
                for index, rows in values.by_ticker(piece.groups, len(piece.names))]

    def times(self) -> Parsed:
        """Each row's time in microseconds, and whether it is UTC (else a wall-clock time)."""
        parsed, self.date_format = read_times(self.source, self.checks, self.date_format, self.given_format)
        return parsed

    def tickers(self, chosen: str | None, every_piece: bool = False) -> tuple[npt.NDArray[numpy.int64], list[str]]:
        """Each row's ticker as an index into the list of tickers; rows of other
        tickers than ``chosen`` get -1 (a piece of a table may have none of it)."""
        if "ticker" not in self.columns:
            name = chosen or self.source.sniffed.ticker or self.source.path.stem.removesuffix(".csv")
            try:
                check_ticker(name)
            except ValueError as error:
                raise TableError(f"{self.source.path}: the file's name is no ticker: {error}; give the ticker "
                                 "explicitly with --ticker (ticker= in Python)") from None
            return numpy.zeros(self.count, dtype=numpy.int64), [name]
        import pyarrow.compute as pc

        encoded = pc.utf8_trim_whitespace(self.source.column("ticker").cast(pyarrow.string())) \
            .combine_chunks().dictionary_encode()
        names: list[str] = encoded.dictionary.to_pylist()
        groups = to_numpy(encoded.indices, numpy.int64)
        for index, name in enumerate(names):
            try:
                check_ticker(name)
            except ValueError as error:
                self.checks.fail(groups == index, 11, same_message(str(error)))
        if chosen is not None:
            if chosen not in names and not every_piece:
                raise TableError(f"{self.source.path}: no rows of ticker {chosen!r} (the table holds "
                                 f"{', '.join(names[:10])}{', ...' if len(names) > 10 else ''})")
            groups = numpy.where(groups == (names.index(chosen) if chosen in names else -2), 0, -1)
            names = [chosen]
        return groups, names

@dataclass(frozen=True)
class SpanRule:
    """How one ticker's bars get their spans: decided from its first rows and
    kept for the rest (a table read in pieces decides on its first piece)."""

    length: float | None  # of every bar, seconds or days; None: each row's own, or its calendar month
    months: bool
    text: str  # how the span was found, for people


@dataclass
class Piece:
    """A table's rows (or a piece's), checked, with their times placed in their zone."""

    values: Values
    groups: npt.NDArray[numpy.int64]  # each row's index into ``names`` (-1: a ticker not chosen)
    names: list[str]
    absent: tuple[str, ...]
    notes: tuple[str, ...]



def read_times(source: Source, checks: Checks, date_format: str | None,
               given_format: str | None = None) -> tuple[Parsed, str | None]:
    """Each row's time of a table's columns in microseconds, and whether it is
    UTC (else a wall-clock time); rows whose time cannot be read fail
    ``checks``.  Also the date format the times were read with: ``date_format``,
    or the one found for them (which later pieces of the table keep)."""
    columns = source.layout.columns
    given_format = given_format if given_format is not None else date_format
    role = next(role for role in TIME_ROLES if role in columns)
    column = source.column(role)
    parsed = parse_typed(column)
    typed = parsed is not None
    if parsed is None and date_format is None:
        # Tables of numbers as people write them (a change in percent beside
        # the prices) write their dates month first.
        month_first = any(normal(name) == "change%" for name in source.layout.names)
        date_format = slashed_format(column, month_first)
        if date_format is not None:
            checks.notes.append(f"dates read as {date_format}")
    if parsed is None:
        if role == "date" and "time" in columns:
            import pyarrow.compute as pc

            joined = pc.binary_join_element_wise(pc.utf8_trim_whitespace(column.cast(pyarrow.string())),
                                                 pc.utf8_trim_whitespace(source.column("time")
                                                                         .cast(pyarrow.string())), " ")
            parsed = parse_texts(joined, date_format)
        else:
            parsed = parse_texts(column, date_format)

    def describe(row: int) -> str:
        text = " ".join(checks.text(row, name).strip() for name in ("date", "time") if name in columns) \
            if role == "date" else checks.text(row, role).strip()
        if typed and text:
            return f"a time outside the years 1 to 9999: {text}"
        return f"not a date or date-time: {text!r}{_time_hint(text, given_format)}"

    micros = parsed.micros
    if len(micros) and (int(micros.min()) < EARLIEST or int(micros.max()) > LATEST):
        parsed.bad |= ~supported(micros)  # beyond what dates can say
    checks.fail(parsed.bad, 0, describe)
    return parsed, date_format


class Finisher:
    """One ticker's rows made bars: in time order, stamped, with their spans."""

    def __init__(self, source: Source, kind: Kind, span: float | None, stamp: Stamp, absent: tuple[str, ...],
                 notes: tuple[str, ...]) -> None:
        self.source, self.kind, self.span, self.stamp = source, kind, span, stamp
        self.daily = kind == "daily"
        self.absent = absent
        self.notes = notes + ((f"absent: {', '.join(absent)}",) if absent else ())

    def finish(self, ticker: str, values: Values) -> TableBars:
        keys = self.keys(values)
        turned = self.order(keys, values.rows)
        if turned:
            values = values.take(numpy.arange(len(keys) - 1, -1, -1))
            keys = keys[::-1]
        rule = self.span_rule(keys, values.spans)
        timestamps, spans = self.stamped(keys, values, rule)
        return TableBars(source=self.source.path, ticker=ticker, kind=self.kind, span_text=self.span_text(rule),
                         reversed=turned, timestamps=timestamps, spans=spans, high=values.high, low=values.low,
                         open=values.open, close=values.close, volume=values.volume, notional=values.notional,
                         trades=values.trades, absent=self.absent, notes=self.notes)

    def keys(self, values: Values) -> npt.NDArray[numpy.int64]:
        """What orders the rows: market dates (days since the epoch), or times."""
        return values.local // DAY_US if self.daily else values.times

    def span_text(self, rule: SpanRule) -> str:
        return rule.text if self.daily else f"{rule.text}, rows stamped at the bar's {self.stamp}"

    def order(self, keys: npt.NDArray[numpy.int64], rows: npt.NDArray[numpy.int64] | None,
              before: tuple[int, int] | None = None) -> bool:
        """Checks that the rows are one per bar in time order, after ``before``
        (the key and the file row of the ticker's row before these, if any);
        True when they are in reverse order throughout."""
        steps = numpy.diff(keys)
        if before is not None and len(keys) and keys[0] <= before[0]:
            self.refuse_order(int(keys[0]), before[0], self.source.where(0 if rows is None else int(rows[0])),
                              self.source.where_in_file(before[1]))
        if not len(steps) or bool((steps > 0).all()):
            return False
        if bool((steps < 0).all()) and before is None:
            return True
        bad = int(numpy.argmax(steps <= 0)) + 1
        row, previous = (bad, bad - 1) if rows is None else (int(rows[bad]), int(rows[bad - 1]))
        self.refuse_order(int(keys[bad]), int(keys[bad - 1]), self.source.where(row), self.source.where(previous))

    def refuse_order(self, key: int, previous_key: int, where: str, before: str) -> NoReturn:
        what = "market date" if self.daily else "time"
        relation = "repeats" if key == previous_key else "comes before"
        raise TableError(f"{self.source.path}, {where}: {what} {_describe(key, self.daily)} {relation} the "
                         f"previous row's ({before}); rows must be in time order, one per bar")

    def span_rule(self, keys: npt.NDArray[numpy.int64], given: Floats | None) -> SpanRule:
        """How the spans are found: given, from the table, or inferred as the
        most common gap between the rows ``keys`` (market dates or times)."""
        count = len(keys)
        if not self.daily:
            if self.span is not None:
                return SpanRule(self.span, False, f"{datetime.timedelta(seconds=self.span)} (given)")
            if given is not None:
                first = float(given[0])
                if bool((given == first).all()):
                    return SpanRule(None, False, f"{datetime.timedelta(seconds=first)} (from the table)")
                return SpanRule(None, False, "from the table, row by row")
            if count == 1:
                raise TableError(f"{self.source.path}: one intraday row: nothing to infer the span from; give it")
            seconds = _mode(numpy.diff(keys)) / US
            return SpanRule(seconds, False, f"{datetime.timedelta(seconds=seconds)} (inferred)")
        if self.span is not None:
            days = self.span / DAY
            if days != int(days):
                raise TableError(f"the span of daily bars is a whole number of days, not {self.span!r} seconds")
            return SpanRule(days, False, f"{_plural(days, 'day')} (given)")
        if given is not None:
            return SpanRule(None, False, "from the table")
        if count == 1:
            return SpanRule(1.0, False, "1 day (one row: nothing to infer from)")
        gap = float(_mode(numpy.diff(keys)))
        if 28 <= gap <= 31:
            return SpanRule(None, True, "calendar months (inferred)")
        return SpanRule(gap, False, f"{_plural(gap, 'day')} (inferred)")

    def stamped(self, keys: npt.NDArray[numpy.int64], values: Values, rule: SpanRule) -> tuple[Floats, Floats]:
        """The records' timestamps and spans of the rows (see ``TableBars``)."""
        count = len(keys)
        if not self.daily:
            spans = values.spans if rule.length is None else numpy.full(count, rule.length)
            assert spans is not None  # (a rule without a length comes from the table's spans)
            return (values.seconds + spans if self.stamp == "start" else values.seconds), spans
        dates = keys.astype("datetime64[D]")
        if rule.months:
            months = dates.astype("datetime64[M]")
            spans = ((months + numpy.timedelta64(1, "M")).astype("datetime64[D]")
                     - months.astype("datetime64[D]")).astype(numpy.float64)
        elif rule.length is None:
            assert values.spans is not None
            spans = numpy.round(values.spans / DAY)
        else:
            spans = numpy.full(count, rule.length)
        return date_numbers(dates), spans


@dataclass
class Values:
    """Row-aligned columns of one ticker, and the rows of the table they came from."""

    times: npt.NDArray[numpy.int64]
    seconds: Floats  # the times as epoch seconds, as exact as the table gives them
    local: npt.NDArray[numpy.int64]  # the times on the zone's clocks, whose days are market dates
    spans: Floats | None
    open: Floats
    high: Floats
    low: Floats
    close: Floats
    volume: Floats
    notional: Floats
    trades: npt.NDArray[numpy.uint32]
    rows: npt.NDArray[numpy.int64] | None = None  # None: the table's rows, in order

    def take(self, rows: npt.NDArray[numpy.int64] | None) -> Values:
        if rows is None:
            return self

        def pick(column: npt.NDArray[Any]) -> npt.NDArray[Any]:
            return numpy.ascontiguousarray(column[rows])

        return Values(pick(self.times), pick(self.seconds), pick(self.local),
                       None if self.spans is None else pick(self.spans), pick(self.open), pick(self.high),
                       pick(self.low), pick(self.close), pick(self.volume), pick(self.notional), pick(self.trades),
                       numpy.asarray(rows, dtype=numpy.int64) if self.rows is None else pick(self.rows))

    def part(self, start: int, stop: int) -> Values:
        """Rows ``start`` to ``stop``, as views."""
        cut = slice(start, stop)
        return Values(self.times[cut], self.seconds[cut], self.local[cut],
                      None if self.spans is None else self.spans[cut], self.open[cut], self.high[cut],
                      self.low[cut], self.close[cut], self.volume[cut], self.notional[cut], self.trades[cut],
                      None if self.rows is None else self.rows[cut])

    def by_ticker(self, groups: npt.NDArray[numpy.int64], count: int) -> Iterator[tuple[int, Values]]:
        """The rows of each of ``count`` tickers (``groups`` gives each row's,
        -1 for none), in the order of the table, for each ticker with any.
        One gather a column puts each ticker's rows together: a column at a
        time stays in the processor's cache, a ticker at a time would not."""
        if count == 1 and not bool((groups < 0).any()):
            yield 0, self
            return
        small = groups.astype(numpy.int16) if count < 1 << 15 else groups  # (stable sorts of 16 bits: radix)
        together = self.take(numpy.argsort(small, kind="stable"))
        bounds = numpy.cumsum(numpy.bincount(groups + 1, minlength=count + 1)).tolist()
        for index in range(count):
            if bounds[index + 1] > bounds[index]:
                yield index, together.part(bounds[index], bounds[index + 1])


def _placed(source: Source, zone: datetime.tzinfo | None, parsed: Parsed, groups: npt.NDArray[numpy.int64],
            carried: npt.NDArray[numpy.int64] | None, forward: bool | None) -> npt.NDArray[numpy.int64]:
    """The rows' times as epoch microseconds: wall-clock times placed in the
    zone (``localize``: ``carried`` holds each ticker's last epoch of the
    pieces before, ``forward`` whether rows run oldest first, None: as the
    first and the last row say)."""
    times, naive = parsed.micros, ~parsed.aware
    if not naive.any():
        return times
    whole = bool(naive.all())
    wall, tickers = (times, groups) if whole else (times[naive], groups[naive])
    if forward is None:
        forward = len(wall) < 2 or bool(wall[-1] >= wall[0])
    try:
        placed = localize(wall, zone, zone_in_messages(zone), tickers, carried, forward)
    except NonexistentTime as error:
        row = error.row if whole else int(numpy.flatnonzero(naive)[error.row])
        raise TableError(f"{source.path}, {source.where(row)}: the time {error}") from None
    if whole:
        return placed
    times = times.copy()
    times[naive] = placed
    return times


def _drop_rows_without_prices(checks: Checks, skip: bool, whole: bool) -> tuple[int, int] | None:
    """Rows whose every price is empty or null are dropped when ``skip``, else
    refused; returns how many were dropped and the file row of the first."""
    empty = checks.without_prices()
    if empty is None or not empty.any():
        return None
    if not skip:
        checks.fail(empty, 0, same_message("no prices (every price is empty or null); give --skip-invalid "
                                      "(skip_invalid=True) to skip such rows"))
        return None
    source = checks.source
    count, first = int(empty.sum()), source.in_file(int(numpy.argmax(empty)))
    if count == len(empty):
        if not whole:
            raise Unstreamable("a piece of rows without prices")  # the rest of the table may have some
        raise TableError(f"{source.path}: no row has prices (every price is empty or null)")
    source.drop(empty)
    return count, first


def skipped_note(count: int, first: int, source: Source) -> str:
    """The note on rows skipped for want of prices: how many, and the first one's line (or row)."""
    return f"skipped {_plural(count, 'row')} without prices, the first on {source.where_in_file(first)}"


def _time_hint(text: str, given_format: str | None) -> str:
    """What may help with a time that could not be read."""
    if given_format:
        return f" (the --date-format is {given_format!r})"
    if text.isdigit() and len(text) != 8:  # (eight digits are a date, 20240105)
        return (" (epoch times are seconds, milliseconds, microseconds or nanoseconds of 9 to 11, 12 to 14, "
                "15 to 17 or 18 to 19 digits)")
    example = "%m/%d/%Y or %d/%m/%Y" if "/" in text else "%d.%m.%Y"
    return f" (for another form of date, give --date-format, e.g. {example})"


def same_message(text: str) -> Callable[[int], str]:
    """A check's message that is the same whichever row failed."""
    return lambda row: text


def any_time_of_day(local: npt.NDArray[numpy.int64]) -> bool:
    """Whether any row's time on the clock is past midnight (intraday tables mostly
    show it within their first rows, sparing a pass over all of them)."""
    return bool((local[:1024] % DAY_US).any()) or bool((local % DAY_US).any())


def zone_in_messages(zone: datetime.tzinfo | None) -> str:
    """The zone as a message names it."""
    return "the local time zone" if zone is None else str(getattr(zone, "key", zone))


def _mode(gaps: npt.NDArray[numpy.int64]) -> int:
    if bool((gaps == gaps[0]).all()):  # the common case, without sorting
        return int(gaps[0])
    values, counts = numpy.unique(gaps, return_counts=True)
    return int(values[numpy.argmax(counts)])  # the first of the most common: the smallest


def _plural(count: float, unit: str) -> str:
    return f"{int(count)} {unit}{'' if count == 1 else 's'}"


def _describe(key: int, daily: bool) -> str:
    if daily:
        return str(datetime.date.fromordinal(key + EPOCH_ORDINAL))
    moment = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC) + datetime.timedelta(microseconds=key)
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")
