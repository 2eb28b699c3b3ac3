"""Resampling: bars of one span made into bars of a longer one, in one native
pass over the records (``tarnwick.bars._bucketing``) that reads a mapped file
in place.

This module parses spans and clock times, and gives the native pass a zone
as a table of its offset changes around the bars' times (``_zones``); the
pass does the bucketing and the arithmetic.
"""

from __future__ import annotations

import array
import dataclasses
import datetime
import math
import mmap
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, Generic, TypeVar, overload

from tarnwick.base.candlestick import BarData, DailyBar

from . import _bucketing
from ._file import BarFile, kind_of
from ._layout import FORMAT_VERSION, RECORD_SIZE, RECORD_STRUCT, Kind, is_header, looks_daily, parse_header
from ._zones import ZoneTable, resolve_zone, zone_tables

StrPath = str | os.PathLike[str]
SpanLike = str | int | float | datetime.timedelta
B = TypeVar("B", bound=BarData, covariant=True)

_DAY = 86400
_EARLIEST = -62135596800.0  # 0001-01-01, the first instant datetime can name
_LATEST = 253402300799.0    # 9999-12-31 23:59:59, the last


class ResampleError(ValueError):
    """Bars that cannot be resampled as asked: out of order or overlapping,
    of mixed kinds, longer than the new span, across a bucket boundary, or
    summing to a trade count that does not fit."""


# ---- spans -------------------------------------------------------------------------------

_UNITS: dict[str, tuple[str, int]] = {
    "s": ("s", 1), "sec": ("s", 1), "m": ("s", 60), "min": ("s", 60), "h": ("s", 3600),
    "d": ("d", 1), "w": ("w", 1), "mo": ("mo", 1), "q": ("mo", 3), "y": ("mo", 12),
}
_SPAN_TEXT = re.compile(r"\s*(\d+)?\s*([a-z]*)\s*", re.IGNORECASE)


