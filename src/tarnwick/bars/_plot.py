"""Candlestick charts with a volume panel (matplotlib, the ``plot`` extra)."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from tarnwick.base.candlestick import BarData, DailyBar

from ._file import StrPath, replacing

RISING = "#26a69a"
FALLING = "#ef5350"


def _label(bar: BarData) -> str:
    if isinstance(bar, DailyBar):
        return bar.market_date.isoformat()
    return f"{bar.bar_end_time:%Y-%m-%d %H:%M}"


def plot(bars: Sequence[BarData], path: StrPath, *, title: str | None = None) -> Path:
    """Draws ``bars`` as candles over a volume panel into an image file
    (its format follows the suffix, PNG for ``.png``) and returns its path.

    Bars are drawn one per slot in their order, so nights, weekends and
    holidays leave no gaps.  Needs matplotlib (``pip install 'tarnwick[plot]'``).
    """
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as pyplot
    except ImportError as error:
        raise ImportError("charts need matplotlib: pip install 'tarnwick[plot]'") from error

    target = Path(path)
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
            volumes.set_xticks(ticks, [_label(bars[i]) for i in ticks], rotation=30, ha="right")
        prices.set_ylabel("price")
        volumes.set_ylabel("volume")
        prices.grid(alpha=0.3)
        volumes.grid(alpha=0.3)
        if title:
            prices.set_title(title)
        with replacing(target) as temporary:  # the temporary name hides the format: say it
            figure.savefig(temporary, dpi=100, format=target.suffix.lstrip(".").lower() or "png")
    finally:
        pyplot.close(figure)
    return target
