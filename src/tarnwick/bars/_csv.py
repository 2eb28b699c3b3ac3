"""OHLCV tables in CSV files, read into the values of bar records."""

from __future__ import annotations

import calendar
import csv
import datetime
import math
import os
import re
from array import array
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Literal

from tarnwick.base.candlestick import BarData, DailyBar

from ._file import StrPath
from ._layout import TICKER_BYTES, Kind, date_number
from ._progress import Progress, progress

Stamp = Literal["start", "end"]

DAY = 86400.0
MAX_TRADE_COUNT = 2**32 - 1

# Header names, compared in lower case without blanks, underscores or hyphens.
_COLUMN_NAMES = {
    "date": "date",
    "time": "time",
    "datetime": "datetime",
    "timestamp": "datetime",
    "open": "open",
    "high": "high",
    "low": "low",
    "close": "close",
    "volume": "volume",
    "notional": "notional",
    "amount": "notional",
    "turnover": "notional",
    "vwap": "vwap",
    "trades": "trades",
    "tradecount": "trades",
    "numtrades": "trades",
}
_PRICE_COLUMNS = ("open", "high", "low", "close")
_SPAN_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": DAY, "w": 7 * DAY}
_SPAN_PATTERN = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([smhdw]?)\s*", re.IGNORECASE)


class CsvError(ValueError):
    """A CSV file that cannot be read as a table of bars; the message names the line."""


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
class _Time:
    epoch: float  # seconds since the epoch
    ordinal: int  # the date in the profile's zone, as date.toordinal()
    has_time: bool  # a time of day other than midnight


def _zoned(moment: datetime.datetime, zone: datetime.tzinfo | None) -> datetime.datetime:
    if moment.tzinfo is None:
        return moment.replace(tzinfo=zone) if zone is not None else moment.astimezone()
    return moment.astimezone(zone) if zone is not None else moment.astimezone()


def _parse_time(text: str, zone: datetime.tzinfo | None) -> _Time:
    text = text.strip()
    if len(text) == 8 and text.isdigit():  # 20240105
        text = f"{text[:4]}-{text[4:6]}-{text[6:]}"
    elif text.replace(".", "", 1).isdigit() and len(text.partition(".")[0]) >= 9:
        seconds = float(text)
        if seconds >= 1e11:  # milliseconds
            seconds /= 1000.0
        local = _zoned(datetime.datetime.fromtimestamp(seconds, datetime.UTC), zone)
        return _Time(seconds, local.toordinal(), local.time() != datetime.time())
    text = text.replace("/", "-")
    if len(text) == 10:
        day = datetime.date.fromisoformat(text)
        midnight = _zoned(datetime.datetime.combine(day, datetime.time()), zone)
        return _Time(midnight.timestamp(), day.toordinal(), False)
    moment = datetime.datetime.fromisoformat(text)
    local = _zoned(moment, zone)
    return _Time(local.timestamp(), local.toordinal(), local.time() != datetime.time())


def _number(text: str, column: str, line: int, source: Path) -> float:
    try:
        value = float(text)
    except ValueError:
        raise CsvError(f"{source}, line {line}: {column} is not a number: {text!r}") from None
    if not math.isfinite(value):
        raise CsvError(f"{source}, line {line}: {column} is not a finite number: {text!r}")
    return value


def _normal(name: str) -> str:
    return re.sub(r"[\s_\-]", "", name).lower()


@dataclass
class _Columns:
    time: tuple[int, ...]  # one index, or date then time of day
    values: dict[str, int]


