"""Realistic one-minute bars, made up: the data the benchmarks, the tests that
need data and the fuzzer's seeds share, so that all of them meet what users'
exports hold.

- Times are one-minute bar starts on a zone's wall clock (New York by
  default) around the clock, so both daylight-saving changes of the year
  occur: the skipped spring hour is absent and the repeated autumn hour
  comes twice, in time order.  A few outages leave gaps.
- Prices are a random walk per ticker, rounded to cents; volumes are whole.
- Several tickers are interleaved minute by minute (time, then ticker).

``minute_data`` gives the rows as columns; ``minute_bars`` as packed bar
records (what ``convert`` makes of the table: each bar ends a minute after
its start; notional unknown, no trade count); ``minute_table`` as the table
a user's export holds (``Datetime`` without an offset, ``Ticker`` when there
are several, ``Open``, ``High``, ``Low``, ``Close``, ``Volume``); and
``write_minute_csv`` / ``write_minute_parquet`` write that table.
``synthetic_trades`` makes trades (times, prices, sizes) over several
sessions instead, for the bars made from trades.
Everything is deterministic by ``seed`` and vectorised: 10,000,000 rows
take seconds.

Which stretch of time a count covers: one continuous run from before the
first change of ``year`` to after its last when the count reaches that far,
else two runs of half the count each, centred on the two changes.
"""

from __future__ import annotations

import datetime
import math
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._output import output_file
from ._records import BAR_KIND_CODE, record_dtype
from ._zones import resolve_zone, zone_table

if TYPE_CHECKING:
    import numpy
    import pyarrow

DEFAULT_ZONE = "America/New_York"
DEFAULT_YEAR = 2024
MINUTE = 60
_CLEAR_OF_CHANGES = 3 * 3600  # no outage within three hours of a clock change
_FILL_ROWS = 1 << 15  # records filled at a time: 3.3 MB
_ROOM_PER_OUTAGE_MINUTE = 50  # minutes of data for each minute of outage, at least
_NAMES = ("ALFA", "BRVO", "CHRL", "DLTA", "ECHO", "FXTR", "GOLF", "HOTL", "INDA", "JULT",
          "KILO", "LIMA", "MIKE", "NOVR", "OSCR", "PAPA", "QBEC", "ROMO", "SIRA", "TNGO")


def ticker_names(count: int) -> list[str]:
    """The tickers of a table of ``count`` tickers, in the order each minute lists them."""
    return [_NAMES[i] if i < len(_NAMES) else f"X{i:04d}" for i in range(count)]


@dataclass(frozen=True)
class MinuteData:
    """The rows of one made-up table, as columns: ``starts`` (epoch seconds,
    int64) and ``wall`` (the zone's wall clock, datetime64[s]) of each row's
    minute, the index of its ticker in ``tickers``, and its prices and volume."""

    tickers: list[str]
    starts: numpy.ndarray[Any, Any]
    wall: numpy.ndarray[Any, Any]
    ticker: numpy.ndarray[Any, Any]
    open: numpy.ndarray[Any, Any]
    high: numpy.ndarray[Any, Any]
    low: numpy.ndarray[Any, Any]
    close: numpy.ndarray[Any, Any]
    volume: numpy.ndarray[Any, Any]


def minute_data(rows: int, *, tickers: int = 1, zone: str = DEFAULT_ZONE, seed: int = 0,
                year: int = DEFAULT_YEAR) -> MinuteData:
    """``rows`` rows of ``tickers`` tickers interleaved (see the module's summary)."""
    import numpy

    if rows < 0 or tickers < 1:
        raise ValueError(f"rows is 0 or more and tickers 1 or more, not {rows} and {tickers}")
    rng = numpy.random.default_rng(seed)
    minutes = math.ceil(rows / tickers)
    starts = minute_starts(minutes, zone=zone, year=year, rng=rng)
    wall = wall_clock(starts, zone)
    prices = _walks(rng, minutes, tickers)
    volume = numpy.rint(rng.lognormal(6.5, 1.0, (minutes, tickers))) + 1
    ticker = numpy.tile(numpy.arange(tickers, dtype=numpy.int32), minutes)[:rows]
    return MinuteData(ticker_names(tickers), numpy.repeat(starts, tickers)[:rows],
                      numpy.repeat(wall, tickers)[:rows], ticker,
                      *(column.ravel()[:rows] for column in (*prices, volume)))


