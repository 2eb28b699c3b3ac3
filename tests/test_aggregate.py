"""aggregate(): time, tick, volume and value bars from trades and ticks,
against a plain-Python model of the rules (aggregate_kit) and pandas."""

import array
import math
import sys
import types
from dataclasses import dataclass

import numpy
import pytest
from aggregate_kit import (Trade, activity_bars, fields, model_fields, records_of, tick_record, time_bars,
                           trade_record)
from hypothesis import given, settings
from hypothesis import strategies as st
from resample_kit import FALL_BACK, NEW_YORK, SPRING_FORWARD

from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.bars import AggregatedBars, AggregateError, aggregate, resample

# ---- random trades ------------------------------------------------------------------------------

# Dyadic prices and sizes: every sum and product the rules take is exact in
# floating point, so the native bars must equal the model's exactly.
prices = st.integers(1, 4000).map(lambda k: k / 4)
sizes = st.integers(0, 999).map(lambda k: k / 8 if k < 960 else 1 / 1024 if k < 980 else 4096.0 * (k % 3 + 1))
gaps = st.one_of(st.just(0.0), st.integers(1, 90).map(float), st.integers(1, 48).map(lambda h: h * 3600.0 + 0.5))


@st.composite
def trades(draw, tickers=3):
    start = draw(st.sampled_from([SPRING_FORWARD, FALL_BACK])) - draw(st.integers(0, 6)) * 3600
    rows = draw(st.lists(st.tuples(st.integers(0, tickers - 1), gaps, prices, sizes), min_size=1, max_size=120))
    out, time = [], start
    for ticker, gap, price, size in rows:
        time += gap
        out.append(Trade("ABC"[ticker] * 2, time, price, size))
    return out


def expect_bars(bars, expected, exact=True):
    assert len(bars) == len(expected)
    for bar, want in zip(bars, expected):
        got, want = fields(bar), model_fields(want)
        if exact:
            assert got == want
        else:
            assert got[:7] + got[9:] == want[:7] + want[9:]
            assert got[7:9] == pytest.approx(want[7:9], rel=1e-12, abs=1e-12)


# ---- against the model --------------------------------------------------------------------------


@pytest.mark.parametrize("rule, threshold", [("ticks", 3), ("volume", 20.0), ("volume", 2.5), ("value", 1000.0)])
@settings(max_examples=60, deadline=None)
@given(source=trades())
def test_activity_bars_equal_the_model(rule, threshold, source):
    bars = aggregate(records_of(source), **{rule: threshold})
    expect_bars(bars, activity_bars(source, rule, threshold), exact=rule == "ticks")
    measure = {"ticks": "trade_count", "volume": "volume", "value": "notional"}[rule]
    assert rule == "ticks" or all(bar.volume > 0 for bar in bars)
    for ticker in {t.ticker for t in source}:
        own = [bar for bar in bars if bar.ticker == ticker]
        assert all(getattr(bar, measure) == threshold for bar in own[:-1])
        assert [b.timestamp - b.bar_span_seconds for b in own[1:]] == [b.timestamp for b in own[:-1]]  # tiling
        trades_of = [t for t in source if t.ticker == ticker]
        assert math.fsum(b.volume for b in own) == pytest.approx(math.fsum(t.size for t in trades_of))
        assert math.fsum(b.notional for b in own) == pytest.approx(math.fsum(t.value for t in trades_of))


@pytest.mark.parametrize("minutes", [1, 5, 60])
@pytest.mark.parametrize("fill", [False, True])
@settings(max_examples=40, deadline=None)
@given(source=trades())
def test_time_bars_equal_the_model_across_daylight_saving(minutes, fill, source):
    bars = aggregate(records_of(source), span=f"{minutes}min", tz=NEW_YORK, fill=fill)
    expect_bars(bars, time_bars(source, NEW_YORK, minutes, fill))


@settings(max_examples=40, deadline=None)
@given(source=trades(tickers=1))
def test_minute_bars_resampled_equal_five_minute_bars_byte_for_byte(source):
    minutes = aggregate(records_of(source), span="1min", tz=NEW_YORK)
    direct = aggregate(records_of(source), span="5min", tz=NEW_YORK)
    assert bytes(resample(minutes, "5min", tz=NEW_YORK)) == bytes(direct)


