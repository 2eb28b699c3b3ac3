"""The live Aggregator, checked against the batch aggregate(): trades fed one
at a time, as arrays of any length or as packed records make the same bars
byte for byte; advance, partial and flush; refused input changes nothing;
repeated calls leak nothing."""

import datetime
import gc
import itertools
import math
import os
import sys
import tracemalloc
import types

import numpy
import pytest
from aggregate_kit import Trade, records_of, tick_record, trade_record
from hypothesis import given, settings
from hypothesis import strategies as st
from resample_kit import FALL_BACK, NEW_YORK, SPRING_FORWARD

from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.bars import AggregateError, Aggregator, aggregate

T0 = datetime.datetime(2024, 6, 3, 13, 30, tzinfo=datetime.UTC).timestamp()

RULES = [
    {"span": "1min", "tz": NEW_YORK},
    {"span": "15min", "tz": NEW_YORK, "fill": True},
    {"span": "1h", "tz": NEW_YORK, "session": "09:30-16:00", "origin": "09:30"},
    {"span": "1d", "tz": NEW_YORK},
    {"ticks": 3},
    {"volume": 20.0},
    {"value": 1234.5},
]


def rule_id(options):
    return "-".join(f"{key}={value}" for key, value in options.items() if key != "tz")


def images(bars):
    return [bytes(memoryview(bar)) for bar in bars]


# ---- live against batch -------------------------------------------------------------------------

# Any floats: live and batch run one state machine, so the bars agree to the bit whatever the rounding.
sizes = st.one_of(st.floats(0, 50), st.sampled_from([1e-9, 277.231, 4096.0]))
gaps = st.sampled_from([0.0, 0.0, 0.25, 7.0, 59.5, 600.0, 4 * 3600.0 + 0.5])


@st.composite
def trades(draw):
    time = draw(st.sampled_from([SPRING_FORWARD, FALL_BACK])) - draw(st.integers(0, 4)) * 3600
    rows = draw(st.lists(st.tuples(st.sampled_from(["AA", "BB", ""]), gaps, st.floats(0.01, 500), sizes),
                         min_size=1, max_size=80))
    out = []
    for ticker, gap, price, size in rows:
        time += gap
        out.append(Trade(ticker, time, price, size))
    return out


# How a live feed is cut: pieces of the trades, each fed one way (the plan is cycled).
plans = st.lists(st.tuples(st.sampled_from(["update", "columns", "records"]), st.integers(1, 12)), min_size=1,
                 max_size=20)


def feed(aggregator, trades, plan):
    """Every bar the aggregator returns while it is fed by the plan, then flushed."""
    bars, at = [], 0
    for how, length in itertools.cycle(plan):
        if at == len(trades):
            break
        piece = trades[at:at + length]
        if how == "columns":  # arrays are one ticker's trades
            piece = list(itertools.takewhile(lambda trade: trade.ticker == piece[0].ticker, piece))
            times, prices, sizes = (numpy.array(column) for column in zip(*[(t.time, t.price, t.size) for t in piece]))
            bars += aggregator.update_columns(times, prices, sizes, ticker=piece[0].ticker)
        elif how == "records":
            bars += aggregator.update_records(records_of(piece))
        else:
            for trade in piece:
                bars += aggregator.update(trade.time, trade.price, trade.size, ticker=trade.ticker)
        at += len(piece)
    return bars + list(aggregator.flush())


def in_batch_order(bars, trades):
    """Live bars come as they complete; a batch gives each ticker's bars in
    turn, tickers in the order of their first trade."""
    by_ticker = {trade.ticker: [] for trade in trades}
    for bar in bars:
        by_ticker[bar.ticker].append(bytes(memoryview(bar)))
    return b"".join(itertools.chain.from_iterable(by_ticker.values()))


@pytest.mark.parametrize("options", RULES, ids=rule_id)
@settings(max_examples=40, deadline=None)
@given(source=trades(), plan=plans)
def test_live_bars_equal_one_batch_wherever_the_feed_is_cut(options, source, plan):
    live = feed(Aggregator(**options), source, plan)
    assert in_batch_order(live, source) == bytes(aggregate(records_of(source), **options))
    assert {type(bar) for bar in live} <= {DailyBar if options.get("span") == "1d" else BarData}


