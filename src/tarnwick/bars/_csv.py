"""OHLCV tables (CSV, Parquet, Arrow IPC) read into the values of bar
records, column-wise: every check runs over whole columns, and a refusal
names the earliest bad line, with the first check that it fails in the order
times, prices, their order, volume, notional, trade count."""

from __future__ import annotations

import datetime
import math
import os
import re
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

import numpy
import numpy.typing as npt
import pyarrow

from tarnwick.base.candlestick import BarData, DailyBar

from ._file import StrPath
from ._records import BAR_KIND_CODE, TICKER_BYTES, Kind, date_numbers
from ._layouts import TIME_ROLES
from ._progress import Progress, _Silent, progress
from ._source import CsvError as CsvError  # raised here too; defined with the reading of files
from ._source import Source, read_source
from ._times import (DAY_US, EPOCH_ORDINAL, US, NonexistentTime, Parsed, localize, null_mask, parse_texts,
                     parse_typed, to_local, to_numpy)

Stamp = Literal["start", "end"]
Floats = npt.NDArray[numpy.float64]
Mask = npt.NDArray[numpy.bool_]

DAY = 86400.0
MAX_TRADE_COUNT = 2**32 - 1
_SPAN_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": DAY, "w": 7 * DAY}
_SPAN_PATTERN = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([smhdw]?)\s*", re.IGNORECASE)
_EARLIEST = (datetime.datetime(1, 1, 2) - datetime.datetime(1970, 1, 1)) // datetime.timedelta(microseconds=1)
_LATEST = (datetime.datetime(9999, 12, 30) - datetime.datetime(1970, 1, 1)) // datetime.timedelta(microseconds=1)
_NUMBER = r"^[-+]?((\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|nan|inf|infinity)$"


def parse_span(text: str) -> float:
    """A span given as seconds (``60``, ``90.5``) or with a unit: ``s``, ``m``,
    ``h``, ``d`` or ``w`` (``5m``, ``1h``, ``1d``)."""
    match = _SPAN_PATTERN.fullmatch(text)
    if match is None or float(match[1]) <= 0:
        raise ValueError(f"a span is a positive number of seconds, or one with a unit s, m, h, d or w, not {text!r}")
    return float(match[1]) * _SPAN_UNITS[match[2].lower() or "s"]


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
    date_format: str | None = None


@dataclass
class CsvBars:
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


def load_csv(path: StrPath, *, ticker: str | None = None, kind: Kind | None = None, span: float | None = None,
             stamp: Stamp = "start", show_progress: bool | None = None, reading: Reading = Reading()) -> CsvBars:
    """Reads an OHLCV table of one ticker (see ``load_tables``); a table of
    several tickers needs ``ticker`` to choose one."""
    tables = load_tables(path, ticker=ticker, kind=kind, span=span, stamp=stamp, show_progress=show_progress,
                         reading=reading)
    if len(tables) > 1:
        names = ", ".join(table.ticker for table in tables[:5]) + (", ..." if len(tables) > 5 else "")
        raise CsvError(f"{path}: the table holds {len(tables)} tickers ({names}); choose one with ticker=")
    return tables[0]


def load_tables(path: StrPath, *, ticker: str | None = None, kind: Kind | None = None, span: float | None = None,
                stamp: Stamp = "start", show_progress: bool | None = None,
                reading: Reading = Reading()) -> list[CsvBars]:
    """Reads an OHLCV table: one ``CsvBars`` per ticker, in the order of their first rows.

    The columns are found by their header names (in any case, without regard
    to blanks, underscores or angle brackets), by the shape of a table without
    a header, or as ``reading.columns`` says.  Times without a zone are read in
    ``PROFILE.time_zone``.  ``kind`` None infers daily bars when no row has a
    time of day other than midnight, else intraday.  ``span`` None infers the
    span as the most common gap between consecutive rows (daily bars whose
    common gap is 28 to 31 days are calendar months).  Intraday rows are
    stamped with the start of their bar unless ``stamp`` is ``"end"``.  Rows
    must be in time order, one per bar and ticker (a table newest first is
    turned round).  A table with a ticker column holds the tickers it names;
    ``ticker`` chooses one of them, or names the bars of a table without one
    (default: the file's name).  Any row that cannot be read raises
    ``CsvError`` naming its line.
    """
    from tarnwick.profile import PROFILE

    source_path = Path(path)
    if ticker is not None:
        try:
            check_ticker(ticker)
        except ValueError as error:
            raise CsvError(f"{error}; give the ticker explicitly") from None
    if span is not None and not (math.isfinite(span) and span > 0):
        raise CsvError(f"the span must be a positive number of seconds, not {span!r}")
    meter = progress(os.path.getsize(source_path), f"reading {source_path.name}", enabled=show_progress)
    try:
        source = read_source(source_path, None if isinstance(meter, _Silent) else meter,
                             delimiter=reading.delimiter, header=reading.header, encoding=reading.encoding,
                             decimal=reading.decimal, columns=reading.columns, date_format=reading.date_format)
    finally:
        meter.close()
    return _Reader(source, PROFILE.time_zone, reading.date_format).bars(ticker, kind, span, stamp)


