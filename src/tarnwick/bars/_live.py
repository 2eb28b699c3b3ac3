"""The Python side of the live ``Aggregator`` (a native type of
``tarnwick.bars._aggregating``, live_aggregator.cpp): what it asks of Python
off its fast paths.

- ``aggregator_options`` reads the constructor's options, by the rules of
  ``aggregate`` (``_aggregate``), into the values the native type keeps;
- ``zone_table`` gives the zone's offsets over the instants the bars reach
  (the native type asks again, wider, when a trade goes past them);
- ``instant`` turns a time that is not a number into epoch seconds, and
  ``float_column`` an array that is not of float64 into one;
- ``AggregateError`` is what a refused trade raises.
"""

from __future__ import annotations

import datetime
import numbers
from typing import Any

from ._aggregate import AggregateError as AggregateError  # raised by the native type
from ._aggregate import epoch_seconds, read_rules
from ._zones import TimeZone, resolve_zone
from ._zones import zone_around as zone_table  # the native type's zone tables, at least first to last

_RULES = ("time", "ticks", "volume", "value")  # in the order of the native Rule (bar_builder.hpp)


def aggregator_options(*, span: Any = None, ticks: Any = None, volume: Any = None, value: Any = None,
                       tz: TimeZone = None, session: Any = None, origin: Any = None, fill: bool = False,
                       ticker: str | None = None) -> tuple[Any, ...]:
    """The options of ``Aggregator(...)`` as the native type keeps them:
    rule, threshold, fill, unit, count, origin, session from and to, daily,
    zone and ticker."""
    if not isinstance(fill, bool):
        raise TypeError(f"fill= is True or False, not {type(fill).__name__}")
    rules = read_rules(span, ticks, volume, value, session, origin, fill)
    target = rules.span
    unit, count = (target.unit, target.count) if target is not None else ("s", 1)
    zone = resolve_zone(tz) if target is not None else datetime.UTC  # activity bars read no clock
    return (_RULES.index(rules.rule), rules.threshold, fill, unit, count, float(rules.origin), float(rules.session[0]),
            float(rules.session[1]), target is not None and target.daily, zone, ticker)


def instant(value: object) -> float:
    """Epoch seconds of a time given as a zone-aware ``datetime``, a
    ``numpy.datetime64`` or a number that is not a float or an int (those
    take the native path)."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):  # numpy's integers, float32
        return float(value)
    if isinstance(value, datetime.datetime):
        if value.utcoffset() is None:
            raise ValueError(f"the time {value} has no time zone: give an aware datetime (tzinfo=...) "
                             "or epoch seconds")
        return value.timestamp()
    if type(value).__name__ == "datetime64":
        import numpy

        if isinstance(value, numpy.datetime64):
            return float(epoch_seconds(numpy.asarray(value).reshape(1))[0])
    raise TypeError(f"a time is epoch seconds, a zone-aware datetime or a numpy.datetime64, not {type(value).__name__}")


def float_column(values: object, role: str) -> Any:
    """``values`` as a contiguous float64 array: times in epoch seconds
    (``numpy.datetime64`` too), prices, sizes or notionals."""
    import numpy

    column = numpy.asarray(values)
    if column.ndim != 1:
        raise ValueError(f"{role} are a one-dimensional array, not one of shape {column.shape}")
    if role == "times":
        return epoch_seconds(column)
    if column.dtype.kind not in "biuf":
        raise TypeError(f"{role} are numbers, not {column.dtype}")
    return numpy.ascontiguousarray(column, dtype=numpy.float64)
