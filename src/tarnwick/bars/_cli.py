"""The bar-file tool: ``python -m tarnwick.bars`` or ``tarnwick-bars``."""

from __future__ import annotations

import argparse
import datetime
import math
import sys
import tempfile
from collections import Counter, defaultdict
from collections.abc import Sequence
from pathlib import Path
from typing import TextIO

from tarnwick.base.candlestick import BarData, DailyBar

from ._convert import add_convert_options, convert, reading_of, summary
from ._csv import CsvBars, check_ticker, parse_span
from ._file import BarFile, BarFileError, StrPath, read, write
from ._layout import Kind
from ._progress import AUTO_THRESHOLD, progress

PROGRAM = "tarnwick-bars"
FIELDS = ("ticker", "timestamp", "bar_span_seconds", "high_price", "low_price", "open_price", "close_price",
          "volume", "notional", "trade_count")


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


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
    lines = [f"{bars.path}: {count} {kind} bar{'s' if count != 1 else ''} ({count * 101} bytes)"]
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

            chosen = bars[max(0, len(bars) - plot_bars):]
            title = f"{chosen[0].ticker if chosen else ''}: last {len(chosen)} of {len(bars)} bars"
            plot(chosen, plot_path, title=title)
            del chosen
            print(f"chart: {plot_path}", file=out)


def _check_plotting() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("charts need matplotlib: pip install 'tarnwick[plot]'") from None


def _kind(arguments: argparse.Namespace) -> Kind | None:
    kind: Kind | None = arguments.kind
    return kind


def _run_convert(arguments: argparse.Namespace, out: TextIO) -> None:
    tables = convert(arguments.input, arguments.output, ticker=arguments.ticker, kind=_kind(arguments),
                     span=arguments.span, stamp=arguments.stamp, show_progress=arguments.progress,
                     **reading_of(arguments))
    for line in summary(tables):
        print(line, file=out)


def _run_show(arguments: argparse.Namespace, out: TextIO) -> None:
    if arguments.plot is not None:
        _check_plotting()
    show(arguments.file, head=arguments.head, kind=_kind(arguments), plot_path=arguments.plot,
         plot_bars=arguments.plot_bars, out=out)


def _run_demo(arguments: argparse.Namespace, out: TextIO) -> int:
    from ._sample import write_daily_sample, write_minute_sample

    if arguments.plot is not None:
        _check_plotting()
    with tempfile.TemporaryDirectory(prefix="tarnwick-demo-") as scratch:
        directory = Path(arguments.keep) if arguments.keep else Path(scratch)
        directory.mkdir(parents=True, exist_ok=True)
        if arguments.csv is not None:
            jobs = [(Path(arguments.csv), arguments.ticker, _kind(arguments))]
        else:
            print(f"== sample tables (seed {arguments.seed}) in {directory}", file=out)
            jobs = [
                (write_minute_sample(directory / "ABC-minutes.csv", arguments.seed), "ABC", None),
                (write_daily_sample(directory / "ABC-days.csv", arguments.seed), "ABC", None),
            ]
        failures = 0
        for number, (source, ticker, kind) in enumerate(jobs):
            target = directory / (source.stem + ".bars")
            print(f"== convert {source} -> {target}", file=out)
            table = convert(source, target, ticker=ticker, kind=kind, span=arguments.span, stamp=arguments.stamp,
                            show_progress=arguments.progress, **reading_of(arguments))[0]
            print(f"{len(table)} {table.kind} bars of {table.ticker}; span: {table.span_text}", file=out)
            print(f"== show {target}", file=out)
            plot_path = None
            if arguments.plot is not None:
                plot_path = Path(arguments.plot)
                if len(jobs) > 1:
                    plot_path = plot_path.with_name(f"{plot_path.stem}-{number + 1}{plot_path.suffix}")
            show(target, head=arguments.head, kind=table.kind, plot_path=plot_path, out=out)
            print(f"== verify {target}", file=out)
            problems = verify(target, table)
            for problem in problems:
                print(f"  {problem}", file=out)
            if problems:
                failures += 1
            else:
                print(f"all {len(table)} bars read back equal to what was written, field by field", file=out)
        if arguments.keep:
            print(f"files kept in {directory}", file=out)
    return 1 if failures else 0