def _columns(header: list[str], source: Path) -> _Columns:
    found: dict[str, int] = {}
    for index, name in enumerate(header):
        kind = _COLUMN_NAMES.get(_normal(name))
        if kind is None:
            continue
        if kind in found:
            raise CsvError(f"{source}, line 1: two {kind} columns ({header[found[kind]]!r} and {name!r})")
        found[kind] = index
    missing = [name.capitalize() for name in _PRICE_COLUMNS if name not in found]
    if missing:
        raise CsvError(f"{source}, line 1: no {', '.join(missing)} column (the header is {', '.join(header)})")
    if "date" in found and "time" in found:
        time: tuple[int, ...] = (found.pop("date"), found.pop("time"))
    elif "datetime" in found:
        time = (found.pop("datetime"),)
    elif "date" in found or "time" in found:
        time = (found.pop("date") if "date" in found else found.pop("time"),)
    elif header and not header[0].strip():
        time = (0,)
    else:
        raise CsvError(
            f"{source}, line 1: no date column: name it Date, Datetime or Time, or leave the first column unnamed"
        )
    for name in ("date", "time"):
        found.pop(name, None)
    return _Columns(time, found)


def _lines(path: Path, meter: Progress) -> Iterator[str]:
    with open(path, "rb") as file:
        first = True
        for raw in file:
            meter.update(len(raw))
            try:
                text = raw.decode("utf-8-sig" if first else "utf-8")
            except UnicodeDecodeError as error:
                raise CsvError(f"{path}: not UTF-8 text ({error})") from None
            first = False
            yield text


def _days_in_month(ordinal: int) -> int:
    day = datetime.date.fromordinal(ordinal)
    return calendar.monthrange(day.year, day.month)[1]


def _mode(gaps: Iterator[float]) -> float:
    counts = Counter(gaps)
    return min(counts, key=lambda gap: (-counts[gap], gap))


