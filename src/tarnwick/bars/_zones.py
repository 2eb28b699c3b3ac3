"""Time zones: the one parser of zone names, the names Arrow knows zones by,
and a zone as the table of its offset changes that the native resampling
pass reads.

Every library function that reads or writes times takes ``tz`` (a
``datetime.tzinfo``, a zone name such as ``"America/New_York"``, ``"UTC"``
or ``"local"``, the machine's zone; None means ``PROFILE.time_zone``) and
turns it into a zone with ``resolve_zone``.  Zone arithmetic uses
``zoneinfo``, so it is the same on every path whatever zone database pyarrow
or the C library would see.

This module imports neither numpy nor pyarrow until a function needs them:
the package imports it on start.
"""

from __future__ import annotations

import array
import datetime
import functools
import os
import time
from collections.abc import Iterator
from typing import Any

from ._records import RECORD_SIZE, record_dtype

TimeZone = datetime.tzinfo | str | None
"""What a ``tz=`` argument may be (see ``resolve_zone``)."""

ZoneTable = tuple[float, float, array.array[float], array.array[float]]
"""A zone as the native pass reads it: the first and the last instant the
table covers, the instants (whole seconds) at which the offset changes, and
the offsets (seconds east of UTC) before, between and after them."""

_DAY = 86400
_EARLIEST = -62135596800.0  # 0001-01-01, the first instant datetime can name
_LATEST = 253402300799.0    # 9999-12-31 23:59:59, the last
_CYCLE = 146_097 * _DAY     # 400 Gregorian years, also whole weeks: yearly zone rules repeat after it
_MARGIN = 2 * _DAY          # how far from a bar the pass looks for bucket boundaries
_CHEAP_DAYS = 4 * 366       # daily probes over a few years cost a few milliseconds, once


# ---- parsing --------------------------------------------------------------------------------


def parse_zone(text: str) -> datetime.tzinfo | None:
    """The zone that ``text`` names: ``"local"`` is the machine's zone
    (None), ``"UTC"`` is ``datetime.UTC`` (either in any case), anything else
    a ``zoneinfo`` key.  ``ValueError`` for a name no zone has."""
    if text.lower() == "local":
        return None
    if text.upper() == "UTC":
        return datetime.UTC
    from zoneinfo import ZoneInfo

    try:
        return ZoneInfo(text)
    except (KeyError, ValueError, OSError):  # ZoneInfoNotFoundError is a KeyError; ValueError: a path, not a key
        raise ValueError(f"unknown time zone {text!r}") from None


def resolve_zone(tz: TimeZone = None) -> datetime.tzinfo | None:
    """The zone a ``tz=`` argument stands for: a tzinfo itself, a name as
    ``parse_zone`` reads it, None the profile's zone.  The result None is
    the machine's local zone."""
    if isinstance(tz, str):
        return parse_zone(tz)
    if tz is None:
        from tarnwick.profile import PROFILE

        return PROFILE.time_zone
    if isinstance(tz, datetime.tzinfo):
        return tz
    raise TypeError(f"tz is a datetime.tzinfo, a zone name, 'UTC' or 'local', not {type(tz).__name__}")


# ---- Arrow's names --------------------------------------------------------------------------


def zone_name(tz: TimeZone = None) -> str:
    """The name by which Arrow knows the zone of ``tz`` (see
    ``resolve_zone``; local time by the machine's zone name)."""
    zone = resolve_zone(tz)
    if zone is None:
        return _local_zone_name()
    key = getattr(zone, "key", None)  # a zoneinfo.ZoneInfo
    if isinstance(key, str):
        return key
    if isinstance(zone, datetime.timezone):
        offset = zone.utcoffset(None)
        if not offset:
            return "UTC"
        minutes = int(offset.total_seconds()) // 60
        return f"{'-' if minutes < 0 else '+'}{abs(minutes) // 60:02d}:{abs(minutes) % 60:02d}"
    raise ValueError(f"time zone {zone!r} has no name that tables can carry; use a zoneinfo.ZoneInfo")


def _local_zone_name() -> str:
    name = os.environ.get("TZ", "").lstrip(":")
    if not name:
        try:
            target = os.path.realpath("/etc/localtime")
        except OSError:
            target = ""
        name = target.partition("/zoneinfo/")[2]
    if not name:
        raise ValueError("the machine's local time zone has no name: give a zone (--tz or PROFILE.time_zone)")
    return name