@pytest.mark.parametrize("options", [RULES[0], RULES[5]], ids=rule_id)
def test_one_large_array_equals_the_batch(options):
    """Arrays this long are fed without the interpreter lock."""
    rng = numpy.random.default_rng(5)
    count = 50_000
    times = SPRING_FORWARD - 3600 + numpy.cumsum(rng.exponential(0.2, count))
    prices = 100 * numpy.exp(numpy.cumsum(rng.normal(0, 1e-4, count)))
    sizes = rng.exponential(3.0, count)
    live = Aggregator(**options, ticker="XYZ")
    bars = live.update_columns(times, prices, sizes, prices * sizes) + live.flush()
    assert b"".join(images(bars)) == bytes(aggregate((times, prices, sizes), **options, ticker="XYZ"))


@pytest.mark.parametrize("full", [False, True], ids=["tick summaries", "full ticks"])
def test_ticks_fed_one_at_a_time_equal_the_batch(full):
    # Running totals: growth, a quote without volume, a reset to a new session, growth again.
    totals = [(5.0, 50.0, 2), (12.0, 121.0, 5), (12.0, 121.0, 5), (30.0, 300.0, 9), (4.0, 40.0, 1), (25.0, 251.0, 6)]
    ticks = [tick_record("TK", T0 + 20 * i, 10.0 + i, *total, full=full) for i, total in enumerate(totals)]
    for options in ({"span": "1min", "tz": "UTC"}, {"volume": 10.0}):
        live = Aggregator(**options)
        bars = [bar for tick in ticks for bar in live.update_records(tick)] + list(live.flush())
        assert b"".join(images(bars)) == bytes(aggregate(b"".join(ticks), **options))
        assert sum(bar.volume for bar in bars) == 5 + 7 + 18 + 4 + 21


@pytest.mark.parametrize("time", [T0 + 0.5, datetime.datetime.fromtimestamp(T0 + 0.5, NEW_YORK),
                                  numpy.datetime64(int((T0 + 0.5) * 1e9), "ns"), int(T0) + 1, numpy.int64(T0)],
                         ids=["float", "aware datetime", "datetime64", "int", "numpy int"])
def test_times_of_every_kind_make_the_same_bar(time):
    live = Aggregator(span="1min", tz="UTC")
    live.update(time, 10.0, 2.0)
    assert live.partial.timestamp == T0 + 60
    assert live.partial.notional == 20.0


# ---- advance, partial, flush ----------------------------------------------------------------------


@pytest.mark.parametrize("fill, expected", [(False, [(60, 3.0)]), (True, [(60, 3.0), (120, 0.0), (180, 0.0)])],
                         ids=["plain", "fill"])
def test_advance_closes_a_quiet_bucket_as_the_next_trade_would(fill, expected):
    live = Aggregator(span=60, tz="UTC", ticker="X", fill=fill)
    assert live.update(T0 + 5, 10.0, 1.0) + live.update(T0 + 6, 11.0, 2.0) == ()
    assert live.advance(T0 + 59.9) == live.advance(T0 - 10) == ()  # a clock behind the trades closes nothing
    closed = live.advance(T0 + 200)
    assert [(bar.timestamp - T0, bar.volume) for bar in closed] == expected
    with pytest.raises(AggregateError, match="to which the bars were advanced"):
        live.update(T0 + 199, 12.0, 1.0)
    rest = live.update(T0 + 300, 12.0, 1.0) + live.flush()
    trades = [Trade("X", T0 + 5, 10.0, 1.0), Trade("X", T0 + 6, 11.0, 2.0), Trade("X", T0 + 300, 12.0, 1.0)]
    assert b"".join(images(closed + rest)) == bytes(aggregate(records_of(trades), span=60, tz="UTC", fill=fill))
    assert Aggregator(volume=5.0).advance(T0) == ()


def test_ticker_none_is_the_aggregators_own():
    live = Aggregator(ticks=1, ticker="X")
    assert [bar.ticker for bar in live.update(T0, 1.0, 1.0, ticker=None) + live.update(T0 + 1, 1.0, 1.0)] == ["X", "X"]
    assert [bar.ticker for bar in live.update_columns([T0 + 2], [1.0], [1.0], ticker=None)] == ["X"]


