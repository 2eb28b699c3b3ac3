"""The one grammar of spans, and of clock times and sessions.

A span is seconds (a number), a ``timedelta``, or text: a count and a unit
``s``/``sec``, ``m``/``min``, ``h``, ``d``, ``w``, ``mo``, ``q`` or ``y``
(``90.5``, ``5min``, ``1.5h``, ``1d``, ``1mo``); a unit alone counts one.
``read_span`` reads any of them into an amount of seconds, days, ISO weeks or
calendar months, refusing what no calendar can hold; each use then checks
what it needs: ``parse_span`` (the table reader: any positive length) and
``Span.parse`` (resampling: a divisor of a day, or whole days, weeks or
months)."""

from __future__ import annotations

import dataclasses
import datetime
import re
from collections.abc import Sequence

SpanLike = str | int | float | datetime.timedelta

DAY = 86400
_UNITS: dict[str, tuple[str, int]] = {
    "s": ("s", 1), "sec": ("s", 1), "m": ("s", 60), "min": ("s", 60), "h": ("s", 3600),
    "d": ("d", 1), "w": ("w", 1), "mo": ("mo", 1), "q": ("mo", 3), "y": ("mo", 12),
}
_SPAN_TEXT = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)?\s*([a-z]*)\s*", re.IGNORECASE)
LONGEST_SECONDS = 10_000 * 366 * DAY
"""Longer than any span that dates from year 1 to 9999 can hold."""
_GRAMMAR = "a count and a unit s, m or min, h, d, w, mo, q or y (90, 5min, 1h, 1mo)"


def read_span(span: SpanLike) -> tuple[str, float]:
    """The unit (``"s"``, ``"d"``, ``"w"`` or ``"mo"``) and the positive amount
    of ``span``; a ``timedelta`` of whole days is days, any other seconds."""
    if isinstance(span, datetime.timedelta):
        if span % datetime.timedelta(days=1) == datetime.timedelta(0):
            unit, amount = "d", float(span.days)
        else:
            unit, amount = "s", span.total_seconds()
    elif isinstance(span, (int, float)) and not isinstance(span, bool):
        unit, amount = "s", float(span)
    elif isinstance(span, str):
        match = _SPAN_TEXT.fullmatch(span)
        known = _UNITS.get(match[2].lower() or "s") if match else None
        if match is None or known is None or (match[1] is None and not match[2]):
            raise ValueError(f"a span is {_GRAMMAR}, not {span!r}")
        unit, amount = known[0], float(match[1] or 1) * known[1]
    else:
        raise TypeError(f"a span is seconds, a timedelta or text such as '5min', not {type(span).__name__}")
    if not amount > 0:  # (NaN too)
        raise ValueError(f"a span must be positive, not {span!r}")
    if amount >= 2**63:  # (resampling tells longer spans that fit a machine integer by the bars they hold)
        raise ValueError(_past_the_calendar(span))
    return unit, amount


def _past_the_calendar(span: object) -> str:
    return f"a span of {span!r} is longer than the calendar (0001-01-01 to 9999-12-31)"


def parse_span(span: SpanLike) -> float:
    """A span of fixed length, in seconds: any positive length (``90.5``,
    ``5min``, ``1.5h``, ``2d``, ``1w``); calendar months have none."""
    unit, amount = read_span(span)
    if unit == "mo":
        raise ValueError(f"a span of months has no fixed length in seconds: {span!r} (give days or weeks, or "
                         "none: calendar months are inferred from the dates)")
    seconds = amount * {"s": 1, "d": DAY, "w": 7 * DAY}[unit]
    if seconds > LONGEST_SECONDS:
        raise ValueError(_past_the_calendar(span))
    return seconds


@dataclasses.dataclass(frozen=True)
class Span:
    """A span to resample into: ``count`` seconds (``unit`` ``"s"``, intraday
    bars), or ``count`` days, ISO weeks or calendar months (``"d"``, ``"w"``,
    ``"mo"``; daily bars)."""

    unit: str
    count: int

    @classmethod
    def parse(cls, span: SpanLike | Span) -> Span:
        """A span to resample into (see the grammar above): whole seconds
        that divide 24 hours, or whole days, weeks, or months that divide a
        year or are whole years."""
        if isinstance(span, Span):
            return span
        unit, amount = read_span(span)
        if unit == "s":
            if amount != int(amount) or DAY % int(amount):
                raise ValueError(f"an intraday span must be whole seconds that divide 24 hours, not {span!r} "
                                 "(spans of days: '2d', weeks: '1w', months: '1mo')")
        elif amount != int(amount):
            raise ValueError(f"a span of days, weeks or months is a whole number of them, not {span!r}")
        count = int(amount)
        if unit == "mo" and 12 % count and count % 12:
            raise ValueError(f"a span of months must divide a year or be whole years, not {span!r}")
        return cls(unit, count)

    @property
    def daily(self) -> bool:
        """Whether the span makes daily bars (``DailyBar``)."""
        return self.unit != "s"

    @property
    def shortest_seconds(self) -> int:
        """The fewest seconds a bucket of this span holds, leaving daylight-saving changes aside."""
        days = {"s": 0, "d": 1, "w": 7, "mo": 28 if self.count < 12 else 365 // 12}[self.unit]
        return self.count * (days * DAY or 1)

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
    if int(match[2]) > 59 or int(match[3] or 0) > 59 or seconds > DAY:
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
