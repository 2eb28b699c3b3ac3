"""Time windows: the bars of a file (or of resampled bars) whose spans lie
in a window, found by binary search over the records in place and given
without copying.

The searches rest on the layout that ``convert`` and ``resample`` make
(and ``write`` keeps): each ticker's bars in one run of records, in time
order (starts and ends never decreasing).  A window read so costs a few
dozen record reads per ticker, not a pass over the file.  What a search
reads is checked against that layout, so a file out of order is refused
where the search looks, though not everywhere (that would take the pass
the search avoids).

This is roughly::

    [bar for bar in bars if start <= bar.start and bar.end <= end]

with the bars' one-run-per-ticker layout making it a slice.
"""

from __future__ import annotations

import bisect
import datetime
import math
import struct
from collections.abc import Callable
from itertools import pairwise
from typing import TypeVar

from tarnwick.base.candlestick import BarData

from ._records import OFFSETS, RECORD_SIZE, TICKER_BYTES, BarFileError, market_date
from ._sequence import BarSequence
from ._zones import TimeZone, resolve_zone

B = TypeVar("B", bound=BarData, covariant=True)

Bound = datetime.datetime | datetime.date | float | str | None
"""One end of a window: a date-time (naive ones are wall times in the
zone ``tz``), a date (a whole day), epoch seconds, ISO text of either, or
None (open)."""

_TIMES = struct.Struct("=dd")  # a record's timestamp and span, back to back
_TIMES_AT = OFFSETS["timestamp"]
_TICKER_AT = OFFSETS["ticker"]
if OFFSETS["bar_span"] != _TIMES_AT + 8:
    raise ImportError("the record's timestamp and span are no longer neighbours")


class BarWindow(BarSequence[B]):
    """The bars of a window of a bar file or of resampled bars, over the
    same memory (see ``BarSequence``): like bars taken from a file, a window
    keeps the file's mapping alive after the file is closed."""

    __slots__ = ("_name",)
    _noun = "bars of a window"

    def __init__(self, view: memoryview, bar_class: type[B], name: str) -> None:
        super().__init__(view, bar_class)
        self._name = name

    @property
    def name(self) -> str:
        return self._name

    def _label(self) -> str:
        return f" {self._name!r}"


# ---- the ends of a window --------------------------------------------------------------------


def parse_moment(text: str) -> datetime.date:
    """An ISO 8601 date (``2024-03-01``: the whole day) or date-time
    (``2024-03-01T09:30``, ``2024-03-01 09:30:00+01:00``); ``ValueError``
    for anything else."""
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        pass
    try:
        return datetime.datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"not an ISO date or date-time: {text!r} (say 2024-03-01 or 2024-03-01T09:30)") from None


def _instant(bound: Bound, zone: datetime.tzinfo | None, end: bool) -> float:
    """An intraday window's end in epoch seconds: a date stands for its whole
    day, so it starts a window at its midnight and ends one at the next."""
    if bound is None:
        return math.inf if end else -math.inf
    if isinstance(bound, str):
        bound = parse_moment(bound)
    if isinstance(bound, datetime.datetime):
        if bound.tzinfo is None and zone is not None:
            bound = bound.replace(tzinfo=zone)
        return bound.timestamp()  # a naive time left naive is the machine's local time
    if isinstance(bound, datetime.date):
        day = bound + datetime.timedelta(days=1) if end else bound
        return _instant(datetime.datetime(day.year, day.month, day.day), zone, end)
    if isinstance(bound, (int, float)) and not isinstance(bound, bool) and not math.isnan(bound):
        return float(bound)
    raise TypeError(f"a window's end is a datetime, a date, epoch seconds, ISO text or None, not {bound!r}")


def _day(bound: Bound, zone: datetime.tzinfo | None, end: bool) -> float:
    """A daily window's end as a day number (``date.toordinal``): a
    date-time or epoch seconds stands for its date in ``zone``."""
    if bound is None:
        return math.inf if end else -math.inf
    if isinstance(bound, str):
        bound = parse_moment(bound)
    if isinstance(bound, datetime.datetime):
        if bound.tzinfo is not None:
            bound = bound.astimezone(zone)
        return bound.date().toordinal()
    if isinstance(bound, datetime.date):
        return bound.toordinal()
    if isinstance(bound, (int, float)) and not isinstance(bound, bool) and not math.isnan(bound):
        return datetime.datetime.fromtimestamp(bound, zone).date().toordinal()
    raise TypeError(f"a window's end is a date, a datetime, epoch seconds, ISO text or None, not {bound!r}")


# ---- the searches -----------------------------------------------------------------------------