def test_time_bars_equal_pandas_where_the_rules_agree():
    pandas = pytest.importorskip("pandas")
    rng = numpy.random.default_rng(7)
    times = SPRING_FORWARD - 7200 + numpy.cumsum(rng.exponential(7.0, 5000))
    price = 100 + numpy.cumsum(rng.normal(0, 0.05, len(times)))
    size = rng.integers(1, 500, len(times)).astype(float)
    bars = aggregate((times, price, size), span="1min", tz=NEW_YORK).columns()
    frame = pandas.DataFrame({"price": price, "size": size},
                             index=pandas.to_datetime(times, unit="s", utc=True).tz_convert(NEW_YORK))
    grouped = frame.resample("1min", closed="left", label="right")
    want = pandas.DataFrame({"open_price": grouped["price"].first(), "high_price": grouped["price"].max(),
                             "low_price": grouped["price"].min(), "close_price": grouped["price"].last(),
                             "volume": grouped["size"].sum(), "trade_count": grouped["size"].count()})
    want = want[want["trade_count"] > 0]
    assert list(bars["timestamp"]) == [stamp.timestamp() for stamp in want.index]
    for name in want.columns:
        assert bars[name] == pytest.approx(want[name].to_numpy(), rel=1e-12)


@pytest.mark.parametrize("rule", [{"ticks": 3}, {"volume": 2.5}, {"value": 300.0}, {"span": "5min", "fill": True},
                                  {"span": "1min", "session": "00:00-06:30", "fill": True}, {"span": "1d", "session": "01:00-05:00"}])
@settings(max_examples=40, deadline=None)
@given(source=trades(tickers=1))
def test_columns_trade_by_trade_and_records_one_at_a_time_give_the_same_bytes(rule, source):
    # Columns take the batch's fast path for trades that close nothing; records go one by one.
    columns = tuple(numpy.array([getattr(t, name) for t in source]) for name in ("time", "price", "size"))
    one_by_one = aggregate(records_of(source), tz=NEW_YORK, **rule)
    assert bytes(aggregate(columns, ticker=source[0].ticker, tz=NEW_YORK, **rule)) == bytes(one_by_one)


# ---- the splitting, exactly ---------------------------------------------------------------------


def test_a_trade_across_a_threshold_fills_whole_bars_and_leaves_the_rest():
    bars = aggregate((numpy.array([5.0]), numpy.array([2.0]), numpy.array([277.231])), volume=20, ticker="X")
    assert [bar.volume for bar in bars[:-1]] == [20.0] * 13
    assert bars[-1].volume == pytest.approx(17.231)
    assert [bar.trade_count for bar in bars] == [1] * 14
    assert {(bar.timestamp, bar.bar_span_seconds) for bar in bars} == {(5.0, 0.0)}


@pytest.mark.parametrize("rule, sizes, threshold", [
    ("volume", [0.1, 0.2], 0.3),                # 0.1 + 0.2 passes 0.3 by an ulp: no bar of the remainder
    ("volume", [0.1] * 30, 1.0),                 # sums that miss 1.0 by ulps close bars of exactly 1.0
    ("value", [1 / 3] * 9, 1.0),                 # notional at price 1
])
def test_rounding_remainders_make_no_bars(rule, sizes, threshold):
    n = len(sizes)
    bars = aggregate((numpy.arange(n, dtype=float), numpy.ones(n), numpy.array(sizes)), **{rule: threshold})
    amount = [bar.volume if rule == "volume" else bar.notional for bar in bars]
    assert amount == [threshold] * round(math.fsum(sizes) / threshold)


@pytest.mark.parametrize("rule", ["volume", "value"])
def test_no_drift_over_many_bars(rule, bars_wanted=200_000):
    rng = numpy.random.default_rng(3)
    n = bars_wanted // 4
    sizes = rng.uniform(0.001, 7.9, n)
    prices = rng.uniform(10, 20, n)
    threshold = float(numpy.mean(sizes if rule == "volume" else sizes * prices) / 4)
    bars = aggregate((numpy.arange(n, dtype=float), prices, sizes), **{rule: threshold}).columns()
    key = "volume" if rule == "volume" else "notional"
    assert (bars[key][:-1] == threshold).all() and (bars["volume"] > 0).all()
    assert math.fsum(bars["volume"]) == pytest.approx(math.fsum(sizes), rel=1e-12)
    assert math.fsum(bars["notional"]) == pytest.approx(math.fsum(sizes * prices), rel=1e-12)


@pytest.mark.large
@pytest.mark.parametrize("rule", ["volume", "value"])
def test_no_drift_over_millions_of_bars(rule):
    test_no_drift_over_many_bars(rule, bars_wanted=4_000_000)


# ---- time bars: fill, session, days -------------------------------------------------------------


def test_fill_gives_empty_buckets_in_the_session_a_flat_bar():
    day = 1717421400.0  # 2024-06-03 09:30 New York
    trades = (numpy.array([day, day + 59, day + 300, day + 86400]), numpy.array([10.0, 11.0, 12.0, 13.0]),
              numpy.array([1.0, 2.0, 3.0, 4.0]))
    bars = aggregate(trades, span="1min", tz=NEW_YORK, session="09:30-09:36", fill=True).columns()
    assert list(bars["timestamp"] - day) == [60, 120, 180, 240, 300, 360, 86460]
    assert list(bars["close_price"]) == [11, 11, 11, 11, 11, 12, 13]
    assert list(bars["volume"]) == [3, 0, 0, 0, 0, 3, 4] and list(bars["trade_count"]) == [2, 0, 0, 0, 0, 1, 1]