def _span(text: str) -> float:
    try:
        return parse_span(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _ticker(text: str) -> str:
    try:
        return check_ticker(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _positive(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a count: {text}")
    return value


def _zone(text: str) -> datetime.tzinfo | None:
    if text.lower() == "local":
        return None
    if text.upper() == "UTC":
        return datetime.UTC
    try:
        from zoneinfo import ZoneInfo

        return ZoneInfo(text)
    except (KeyError, ValueError, OSError, ImportError):  # ZoneInfoNotFoundError is a KeyError
        raise argparse.ArgumentTypeError(f"unknown time zone {text!r}") from None


def _add_kind(parser: argparse.ArgumentParser) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--daily", dest="kind", action="store_const", const="daily",
                       help="daily bars (DailyBar: market dates, spans in days)")
    group.add_argument("--intraday", dest="kind", action="store_const", const="intraday",
                       help="intraday bars (BarData: epoch seconds, spans in seconds)")


def _add_zone(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tz", type=_zone, metavar="ZONE", default=argparse.SUPPRESS,
                        help="time zone of the bar times (sets PROFILE.time_zone): a name such as "
                             "America/New_York, UTC, or local; default: PROFILE's, UTC")


def _add_conversion(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--ticker", type=_ticker, help="the ticker of the bars (default: the file's name)")
    _add_kind(parser)
    parser.add_argument("--span", type=_span, metavar="SECONDS",
                        help="the span of each bar in seconds, or with a unit: 5m, 1h, 1d (default: inferred)")
    parser.add_argument("--stamp", choices=("start", "end"), default="start",
                        help="whether an intraday row's time is its bar's start (default) or end")
    _add_zone(parser)
    add_convert_options(parser)
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_const", const=True,
                       help="always show a progress bar")
    group.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                       help="never show one (default: on a terminal for large tables)")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROGRAM, description="Bar files: 101-byte bar records back to back.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    command = commands.add_parser("convert", help="convert an OHLCV CSV table into a bar file",
                                  description="Convert an OHLCV CSV table into a bar file, written whole or "
                                              "not at all.")
    command.add_argument("input", metavar="IN.csv")
    command.add_argument("output", metavar="OUT.bars")
    _add_conversion(command)

    command = commands.add_parser("show", help="summarise a bar file", description="Summarise a bar file.")
    command.add_argument("file", metavar="FILE.bars")
    command.add_argument("--head", type=_positive, default=5, metavar="N",
                         help="how many bars to print from each end (default 5)")
    _add_kind(command)
    _add_zone(command)
    command.add_argument("--plot", metavar="CHART.png", help="draw a candlestick chart with a volume panel")
    command.add_argument("--plot-bars", type=_positive, default=120, metavar="N",
                         help="how many of the last bars the chart shows (default 120)")

    command = commands.add_parser(
        "demo", help="convert, show and verify a sample (or your CSV)",
        description="Convert a CSV table (without one: a seeded sample of a trading day of minute bars and a "
                    "year of daily bars), show the bar file and verify every field of every bar read back.")
    command.add_argument("csv", nargs="?", metavar="FILE.csv", help="your table (default: the samples)")
    command.add_argument("--seed", type=int, default=7, help="seed of the samples (default 7)")
    command.add_argument("--head", type=_positive, default=3, metavar="N",
                         help="how many bars to print from each end (default 3)")
    command.add_argument("--keep", metavar="DIR", help="write the tables and bar files into DIR and keep them")
    command.add_argument("--plot", metavar="CHART.png", help="also draw candlestick charts")
    _add_conversion(command)
    return top


def main(argv: Sequence[str] | None = None, out: TextIO | None = None) -> int:
    """Runs the tool; returns its exit status (0 done, 1 failed, 2 misused)."""
    out = sys.stdout if out is None else out
    arguments = parser().parse_args(argv)
    if "tz" in arguments:
        from tarnwick.profile import PROFILE

        PROFILE.time_zone = arguments.tz
    try:
        if arguments.command == "convert":
            _run_convert(arguments, out)
        elif arguments.command == "show":
            _run_show(arguments, out)
        else:
            return _run_demo(arguments, out)
    except (CommandError, ValueError, OSError, ImportError) as error:
        # ValueError covers CsvError and BarFileError, whose messages name the file and line.
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    return 0
