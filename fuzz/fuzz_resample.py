"""Fuzzing harness of the native resampling pass (tarnwick.bars._bucketing).

Every input is one call of `resample`: the input chooses the span, the zone
(with and without daylight saving, with half-hour offsets and changes), a
session, an origin and the stated kind, then decodes bar records: tickers
from a small set, times that mostly advance and sometimes go back, spans of
seconds or days, date numbers, NaN and infinities, trade counts up to the
largest, and now and then a record that is not a bar.

The call is made twice, as one pass and with the records cut (where the
input says) into ranges that threads resample apart: both must give the
same bytes or the same error.  It either raises `ResampleError` or
`BarFileError` (or `ValueError` for the arguments)
or gives bars that keep the rules: whole records, tickers in order of first
appearance, each ticker's new bars in time order, every kept source bar
inside exactly one new bar of its ticker, and trade counts, volumes and
NaN carried over exactly.  A broken rule raises `Mismatch`; under atheris it
is reported as a crash, as is any fault the sanitizers see.

`exercise(data)` needs nothing but the package and numpy: `tools/fuzz.sh
--harness resample` runs it under atheris, tests/test_fuzz_regressions.py
replays committed inputs through it.
"""

import datetime
import math
from unittest import mock
from zoneinfo import ZoneInfo

import numpy

from tarnwick.bars import RECORD_SIZE, _bucketing
from tarnwick.bars._records import RECORD_STRUCT, BarFileError, record_dtype
from tarnwick.bars._resample import ResampleError, Span, resample

SPANS = ("1s", "30s", "1min", "5min", "15min", "1h", "2h", "4h", "24h", "1d", "2d", "1w", "1mo", "1q", "1y")
ZONES = (datetime.UTC, ZoneInfo("America/New_York"), ZoneInfo("Asia/Kolkata"), ZoneInfo("Australia/Lord_Howe"),
         ZoneInfo("Europe/London"), datetime.timezone(datetime.timedelta(hours=-3, minutes=-30)))
SESSIONS = (None, "09:30-16:00", "00:00-12:00", "22:00-24:00")
ORIGINS = (None, "09:30", "00:15", "23:59")
TICKERS = (b"ABC", b"XY", b"", "é".encode())
STEPS = (60.0, 60.0, 60.0, 300.0, 3600.0, 86400.0, 1800.0, -60.0, 0.0, 7 * 86400.0)
SPANS_SECONDS = (60.0, 60.0, 60.0, 300.0, 3600.0, 1.0, 0.5, 86400.0, 0.0, -1.0, math.nan, math.inf)
DAY_STEPS = (1, 1, 1, 2, 3, 7, 31, 0, -1)
FIRST = datetime.datetime(2024, 3, 9, 22, tzinfo=datetime.UTC).timestamp()  # a day before a change in New York
VALUES = (1.0, 2.5, 0.0, -3.0, 100.0, 7.25, math.nan, math.inf, 1e300)


class Mismatch(AssertionError):
    """The result breaks a rule of resampling."""


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