def test_a_trade_on_a_boundary_opens_the_next_bucket_and_the_session_keeps_its_hours():
    day = 1717421400.0
    trades = (numpy.array([day - 1, day, day + 60, day + 6.5 * 3600]), numpy.ones(4), numpy.ones(4))
    bars = aggregate(trades, span="1min", tz=NEW_YORK, session="09:30-16:00").columns()
    assert list(bars["timestamp"] - day) == [60, 120]


@pytest.mark.parametrize("span, origin, ends", [
    ("1h", "09:30", [1800, 5400]),        # 09:00 and 10:10 New York: buckets from 08:30 and 09:30
    ("1h", None, [3600, 7200]),
    ("4h", None, [3600 * 3, 3600 * 3]),   # from midnight: 08:00-12:00
])
def test_origin_moves_the_boundaries(span, origin, ends):
    nine = 1717419600.0  # 2024-06-03 09:00 New York
    trades = (numpy.array([nine, nine + 4200]), numpy.ones(2), numpy.ones(2))
    bars = aggregate(trades, span=span, tz=NEW_YORK, origin=origin).columns()
    assert list(bars["timestamp"] - nine) == sorted(set(ends))


@pytest.mark.parametrize("span, stamps, spans", [
    ("1d", [20240308, 20240311], [1, 1]),
    ("1w", [20240310, 20240317], [7, 7]),
    ("1mo", [20240331], [31]),
])
def test_daily_spans_make_daily_bars(span, stamps, spans):
    times = numpy.array([SPRING_FORWARD - 86400 * 2, SPRING_FORWARD + 86400])
    bars = aggregate((times, numpy.ones(2), numpy.ones(2)), span=span, tz=NEW_YORK)
    assert all(type(bar) is DailyBar for bar in bars)
    assert [bar.timestamp for bar in bars] == stamps and [bar.bar_span_seconds for bar in bars] == spans


# ---- sources ------------------------------------------------------------------------------------


TICKS = [  # time, last, total volume, total notional, total count; what each adds
    (1.0, 10.0, 5.0, 50.0, 2),      # the first tick counts from zero
    (2.0, 99.0, 5.0, 50.0, 2),      # no growth: a quote, its price is not a trade's
    (3.0, 11.0, 8.0, 83.0, 3),
    (4.0, 12.0, 1.0, 12.0, 1),      # totals fall: a new session counted from zero
    (5.0, 13.0, 3.0, 38.0, 4),
]


@pytest.mark.parametrize("full", [False, True])
def test_ticks_make_trades_of_their_running_totals_growth(full):
    records = b"".join(tick_record("T", *row, full=full) for row in TICKS)
    (bar,) = aggregate(records, ticks=100)
    assert fields(bar) == ("T", 5.0, 4.0, 10.0, 13.0, 10.0, 13.0, 5 + 3 + 1 + 2, 50 + 33 + 12 + 26, 2 + 1 + 1 + 3)


def test_trade_records_keep_their_notional_and_columns_equal_records():
    trades = [Trade("Q", 1.0, 10.0, 2.0, 25.0), Trade("Q", 2.0, 11.0, 3.0)]
    bars = aggregate(records_of(trades), span=60, tz="UTC")
    assert bars[0].notional == 25.0 + 33.0
    columns = aggregate({"time": numpy.array([1.0, 2.0]), "price": [10.0, 11.0], "size": [2.0, 3.0],
                         "notional": [25.0, 33.0]}, span=60, tz="UTC", ticker="Q")
    assert bytes(columns) == bytes(bars)
    assert isinstance(bars, AggregatedBars) and type(bars[0]) is BarData and bars.rule == "span 1min"


def test_datetime64_times_equal_float_seconds():
    seconds = numpy.array([1.5, 61.25, 3600.0])
    stamps = (seconds * 1e9).astype("datetime64[ns]")
    one = aggregate((seconds, numpy.ones(3), numpy.ones(3)), span="1min", tz="UTC")
    assert bytes(aggregate((stamps, numpy.ones(3), numpy.ones(3)), span="1min", tz="UTC")) == bytes(one)


@dataclass(frozen=True)
class Piece:  # what _trade_tables.trade_pieces yields
    times: object
    prices: object
    sizes: object
    notionals: object
    tickers: object
    names: tuple
    first_row: int
    source_name: str