class _Records:
    """A sequence's records as the searches read them: each bar's first and
    last moment (epoch seconds, or day numbers for daily bars) and ticker,
    with every span read kept, to check that the search saw them in order."""

    def __init__(self, view: memoryview, daily: bool, name: str) -> None:
        self.view, self.daily, self.name = view, daily, name
        self.count = len(view) // RECORD_SIZE
        self.read: list[tuple[int, tuple[float, float]]] = []

    def span(self, index: int) -> tuple[float, float]:
        timestamp, span = _TIMES.unpack_from(self.view, index * RECORD_SIZE + _TIMES_AT)
        if self.daily:
            try:
                last = market_date(timestamp).toordinal()
            except ValueError:
                raise BarFileError(f"{self.name}: record {index} of daily bars holds no market date "
                                   f"({timestamp!r})") from None
            found = (last - span + 1, float(last))
        else:
            found = (timestamp - span, timestamp)
        self.read.append((index, found))
        return found

    def ticker(self, index: int) -> bytes:
        offset = index * RECORD_SIZE + _TICKER_AT
        return bytes(self.view[offset : offset + TICKER_BYTES])

    def runs(self) -> list[tuple[str, range]]:
        """Each ticker's run of records, in file order: galloping, then
        bisecting, to the first record of another ticker."""
        runs: list[tuple[str, range]] = []
        seen: dict[bytes, int] = {}
        start = 0
        while start < self.count:
            ticker = self.ticker(start)
            if ticker in seen:
                raise BarFileError(f"{self.name}: the bars of {_text(ticker)!r} are not together (records "
                                   f"{seen[ticker]} and {start}); a window is found by binary search, which "
                                   "needs each ticker's bars in one run, in time order")
            seen[ticker] = start
            step = 1
            while start + step < self.count and self.ticker(start + step) == ticker:
                step *= 2
            stop = bisect.bisect_left(range(self.count), True, start + step // 2 + 1, min(start + step, self.count),
                                      key=lambda index: self.ticker(index) != ticker)
            runs.append((_text(ticker), range(start, stop)))
            start = stop
        return runs

    def window(self, run: range, first: float, last: float) -> range:
        """The records of ``run`` whose span starts at ``first`` or later and
        ends at ``last`` or earlier."""
        begin = bisect.bisect_left(range(self.count), first, run.start, run.stop, key=lambda i: self.span(i)[0])
        end = bisect.bisect_right(range(self.count), last, run.start, run.stop, key=lambda i: self.span(i)[1])
        return range(begin, max(begin, end))

    def check_order(self) -> None:
        """Refuses the records if the spans read are not in time order."""
        for (before, early), (after, late) in pairwise(sorted(self.read)):
            if not (early[0] <= late[0] and early[1] <= late[1]):  # also catches NaN
                if self.ticker(before) == self.ticker(after):
                    raise BarFileError(f"{self.name}: records {before} and {after} are out of time order; a "
                                       "window is found by binary search, which needs each ticker's bars in "
                                       "time order")


def _text(ticker: bytes) -> str:
    return ticker.rstrip(b"\0").decode("utf-8", "replace")


def _windows(source: BarSequence[B], start: Bound, end: Bound, ticker: str | None,
             tz: TimeZone) -> tuple[list[tuple[str, range]], memoryview, str]:
    """Each ticker's window (in file order), the records' view and a name for the window."""
    laid = source._open()
    view = laid.view
    daily = source.kind == "daily"
    zone = resolve_zone(tz)
    moment: Callable[[Bound, datetime.tzinfo | None, bool], float] = _day if daily else _instant
    first, last = moment(start, zone, False), moment(end, zone, True)
    name = f"{source.name} from {'the start' if start is None else start} to {'the end' if end is None else end}"
    records = _Records(view, daily, source.name)
    runs = laid.ticker_runs
    if runs is None:
        runs = laid.ticker_runs = records.runs()
    if ticker is not None:
        chosen = [(symbol, run) for symbol, run in runs if symbol == ticker]
        if not chosen:
            held = ", ".join(repr(symbol) for symbol, _ in runs) or "none"
            raise ValueError(f"{source.name} holds no bars of {ticker!r} (its tickers: {held})")
        runs = chosen
        name += f" of {ticker}"
    windows = [(symbol, records.window(run, first, last)) for symbol, run in runs]
    records.check_order()
    return windows, view, name


def _one_run(windows: list[tuple[str, range]]) -> range | None:
    """The records of all the windows if they are one run (or none at all), else None."""
    held = [window for _, window in windows if window]
    if any(before.stop != after.start for before, after in pairwise(held)):
        return None
    return range(held[0].start, held[-1].stop) if held else range(0)


def between(source: BarSequence[B], start: Bound, end: Bound, *, ticker: str | None = None,
            tz: TimeZone = None) -> BarWindow[B]:
    """The bars of ``source`` whose whole span lies between ``start`` and
    ``end``, without copying; see ``BarSequence.between``."""
    windows, view, name = _windows(source, start, end, ticker, tz)
    run = _one_run(windows)
    if run is None:
        tickers = ", ".join(symbol for symbol, window in windows if window)
        raise ValueError(f"{source.name}: the bars of several tickers ({tickers}) in the window are not one run "
                         "of records: choose one with ticker=")
    return BarWindow(view[run.start * RECORD_SIZE : run.stop * RECORD_SIZE], source.bar_class, name)


def select(source: BarSequence[B], start: Bound, end: Bound, *, tz: TimeZone = None) -> BarWindow[B]:
    """What the tool's ``--from`` and ``--to`` read: every ticker's bars in
    the window, without copying where they are one run of records (as
    ``between`` gives them), else copied together."""
    windows, view, name = _windows(source, start, end, None, tz)
    run = _one_run(windows)
    if run is not None:
        return BarWindow(view[run.start * RECORD_SIZE : run.stop * RECORD_SIZE], source.bar_class, name)
    joined = b"".join(view[window.start * RECORD_SIZE : window.stop * RECORD_SIZE] for _, window in windows)
    return BarWindow(memoryview(joined), source.bar_class, name)