# ---- the zone table ---------------------------------------------------------------------------


def _offset_at(zone: datetime.tzinfo | None, instant: int) -> float:
    try:
        return _probe(zone, instant)
    except (OverflowError, OSError, ValueError):
        # The zone's clock near the calendar's ends can pass them (year 10000
        # east of UTC, year 0 west of it); the offset is the one 400 years nearer.
        return _probe(zone, instant - _CYCLE if instant > 0 else instant + _CYCLE)


def _probe(zone: datetime.tzinfo | None, instant: int) -> float:
    if zone is None:
        return float(time.localtime(instant).tm_gmtoff)
    offset = datetime.datetime.fromtimestamp(instant, zone).utcoffset()
    return 0.0 if offset is None else offset.total_seconds()


def zone_table(zone: datetime.tzinfo | None, first: float,
               last: float) -> tuple[array.array[float], array.array[float]]:
    """The instants (whole seconds) between ``first`` and ``last`` at which
    the zone's offset changes, and the offsets (seconds east of UTC) before,
    between and after them: one offset more than instants.

    The zone is probed once a day and each change is then found to the
    second, so two changes less than a day apart would be missed; no zone
    in use today has those."""
    start, stop = int(max(first, _EARLIEST)), int(min(last, _LATEST))
    transitions, offsets = array.array("d"), array.array("d", [_offset_at(zone, start)])
    if isinstance(zone, datetime.timezone):
        return transitions, offsets
    before = start
    while before < stop:
        after = min(before + _DAY, stop)
        offset = _offset_at(zone, after)
        if offset != offsets[-1]:
            low, high = before, after  # the offset changes in (low, high]
            while high - low > 1:
                middle = (low + high) // 2
                if _offset_at(zone, middle) == offset:
                    high = middle
                else:
                    low = middle
            transitions.append(float(high))
            offsets.append(offset)
        before = after
    return transitions, offsets