def decode(inp, daily):
    """Bar records from the rest of the input: mostly well-formed (one-minute
    or one-day bars, a gap now and then), with a hostile field now and then."""
    records, time, day = [], FIRST + 60 * inp.byte(), datetime.date(2024, 2, 26).toordinal() + inp.byte() % 40
    while inp.more() and len(records) < 400:
        kind = inp.byte()
        hostile = kind >= 240
        if daily:
            day += inp.choice(DAY_STEPS) if hostile else 1 + inp.byte() % 3 // 2
            date = datetime.date.fromordinal(max(day, 1))
            stamp = float(date.year * 10000 + date.month * 100 + date.day)
            span = float(inp.choice((1, 2, 7, 0, 1e300, 2**63))) if hostile else 1.0
        else:
            time += inp.choice(STEPS) if hostile else 60.0 * (1 + inp.byte() % 4 // 3 * 30)
            stamp, span = time, inp.choice(SPANS_SECONDS) if hostile else 60.0
        if kind == 255:
            stamp = math.nan
        prices = [inp.choice(VALUES) if inp.byte() < 16 else float(inp.byte()) for _ in range(6)]
        count = inp.choice((0, 1, 7, 2**32 - 1, 2**31)) if hostile else inp.byte()
        records.append(RECORD_STRUCT.pack(40 if kind != 254 else 31, inp.choice(TICKERS), stamp, span, *prices, count))
    return b"".join(records)


def exercise(data):
    """Resamples the records `data` describes; raises `Mismatch` on a broken rule."""
    inp = Input(data)
    span = Span.parse(inp.choice(SPANS))
    zone = inp.choice(ZONES)
    session = inp.choice(SESSIONS) if inp.byte() % 4 == 0 else None
    origin = inp.choice(ORIGINS) if not span.daily else None
    daily = inp.byte() % 4 == 0
    kind = inp.choice((None, "daily" if daily else "intraday"))
    source = decode(inp, daily)
    count = len(source) // RECORD_SIZE
    # Where to cut: from the input's last bytes, read again, so that committed inputs decode as they did.
    cuts = sorted({count * byte // 256 for byte in data[-3:]} - {0})
    arguments = {"tz": zone, "session": session, "origin": origin, "kind": kind}
    bars = cut_at(cuts, source, span, arguments)
    expect(bars == cut_at([], source, span, arguments), f"records cut at {cuts} give another result than one pass")
    if isinstance(bars, bytes):
        check(numpy.frombuffer(source, record_dtype()), numpy.frombuffer(bars, record_dtype()), span, zone, session)


def cut_at(cuts, source, span, arguments):
    """The new bars' bytes, or the text of the error that refused them, with
    the native pass cut at ``cuts`` (none: one pass)."""
    native = _bucketing.resample
    with mock.patch.object(_bucketing, "resample", lambda *given: native(*given, cuts)):
        try:
            return bytes(resample(source, span, **arguments))
        except (ResampleError, BarFileError) as error:  # BarFileError: records whose kind only the caller can say
            return str(error)
        except ValueError as error:
            if "session" in str(error) or "origin" in str(error):
                return str(error)
            raise


def check(source, out, span, zone, session):
    expect(len(out) * RECORD_SIZE == out.nbytes and (out["dtype"] == 40).all(), "records that are not bars")
    tickers = list(dict.fromkeys(out["ticker"].tolist()))
    expect(out["ticker"].tolist() == sorted(out["ticker"].tolist(), key=tickers.index), "tickers not grouped")
    order = list(dict.fromkeys(source["ticker"].tolist()))
    expect(tickers == [t for t in order if t in tickers], "tickers not in order of first appearance")
    for ticker in tickers:
        new = out[out["ticker"] == ticker]
        old = source[source["ticker"] == ticker]
        expect((new["bar_span"] > 0).all() and (numpy.diff(new["timestamp"]) > 0).all(), "new bars out of order")
        if session is not None:
            continue  # which bars were kept is the session's business
        expect(int(new["trade_count"].sum()) == int(old["trade_count"].sum()), "trade counts not carried over")
        expect(numpy.isnan(new["notional"]).any() == numpy.isnan(old["notional"]).any(), "NaN not carried over")
        same_sum(new["volume"], old["volume"])
        if not span.daily:
            starts = new["timestamp"] - new["bar_span"]
            for end, length in zip(old["timestamp"].tolist(), old["bar_span"].tolist()):
                holding = numpy.flatnonzero((starts <= end - length) & (end <= new["timestamp"]))
                expect(len(holding) == 1, f"bar ending {end} in {len(holding)} new bars")
            expect((new["bar_span"] <= span.count + 3600).all() and (new["bar_span"] >= span.count - 3600).all(),
                   "a bucket's length is off by more than a change of offset")


def same_sum(new, old):
    if not numpy.isfinite(old).all() or numpy.abs(old).max(initial=0) >= 1e300:
        return  # NaN, infinities or sums that overflow: no exact total to compare
    expect(new.sum() == old.sum(), f"volumes sum to {new.sum()}, not {old.sum()}")


def expect(condition, what):
    if not condition:
        raise Mismatch(what)
