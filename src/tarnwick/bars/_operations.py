"""What the bar-file tool does, as library functions: ``show`` the summary
of a bar file or a set of them (``summarise`` gives a file's lines) and
``verify`` a file against the table it was converted from."""

from __future__ import annotations

import datetime
import math
import os
import sys
from collections import Counter, defaultdict
from typing import TextIO

from tarnwick.base.candlestick import BarData, DailyBar

from ._bar_sets import BarSet, Member, input_paths, read_set
from ._file import StrPath, read
from ._ranges import Bound, select
from ._records import RECORD_SIZE, BarFileError, Kind, first_foreign_record, market_date
from ._sequence import BarSequence
from ._table import TableBars
from ._zones import resolve_zone

ZoneLike = datetime.tzinfo | str | None

FIELDS = ("ticker", "timestamp", "bar_span_seconds", "high_price", "low_price", "open_price", "close_price",
          "volume", "notional", "trade_count")
"""The bar attributes that ``verify`` compares."""


def verify(path: StrPath, table: TableBars, *, limit: int = 10) -> list[str]:
    """Reads the bar file back and compares every field of every bar with
    the table it was written from; returns the differences (none: all equal).
    Every record's kind code is checked too, which opening a file with a
    header leaves to here."""
    problems: list[str] = []
    with read(path, table.bar_class) as bars:
        with memoryview(bars) as records:
            foreign = first_foreign_record(records)
        if foreign is not None:
            problems.append(foreign)
        if len(bars) != len(table):
            problems.append(f"{len(bars)} bars read back, {len(table)} written")
        for index, bar in enumerate(bars):
            if index >= len(table):
                break
            for name, wanted in zip(FIELDS, table.record(index)):
                got = getattr(bar, name)
                if got != wanted and not (isinstance(got, float) and isinstance(wanted, float)
                                          and math.isnan(got) and math.isnan(wanted)):
                    problems.append(f"bar {index}: {name} reads back as {got!r}, {wanted!r} was written")
            if isinstance(bar, DailyBar):
                wanted_date = market_date(float(table.timestamps[index]))
                if bar.market_date != wanted_date:
                    problems.append(f"bar {index}: market date {bar.market_date}, {wanted_date} was written")
            if len(problems) >= limit:
                problems.append("(stopped after the first differences)")
                break
    return problems


class _Times:
    """The earliest start and the latest end among a file's bars, and the
    records they come from, shown as dates or as times in a zone."""

    def __init__(self) -> None:
        self.earliest, self.latest, self.first_index, self.last_index = math.inf, -math.inf, 0, 0

    def add(self, index: int, start: float, end: float) -> None:
        if start < self.earliest:
            self.earliest, self.first_index = start, index
        if end > self.latest:
            self.latest, self.last_index = end, index

    def text(self, path: str, daily: bool, zone: datetime.tzinfo | None) -> str:
        if daily:
            return f"dates: market dates {market_date(self.earliest)} .. {market_date(self.latest)}"
        shown = []
        for index, instant in ((self.first_index, self.earliest), (self.last_index, self.latest)):
            try:
                shown.append(datetime.datetime.fromtimestamp(instant, zone))
            except (OverflowError, ValueError, OSError):
                raise BarFileError(f"{path}: record {index} has a time that no date can show "
                                   f"({instant!r} seconds since 1970)") from None
        return f"times: from {shown[0]:%Y-%m-%d %H:%M:%S%z} to {shown[1]:%Y-%m-%d %H:%M:%S%z}"


def _bar_text(bar: BarData, zone: datetime.tzinfo | None, profile_zone: bool) -> str:
    """A bar's repr, its time told in ``zone`` rather than the profile's."""
    text = repr(bar)
    if profile_zone or isinstance(bar, DailyBar):
        return text
    moment = datetime.datetime.fromtimestamp(bar.timestamp, zone)
    return f"<{type(bar).__name__}>([{moment:%Y-%m-%d %H:%M:%S}]{text.partition(']')[2]}"


