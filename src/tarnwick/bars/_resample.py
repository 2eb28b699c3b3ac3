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
import os
import re
from collections.abc import Iterable, Sequence
from typing import Any, TypeVar

from tarnwick.base.candlestick import BarData, DailyBar

from . import _bucketing
from ._records import RECORD_SIZE, RECORD_STRUCT, Kind, OpenRecords, open_records
from ._sequence import BarSequence
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


# ---- the source and the result --------------------------------------------------------------


def _time_range(records: memoryview) -> tuple[float, float]:
    """The earliest start and the latest end of the first and the last bar
    (enough for one ticker in time order)."""
    times = [RECORD_STRUCT.unpack_from(records, index * RECORD_SIZE)[2:4]
             for index in (0, len(records) // RECORD_SIZE - 1)]
    return _valid_range([end - span for end, span in times], [end for end, _ in times])


def _valid_range(starts: Sequence[float], ends: Sequence[float]) -> tuple[float, float]:
    # Times the pass refuses (NaN, beyond the years 1 to 9999) need no table.
    starts = [t for t in starts if _EARLIEST <= t <= _LATEST]
    ends = [t for t in ends if _EARLIEST <= t <= _LATEST]
    return (min(starts), max(ends)) if starts and ends else (0.0, 0.0)


class ResampledBars(BarSequence[B]):
    """The bars that ``resample`` made, in one read-only buffer of packed
    records that this object exports (``bytes(bars)``, ``numpy.frombuffer``,
    ``tarnwick.bars.write``).  Indexing and iteration give bars that read the
    buffer in place; use ``copy.copy`` for bars to change."""

    __slots__ = ("_span",)
    _noun = "resampled bars"

    def __init__(self, records: object, bar_class: type[B], span: Span) -> None:
        super().__init__(memoryview(records), bar_class)  # type: ignore[arg-type]
        self._span = span

    @property
    def span(self) -> Span:
        """The span the bars were resampled into."""
        return self._span

    def _label(self) -> str:
        return f" of {self._span}"


# ---- resample --------------------------------------------------------------------------------------


def resample(source: object, span: SpanLike | Span, *, tz: datetime.tzinfo | str | None = None,
             session: str | tuple[str | datetime.time, str | datetime.time] | None = None,
             origin: str | datetime.time | None = None, kind: Kind | None = None) -> ResampledBars[Any]:
    """Resamples bars into buckets of ``span`` and returns the new bars.

    ``source`` is a bar file (a path, or a ``BarFile`` from ``read``) or any
    buffer of bar records, with or without a file header; ``kind`` says
    whether records without a header are daily or intraday (else the rule
    of ``read`` decides, and every record must agree).  A file or records
    that ``read`` would refuse for their size or header are refused alike,
    with ``BarFileError``.  ``span`` is seconds, a
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
    with open_records(source, kind) as opened:
        daily = opened.kind == "daily"
        if daily and not target.daily:
            raise ResampleError(f"{opened.name}: daily bars cannot be resampled into an intraday span ({target}): "
                                "the span is shorter than the bars'")
        if daily and session is not None:
            raise ValueError("a session applies to intraday bars only")
        records = _run(opened, target, resolve_zone(tz), opening, hours, daily)
    return ResampledBars(records, DailyBar if target.daily else BarData, target)


def _run(source: OpenRecords, target: Span, zone: datetime.tzinfo | None, origin: int, hours: tuple[int, int],
         daily: bool) -> object:
    """The native pass, given zone tables from the cheapest on (see
    ``zone_tables``) until one covers every bar."""
    tables: Iterable[ZoneTable]
    if daily or not len(source.view):  # the pass needs no zone
        tables = [(-math.inf, math.inf, array.array("d"), array.array("d", [0.0]))]
    else:
        tables = zone_tables(zone, *_time_range(source.view), source.view)
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