def minute_bars(rows: int, *, tickers: int = 1, zone: str = DEFAULT_ZONE, seed: int = 0,
                year: int = DEFAULT_YEAR) -> numpy.ndarray[Any, Any]:
    """The rows of ``minute_data`` as packed bar records (``record_dtype``):
    what ``convert`` makes of ``write_minute_csv``'s table with ``--tz zone``.
    ``.tobytes()`` gives the bytes of a headerless bar file."""
    return records_of(minute_data(rows, tickers=tickers, zone=zone, seed=seed, year=year))


def records_of(data: MinuteData) -> numpy.ndarray[Any, Any]:
    """The rows of ``data`` as packed bar records: each bar ends a minute after
    its start; notional unknown (NaN), no trade count."""
    import numpy

    names = numpy.array(data.tickers, dtype="S32")
    bars = numpy.empty(len(data.starts), record_dtype())
    for first in range(0, len(bars), _FILL_ROWS):  # a piece at a time, in the cache, field by field
        rows = slice(first, first + _FILL_ROWS)
        piece = bars[rows]
        piece["dtype"] = BAR_KIND_CODE
        piece["ticker"] = names[data.ticker[rows]]
        piece["timestamp"] = data.starts[rows] + MINUTE
        piece["bar_span"] = MINUTE
        piece["open_price"], piece["high_price"] = data.open[rows], data.high[rows]
        piece["low_price"], piece["close_price"] = data.low[rows], data.close[rows]
        piece["volume"] = data.volume[rows]
        piece["notional"] = math.nan
        piece["trade_count"] = 0
    return bars


def minute_table(rows: int, *, tickers: int = 1, zone: str = DEFAULT_ZONE, seed: int = 0,
                 year: int = DEFAULT_YEAR) -> pyarrow.Table:
    """The rows of ``minute_data`` as a user's export holds them: ``Datetime``
    (wall clock, no offset), ``Ticker`` when ``tickers`` > 1, then ``Open``,
    ``High``, ``Low``, ``Close`` and ``Volume`` (whole numbers)."""
    import numpy
    import pyarrow

    data = minute_data(rows, tickers=tickers, zone=zone, seed=seed, year=year)
    columns: dict[str, Any] = {"Datetime": pyarrow.array(data.wall)}
    if tickers > 1:
        names = pyarrow.DictionaryArray.from_arrays(pyarrow.array(data.ticker), pyarrow.array(data.tickers))
        columns["Ticker"] = names.cast(pyarrow.string())
    columns |= {"Open": data.open, "High": data.high, "Low": data.low, "Close": data.close,
                "Volume": data.volume.astype(numpy.int64)}
    return pyarrow.table(columns)


def write_minute_csv(path: str | Path, rows: int, *, tickers: int = 1, zone: str = DEFAULT_ZONE, seed: int = 0,
                     year: int = DEFAULT_YEAR) -> Path:
    """``minute_table`` as a CSV file (times as ``2024-03-10 01:59:00``), written whole or not at all."""
    import pyarrow.csv

    table = minute_table(rows, tickers=tickers, zone=zone, seed=seed, year=year)
    with output_file(path) as temporary, open(temporary, "wb") as file:
        file.write((",".join(table.column_names) + "\n").encode())
        pyarrow.csv.write_csv(table, file, pyarrow.csv.WriteOptions(include_header=False, quoting_style="none"))
    return Path(path)


def write_minute_parquet(path: str | Path, rows: int, *, tickers: int = 1, zone: str = DEFAULT_ZONE, seed: int = 0,
                         year: int = DEFAULT_YEAR) -> Path:
    """``minute_table`` as a Parquet file, written whole or not at all."""
    import pyarrow.parquet

    table = minute_table(rows, tickers=tickers, zone=zone, seed=seed, year=year)
    with output_file(path) as temporary:
        pyarrow.parquet.write_table(table, temporary)
    return Path(path)


# ---- the clock -------------------------------------------------------------------------------