def summarise(bars: BarSequence[BarData], head: int = 5, *, tz: ZoneLike = None) -> list[str]:
    """The lines that ``show`` prints for a bar file (or a window of one); times in the zone ``tz``
    (a ``tzinfo``, a zone name, ``"UTC"`` or ``"local"``; None: the profile's)."""
    zone = resolve_zone(tz)
    count = len(bars)
    daily = issubclass(bars.bar_class, DailyBar)
    kind = "daily" if daily else "intraday"
    lines = [f"{bars.name}: {count} {kind} bar{'s' if count != 1 else ''} ({count * RECORD_SIZE} bytes of records)"]
    if count == 0:
        return lines
    tickers: Counter[str] = Counter()
    classes: Counter[str] = Counter()
    carrying: Counter[str] = Counter()
    volume: dict[str, float] = defaultdict(float)
    notional: dict[str, float] = defaultdict(float)
    times = _Times()
    index = 0
    try:
        for index, bar in enumerate(bars):
            ticker = bar.ticker
            tickers[ticker] += 1
            try:
                classes[bar.bar_type] += 1
            except ValueError:
                classes["invalid span"] += 1
            if bar.notional > 0 and bar.volume > 0:
                carrying[ticker] += 1
                volume[ticker] += bar.volume
                notional[ticker] += bar.notional
            if isinstance(bar, DailyBar):
                _ = bar.market_date  # refuses a record without a valid market date
                times.add(index, bar.timestamp, bar.timestamp)
            else:
                times.add(index, bar.start_timestamp, bar.timestamp)
        if 2 * head >= count:
            shown = list(range(count))
        else:
            shown = [*range(head), -1, *range(count - head, count)] if head else []
        texts = []
        for index in shown:
            texts.append("  ..." if index < 0 else f"  {_bar_text(bars[index], zone, tz is None)}")
    except (ValueError, OverflowError) as error:
        hint = " (is it a file of intraday bars? try --intraday)" if daily else ""
        raise BarFileError(f"{bars.name}: record {index} cannot be read as a {kind} bar: {error}{hint}") from None
    lines.append("tickers: " + ", ".join(f"{name} ({n})" for name, n in tickers.most_common()))
    if head:
        lines.append(f"{'all' if len(texts) == count else f'first and last {head}'}:")
        lines.extend(texts)
    lines.append("span classes: " + ", ".join(f"{name} ({n})" for name, n in classes.most_common()))
    lines.append(times.text(bars.name, daily, zone))
    for ticker in tickers:
        if carrying[ticker]:
            lines.append(f"VWAP {ticker}: {notional[ticker] / volume[ticker]:.6g} "
                         f"({carrying[ticker]} of {tickers[ticker]} bars carry notional and volume)")
        else:
            lines.append(f"VWAP {ticker}: unknown (no bar carries notional and volume)")
    return lines


def show(path: BarSet, *, head: int = 5, kind: Kind | None = None, plot_path: StrPath | None = None,
         plot_bars: int = 120, out: TextIO | None = None, tz: ZoneLike = None, start: Bound = None,
         end: Bound = None) -> None:
    """Prints the summary of a bar file, or of its bars from ``start`` to
    ``end`` (see ``BarSequence.between``; each ticker's), and, if asked,
    charts the last of them (times in the zone ``tz``; None: the profile's).
    A directory of bar files or a list of them is one set (see
    ``to_arrow``): a line for the whole, then each file's summary; a chart
    needs one file."""
    out = sys.stdout if out is None else out
    given = [path] if isinstance(path, (str, os.PathLike, BarSequence)) else list(path)
    with read_set(given, kind) as opened:
        windows = [bars if start is None and end is None else select(bars, start, end, tz=tz) for bars in opened]
        several = len(windows) > 1
        if several:
            if plot_path is not None:
                raise ValueError(f"a chart (--plot) shows one bar file, not the {len(windows)} of "
                                 f"{_set_name(given)}: give one of them")
            count = sum(map(len, windows))
            print(f"{_set_name(given)}: {len(windows)} files of {windows[0].kind} bars, {count} bar"
                  f"{'s' if count != 1 else ''} in all", file=out)
        for bars in windows:
            if several:
                print(file=out)
            for line in summarise(bars, head, tz=tz):
                print(line, file=out)
        if plot_path is not None:
            from ._plot import chart_candles, plot

            chosen, title = chart_candles(windows[0], plot_bars, tz=tz)
            plot(chosen, plot_path, title=title, tz=tz, inputs=input_paths(given))
            del chosen
            print(f"chart: {plot_path}", file=out)


def _set_name(given: list[Member]) -> str:
    """What a set is called in messages: the directories and files given."""
    return ", ".join(item.name if isinstance(item, BarSequence) else str(item) for item in given)