def test_table_pieces_carry_each_tickers_bar_across(monkeypatch):
    source = [Trade("AB"[i % 2], float(i * 7), 10.0 + i, 1.0 + i % 5) for i in range(60)]

    def trade_pieces(table, *, ticker=None, tz=None):
        assert table == "trades.csv"
        for first in range(0, 60, 13):
            rows = source[first:first + 13]
            column = lambda name: numpy.array([getattr(t, name) for t in rows])  # noqa: E731
            yield Piece(column("time"), column("price"), column("size"), None,
                        numpy.array([ord(t.ticker) - ord("A") for t in rows], numpy.int32), ("A", "B"), first + 1,
                        "trades.csv")

    monkeypatch.setitem(sys.modules, "tarnwick.bars._trade_tables", types.SimpleNamespace(trade_pieces=trade_pieces))
    for options in ({"volume": 7.5}, {"span": "1min", "tz": NEW_YORK, "fill": True}):
        assert bytes(aggregate("trades.csv", **options)) == bytes(aggregate(records_of(source), **options))


# ---- refusals -----------------------------------------------------------------------------------


@pytest.mark.parametrize("rows, message", [
    ([(2.0, 1.0, 1.0), (1.0, 1.0, 1.0)], r"row 1 \(X\) has time 1970-01-01 00:00:01.000000 UTC, before"),
    ([(1.0, math.nan, 1.0)], r"row 0 \(X\) has a price of nan: prices are finite and positive"),
    ([(1.0, 0.0, 1.0)], r"row 0 \(X\) has a price of 0:"),
    ([(1.0, 1.0, -1.0)], r"row 0 \(X\) has a size of -1: sizes are finite and not negative"),
    ([(1.0, 1.0, math.inf)], r"row 0 \(X\) has a size of inf:"),
    ([(math.nan, 1.0, 1.0)], r"row 0 \(X\) has time nan, not an instant from 0001-01-03 to 9999-12-29 \(UTC\)"),
    ([(-62135596700.0, 1.0, 1.0)], r"row 0 \(X\) has time -6.21356e\+10, not an instant from 0001-01-03"),  # 0001-01-01
])
@pytest.mark.parametrize("rule", [{"span": 60}, {"volume": 5}])
def test_bad_trades_are_refused_by_row(rows, message, rule):
    columns = tuple(numpy.array(column, dtype=float) for column in zip(*rows))
    with pytest.raises(AggregateError, match="trades: " + message):
        aggregate(columns, ticker="X", tz="UTC", **rule)


def test_bad_records_are_refused_by_record():
    good = trade_record("A", 1.0, 1.0, 1.0)
    for records, message in [(good + trade_record("A", 0.5, 1.0, 1.0), r"record 1 \(A\) has time"),
                             (good + good[:50], "record 1 is cut short: 50 bytes left of the 125"),
                             (good + bytes([40]) + good[1:101], "record 1 is neither a trade nor a tick")]:
        with pytest.raises(AggregateError, match="records: " + message):
            aggregate(records, ticks=2)


@pytest.mark.parametrize("options, message", [
    ({}, "exactly one of span=, ticks=, volume= and value=, not none"),
    ({"span": 60, "ticks": 5}, "not span= and ticks="),
    ({"ticks": 0}, "ticks= is a whole number"),
    ({"ticks": 2.5}, "ticks= is a whole number"),
    ({"volume": -1.0}, "volume= is a finite positive number"),
    ({"value": math.inf}, "value= is a finite positive number"),
    ({"volume": 5, "fill": True}, "fill= applies to time bars"),
    ({"ticks": 5, "session": "09:30-16:00"}, "session= applies to time bars"),
    ({"span": "1d", "origin": "09:30"}, "an origin applies to intraday spans only"),
    ({"volume": 5, "ticker": "A" * 33}, "not one that a record can hold"),
])
def test_bad_options_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        aggregate((numpy.ones(1), numpy.ones(1), numpy.ones(1)), **options)


def test_a_trade_that_would_fill_too_many_bars_is_refused():
    with pytest.raises(AggregateError, match="to split, more than 16777216 bars of 1e-06"):
        aggregate((numpy.ones(1), numpy.ones(1), numpy.array([1e9])), volume=1e-6)


def test_a_batch_that_refused_a_trade_refuses_to_go_on():
    # A refused piece leaves the pass part way through it: carrying on would skip or misread trades.
    from tarnwick.bars import _aggregating

    batch = _aggregating.Batch("ticks", 1.0, False, "s", 1, 0.0, 0.0, 86400.0)
    zone = (array.array("d"), array.array("d", [0.0]), -1e10, 1e10)
    with pytest.raises(ValueError, match="has a price of -1"):
        batch.add_records(trade_record("A", 1.0, 1.0, 1.0) + trade_record("A", 2.0, -1.0, 1.0), *zone)
    for call in (lambda: batch.add_records(trade_record("G", 3.0, 1.0, 1.0), *zone), batch.finish):
        with pytest.raises(ValueError, match="a trade was refused earlier"):
            call()
