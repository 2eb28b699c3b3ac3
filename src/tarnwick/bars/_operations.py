"""What the bar-file tool does, as library functions: ``show`` a bar file's
summary (``summarise`` gives its lines) and ``verify`` a file against the
table it was converted from."""

from __future__ import annotations

import datetime
import math
import sys
from collections import Counter, defaultdict
from typing import TextIO

from tarnwick.base.candlestick import BarData, DailyBar

from ._csv import CsvBars
from ._file import BarFile, BarFileError, StrPath, read
from ._layout import RECORD_SIZE, Kind

FIELDS = ("ticker", "timestamp", "bar_span_seconds", "high_price", "low_price", "open_price", "close_price",
          "volume", "notional", "trade_count")
"""The bar attributes that ``verify`` compares."""


def verify(path: StrPath, table: CsvBars, *, limit: int = 10) -> list[str]:
    """Reads the bar file back and compares every field of every bar with
    the table it was written from; returns the differences (none: all equal)."""
    problems: list[str] = []
    with read(path, table.bar_class) as bars:
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
                number = int(table.timestamps[index])
                wanted_date = datetime.date(number // 10000, number // 100 % 100, number % 100)
                if bar.market_date != wanted_date:
                    problems.append(f"bar {index}: market date {bar.market_date}, {wanted_date} was written")
            if len(problems) >= limit:
                problems.append("(stopped after the first differences)")
                break
    return problems


def _time_range(first: float, last: float, daily: bool) -> str:
    if daily:
        return f"market dates {_market_date(first)} .. {_market_date(last)}"
    from tarnwick.profile import PROFILE

    zone = PROFILE.time_zone
    start = datetime.datetime.fromtimestamp(first, zone)
    end = datetime.datetime.fromtimestamp(last, zone)
    return f"from {start:%Y-%m-%d %H:%M:%S%z} to {end:%Y-%m-%d %H:%M:%S%z}"


def _market_date(number: float) -> datetime.date:
    value = int(number)
    return datetime.date(value // 10000, value // 100 % 100, value % 100)


def summarise(bars: BarFile[BarData], head: int = 5) -> list[str]:
    """The lines that ``show`` prints for a bar file."""
    count = len(bars)
    daily = issubclass(bars.bar_class, DailyBar)
    kind = "daily" if daily else "intraday"
    lines = [f"{bars.path}: {count} {kind} bar{'s' if count != 1 else ''} ({count * RECORD_SIZE} bytes of records)"]
    if count == 0:
        return lines
    tickers: Counter[str] = Counter()
    classes: Counter[str] = Counter()
    carrying: Counter[str] = Counter()
    volume: dict[str, float] = defaultdict(float)
    notional: dict[str, float] = defaultdict(float)
    earliest, latest = math.inf, -math.inf
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
                earliest = min(earliest, bar.timestamp)
            else:
                earliest = min(earliest, bar.start_timestamp)
            latest = max(latest, bar.timestamp)
        if 2 * head >= count:
            shown = list(range(count))
        else:
            shown = [*range(head), -1, *range(count - head, count)] if head else []
        texts = ["  ..." if i < 0 else f"  {bars[i]!r}" for i in shown]
    except ValueError as error:
        hint = " (is it a file of intraday bars? try --intraday)" if daily else ""
        raise BarFileError(f"{bars.path}: record {index} cannot be read as a {kind} bar: {error}{hint}") from None
    lines.append("tickers: " + ", ".join(f"{name} ({n})" for name, n in tickers.most_common()))
    if head:
        lines.append(f"{'all' if len(texts) == count else f'first and last {head}'}:")
        lines.extend(texts)
    lines.append("span classes: " + ", ".join(f"{name} ({n})" for name, n in classes.most_common()))
    lines.append(("dates: " if daily else "times: ") + _time_range(earliest, latest, daily))
    for ticker in tickers:
        if carrying[ticker]:
            lines.append(f"VWAP {ticker}: {notional[ticker] / volume[ticker]:.6g} "
                         f"({carrying[ticker]} of {tickers[ticker]} bars carry notional and volume)")
        else:
            lines.append(f"VWAP {ticker}: unknown (no bar carries notional and volume)")
    return lines


def show(path: StrPath, *, head: int = 5, kind: Kind | None = None, plot_path: StrPath | None = None,
         plot_bars: int = 120, out: TextIO | None = None) -> None:
    """Prints the summary of a bar file and, if asked, charts its last bars."""
    out = sys.stdout if out is None else out
    with read(path, kind) as bars:
        for line in summarise(bars, head):
            print(line, file=out)
        if plot_path is not None:
            from ._plot import plot

            from ._resample import chart_candles

            chosen, title = chart_candles(bars, plot_bars)
            plot(chosen, plot_path, title=title)
            del chosen
            print(f"chart: {plot_path}", file=out)