def minute_starts(minutes: int, *, zone: str = DEFAULT_ZONE, year: int = DEFAULT_YEAR,
                  rng: numpy.random.Generator | None = None) -> numpy.ndarray[Any, Any]:
    """``minutes`` whole-minute instants (epoch seconds, int64, increasing)
    that cover the clock changes of ``year`` in ``zone``, with a few outages
    when ``rng`` is given and the count leaves room for them."""
    import numpy

    changes = _changes(zone, year)
    outages = [] if rng is None else [int(n) for n in rng.integers(2, 90, 3 + minutes // 250_000)]
    if minutes < _ROOM_PER_OUTAGE_MINUTE * sum(outages):
        outages = []  # too few minutes for outages to look like gaps rather than the data
    total = minutes + sum(outages)
    runs = _runs(total, changes, year)
    starts = numpy.concatenate([first + MINUTE * numpy.arange(count, dtype=numpy.int64) for first, count in runs])
    if outages and rng is not None:
        starts = _cut_outages(starts, changes, outages, rng)
    return starts[:minutes]


def wall_clock(starts: numpy.ndarray[Any, Any], zone: str = DEFAULT_ZONE) -> numpy.ndarray[Any, Any]:
    """The zone's wall-clock time (datetime64[s]) of each instant of ``starts`` (epoch seconds)."""
    import numpy

    if not len(starts):
        return numpy.array([], dtype="datetime64[s]")
    changes, offsets = zone_table(resolve_zone(zone), float(starts.min()), float(starts.max()) + 1)
    which = numpy.searchsorted(numpy.asarray(changes), starts, side="right")
    local = starts + numpy.asarray(offsets, dtype=numpy.int64)[which]
    wall: numpy.ndarray[Any, Any] = local.astype("datetime64[s]")
    return wall


def _changes(zone: str, year: int) -> list[int]:
    """The instants at which the zone's clock changes in ``year``."""
    first = datetime.datetime(year, 1, 1, tzinfo=datetime.UTC).timestamp()
    changes, _ = zone_table(resolve_zone(zone), first, first + 366 * 86400)
    return [int(change) for change in changes if datetime.datetime.fromtimestamp(change, datetime.UTC).year == year]


def _runs(total: int, changes: list[int], year: int) -> list[tuple[int, int]]:
    """(first instant, minutes) of each run of ``total`` minutes around ``changes``."""
    if not changes:  # a zone without daylight saving: the year from its start
        return [(int(datetime.datetime(year, 1, 1, tzinfo=datetime.UTC).timestamp()), total)]
    first, last = changes[0], changes[-1]
    between = (last - first) // MINUTE
    if total >= between + 2 * _CLEAR_OF_CHANGES // MINUTE or first == last:
        return [(first - (total - between) // 2 * MINUTE, total)]
    half = total // 2
    rest = total - half
    return [(first - (half + 1) // 2 * MINUTE, half), (last - (rest + 1) // 2 * MINUTE, rest)]


def _cut_outages(starts: numpy.ndarray[Any, Any], changes: list[int], lengths: list[int],
                 rng: numpy.random.Generator) -> numpy.ndarray[Any, Any]:
    """``starts`` without a run of ``length`` minutes for each of ``lengths``,
    away from the clock changes and the ends (two outages may overlap)."""
    import numpy

    clear = numpy.ones(len(starts), bool)
    for change in changes:
        clear &= numpy.abs(starts - change) > _CLEAR_OF_CHANGES
    clear[:120] = clear[-120:] = False
    candidates = numpy.flatnonzero(clear)
    if not len(candidates):
        return starts
    keep = numpy.ones(len(starts), bool)
    for first, length in zip(candidates[rng.integers(0, len(candidates), len(lengths))], lengths):
        keep[first:first + length] = False
    kept: numpy.ndarray[Any, Any] = starts[keep]
    return kept


def _walks(rng: numpy.random.Generator, minutes: int, tickers: int) -> tuple[numpy.ndarray[Any, Any], ...]:
    """Open, high, low and close of ``minutes`` bars of each ticker (shape
    minutes x tickers), in cents: each bar opens at the last one's close.
    Worked in place: fresh arrays of this size cost more than the arithmetic."""
    import numpy

    base = rng.lognormal(4.0, 1.0, tickers)
    close = rng.standard_normal((minutes, tickers))
    close *= 6e-4
    numpy.cumsum(close, axis=0, out=close)
    numpy.exp(close, out=close)
    close *= base
    _cents(close)
    opening = numpy.empty_like(close)
    opening[:1] = _cents(base.copy())
    opening[1:] = close[:-1]
    high = rng.random((minutes, tickers))
    high *= 3e-4 * close
    high += numpy.maximum(opening, close)
    low = rng.random((minutes, tickers))
    low *= -3e-4 * close
    low += numpy.minimum(opening, close)
    return opening, _cents(high), _cents(low), close


def _cents(values: numpy.ndarray[Any, Any]) -> numpy.ndarray[Any, Any]:
    """``values`` rounded to cents in place, at least a cent: the nearest
    doubles to the decimals a CSV shows, so they read back exactly."""
    import numpy

    values *= 100
    numpy.rint(values, out=values)
    numpy.maximum(values, 1, out=values)
    values /= 100
    return values


# ---- trades ----------------------------------------------------------------------------------

TRADES_START = datetime.date(2024, 3, 6)
"""The first day of ``synthetic_trades``: its days run across the change to
daylight-saving time in New York (Sunday 2024-03-10)."""


def synthetic_trades(count: int, *, days: int = 6, seed: int = 0, start: datetime.date = TRADES_START,
                     zone: str = DEFAULT_ZONE) -> tuple[numpy.ndarray[Any, Any], ...]:
    """``count`` trades over ``days`` weekdays' sessions (09:30 to 16:00 in
    ``zone``) from ``start``: their times (UTC epoch seconds, to the
    microsecond, in order; equal times happen), prices (a random walk in
    cents) and sizes (round lots and odd lots, a few large).

    Arrivals are clustered as markets' are: trades come in bursts around
    moments spread over the session, so that most minutes hold many trades,
    some few, and some none."""
    import numpy

    rng = numpy.random.default_rng(seed)
    sessions = _sessions(start, days, zone)
    burst = 8.0  # trades per burst, on average
    bursts = max(1, int(count / burst))
    day = rng.integers(0, len(sessions), bursts)
    opens, closes = sessions[day, 0], sessions[day, 1]
    centres = opens + rng.random(bursts) * (closes - opens)
    members = rng.multinomial(count, rng.dirichlet(numpy.ones(bursts)) if bursts < 2 else
                              numpy.full(bursts, 1.0 / bursts))
    owner = numpy.repeat(numpy.arange(bursts), members)
    times = centres[owner] + rng.exponential(0.5, count)  # a burst fades over a second or so
    times = numpy.minimum(times, closes[owner] - 1e-6)
    times = numpy.sort(numpy.round(times * 1e6)) / 1e6
    steps = rng.choice([-1.0, 0.0, 1.0], count, p=[0.3, 0.4, 0.3])
    prices = numpy.maximum(numpy.round(10_000 + numpy.cumsum(steps)), 1.0) / 100  # cents, from 100.00
    lots = rng.choice([1.0, 100.0, 200.0, 500.0], count, p=[0.3, 0.5, 0.15, 0.05])
    sizes = numpy.where(lots == 1.0, rng.integers(1, 100, count).astype(numpy.float64), lots)
    sizes[rng.random(count) < 1e-4] *= 100  # the odd block trade
    return times, prices, sizes


def _sessions(start: datetime.date, days: int, zone: str) -> numpy.ndarray[Any, Any]:
    """The (open, close) of each of ``days`` weekdays' sessions from ``start``, as epoch seconds."""
    import numpy

    tzinfo = resolve_zone(zone)
    sessions: list[tuple[float, float]] = []
    day = start
    while len(sessions) < days:
        if day.weekday() < 5:
            opened = datetime.datetime.combine(day, datetime.time(9, 30), tzinfo).timestamp()
            closed = datetime.datetime.combine(day, datetime.time(16, 0), tzinfo).timestamp()
            sessions.append((opened, closed))
        day += datetime.timedelta(days=1)
    return numpy.array(sessions, dtype=numpy.float64)