@dataclass(order=True)
class _Failure:
    row: int
    check: int
    message: Callable[[], str] = field(compare=False)


class _Reader:
    """The columns of one table, checked and turned into bars."""

    def __init__(self, source: Source, zone: datetime.tzinfo | None, date_format: str | None) -> None:
        self.source, self.zone, self.date_format = source, zone, date_format
        self.columns = source.layout.columns
        self.count = source.table.num_rows
        self.failures: list[_Failure] = []
        self.notes: list[str] = []
        if source.layout.described:
            self.notes.append(f"read as {source.layout.described}")

    # ---- checks -----------------------------------------------------------------

    def fail(self, mask: Mask, check: int, message: Callable[[int], str]) -> None:
        if mask.any():
            row = int(numpy.argmax(mask))
            self.failures.append(_Failure(row, check, lambda: message(row)))

    def refuse(self, failure: _Failure) -> CsvError:
        text = failure.message()
        return CsvError(f"{self.source.path}, {self.source.where(failure.row)}: {text}")

    def text(self, row: int, role: str) -> str:
        return self.source.text(row, role)

    def floats(self, role: str, label: str, check: int, unknown: bool = False) -> Floats:
        """The role's column as floats, refusing cells that are not finite
        numbers (``unknown``: NaN, written out, is allowed and means unknown)."""
        column = self.source.column(role)
        if column.type == pyarrow.float64():  # as the CSV reader gives numbers
            missing = null_mask(column)
            values = _numpy(column)  # nulls become NaN
        elif pyarrow.types.is_integer(column.type) or pyarrow.types.is_floating(column.type) or \
                pyarrow.types.is_decimal(column.type):
            missing = _mask(column.is_null())
            values = _numpy(column.cast(pyarrow.float64()))  # nulls become NaN
        else:
            import pyarrow.compute as pc

            texts = pc.utf8_trim_whitespace(column.cast(pyarrow.string()))
            if self.source.sniffed.decimal == ",":
                texts = pc.replace_substring(texts, ",", ".")
            valid = pc.match_substring_regex(texts, _NUMBER, ignore_case=True)
            missing = ~_mask(valid)
            values = _numpy(pc.if_else(valid, texts, "nan").cast(pyarrow.float64()))
        self.fail(missing, check, lambda row: f"{label} is not a number: {self.text(row, role)!r}")
        self.fail(~missing & ~numpy.isfinite(values) & ~(unknown & numpy.isnan(values)), check,
                  lambda row: f"{label} is not a finite number: {self.text(row, role)!r}")
        return values

    def optional(self, role: str, label: str, check: int, unknown: bool = False) -> Floats | None:
        return self.floats(role, label, check, unknown) if role in self.columns else None

    # ---- the table as bars ------------------------------------------------------

    def bars(self, ticker: str | None, kind: Kind | None, span: float | None, stamp: Stamp) -> list[CsvBars]:
        parsed = self.times()
        times, aware = parsed.micros, parsed.aware
        prices = {name: self.floats(name, name.capitalize(), 1 + i)
                  for i, name in enumerate(("open", "high", "low", "close"))}
        opening, high, low, closing = prices.values()
        self.fail(~((low <= opening) & (low <= closing) & (opening <= high) & (closing <= high)), 5,
                  lambda row: f"prices out of order: open {float(opening[row])}, high {float(high[row])}, "
                              f"low {float(low[row])}, close {float(closing[row])} (low <= open, close <= high)")
        volume = self.volume()
        notional = self.optional("notional", "Notional", 8, unknown=True)
        vwap = self.optional("vwap", "VWAP", 8, unknown=True)
        absent: list[str] = []
        if volume is None:
            absent.append("volume")
            volume = numpy.full(self.count, math.nan)
        if notional is None and vwap is not None:
            notional = vwap * volume
        if notional is None:
            absent.append("notional")
            notional = numpy.full(self.count, math.nan)
        self.fail(notional < 0, 9, lambda row: f"the notional value is negative: {float(notional[row])!r}")
        trades = self.trades()
        if trades is None:
            absent.append("trade count")
            trades = numpy.zeros(self.count, dtype=numpy.uint32)
        groups, names = self.tickers(ticker)
        spans = self.given_spans()
        if self.failures:
            raise self.refuse(min(self.failures))

        naive = ~aware
        if naive.any():
            # Only zones whose offset changes need each row's predecessor.
            fixed = isinstance(self.zone, datetime.timezone)
            previous = numpy.zeros(0, dtype=numpy.int64) if fixed else _previous_in_group(groups)
            try:
                if naive.all():
                    times = localize(times, self.zone, previous, _zone_name(self.zone))
                else:
                    times = times.copy()
                    times[naive] = localize(times[naive], self.zone,
                                            previous if fixed else _renumbered(previous, naive),
                                            _zone_name(self.zone))
            except NonexistentTime as error:
                row = int(numpy.flatnonzero(naive)[error.row])
                raise CsvError(f"{self.source.path}, {self.source.where(row)}: the time {error}") from None
        seconds = parsed.seconds if parsed.seconds is not None and aware.all() else times / US
        local = to_local(times, self.zone)
        if kind is None:
            kind = self.source.stated_kind or ("intraday" if _any_time_of_day(local) else "daily")
        stamp = "end" if "end" in self.columns else stamp
        values = _Values(times, seconds, local, spans, opening, high, low, closing, volume, notional, trades)
        tables = []
        for index, name in enumerate(names):
            chosen = groups == index
            rows = None if bool(chosen.all()) else numpy.flatnonzero(chosen)
            tables.append(self.finish(name, values.take(rows), kind, span, stamp, tuple(absent)))
        return tables

    def times(self) -> Parsed:
        """Each row's time in microseconds, and whether it is UTC (else a wall-clock time)."""
        role = next(role for role in TIME_ROLES if role in self.columns)
        column = self.source.column(role)
        parsed = parse_typed(column)
        if parsed is None:
            if role == "date" and "time" in self.columns:
                import pyarrow.compute as pc

                joined = pc.binary_join_element_wise(pc.utf8_trim_whitespace(column.cast(pyarrow.string())),
                                                     pc.utf8_trim_whitespace(self.source.column("time")
                                                                             .cast(pyarrow.string())), " ")
                parsed = parse_texts(joined, self.date_format)
            else:
                parsed = parse_texts(column, self.date_format)

        def describe(row: int) -> str:
            text = " ".join(self.text(row, name) .strip() for name in ("date", "time") if name in self.columns) \
                if role == "date" else self.text(row, role).strip()
            hint = "" if self.date_format else " (for another form of date, give --date-format, e.g. %d.%m.%Y)"
            return f"not a date or date-time: {text!r}{hint}"

        parsed.bad |= (parsed.micros < _EARLIEST) | (parsed.micros > _LATEST)  # beyond what dates can say
        self.fail(parsed.bad, 0, describe)
        return parsed

    def volume(self) -> Floats | None:
        """The volume: real volume where the table has it and any is non-zero, else tick volume."""
        real = self.optional("volume", "Volume", 6, unknown=True)
        ticks = self.optional("tickvolume", "Tick volume", 6, unknown=True)
        for values, label in ((real, "Volume"), (ticks, "Tick volume")):
            if values is not None:
                self.fail(values < 0, 7, _negative(values, label))
        if real is not None and ticks is not None:
            if bool((real != 0).any()):
                self.notes.append("volume: real volume")
                return real
            self.notes.append("volume: tick volume (the real volume is zero throughout)")
            return ticks
        return real if real is not None else ticks

    def trades(self) -> npt.NDArray[numpy.uint32] | None:
        if "trades" not in self.columns:
            return None
        counts = self.floats("trades", "Trades", 10)
        good = (counts == numpy.floor(counts)) & (counts >= 0) & (counts <= MAX_TRADE_COUNT)
        self.fail(~good, 10,
                  lambda row: f"Trades is not a count from 0 to {MAX_TRADE_COUNT}: {self.text(row, 'trades')!r}")
        return numpy.where(good, counts, 0).astype(numpy.uint32)

    def tickers(self, chosen: str | None) -> tuple[npt.NDArray[numpy.int64], list[str]]:
        """Each row's ticker as an index into the list of tickers; rows of other
        tickers than ``chosen`` get -1."""
        if "ticker" not in self.columns:
            name = chosen or self.source.path.stem.removesuffix(".csv")
            try:
                check_ticker(name)
            except ValueError as error:
                raise CsvError(f"{self.source.path}: the file's name is no ticker: {error}; give the ticker "
                               "explicitly") from None
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
                self.fail(groups == index, 11, _saying(str(error)))
        if chosen is not None:
            if chosen not in names:
                raise CsvError(f"{self.source.path}: no rows of ticker {chosen!r} (the table holds "
                               f"{', '.join(names[:10])}{', ...' if len(names) > 10 else ''})")
            groups = numpy.where(groups == names.index(chosen), 0, -1)
            names = [chosen]
        return groups, names

    def given_spans(self) -> Floats | None:
        """Spans in seconds from the table itself: a span column, or a kline's close times."""
        if "spandays" in self.columns:
            days = self.floats("spandays", "Span", 5)
            self.fail(~(days >= 1) | (days != numpy.floor(days)), 5,
                      lambda row: f"Span is not a whole number of days: {self.text(row, 'spandays')!r}")
            return days * DAY
        if "span" in self.columns:
            column = self.source.column("span")
            if pyarrow.types.is_duration(column.type):
                return _numpy(column.cast(pyarrow.duration("us")).cast(pyarrow.int64()).cast(pyarrow.float64())) / US
            values = self.floats("span", "Span", 5)
            self.fail(~(values > 0), 5, lambda row: f"Span is not positive: {self.text(row, 'span')!r}")
            return values
        if "closetime" in self.columns and "datetime" in self.columns:
            opened = parse_texts(self.source.column("datetime")).micros
            closed = parse_texts(self.source.column("closetime"))
            # The close time is the bar's last millisecond; dumps in microseconds
            # may end a microsecond before the next bar instead.
            spans = (closed.micros - opened + 1000) / US
            spans = numpy.where(numpy.abs(spans - numpy.round(spans)) <= 0.001, numpy.round(spans), spans)
            self.fail(closed.bad | ~(spans > 0), 0,
                      lambda row: f"not a close time after the open time: {self.text(row, 'closetime')!r}")
            return spans
        return None

    def finish(self, ticker: str, values: _Values, kind: Kind, span: float | None, stamp: Stamp,
               absent: tuple[str, ...]) -> CsvBars:
        daily = kind == "daily"
        keys = values.local // DAY_US if daily else values.times  # market dates, or times
        turned = self.order(keys, values.rows, daily)
        if turned:
            values = values.take(numpy.arange(len(keys) - 1, -1, -1))
            keys = keys[::-1]
        notes = list(self.notes)
        if daily:
            dates = keys.astype("datetime64[D]")
            timestamps = date_numbers(dates)
            spans, span_text = _daily_spans(dates, span, values.spans)
        else:
            spans, span_text = self.intraday_spans(values.times, span, values.spans)
            timestamps = values.seconds + spans if stamp == "start" else values.seconds
            span_text += f", rows stamped at the bar's {stamp}"
        if absent:
            notes.append(f"absent: {', '.join(absent)}")
        return CsvBars(source=self.source.path, ticker=ticker, kind=kind, span_text=span_text, reversed=turned,
                       timestamps=timestamps, spans=spans, high=values.high, low=values.low, open=values.open,
                       close=values.close, volume=values.volume, notional=values.notional, trades=values.trades,
                       absent=absent, notes=tuple(notes))

    def order(self, keys: npt.NDArray[numpy.int64], rows: npt.NDArray[numpy.int64] | None, daily: bool) -> bool:
        """Checks that the rows are one per bar in time order; True when they are
        in reverse order throughout."""
        steps = numpy.diff(keys)
        if not len(steps) or bool((steps > 0).all()):
            return False
        if bool((steps < 0).all()):
            return True
        bad = int(numpy.argmax(steps <= 0)) + 1
        what = "market date" if daily else "time"
        relation = "repeats" if keys[bad] == keys[bad - 1] else "comes before"
        row, previous = (bad, bad - 1) if rows is None else (int(rows[bad]), int(rows[bad - 1]))
        where, before = self.source.where(row), self.source.where(previous)
        raise CsvError(f"{self.source.path}, {where}: {what} {_describe(int(keys[bad]), daily)} {relation} the "
                       f"previous row's ({before}); rows must be in time order, one per bar")

    def intraday_spans(self, times: npt.NDArray[numpy.int64], span: float | None,
                       given: Floats | None) -> tuple[Floats, str]:
        count = len(times)
        if span is not None:
            return numpy.full(count, span), f"{datetime.timedelta(seconds=span)} (given)"
        if given is not None:
            first = float(given[0])
            if bool((given == first).all()):
                return given, f"{datetime.timedelta(seconds=first)} (from the table)"
            return given, "from the table, row by row"
        if count == 1:
            raise CsvError(f"{self.source.path}: one intraday row: nothing to infer the span from; give it")
        seconds = _mode(numpy.diff(times)) / US
        return numpy.full(count, seconds), f"{datetime.timedelta(seconds=seconds)} (inferred)"


