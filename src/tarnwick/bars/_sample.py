"""Seeded sample tables: a trading day of minute bars and a year of daily bars,
each written whole or not at all."""

from __future__ import annotations

import csv
import datetime
import math
import random
from pathlib import Path

from ._output import output_file


def _walk(rng: random.Random, start: float, steps: int, volatility: float, volume: float,
          digits: int) -> list[tuple[float, float, float, float, float]]:
    """Open, high, low, close and volume of ``steps`` bars of a random walk."""
    rows = []
    close = start
    for _ in range(steps):
        opening = close
        close = round(opening * math.exp(rng.gauss(0.0, volatility)), digits)
        high = round(max(opening, close) * (1 + abs(rng.gauss(0.0, volatility / 2))), digits)
        low = round(min(opening, close) * (1 - abs(rng.gauss(0.0, volatility / 2))), digits)
        rows.append((opening, high, low, close, float(round(volume * rng.lognormvariate(0.0, 0.5)))))
    return rows


def write_minute_sample(path: Path, seed: int) -> Path:
    """One trading day, 09:30 to 16:00 New York time (14:30 to 21:00 UTC) of
    2024-03-01, as 390 minute bars with a VWAP and a trade count."""
    rng = random.Random(seed)
    first = datetime.datetime(2024, 3, 1, 14, 30)
    with output_file(path) as temporary, open(temporary, "w", newline="") as file:
        out = csv.writer(file)
        out.writerow(["Datetime", "Open", "High", "Low", "Close", "Volume", "VWAP", "Trades"])
        for i, (opening, high, low, close, volume) in enumerate(_walk(rng, 100.0, 390, 0.001, 2000.0, 2)):
            vwap = round((high + low + close) / 3, 4)
            trades = max(1, int(volume / rng.uniform(20.0, 60.0)))
            stamp = first + datetime.timedelta(minutes=i)
            out.writerow([f"{stamp:%Y-%m-%d %H:%M:%S}", opening, high, low, close, volume, vwap, trades])
    return path


def write_daily_sample(path: Path, seed: int) -> Path:
    """The weekdays of 2023 as daily bars, with their notional value."""
    rng = random.Random(seed + 1)
    days = [datetime.date(2023, 1, 1) + datetime.timedelta(days=i) for i in range(365)]
    weekdays = [day for day in days if day.weekday() < 5]
    with output_file(path) as temporary, open(temporary, "w", newline="") as file:
        out = csv.writer(file)
        out.writerow(["Date", "Open", "High", "Low", "Close", "Volume", "Notional"])
        for day, (opening, high, low, close, volume) in zip(
            weekdays, _walk(rng, 100.0, len(weekdays), 0.015, 1_000_000.0, 2)
        ):
            notional = round(volume * (high + low + close) / 3, 2)
            out.writerow([day.isoformat(), opening, high, low, close, volume, notional])
    return path
