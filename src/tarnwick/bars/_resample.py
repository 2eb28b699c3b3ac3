"""Resampling: bars of one span made into bars of a longer one, in one native
pass over the records (``tarnwick.bars._bucketing``) that reads a mapped file
in place.

This module gives the native pass a span read by ``_spans`` and a zone as a
table of its offset changes around the bars' times (``_zones``); the pass
does the bucketing and the arithmetic.
"""

from __future__ import annotations

import array
import datetime
import math
import os
from collections.abc import Iterable, Sequence
from typing import Any, TypeVar

from tarnwick.base.candlestick import BarData, DailyBar

from . import _bucketing
from ._records import RECORD_SIZE, RECORD_STRUCT, Kind, OpenRecords, open_records
from ._sequence import BarSequence
from ._spans import Span as Span, SpanLike as SpanLike, clock_seconds as clock_seconds  # (also read from here)
from ._spans import parse_session as parse_session
from ._zones import ZoneTable, resolve_zone, zone_tables

StrPath = str | os.PathLike[str]
B = TypeVar("B", bound=BarData, covariant=True)

_EARLIEST = -62135596800.0  # 0001-01-01, the first instant datetime can name
_LATEST = 253402300799.0    # 9999-12-31 23:59:59, the last


class ResampleError(ValueError):
    """Bars that cannot be resampled as asked: out of order or overlapping,
    of mixed kinds, longer than the new span, across a bucket boundary, or
    summing to a trade count that does not fit."""


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