@dataclass
class _Values:
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

    def take(self, rows: npt.NDArray[numpy.int64] | None) -> _Values:
        if rows is None:
            return self

        def pick(column: npt.NDArray[Any]) -> npt.NDArray[Any]:
            return numpy.ascontiguousarray(column[rows])

        return _Values(pick(self.times), pick(self.seconds), pick(self.local),
                       None if self.spans is None else pick(self.spans), pick(self.open), pick(self.high),
                       pick(self.low), pick(self.close), pick(self.volume), pick(self.notional), pick(self.trades),
                       numpy.asarray(rows, dtype=numpy.int64) if self.rows is None else pick(self.rows))


def _negative(values: Floats, label: str) -> Callable[[int], str]:
    return lambda row: f"{label} is negative: {float(values[row])!r}"


def _saying(text: str) -> Callable[[int], str]:
    return lambda row: text


def _numpy(array: pyarrow.ChunkedArray | pyarrow.Array) -> Floats:
    return to_numpy(array, numpy.float64)


def _mask(array: pyarrow.ChunkedArray | pyarrow.Array) -> Mask:
    if array.null_count:  # (fill_null costs more than the whole check when there is nothing to fill)
        array = array.fill_null(False)
    return to_numpy(array, numpy.bool_)


def _any_time_of_day(local: npt.NDArray[numpy.int64]) -> bool:
    """Whether any row's time on the clock is past midnight (intraday tables mostly
    show it within their first rows, sparing a pass over all of them)."""
    return bool((local[:1024] % DAY_US).any()) or bool((local % DAY_US).any())