@dataclass
class CsvBars:
    """The bars of a CSV table: the values of their records, in time order.

    ``timestamps`` and ``spans`` hold what the records hold: for intraday bars
    the end of each bar in epoch seconds and the span in seconds, for daily
    bars the date number (20240105.0) and the span in days.
    """

    source: Path
    ticker: str
    kind: Kind
    span_text: str  # how the span was found, for people
    reversed: bool  # the rows came newest first
    timestamps: array[float]
    spans: array[float]
    high: array[float]
    low: array[float]
    open: array[float]
    close: array[float]
    volume: array[float]
    notional: array[float]
    trades: array[int]

    def __len__(self) -> int:
        return len(self.timestamps)

    @property
    def bar_class(self) -> type[BarData]:
        return DailyBar if self.kind == "daily" else BarData

    def record(self, index: int) -> tuple[str, float, float, float, float, float, float, float, float, int]:
        """The fields of bar ``index``'s record: ticker, timestamp, bar span,
        high, low, open and close prices, volume, notional and trade count."""
        i = index
        return (self.ticker, self.timestamps[i], self.spans[i], self.high[i], self.low[i], self.open[i],
                self.close[i], self.volume[i], self.notional[i], self.trades[i])

    def bars(self, meter: Progress | None = None) -> Iterator[BarData]:
        """Builds the bars one by one (so a large table needs no list of them)."""
        daily = self.kind == "daily"
        for i in range(len(self)):
            if daily:
                number = int(self.timestamps[i])
                market_date = datetime.date(number // 10000, number // 100 % 100, number % 100)
                yield DailyBar(self.ticker, market_date, self.high[i], self.low[i], self.open[i], self.close[i],
                               volume=self.volume[i], notional=self.notional[i], trade_count=self.trades[i],
                               bar_span=int(self.spans[i]))
            else:
                yield BarData(self.ticker, self.timestamps[i], self.high[i], self.low[i], self.open[i],
                              self.close[i], volume=self.volume[i], notional=self.notional[i],
                              trade_count=self.trades[i], bar_span=self.spans[i])
            if meter is not None:
                meter.update(1)


def load_csv(path: StrPath, *, ticker: str | None = None, kind: Kind | None = None, span: float | None = None,
             stamp: Stamp = "start", show_progress: bool | None = None) -> CsvBars:
    """Reads an OHLCV table.

    The header names a date or date-time column (Date, Datetime, Time or
    Timestamp; separate Date and Time columns are joined; an unnamed first
    column is taken for the date), and Open, High, Low, Close, optionally
    Volume, Notional (or Amount, Turnover, or a VWAP to multiply by the
    volume) and Trades, in any order and any case; other columns are
    ignored.  Times without a zone are read in ``PROFILE.time_zone``.

    ``kind`` None infers daily bars when no row has a time of day other than
    midnight, else intraday.  ``span`` None infers the span as the most common
    gap between consecutive rows (daily bars whose common gap is 28 to 31 days
    are calendar months, each spanning the days of its month).  Intraday rows
    are stamped with the start of their bar unless ``stamp`` is ``"end"``.
    Rows must be in time order, one per bar (a table newest first is turned
    round).  Any row that cannot be read raises ``CsvError`` naming its line.
    """
    from tarnwick.profile import PROFILE

    source = Path(path)
    if ticker is None:
        ticker = source.stem
    try:
        check_ticker(ticker)
    except ValueError as error:
        raise CsvError(f"{error}; give the ticker explicitly") from None
    if span is not None and not (math.isfinite(span) and span > 0):
        raise CsvError(f"the span must be a positive number of seconds, not {span!r}")
    meter = progress(os.path.getsize(source), f"reading {source.name}", enabled=show_progress)
    try:
        rows = _read_rows(source, PROFILE.time_zone, meter)
    finally:
        meter.close()

    if kind is None:
        kind = "intraday" if rows.any_time_of_day else "daily"
    daily = kind == "daily"
    turned = _order(rows.ordinals if daily else rows.epochs, rows.lines, source, daily)
    if turned:
        rows.reverse()
    if daily:
        timestamps = array("d", (date_number(datetime.date.fromordinal(ordinal)) for ordinal in rows.ordinals))
        spans, span_text = _daily_spans(rows.ordinals, span)
    else:
        seconds, span_text = _intraday_span(rows.epochs, span, source)
        spans = array("d", [seconds]) * len(rows.epochs)
        shift = seconds if stamp == "start" else 0.0
        timestamps = array("d", (epoch + shift for epoch in rows.epochs))
        span_text += f", rows stamped at the bar's {stamp}"
    columns = rows.columns
    return CsvBars(source=source, ticker=ticker, kind=kind, span_text=span_text, reversed=turned,
                   timestamps=timestamps, spans=spans, high=columns["high"], low=columns["low"],
                   open=columns["open"], close=columns["close"], volume=columns["volume"],
                   notional=columns["notional"], trades=rows.trades)


@dataclass
class _Rows:
    """The rows of a table as read, in the file's order."""

    epochs: array[float] = field(default_factory=lambda: array("d"))  # the rows' times
    ordinals: array[int] = field(default_factory=lambda: array("q"))  # their dates in the profile's zone
    lines: array[int] = field(default_factory=lambda: array("q"))  # their line numbers
    columns: dict[str, array[float]] = field(
        default_factory=lambda: {name: array("d") for name in ("open", "high", "low", "close", "volume", "notional")})
    trades: array[int] = field(default_factory=lambda: array("Q"))
    any_time_of_day: bool = False

    def reverse(self) -> None:
        every: list[array[Any]] = [self.epochs, self.ordinals, self.lines, self.trades, *self.columns.values()]
        for column in every:
            column.reverse()


def _read_rows(source: Path, zone: datetime.tzinfo | None, meter: Progress) -> _Rows:
    rows = _Rows()
    try:
        reader = csv.reader(_lines(source, meter))
        header = next(reader, None)
        if header is None:
            raise CsvError(f"{source}: the file is empty")
        layout = _columns(header, source)
        for row in reader:
            if row and (len(row) > 1 or row[0].strip()):
                _add_row(rows, row, reader.line_num, len(header), layout, zone, source)
    except csv.Error as error:
        raise CsvError(f"{source}: {error}") from None
    if not rows.epochs:
        raise CsvError(f"{source}: no data rows after the header")
    return rows


def _add_row(rows: _Rows, row: list[str], line: int, width: int, layout: _Columns, zone: datetime.tzinfo | None,
             source: Path) -> None:
    def number(name: str, label: str) -> float:
        return _number(row[index[name]], label, line, source)

    if len(row) != width:
        raise CsvError(f"{source}, line {line}: {len(row)} fields, the header has {width}")
    index = layout.values
    time_text = " ".join(row[i].strip() for i in layout.time)
    try:
        moment = _parse_time(time_text, zone)
    except (ValueError, OverflowError):
        raise CsvError(f"{source}, line {line}: not a date or date-time: {time_text!r}") from None
    opening, high, low, closing = (number(name, name.capitalize()) for name in _PRICE_COLUMNS)
    if not low <= min(opening, closing) or not max(opening, closing) <= high:
        raise CsvError(f"{source}, line {line}: prices out of order: open {opening}, high {high}, low {low}, "
                       f"close {closing} (low <= open, close <= high)")
    volume = number("volume", "Volume") if "volume" in index else 0.0
    if volume < 0:
        raise CsvError(f"{source}, line {line}: Volume is negative: {volume!r}")
    if "notional" in index:
        notional = number("notional", "Notional")
    else:
        notional = number("vwap", "VWAP") * volume if "vwap" in index else 0.0
    if notional < 0:
        raise CsvError(f"{source}, line {line}: the notional value is negative: {notional!r}")
    count = number("trades", "Trades") if "trades" in index else 0.0
    if count != int(count) or not 0 <= count <= MAX_TRADE_COUNT:
        raise CsvError(f"{source}, line {line}: Trades is not a count from 0 to {MAX_TRADE_COUNT}: "
                       f"{row[index['trades']]!r}")
    rows.epochs.append(moment.epoch)
    rows.ordinals.append(moment.ordinal)
    rows.lines.append(line)
    rows.any_time_of_day = rows.any_time_of_day or moment.has_time
    for name, value in zip(rows.columns, (opening, high, low, closing, volume, notional)):
        rows.columns[name].append(value)
    rows.trades.append(int(count))


def _plural(count: float, unit: str) -> str:
    return f"{int(count)} {unit}{'' if count == 1 else 's'}"


def _daily_spans(ordinals: array[int], span: float | None) -> tuple[array[float], str]:
    count = len(ordinals)
    if span is not None:
        days = span / DAY
        if days != int(days) or days > 2**31 - 1:
            raise CsvError(f"the span of daily bars is a whole number of days, not {span!r} seconds")
        return array("d", [days]) * count, f"{_plural(days, 'day')} (given)"
    if count == 1:
        return array("d", [1.0]), "1 day (one row: nothing to infer from)"
    gap = _mode(float(b - a) for a, b in zip(ordinals, ordinals[1:]))
    if 28 <= gap <= 31:
        return array("d", (float(_days_in_month(ordinal)) for ordinal in ordinals)), "calendar months (inferred)"
    return array("d", [gap]) * count, f"{_plural(gap, 'day')} (inferred)"


def _intraday_span(epochs: array[float], span: float | None, source: Path) -> tuple[float, str]:
    if span is not None:
        return span, f"{datetime.timedelta(seconds=span)} (given)"
    if len(epochs) == 1:
        raise CsvError(f"{source}: one intraday row: nothing to infer the span from; give it")
    seconds = _mode(b - a for a, b in zip(epochs, epochs[1:]))
    return seconds, f"{datetime.timedelta(seconds=seconds)} (inferred)"


def _describe(key: float | int, daily: bool) -> str:
    if daily:
        return str(datetime.date.fromordinal(int(key)))
    return datetime.datetime.fromtimestamp(key, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S UTC")


def _order(keys: array[float] | array[int], lines: array[int], source: Path, daily: bool) -> bool:
    """Checks that the rows are one per bar in time order; True when they are
    in reverse order throughout."""
    count = len(keys)
    bad = next((i for i in range(1, count) if keys[i] <= keys[i - 1]), None)
    if bad is None:
        return False
    if bad == 1 and all(keys[i] < keys[i - 1] for i in range(1, count)):
        return True
    what = "market date" if daily else "time"
    relation = "repeats" if keys[bad] == keys[bad - 1] else "comes before"
    raise CsvError(f"{source}, line {lines[bad]}: {what} {_describe(keys[bad], daily)} {relation} the previous "
                   f"row's (line {lines[bad - 1]}); rows must be in time order, one per bar")
