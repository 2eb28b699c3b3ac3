"""Candlestick charts with a volume panel (matplotlib, the ``plot`` extra),
and the choice of the candles a chart of many bars shows."""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path
from typing import Any

from tarnwick.base.candlestick import BarData, DailyBar

from ._file import StrPath
from ._output import output_file, stops_deferred
from ._records import RECORD_SIZE, RECORD_STRUCT, TICKER_BYTES, market_date
from ._resample import ResampleError, Span, resample
from ._sequence import BarSequence
from ._zones import TimeZone, resolve_zone, zone_name
from ._sequence import BarSequence

CHART_SPANS = ("1min", "2min", "5min", "10min", "15min", "30min", "1h", "2h", "4h", "12h", "1d", "1w", "1mo", "1q",
               "1y")
"""The spans a chart of many bars may choose, shortest first."""

_DAY = 86400

RISING = "#26a69a"
FALLING = "#ef5350"


def _time_axis(bars: Sequence[BarData], zone: datetime.tzinfo | None) -> tuple[Callable[[BarData], str], str]:
    """How the time axis labels a bar, and the axis's title, which names the
    zone of intraday times (market dates belong to no zone)."""
    if bars and isinstance(bars[0], DailyBar):
        return lambda bar: bar.market_date.isoformat(), "market date"
    try:
        name = zone_name(zone)
    except ValueError:  # a zone without a name: the machine's, or a tzinfo of the caller's own
        name = "local time" if zone is None else str(zone)
    return (lambda bar: f"{datetime.datetime.fromtimestamp(bar.timestamp, zone):%Y-%m-%d %H:%M}",
            f"end of bar ({name})")


def plot(bars: Sequence[BarData], path: StrPath, *, title: str | None = None, tz: TimeZone = None,
         inputs: Iterable[StrPath] = ()) -> Path:
    """Draws ``bars`` as candles over a volume panel into an image file
    (its format follows the suffix, PNG for ``.png``) and returns its path.

    Bars are drawn one per slot in their order, so nights, weekends and
    holidays leave no gaps; times are told in the zone ``tz`` (None: the
    profile's), which the time axis names.  Refuses to write over any of
    ``inputs``.  Needs matplotlib (``pip install 'tarnwick[plot]'``).
    """
    pyplot = _pyplot()
    target = Path(path)
    figure = draw(bars, title=title, tz=tz)
    try:
        # A stop waits for the rendering, native code that turns it into an error of its own.
        with output_file(target, inputs=inputs) as temporary, stops_deferred():
            # The temporary name hides the format: say it.
            figure.savefig(temporary, dpi=100, format=target.suffix.lstrip(".").lower() or "png")
    finally:
        pyplot.close(figure)
    return target


def _pyplot() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError as error:
        raise ImportError("charts need matplotlib: pip install 'tarnwick[plot]'") from error
    return pyplot


def draw(bars: Sequence[BarData], *, title: str | None = None, tz: TimeZone = None) -> Any:
    """The chart that ``plot`` saves, as a matplotlib figure (close it with
    ``pyplot.close``)."""
    pyplot = _pyplot()
    label, axis_title = _time_axis(bars, resolve_zone(tz))
    figure, (prices, volumes) = pyplot.subplots(
        2, 1, sharex=True, figsize=(12, 7), gridspec_kw={"height_ratios": (3, 1)}, layout="constrained"
    )
    try:
        xs = range(len(bars))
        colours = [RISING if bar.close_price >= bar.open_price else FALLING for bar in bars]
        bottoms = [min(bar.open_price, bar.close_price) for bar in bars]
        # A bar that opens and closes at one price still shows a thin body.
        span = max((bar.high_price for bar in bars), default=1.0) - min((bar.low_price for bar in bars), default=0.0)
        heights = [abs(bar.close_price - bar.open_price) or span * 0.002 for bar in bars]
        prices.vlines(xs, [bar.low_price for bar in bars], [bar.high_price for bar in bars], colors=colours,
                      linewidth=1)
        prices.bar(xs, heights, bottom=bottoms, width=0.6, color=colours)
        volumes.bar(xs, [bar.volume for bar in bars], width=0.6, color=colours)
        if bars:
            prices.set_xlim(-1, len(bars))
            low = min(bar.low_price for bar in bars)
            high = max(bar.high_price for bar in bars)
            margin = (high - low) * 0.05 or abs(high) * 0.01 or 1.0
            prices.set_ylim(low - margin, high + margin)
            step = max(1, len(bars) // 8)
            ticks = list(range(0, len(bars), step))
            volumes.set_xticks(ticks, [label(bars[i]) for i in ticks], rotation=30, ha="right")
        volumes.set_xlabel(axis_title)
        prices.set_ylabel("price")
        volumes.set_ylabel("volume")
        prices.grid(alpha=0.3)
        volumes.grid(alpha=0.3)
        if title:
            prices.set_title(title)
    except BaseException:
        pyplot.close(figure)
        raise
    return figure


def chart_candles(bars: BarSequence[Any], count: int, limit: int = 2000, *,
                  tz: datetime.tzinfo | str | None = None) -> tuple[Sequence[BarData], str]:
    """The last ``count`` bars of a file as at most ``limit`` candles, and a
    title saying what they are: the bars themselves if they are few enough,
    else the bars resampled into the shortest of ``CHART_SPANS`` that gives
    at most ``limit`` (buckets in the zone ``tz``, by default the profile's)."""
    total = len(bars)
    first = max(0, total - count)
    shown = total - first
    with memoryview(bars) as whole:
        ticker = bytes(whole[1 : 1 + TICKER_BYTES]).rstrip(b"\0").decode("utf-8", "replace") if total else ""
        if shown <= limit:
            return bars[first:], f"{ticker}: last {shown} of {total} bars"
        view = whole[first * RECORD_SIZE :]
        end, length = RECORD_STRUCT.unpack_from(view)[2:4]
        last = RECORD_STRUCT.unpack_from(view, len(view) - RECORD_SIZE)[2]
        daily = bars.kind == "daily"
        if daily:
            seconds = ((market_date(last) - market_date(end)).days + length) * _DAY
        else:
            seconds = last - end + length
        for text in CHART_SPANS:
            span = Span.parse(text)
            if (daily and not span.daily) or span.shortest_seconds < length * (_DAY if daily else 1) \
                    or seconds / span.shortest_seconds > 50 * limit:
                continue  # shorter than the bars, or too many candles by far
            try:
                candles = resample(view, span, kind=bars.kind, tz=tz)
            except ResampleError:
                continue  # bars across this span's boundaries
            if len(candles) <= limit or text == CHART_SPANS[-1]:
                return candles[-limit:], f"{ticker}: last {shown} of {total} bars as {len(candles)} candles of {span}"
        return bars[total - limit :], f"{ticker}: last {limit} of {total} bars"