def _zone_name(zone: datetime.tzinfo | None) -> str:
    return "the local time zone" if zone is None else str(getattr(zone, "key", zone))


def _previous_in_group(groups: npt.NDArray[numpy.int64]) -> npt.NDArray[numpy.int64]:
    """For each row, the row before it of the same ticker (-1 for none)."""
    if not groups.any():
        return numpy.arange(-1, len(groups) - 1, dtype=numpy.int64)
    order = numpy.argsort(groups, kind="stable")
    previous = numpy.full(len(groups), -1, dtype=numpy.int64)
    same = groups[order[1:]] == groups[order[:-1]]
    previous[order[1:][same]] = order[:-1][same]
    return previous


def _renumbered(previous: npt.NDArray[numpy.int64], keep: Mask) -> npt.NDArray[numpy.int64]:
    """``previous`` restricted to the rows of ``keep``, as indices among them."""
    index = numpy.cumsum(keep) - 1
    chosen = previous[keep]
    return numpy.where((chosen >= 0) & keep[chosen], index[chosen], -1)


def _mode(gaps: npt.NDArray[numpy.int64]) -> int:
    if bool((gaps == gaps[0]).all()):  # the common case, without sorting
        return int(gaps[0])
    values, counts = numpy.unique(gaps, return_counts=True)
    return int(values[numpy.argmax(counts)])  # the first of the most common: the smallest