def zone_tables(zone: datetime.tzinfo | None, first: float, last: float, records: memoryview) -> Iterator[ZoneTable]:
    """Zone tables for the native pass over ``records``, cheapest first; the
    pass says when a table does not reach a bar, and the next one is tried.

    ``first`` and ``last`` are the first bar's start and the last bar's end:
    all the bars' times if they are one ticker's in time order.  When that
    range is short beside the number of bars, the first table covers it by
    whole calendar years, kept for the next call.  Otherwise, and for bars
    outside it, the table covers the days that hold bars, read from every
    record: so its cost follows the bars, not the range of their dates."""
    if isinstance(zone, datetime.timezone):  # one offset for all time
        yield _all_time(zone)
        return
    if last - first <= max(len(records) // RECORD_SIZE, _CHEAP_DAYS) * _DAY:
        yield zone_around(zone, first, last)
    yield _zone_over(zone, _stretches_with_bars(records))


def zone_covering_valid(zone: datetime.tzinfo | None, times: Any) -> ZoneTable:
    """``zone_covering`` the epoch seconds of ``times`` that a pass accepts
    (the years 1 to 9999; it refuses the others), or a table that reaches no
    instant when there are none."""
    if isinstance(zone, datetime.timezone):  # one offset for all time: no look at the times
        return zone_covering(zone, times)
    valid = times[(times >= _EARLIEST) & (times <= _LATEST)]
    return zone_covering(zone, valid) if len(valid) else (0.0, 0.0, array.array("d"), array.array("d", [0.0]))


def zone_around(zone: datetime.tzinfo | None, first: float, last: float) -> ZoneTable:
    """A zone table from two days before ``first`` to two days after
    ``last`` (within the calendar): whole calendar years of a named zone,
    kept for the next call; all of time for a fixed offset."""
    if isinstance(zone, datetime.timezone):
        return _all_time(zone)
    first, last = max(first - _MARGIN, _EARLIEST), min(last + _MARGIN, _LATEST)
    if zone is not None:  # the machine's zone (None) can change under a cache (time.tzset)
        try:
            return _zone_years(zone, _year(first), _year(last))
        except TypeError:  # a tzinfo that cannot be hashed
            pass
    return first, last, *zone_table(zone, first, last)


def _all_time(zone: datetime.timezone) -> ZoneTable:
    return _EARLIEST, _LATEST, array.array("d"), array.array("d", [_offset_at(zone, 0)])


@functools.lru_cache(maxsize=32)
def _zone_years(zone: datetime.tzinfo, first_year: int, last_year: int) -> ZoneTable:
    first = max(datetime.datetime(first_year, 1, 1, tzinfo=datetime.UTC).timestamp(), _EARLIEST)
    last = min(datetime.datetime(last_year, 12, 31, 23, 59, 59, tzinfo=datetime.UTC).timestamp(), _LATEST)
    return first, last, *zone_table(zone, first, last)


def _year(instant: float) -> int:
    return datetime.datetime.fromtimestamp(instant, datetime.UTC).year


def _zone_over(zone: datetime.tzinfo | None, stretches: list[tuple[float, float]]) -> ZoneTable:
    """A zone table true over each of ``stretches`` (in time order, apart).
    Between two, the offset changes at the start of the later one, whatever
    the zone did in the gap, where the pass is asked about no instant."""
    if not stretches:  # no bar has a time the pass accepts: it refuses the first
        return 0.0, 0.0, array.array("d"), array.array("d", [0.0])
    transitions, offsets = array.array("d"), array.array("d")
    for start, stop in stretches:
        changes, between = zone_table(zone, start, stop)
        if offsets and between[0] != offsets[-1]:
            transitions.append(start)
            offsets.append(between[0])
        elif not offsets:
            offsets.append(between[0])
        transitions.extend(changes)
        offsets.extend(between[1:])
    return stretches[0][0], stretches[-1][1], transitions, offsets


def zone_covering(zone: datetime.tzinfo | None, instants: Any, per_second: int = 1) -> ZoneTable:
    """A zone table true at each of ``instants`` (a numpy array of epoch
    times, or of wall-clock times, which lie within a day of theirs, in
    ``1 / per_second`` seconds) and two days around: whole calendar years
    when they are near together beside their number, else the stretches of
    days that hold them."""
    if isinstance(zone, datetime.timezone):
        return _all_time(zone)
    first, last = float(instants.min()) / per_second, float(instants.max()) / per_second
    if last - first <= max(len(instants), _CHEAP_DAYS) * _DAY:
        return zone_around(zone, first, last)
    seconds = instants / per_second  # (times strewn over centuries: rare, and worth the copy)
    return _zone_over(zone, _stretches(seconds, seconds))


def _stretches_with_bars(records: memoryview) -> list[tuple[float, float]]:
    """The stretches of whole days, apart and in time order, that hold every
    valid bar of ``records`` with two days on each side."""
    import numpy

    columns = numpy.frombuffer(records, record_dtype())
    ends = columns["timestamp"]
    starts = ends - columns["bar_span"]
    valid = (starts >= _EARLIEST) & (ends <= _LATEST) & (starts <= ends)  # the pass refuses the rest
    return _stretches(starts[valid], ends[valid])


def _stretches(starts: Any, ends: Any) -> list[tuple[float, float]]:
    """The stretches of whole days, apart and in time order, that hold each
    interval from ``starts[i]`` to ``ends[i]`` with two days on each side."""
    import numpy

    low: Any = numpy.floor_divide(starts - _MARGIN, _DAY)
    high: Any = numpy.floor_divide(ends + _MARGIN, _DAY)
    if not len(low):
        return []
    # Bars in time order come in runs of the same days: one of each run is enough.
    new = numpy.ones(len(low), bool)
    new[1:] = (low[1:] != low[:-1]) | (high[1:] != high[:-1])
    low, high = low[new], high[new]
    order = numpy.argsort(low, kind="stable")
    low, reach = low[order], numpy.maximum.accumulate(high[order])
    gaps = numpy.flatnonzero(low[1:] > reach[:-1] + 1)  # a whole day without bars between
    firsts, lasts = low[numpy.r_[0, gaps + 1]], reach[numpy.r_[gaps, len(low) - 1]]
    return [(max(float(a) * _DAY, _EARLIEST), min((float(b) + 1) * _DAY, _LATEST)) for a, b in zip(firsts, lasts)]