@dataclasses.dataclass(frozen=True)
class Span:
    """A span to resample into: ``count`` seconds (``unit`` ``"s"``, intraday
    bars), or ``count`` days, ISO weeks or calendar months (``"d"``, ``"w"``,
    ``"mo"``; daily bars)."""

    unit: str
    count: int

    @classmethod
    def parse(cls, span: SpanLike | Span) -> Span:
        """A span from seconds, a ``timedelta`` (whole days make a daily span)
        or text: a count and a unit ``s``, ``m``/``min``, ``h``, ``d``, ``w``,
        ``mo``, ``q`` or ``y`` (``5min``, ``4h``, ``1d``, ``1mo``); text
        without a unit is seconds."""
        if isinstance(span, Span):
            return span
        if isinstance(span, datetime.timedelta):
            if span > datetime.timedelta(0) and span % datetime.timedelta(days=1) == datetime.timedelta(0):
                return cls("d", span.days)
            return cls._seconds(span.total_seconds(), span)
        if isinstance(span, (int, float)) and not isinstance(span, bool):
            return cls._seconds(float(span), span)
        if not isinstance(span, str):
            raise TypeError(f"a span is seconds, a timedelta or text such as '5min', not {type(span).__name__}")
        match = _SPAN_TEXT.fullmatch(span)
        unit = _UNITS.get(match[2].lower() or "s") if match else None
        if match is None or unit is None or (match[1] is None and not match[2]):
            raise ValueError(f"a span is a count and a unit s, m or min, h, d, w, mo, q or y (5min, 1h, 1mo), "
                             f"not {span!r}")
        count = int(match[1] or 1) * unit[1]
        if unit[0] == "s":
            return cls._seconds(float(count), span)
        if count <= 0:
            raise ValueError(f"a span must be positive, not {span!r}")
        if unit[0] == "mo" and 12 % count and count % 12:
            raise ValueError(f"a span of months must divide a year or be whole years, not {span!r}")
        return cls(unit[0], count)

    @classmethod
    def _seconds(cls, seconds: float, given: object) -> Span:
        if not (0 < seconds <= _DAY and seconds == int(seconds) and _DAY % int(seconds) == 0):
            raise ValueError(f"an intraday span must be whole seconds that divide 24 hours, not {given!r} "
                             "(spans of days: '2d', weeks: '1w', months: '1mo')")
        return cls("s", int(seconds))

    @property
    def daily(self) -> bool:
        """Whether the span makes daily bars (``DailyBar``)."""
        return self.unit != "s"

    @property
    def shortest_seconds(self) -> int:
        """The fewest seconds a bucket of this span holds, leaving daylight-saving changes aside."""
        days = {"s": 0, "d": 1, "w": 7, "mo": 28 if self.count < 12 else 365 // 12}[self.unit]
        return self.count * (days * _DAY or 1)

    def __str__(self) -> str:
        if self.unit == "s":
            for size, name in ((3600, "h"), (60, "min")):
                if self.count % size == 0:
                    return f"{self.count // size}{name}"
            return f"{self.count}s"
        if self.unit == "mo":
            for size, name in ((12, "y"), (3, "q")):
                if self.count % size == 0:
                    return f"{self.count // size}{name}"
        return f"{self.count}{self.unit}"


def clock_seconds(value: str | datetime.time, what: str = "a time of day") -> int:
    """Seconds after midnight of ``HH:MM`` or ``HH:MM:SS`` text (up to 24:00) or a ``datetime.time``."""
    if isinstance(value, datetime.time):
        return value.hour * 3600 + value.minute * 60 + value.second
    match = re.fullmatch(r"\s*(\d{1,2}):(\d{2})(?::(\d{2}))?\s*", value) if isinstance(value, str) else None
    if match is None:
        raise ValueError(f"{what} is HH:MM, not {value!r}")
    seconds = int(match[1]) * 3600 + int(match[2]) * 60 + int(match[3] or 0)
    if int(match[2]) > 59 or int(match[3] or 0) > 59 or seconds > _DAY:
        raise ValueError(f"{what} is HH:MM, not {value!r}")
    return seconds


def parse_session(session: str | tuple[str | datetime.time, str | datetime.time]) -> tuple[int, int]:
    """The local hours of a session, ``"09:30-16:00"`` or a pair of times, as seconds after midnight."""
    parts: Sequence[str | datetime.time] = session.split("-") if isinstance(session, str) else session
    if len(parts) != 2:
        raise ValueError(f"a session is HH:MM-HH:MM, not {session!r}")
    start, end = parts
    opening, closing = clock_seconds(start, "a session's start"), clock_seconds(end, "a session's end")
    if closing <= opening:
        raise ValueError(f"a session must end after it starts on the same day ({session!r}); "
                         "sessions across midnight are not supported")
    return opening, closing


# ---- the source -------------------------------------------------------------------------------


@dataclasses.dataclass
class _Source:
    """The records to resample, as one flat read-only view, and what is known of them."""

    view: memoryview
    kind: Kind
    inferred: bool  # the kind was guessed from the first record: check every record against it
    name: str
    mapping: mmap.mmap | None = None  # a file mapped here, unmapped by close()

    def close(self) -> None:
        self.view.release()
        if self.mapping is not None:
            try:
                self.mapping.close()
            except BufferError:
                pass  # a view of it is still alive somewhere; the last one to go unmaps it

    def time_range(self) -> tuple[float, float]:
        """The earliest start and the latest end of the first and the last
        bar (enough for one ticker in time order)."""
        times = [RECORD_STRUCT.unpack_from(self.view, index * RECORD_SIZE)[2:4]
                 for index in (0, len(self.view) // RECORD_SIZE - 1)]
        return _valid_range([end - span for end, span in times], [end for end, _ in times])


def _valid_range(starts: Sequence[float], ends: Sequence[float]) -> tuple[float, float]:
    # Times the pass refuses (NaN, beyond the years 1 to 9999) need no table.
    starts = [t for t in starts if _EARLIEST <= t <= _LATEST]
    ends = [t for t in ends if _EARLIEST <= t <= _LATEST]
    return (min(starts), max(ends)) if starts and ends else (0.0, 0.0)


def _open_source(source: object, kind: Kind | None) -> _Source:
    if isinstance(source, (str, os.PathLike)):
        return _map(Path(source), kind)
    if isinstance(source, BarFile):
        return _Source(memoryview(source), kind or source.kind, False, str(source.path))
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"resample takes a bar file (a path or a BarFile) or a buffer of bar records, "
                        f"not {type(source).__name__}") from None
    if not view.c_contiguous:
        raise ValueError("the records must be in a C-contiguous buffer")
    with view:
        return _records(view.cast("B") if view.ndim != 1 or view.format != "B" else view[:], kind, "records")


def _map(path: Path, kind: Kind | None) -> _Source:
    """A bar file mapped for reading (``read`` would check each record's kind
    code in Python first; the native pass checks them as it goes)."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        if not size:
            return _records(memoryview(b""), kind, str(path))
        mapping = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
    try:
        with memoryview(mapping) as whole:
            source = _records(whole[:], kind, str(path))
    except BaseException:
        mapping.close()
        raise
    source.mapping = mapping
    return source


def _records(flat: memoryview, kind: Kind | None, name: str) -> _Source:
    """The bar records of a flat view, after a header if there is one."""
    stated = None
    if is_header(flat[:RECORD_SIZE]):
        version, stated = parse_header(flat[:RECORD_SIZE])
        if version != FORMAT_VERSION or stated is None:
            flat.release()
            raise ResampleError(f"{name}: a bar file of format version {version}, which this version does not read")
        if kind is not None and kind != stated:
            flat.release()
            raise ResampleError(f"{name}: the header states {stated} bars, not {kind}")
        flat = flat[RECORD_SIZE:]
    if len(flat) % RECORD_SIZE:
        size = len(flat)
        flat.release()
        raise ResampleError(f"{name}: {size} bytes is not a whole number of {RECORD_SIZE}-byte bar records")
    given = kind or stated
    if given is None and len(flat):
        end, span = RECORD_STRUCT.unpack_from(flat, 0)[2:4]
        given = "daily" if looks_daily(end, span) else "intraday"
    return _Source(flat, given or "intraday", kind is None and stated is None, name)


# ---- the result --------------------------------------------------------------------------------


class ResampledBars(Sequence[B], Generic[B]):
    """The bars that ``resample`` made, in one read-only buffer of packed
    records that this object exports (``bytes(bars)``, ``numpy.frombuffer``,
    ``tarnwick.bars.write``).  Indexing and iteration give bars that read the
    buffer in place (``from_buffer``); use ``copy.copy`` for bars to change."""

    __slots__ = ("_view", "_cls", "_span")

    def __init__(self, records: object, bar_class: type[B], span: Span) -> None:
        self._view = memoryview(records)  # type: ignore[arg-type]
        self._cls = bar_class
        self._span = span

    @property
    def bar_class(self) -> type[B]:
        """``DailyBar`` for daily spans, ``BarData`` for intraday ones."""
        return self._cls

    @property
    def kind(self) -> Kind:
        return kind_of(self._cls)

    @property
    def span(self) -> Span:
        """The span the bars were resampled into."""
        return self._span

    def __len__(self) -> int:
        return len(self._view) // RECORD_SIZE

    def _bar(self, index: int) -> B:
        start = index * RECORD_SIZE
        return self._cls.from_buffer(self._view[start : start + RECORD_SIZE])

    @overload
    def __getitem__(self, index: int) -> B: ...
    @overload
    def __getitem__(self, index: slice) -> list[B]: ...
    def __getitem__(self, index: int | slice) -> B | list[B]:
        count = len(self)
        if isinstance(index, slice):
            return [self._bar(i) for i in range(*index.indices(count))]
        position = index.__index__()
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise IndexError("resampled bars index out of range")
        return self._bar(position)

    def __iter__(self) -> Iterator[B]:
        for index in range(len(self)):
            yield self._bar(index)

    def __buffer__(self, flags: int, /) -> memoryview:
        return self._view[:]

    def __release_buffer__(self, view: memoryview, /) -> None:
        view.release()

    def __repr__(self) -> str:
        return f"<ResampledBars: {len(self)} {self._cls.__name__} of {self._span}>"


# ---- resample --------------------------------------------------------------------------------------


def resample(source: object, span: SpanLike | Span, *, tz: datetime.tzinfo | str | None = None,
             session: str | tuple[str | datetime.time, str | datetime.time] | None = None,
             origin: str | datetime.time | None = None, kind: Kind | None = None) -> ResampledBars[Any]:
    """Resamples bars into buckets of ``span`` and returns the new bars.

    ``source`` is a bar file (a path, or a ``BarFile`` from ``read``) or any
    buffer of bar records, with or without a file header; ``kind`` says
    whether records without a header are daily or intraday (else the first
    record decides, and every other must agree).  ``span`` is seconds, a
    ``timedelta`` or text (see ``Span.parse``): intraday spans divide 24
    hours and make ``BarData``; days, weeks, months, quarters and years make
    ``DailyBar``.

    Each bucket's bar opens at its first bar's open and closes at its last
    bar's close, its high is the highest high, its low the lowest low, and
    volume, notional and trade count are sums; a NaN among them makes the
    result NaN.  Bars of several tickers are resampled per ticker, tickers in
    the order in which they first appear.

    Intraday buckets follow the wall clock of ``tz`` (default: the profile's
    zone): boundaries at local midnight (or ``origin``, "HH:MM") plus whole
    spans; a bar belongs to the bucket that holds its whole span and a new
    bar is stamped with its bucket's end, its span the bucket's real length.
    Daily buckets hold the local date on which an intraday bar starts, or a
    daily bar's market date; weeks are ISO weeks, months calendar months; a
    new daily bar ends on its bucket's last day and spans its days.
    ``session`` ("09:30-16:00") keeps only intraday bars within those local
    hours.

    Raises ``ResampleError`` for bars out of time order or overlapping, a
    mix of daily and intraday records, bars longer than the span or across a
    bucket boundary, and trade counts that sum past 2**32 - 1.
    """
    target = Span.parse(span)
    if origin is not None and target.daily:
        raise ValueError("an origin applies to intraday spans only")
    opening = clock_seconds(origin, "an origin") % target.count if origin is not None else 0
    hours = parse_session(session) if session is not None else (-1, -1)
    source_ = _open_source(source, kind)
    try:
        daily = source_.kind == "daily"
        if daily and not target.daily:
            raise ResampleError(f"{source_.name}: daily bars cannot be resampled into an intraday span ({target}): "
                                "the span is shorter than the bars'")
        if daily and session is not None:
            raise ValueError("a session applies to intraday bars only")
        records = _run(source_, target, resolve_zone(tz), opening, hours, daily)
    finally:
        source_.close()
    return ResampledBars(records, DailyBar if target.daily else BarData, target)


def _run(source: _Source, target: Span, zone: datetime.tzinfo | None, origin: int, hours: tuple[int, int],
         daily: bool) -> object:
    """The native pass, given zone tables from the cheapest on (see
    ``zone_tables``) until one covers every bar."""
    tables: Iterable[ZoneTable]
    if daily or not len(source.view):  # the pass needs no zone
        tables = [(-math.inf, math.inf, array.array("d"), array.array("d", [0.0]))]
    else:
        tables = zone_tables(zone, *source.time_range(), source.view)
    for first, last, transitions, offsets in tables:
        try:
            records = _bucketing.resample(source.view, target.unit, target.count, float(origin), float(hours[0]),
                                          float(hours[1]), daily, source.inferred, transitions, offsets,
                                          first, last)
        except ValueError as error:
            raise ResampleError(f"{source.name}: {error}") from None
        if records is not None:
            return records
    raise AssertionError("the zone table covers every time the pass accepts")


# ---- charts -------------------------------------------------------------------------------------------

CHART_SPANS = ("1min", "2min", "5min", "10min", "15min", "30min", "1h", "2h", "4h", "12h", "1d", "1w", "1mo", "1q",
               "1y")
"""The spans a chart of many bars may choose, shortest first."""


def chart_candles(bars: BarFile[Any], count: int, limit: int = 2000) -> tuple[Sequence[BarData], str]:
    """The last ``count`` bars of a file as at most ``limit`` candles, and a
    title saying what they are: the bars themselves if they are few enough,
    else the bars resampled into the shortest of ``CHART_SPANS`` that gives
    at most ``limit`` (in the profile's zone)."""
    total = len(bars)
    first = max(0, total - count)
    shown = total - first
    with memoryview(bars) as whole:
        ticker = bytes(whole[1:33]).rstrip(b"\0").decode("utf-8", "replace") if total else ""
        if shown <= limit:
            return bars[first:], f"{ticker}: last {shown} of {total} bars"
        view = whole[first * RECORD_SIZE :]
        end, length = RECORD_STRUCT.unpack_from(view)[2:4]
        last = RECORD_STRUCT.unpack_from(view, len(view) - RECORD_SIZE)[2]
        daily = bars.kind == "daily"
        seconds = (_day_of(last) - _day_of(end) + length) * _DAY if daily else last - end + length
        for text in CHART_SPANS:
            span = Span.parse(text)
            if (daily and not span.daily) or span.shortest_seconds < length * (_DAY if daily else 1) \
                    or seconds / span.shortest_seconds > 50 * limit:
                continue  # shorter than the bars, or too many candles by far
            try:
                candles = resample(view, span, kind=bars.kind)
            except ResampleError:
                continue  # bars across this span's boundaries
            if len(candles) <= limit or text == CHART_SPANS[-1]:
                return candles[-limit:], f"{ticker}: last {shown} of {total} bars as {len(candles)} candles of {span}"
        return bars[total - limit :], f"{ticker}: last {limit} of {total} bars"


def _day_of(number: float) -> float:
    value = int(number)
    return float(datetime.date(value // 10000, value // 100 % 100, value % 100).toordinal())