def test_partial_is_a_copy_of_the_bar_flush_will_end():
    live = Aggregator(volume=10.0, ticker="X")
    assert (live.partial, live.partials, live.flush()) == (None, (), ())
    live.update(T0, 2.0, 4.0)
    live.update(T0 + 1, 3.0, 3.0, notional=9.5, ticker="Y")
    assert live.partial.ticker == "Y"  # the latest trade's
    live.partials[0]["volume"] = 99.0  # a copy: the bar being formed is untouched
    forming = images(live.partials)
    assert [bar.ticker for bar in live.partials] == ["X", "Y"]
    assert images(live.flush()) == forming
    assert (live.partial, live.partials) == (None, ())
    assert live.update(T0 + 2, 2.0, 10.0)[0].start_timestamp == T0  # the next bar starts where the flushed one ended


# ---- refusals --------------------------------------------------------------------------------------

REFUSED_CALLS = {
    "time as text": (lambda a: a.update("10:00", 1.0, 1.0), TypeError, "a time is epoch seconds"),
    "naive datetime": (lambda a: a.update(datetime.datetime(2024, 6, 3), 1.0, 1.0), ValueError, "no time zone"),
    "price as text": (lambda a: a.update(T0, "1", 1.0), TypeError, "price is a number, not str"),
    "NaN price": (lambda a: a.update(T0 + 1, math.nan, 1.0), AggregateError, r"the trade \(X\) has a price of nan"),
    "negative size": (lambda a: a.update(T0 + 1, 1.0, -1.0), AggregateError, "a size of -1"),
    "time backwards": (lambda a: a.update(T0 - 1, 1.0, 1.0), AggregateError, "before its ticker's previous trade"),
    "long ticker": (lambda a: a.update(T0, 1.0, 1.0, ticker="X" * 33), ValueError, "at most 32 fit"),
    "missing size": (lambda a: a.update(T0, 1.0), TypeError, "missing required argument 'size'"),
    "unknown keyword": (lambda a: a.update(T0, 1.0, 1.0, venue="x"), TypeError, "unexpected keyword argument 'venue'"),
    "columns of unequal length": (lambda a: a.update_columns([T0, T0 + 1], [1.0], [1.0, 1.0]), ValueError,
                                  "prices has 1 rows, times 2"),
    "a column of two dimensions": (lambda a: a.update_columns([[T0]], [1.0], [1.0]), ValueError, "one-dimensional"),
    "a bad row after good ones": (lambda a: a.update_columns([T0 + 60, T0 + 61, T0 - 5], [1.0] * 3, [1.0] * 3),
                                  AggregateError, r"row 2 \(X\) has time"),
    "a bar record": (lambda a: a.update_records(b"\x28" + bytes(100)), AggregateError, "kind code 40"),
    "a cut record": (lambda a: a.update_records(trade_record("X", T0 + 1, 1.0, 1.0) + b"\x14"), AggregateError,
                     "the last 1 bytes are not a whole record"),
    "a bad record after good ones": (lambda a: a.update_records(records_of(
        [Trade("Y", T0 + 1, 1.0, 1.0), Trade("X", T0 + 90, 1.0, 1.0), Trade("X", T0 + 89, 1.0, 1.0)])), AggregateError,
        r"record 2 \(X\) has time"),
}


@pytest.mark.parametrize("call, error, message", REFUSED_CALLS.values(), ids=REFUSED_CALLS)
def test_refused_input_raises_and_changes_nothing(call, error, message):
    live = Aggregator(span=60, tz="UTC", ticker="X")
    live.update(T0, 5.0, 1.0)
    forming = images(live.partials)
    with pytest.raises(error, match=message):
        call(live)
    assert images(live.partials) == forming
    bars = live.update(T0 + 120, 6.0, 2.0) + live.flush()
    expected = aggregate(records_of([Trade("X", T0, 5.0, 1.0), Trade("X", T0 + 120, 6.0, 2.0)]), span=60, tz="UTC")
    assert images(bars) == images(expected)


