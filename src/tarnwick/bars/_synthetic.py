"""Synthetic market data for benchmarks and demonstrations: reproducible
from a seed, shaped like the real thing where it matters to the code that
reads it."""

from __future__ import annotations

import datetime
from zoneinfo import ZoneInfo

import numpy
import numpy.typing as npt

Floats = npt.NDArray[numpy.float64]

TRADES_START = datetime.date(2024, 3, 6)
"""The first day of ``synthetic_trades``: its days run across the change to
daylight-saving time in New York (Sunday 2024-03-10)."""


def synthetic_trades(count: int, *, days: int = 6, seed: int = 0, start: datetime.date = TRADES_START,
                     zone: str = "America/New_York") -> tuple[Floats, Floats, Floats]:
    """``count`` trades over ``days`` weekdays' sessions (09:30 to 16:00 in
    ``zone``) from ``start``: their times (UTC epoch seconds, to the
    microsecond, in order; equal times happen), prices (a random walk in
    cents) and sizes (round lots and odd lots, a few large).

    Arrivals are clustered as markets' are: trades come in bursts around
    moments spread over the session, so that most minutes hold many trades,
    some few, and some none."""
    rng = numpy.random.default_rng(seed)
    sessions = _sessions(start, days, ZoneInfo(zone))
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


def _sessions(start: datetime.date, days: int, zone: ZoneInfo) -> Floats:
    """The (open, close) of each of ``days`` weekdays' sessions from ``start``, as epoch seconds."""
    sessions: list[tuple[float, float]] = []
    day = start
    while len(sessions) < days:
        if day.weekday() < 5:
            opened = datetime.datetime.combine(day, datetime.time(9, 30), zone).timestamp()
            closed = datetime.datetime.combine(day, datetime.time(16, 0), zone).timestamp()
            sessions.append((opened, closed))
        day += datetime.timedelta(days=1)
    return numpy.array(sessions, dtype=numpy.float64)
