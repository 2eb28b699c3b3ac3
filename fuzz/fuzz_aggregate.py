"""Fuzzing harness of the native pass of bars from trades (tarnwick.bars._aggregating).

Every input is one call of `aggregate`: the input chooses the rule (a span,
ticks, volume or value), the zone, a session and fill, then decodes trade
and tick records: tickers from a small set, times that mostly advance and
sometimes go back, prices and sizes that are now and then NaN, infinite,
negative or huge, running totals that fall, and now and then a record that
is neither a trade nor a tick, or one cut short.

The call either raises `AggregateError` or gives bars that keep the rules:
whole bar records, tickers in order of first appearance, each ticker's bars
in time order, no volume or value bar without volume, every closed volume or
value bar exactly at its threshold, and (trade records only, no session)
the trades' volume and count carried over.  A broken rule raises
`Mismatch`; under atheris it is reported as a crash, as is any fault the
sanitizers see.

`exercise(data)` needs nothing but the package and numpy: `tools/fuzz.sh
--harness aggregate` runs it under atheris, tests/test_fuzz_regressions.py
replays committed inputs through it.
"""

import datetime
import math
import struct
from zoneinfo import ZoneInfo

import numpy

from tarnwick.bars import AggregateError, aggregate
from tarnwick.bars._records import record_dtype

RULES = (("span", "1min"), ("span", "5min"), ("span", "1h"), ("span", "1d"), ("span", "1w"), ("span", "1mo"),
         ("ticks", 1), ("ticks", 3), ("volume", 7.5), ("volume", 100.0), ("volume", 0.1), ("value", 1000.0),
         ("value", 33.3))
ZONES = (datetime.UTC, ZoneInfo("America/New_York"), ZoneInfo("Australia/Lord_Howe"))
SESSIONS = (None, "09:30-16:00", "00:00-12:00")
TICKERS = (b"ABC", b"XY", b"", "é".encode())
STEPS = (0.0, 0.001, 1.0, 59.0, 60.0, 3600.0, 86400.0, -1.0, math.nan, 1e12)
VALUES = (0.0, 1e-9, 2.5, -1.0, 1e5, 1e300, math.nan, math.inf)
FIRST = datetime.datetime(2024, 3, 9, 22, tzinfo=datetime.UTC).timestamp()  # a day before a change in New York
TRADE = struct.Struct("=B32sdddBdd51s")
TICK = struct.Struct("=B32sddddddddI")


class Mismatch(AssertionError):
    """The result breaks a rule of bars from trades."""


class Input:
    def __init__(self, data):
        self.data, self.at = data, 0

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def choice(self, options):
        return options[self.byte() % len(options)]

    def more(self):
        return self.at < len(self.data)


def decode(inp):
    """Trade and tick records from the rest of the input, mostly well-formed;
    the trades' sizes as a second result (None once a tick comes in)."""
    records, sizes, time = [], [], FIRST + 60 * inp.byte()
    totals = [0.0, 0.0, 0]
    while inp.more() and len(records) < 300:
        kind = inp.byte()
        hostile = kind >= 250
        time += inp.choice(STEPS) if hostile else inp.byte() / 4
        price = inp.choice(VALUES) if hostile and inp.byte() < 128 else 1.0 + inp.byte() / 8
        size = inp.choice(VALUES) if hostile else inp.byte() / 2
        ticker = inp.choice(TICKERS)
        if kind % 8 == 7:  # a tick: its totals grow by the size, or restart
            totals = [size, size * price, 1] if inp.byte() < 16 else [totals[0] + size, totals[1] + size * price,
                                                                       totals[2] + 1]
            full = kind % 16 == 15  # the 581-byte tick: the summary, then the books
            records.append(TICK.pack(32 if full else 31, ticker, time, price, 1.0, price, 1.0, price, totals[0],
                                     totals[1], min(totals[2], 2**32 - 1)) + bytes(480 if full else 0))
            sizes = None
        else:
            records.append(TRADE.pack(20, ticker, time, price, size, 1, 1.0, price * size, b""))
            if sizes is not None:
                sizes.append((ticker, size))
    if inp.byte() == 255:
        records.append(records[-1][:40] if records else bytes([40]) * 101)
    return b"".join(records), sizes


def exercise(data):
    """Makes bars of the records `data` describes; raises `Mismatch` on a broken rule."""
    inp = Input(data)
    rule, threshold = inp.choice(RULES)
    options = {rule: threshold}
    if rule == "span":
        options.update(tz=inp.choice(ZONES), fill=inp.byte() % 4 == 0)
        if not threshold.endswith(("d", "w", "mo")):
            options["session"] = inp.choice(SESSIONS)
    source, sizes = decode(inp)
    try:
        bars = aggregate(source, **options)
    except AggregateError:
        return
    check(numpy.frombuffer(bars, record_dtype()), rule, threshold, sizes, options.get("session"))


def check(out, rule, threshold, sizes, session):
    expect((out["dtype"] == 40).all(), "records that are not bars")
    tickers = list(dict.fromkeys(out["ticker"].tolist()))
    expect(out["ticker"].tolist() == sorted(out["ticker"].tolist(), key=tickers.index), "tickers not grouped")
    for ticker in tickers:
        own = out[out["ticker"] == ticker]
        expect((numpy.diff(own["timestamp"]) >= 0).all(), "bars out of order")
        expect((own["bar_span"] >= 0).all(), "a bar of negative span")
        if rule in ("volume", "value"):
            expect((own["volume"] > 0).all(), "a bar without volume")
            measure = own["volume" if rule == "volume" else "notional"]
            expect((measure[:-1] == threshold).all(), "a closed bar off its threshold")
        if sizes is None or session is not None:
            continue
        traded = [size for name, size in sizes if name.rstrip(b"\0") == ticker]
        if rule != "span" or math.fsum(traded) >= 1e290:
            continue
        expect(math.isclose(math.fsum(own["volume"]), math.fsum(traded), rel_tol=1e-9, abs_tol=1e-9),
               "volume not carried over")
        expect(int(own["trade_count"].sum()) == len(traded), "trade count not carried over")


def expect(condition, what):
    if not condition:
        raise Mismatch(what)