def _plural(count: float, unit: str) -> str:
    return f"{int(count)} {unit}{'' if count == 1 else 's'}"


def _daily_spans(dates: npt.NDArray[numpy.datetime64], span: float | None,
                 given: Floats | None) -> tuple[Floats, str]:
    count = len(dates)
    if span is not None:
        days = span / DAY
        if days != int(days) or days > 2**31 - 1:
            raise CsvError(f"the span of daily bars is a whole number of days, not {span!r} seconds")
        return numpy.full(count, days), f"{_plural(days, 'day')} (given)"
    if given is not None:
        days_given = numpy.round(given / DAY)
        return days_given, "from the table"
    if count == 1:
        return numpy.ones(1), "1 day (one row: nothing to infer from)"
    gap = float(_mode(numpy.diff(dates.astype(numpy.int64)).astype(numpy.int64)))
    if 28 <= gap <= 31:
        months = dates.astype("datetime64[M]")
        lengths = ((months + numpy.timedelta64(1, "M")).astype("datetime64[D]") - months.astype("datetime64[D]")).astype(numpy.float64)
        return lengths, "calendar months (inferred)"
    return numpy.full(count, gap), f"{_plural(gap, 'day')} (inferred)"


def _describe(key: int, daily: bool) -> str:
    if daily:
        return str(datetime.date.fromordinal(key + EPOCH_ORDINAL))
    moment = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC) + datetime.timedelta(microseconds=key)
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")
