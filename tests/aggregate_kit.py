"""Shared scaffolding of the tests of bars from trades: trade and tick records
packed from the documented layouts, and a plain-Python model of the rules
(exact rationals for the splitting) that the native pass is checked against."""

import datetime
import struct
from dataclasses import dataclass
from fractions import Fraction

# kind, ticker, timestamp, price, volume, side, multiplier, notional, three ids (type byte and 16 bytes)
TRADE = struct.Struct("=B32sdddBdd" + "B16s" * 3)
# kind, ticker, timestamp, bid, bid volume, ask, ask volume, last, total volume, total notional, total count
TICK = struct.Struct("=B32sddddddddI")
FULL_TICK_SIZE = 581  # the summary, then two books of ten levels of (price, volume, orders)
assert (TRADE.size, TICK.size) == (125, 101)


def trade_record(ticker, time, price, size, notional=None):
    notional = price * size if notional is None else notional
    return TRADE.pack(20, ticker.encode(), time, price, size, 1, 1.0, notional, 0, b"", 0, b"", 0, b"")


def tick_record(ticker, time, last, volume, notional, count, full=False):
    summary = TICK.pack(32 if full else 31, ticker.encode(), time, last - 0.01, 1.0, last + 0.01, 1.0, last,
                        volume, notional, count)
    return summary + bytes(FULL_TICK_SIZE - TICK.size) if full else summary


@dataclass(frozen=True)
class Trade:
    ticker: str
    time: float
    price: float
    size: float
    notional: float | None = None

    @property
    def value(self):
        return self.price * self.size if self.notional is None else self.notional


def records_of(trades):
    return b"".join(trade_record(t.ticker, t.time, t.price, t.size, t.notional) for t in trades)


# ---- the model ------------------------------------------------------------------------------


@dataclass
class ModelBar:
    """A bar as the model builds it: fields as the record holds them."""

    ticker: str
    timestamp: float = 0.0
    span: float = 0.0
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    close: float = 0.0
    volume: Fraction = Fraction(0)
    notional: Fraction = Fraction(0)
    count: int = 0
    def add(self, price, size, notional):
        if not self.count:
            self.open = self.high = self.low = price
        self.high, self.low, self.close = max(self.high, price), min(self.low, price), price
        self.volume += Fraction(size)
        self.notional += Fraction(notional)
        self.count += 1


def by_ticker(trades):
    """The trades of each ticker, tickers in order of first appearance."""
    out = {}
    for trade in trades:
        out.setdefault(trade.ticker, []).append(trade)
    return out


def activity_bars(trades, rule, threshold):
    """Tick, volume or value bars by the documented rules, in exact rationals."""
    bars = []
    for ticker, own in by_ticker(trades).items():
        bar, start = ModelBar(ticker), own[0].time
        limit = Fraction(threshold)

        def close(time):
            nonlocal bar, start
            bar.timestamp, bar.span = time, time - start
            bars.append(bar)
            bar, start = ModelBar(ticker), time

        for trade in own:
            size, value = Fraction(trade.size), Fraction(trade.value)
            if rule == "ticks":
                bar.add(trade.price, size, value)
                if bar.count >= threshold:
                    close(trade.time)
                continue
            whole = size if rule == "volume" else value
            filled = bar.volume if rule == "volume" else bar.notional
            if whole == 0 or filled + whole < limit:
                bar.add(trade.price, size, value)
                continue
            left = whole
            while filled + left >= limit:
                part = limit - filled
                bar.add(trade.price, size * part / whole, value * part / whole)
                close(trade.time)
                left, filled = left - part, Fraction(0)
            if left:
                bar.add(trade.price, size * left / whole, value * left / whole)
        if bar.count and (rule == "ticks" or bar.volume):
            bar.timestamp, bar.span = own[-1].time, own[-1].time - start
            bars.append(bar)
    return bars


def minute_bucket(time, zone, minutes):
    """The bucket [start, end) of an instant for spans that divide an hour (so
    New York's changes of offset fall on boundaries): whole spans of the
    wall clock at the instant's own offset."""
    offset = datetime.datetime.fromtimestamp(time, zone).utcoffset().total_seconds()
    span = minutes * 60
    start = (time + offset) // span * span - offset
    return start, start + span


def time_bars(trades, zone, minutes, fill=False):
    """Time bars of a span dividing an hour: one per bucket with trades (and,
    with fill, one per empty bucket between two of them, flat at the close)."""
    bars = []
    for ticker, own in by_ticker(trades).items():
        bar, bucket = None, None
        for trade in own:
            here = minute_bucket(trade.time, zone, minutes)
            if here != bucket:
                if bar is not None:
                    bars.append(bar)
                    if fill:
                        gap = minute_bucket(bucket[1], zone, minutes)
                        while gap != here:
                            bars.append(ModelBar(ticker, gap[1], gap[1] - gap[0], *[bar.close] * 4))
                            gap = minute_bucket(gap[1], zone, minutes)
                bucket = here
                bar = ModelBar(ticker, here[1], here[1] - here[0])
            bar.add(trade.price, trade.size, trade.value)
        bars.append(bar)
    return bars


def fields(bar):
    """A native bar's fields in the model's order."""
    return (bar.ticker, bar.timestamp, bar.bar_span_seconds, bar.open_price, bar.high_price, bar.low_price,
            bar.close_price, bar.volume, bar.notional, bar.trade_count)


def model_fields(bar):
    return (bar.ticker, bar.timestamp, bar.span, bar.open, bar.high, bar.low, bar.close, float(bar.volume),
            float(bar.notional), bar.count)