@pytest.mark.parametrize("options, error, message", [
    ({}, ValueError, "exactly one of"),
    ({"span": 60, "ticks": 3}, ValueError, "exactly one of"),
    ({"ticks": 3, "fill": True}, ValueError, "fill= applies to time bars"),
    ({"span": 60, "fill": 1}, TypeError, "fill= is True or False"),
    ({"volume": -1.0}, ValueError, "finite positive"),
    ({"span": "7min"}, ValueError, "divide 24 hours"),
    ({"span": 60, "tz": "Nowhere/Atlantis"}, ValueError, "unknown time zone"),
    ({"ticks": 3, "ticker": 5}, TypeError, "ticker must be str"),
    ({"ticks": 3, "venue": "x"}, TypeError, "unexpected keyword argument 'venue'"),
])
def test_bad_options_are_refused(options, error, message):
    with pytest.raises(error, match=message):
        Aggregator(**options)
    with pytest.raises(TypeError, match="keyword arguments only"):
        Aggregator(60)


def test_a_call_from_inside_a_call_is_refused():
    """A time zone's own code, which a call may run, cannot feed the aggregator it serves."""
    inner = []

    class Meddling(datetime.tzinfo):
        def utcoffset(self, moment):
            try:
                live.update(T0, 1.0, 1.0)
            except RuntimeError as error:
                inner.append(str(error))
            return datetime.timedelta(0)

        def dst(self, moment):
            return datetime.timedelta(0)

    live = Aggregator(span=60, tz=Meddling())
    live.update(T0, 1.0, 1.0)
    assert inner and "in the middle of another call" in inner[0]


# ---- references and memory --------------------------------------------------------------------------


def handed_objects():
    """Fresh arguments, referenced from nowhere else, and an aggregator fed in step with a clock."""
    ns = types.SimpleNamespace(price=float("10.5"), size=float("2.25"), notional=float("30.5"), ticker="".join("AB"),
                               times=numpy.arange(4.0) + T0, prices=numpy.full(4, 10.5), sizes=numpy.full(4, 2.0),
                               bad=float("nan"), aware=datetime.datetime.fromtimestamp(T0, datetime.UTC))
    ns.clock = itertools.count(T0 + 30, 30.0)  # every other update completes a one-minute bar
    ns.live = Aggregator(span=60, tz="UTC", ticker=ns.ticker)
    ns.live.update(T0, 10.0, 1.0)
    ns.volume = Aggregator(volume=3.0)
    ns.record = trade_record("AB", T0, 10.5, 7.0)
    return ns


def refused(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError):
        return
    raise AssertionError(f"{call!r} did not raise")


OPERATIONS = {
    "update": lambda o: o.live.update(next(o.clock), o.price, o.size, o.notional, ticker=o.ticker),
    "update-datetime": lambda o: o.live.update(o.aware + datetime.timedelta(seconds=next(o.clock) - T0), o.price, o.size),
    "update-columns": lambda o: o.live.update_columns(o.times + (next(o.clock) - T0) * 4, o.prices, o.sizes),
    "update-records-splitting": lambda o: o.volume.update_records(o.record),
    "advance-partial-flush": lambda o: (o.live.advance(next(o.clock)), o.live.partial, o.live.partials,
                                        o.volume.flush()),
    "refused": lambda o: (refused(o.live.update, T0 - 1, o.price, o.size), refused(o.live.update, o.ticker, o.price,
                          o.size), refused(o.live.update_columns, o.times, o.prices, o.sizes[:2]),
                          refused(o.live.update, next(o.clock), o.bad, o.size)),
    "construct": lambda o: Aggregator(span="5min", tz=NEW_YORK, ticker=o.ticker),
}


@pytest.mark.parametrize("name", OPERATIONS)
def test_repeated_calls_leave_memory_and_references_as_they_were(name):
    operation, handed = OPERATIONS[name], handed_objects()
    started = not tracemalloc.is_tracing()
    tracemalloc.start()
    try:
        for _ in range(1000):  # the warm-up fills caches and free lists, traced
            operation(handed)
        gc.collect()
        counts = {key: sys.getrefcount(value) for key, value in vars(handed).items() if key != "clock"}
        traced, blocks = tracemalloc.get_traced_memory()[0], sys.getallocatedblocks()
        for _ in range(2000):
            operation(handed)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced, sys.getallocatedblocks() - blocks
    finally:
        if started:
            tracemalloc.stop()
    assert {key: sys.getrefcount(value) for key, value in vars(handed).items() if key != "clock"} == counts
    if os.environ.get("PYTHONMALLOC") != "malloc":  # (valgrind's run: it finds leaks itself, and sizes differ)
        assert grown[0] < 2000 * 16 and grown[1] < 200, grown
