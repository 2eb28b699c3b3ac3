"""resample(): against pandas on random minute bars, wall-clock buckets across
daylight-saving changes, sessions and origins, sources, and bad input."""

import array
import datetime

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from resample_kit import (FALL_BACK, NEW_YORK, SPRING_FORWARD, VALUES, as_array, assert_same, local, oracle,
                          records)

from tarnwick.bars import BarFileError, _bucketing, read, write
from tarnwick.bars._records import header_record
from tarnwick.bars._resample import ResampleError, ResampledBars, Span, resample
from tarnwick.bars._synthetic import minute_bars as realistic_minute_bars
from tarnwick.base.candlestick import BarData, DailyBar

pandas = pytest.importorskip("pandas")


# ---- against pandas ---------------------------------------------------------------------


@st.composite
def minute_bars(draw):
    """One-minute bars of one or two tickers, with gaps of minutes to days,
    around a daylight-saving change in New York; values exact in binary (so
    sums do not depend on their order), with some NaN."""
    change = draw(st.sampled_from([SPRING_FORWARD, FALL_BACK]))
    rng = numpy.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    parts = []
    for ticker in ("ABC", "XY")[: draw(st.integers(1, 2))]:
        first = change - 60 * draw(st.integers(1, 40 * 1440))
        gaps = draw(st.lists(st.one_of(st.just(1), st.integers(1, 90), st.integers(1, 4 * 1440)),
                             min_size=1, max_size=300))
        ends = first + 60.0 * numpy.cumsum(gaps)
        values = {name: rng.integers(0, 400, len(ends)) / 4 for name in VALUES}
        for name in VALUES:
            values[name][rng.random(len(ends)) < 0.02] = numpy.nan
        parts.append(records(ends, ticker=ticker, values=values, trade_count=rng.integers(0, 1000, len(ends))))
    source = numpy.concatenate(parts)
    return source[numpy.argsort(source["timestamp"], kind="stable")]


@pytest.mark.parametrize("span, rule", [("1min", "1min"), ("5min", "5min"), ("15min", "15min"), ("1h", "1h"),
                                        ("1d", "D"), ("1w", "W-SUN"), ("1mo", "M")])
@settings(max_examples=30, deadline=None)
@given(source=minute_bars())
def test_equals_pandas_on_minute_bars_across_daylight_saving(span, rule, source):
    got = as_array(resample(source, span, tz=NEW_YORK))
    assert_same(got, oracle(source, rule))


@pytest.mark.parametrize("span, rule", [("5min", "5min"), ("1h", "1h"), ("1d", "D")])
def test_equals_pandas_on_realistic_interleaved_tickers(span, rule):
    source = realistic_minute_bars(60_000, tickers=3)  # both clock changes, outages, tickers minute by minute
    assert_same(as_array(resample(source, span, tz=NEW_YORK)), oracle(source, rule))


# ---- wall-clock buckets --------------------------------------------------------------------


def day_of_minutes(year, month, day):
    """Every minute bar of one New York day."""
    first, last = local(year, month, day), local(year, month, day + 1)
    return records(numpy.arange(first + 60, last + 1, 60.0))


def hours(span, count):
    return [span * 3600.0] * count


@pytest.mark.parametrize("day, span, spans", [
    ((2024, 3, 10), "1h", hours(1, 23)),
    ((2024, 3, 10), "2h", [7200.0, 3600.0] + hours(2, 10)),  # the clock passes 02:00 at the jump to 03:00
    ((2024, 3, 10), "4h", [10800.0] + hours(4, 5)),
    ((2024, 3, 10), "24h", [23 * 3600.0]),
    ((2024, 11, 3), "1h", hours(1, 25)),  # 01:00 comes twice
    ((2024, 11, 3), "4h", [18000.0] + hours(4, 5)),
    ((2024, 11, 3), "24h", [25 * 3600.0]),
])
def test_hour_buckets_follow_the_wall_clock_across_a_change(day, span, spans):
    got = as_array(resample(day_of_minutes(*day), span, tz=NEW_YORK))
    assert got["bar_span"].tolist() == spans
    assert got["timestamp"][-1] == local(day[0], day[1], day[2] + 1)
    numpy.testing.assert_array_equal(got["timestamp"][1:] - got["timestamp"][:-1], got["bar_span"][1:])
    assert got["volume"].sum() == 100.0 * sum(spans) / 60


def test_origin_and_session_choose_boundaries_and_bars():
    source = day_of_minutes(2024, 6, 3)
    got = as_array(resample(source, "1h", tz="America/New_York", origin="09:30", session="09:30-16:00"))
    assert [datetime.datetime.fromtimestamp(t, NEW_YORK).strftime("%H:%M") for t in got["timestamp"]] == [
        "10:30", "11:30", "12:30", "13:30", "14:30", "15:30", "16:30"]
    assert got["volume"].tolist() == [6000.0] * 6 + [3000.0]  # 15:30 to 16:00 only
    daily = as_array(resample(source, "1d", tz=NEW_YORK, session=("09:30", datetime.time(16))))
    assert daily["volume"].tolist() == [390 * 100.0] and daily["timestamp"].tolist() == [20240603.0]


@pytest.mark.parametrize("span, dates, lengths", [
    ("1w", [20240107.0, 20240114.0], [7.0, 7.0]),
    ("1mo", [20240131.0, 20240229.0], [31.0, 29.0]),
    ("1q", [20240331.0], [91.0]),
    ("1y", [20241231.0], [366.0]),
])
def test_daily_bars_into_calendar_buckets(span, dates, lengths):
    days = [datetime.date(2024, 1, 1) + datetime.timedelta(days=i) for i in range(0, 40, 3)]
    got = resample(records([d.year * 10000 + d.month * 100 + d.day for d in days], 1.0, ticker="D"), span,
                   kind="daily")
    assert got.bar_class is DailyBar
    columns = as_array(got)
    assert columns["timestamp"].tolist()[: len(dates)] == dates
    assert columns["bar_span"].tolist()[: len(dates)] == lengths
    last = int(dates[0])
    assert got[0].market_date == datetime.date(last // 10000, last // 100 % 100, last % 100)


# ---- sources and the result -----------------------------------------------------------------------


def test_sources_and_what_the_result_exports(tmp_path):
    source = records(local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, 11))
    headed, plain = tmp_path / "headed.bars", tmp_path / "plain.bars"
    write(headed, source, kind="intraday")
    plain.write_bytes(source.tobytes())
    expected = resample(source, "5min", tz=NEW_YORK)
    with read(headed) as opened:
        for given in (headed, str(plain), opened, source.tobytes(), header_record("intraday") + source.tobytes()):
            assert bytes(resample(given, "5min", tz=NEW_YORK)) == bytes(expected)
    assert isinstance(expected, ResampledBars) and len(expected) == 2 and expected.bar_class is BarData
    assert expected.span == Span("s", 300) and str(expected.span) == "5min"
    assert [bar.volume for bar in expected] == [500.0, 500.0] and expected[-1].close_price == 19.5
    assert memoryview(expected).readonly and memoryview(expected).format == "B"
    with pytest.raises(TypeError, match="read-only"):
        expected[0]["volume"] = 1.0
    out = tmp_path / "out.bars"
    write(out, expected, kind="intraday")
    with read(out) as back:
        assert bytes(back) == bytes(expected)


def test_tickers_are_resampled_apart_in_order_of_first_appearance():
    ends = local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, 7)
    mixed = numpy.concatenate([records(ends, ticker="ZZ"), records(ends, ticker="AA")])
    mixed = mixed[numpy.argsort(mixed["timestamp"], kind="stable")]
    got = as_array(resample(mixed, "5min", tz=NEW_YORK))
    assert got["ticker"].tolist() == [b"ZZ", b"ZZ", b"AA", b"AA"]
    assert got["volume"].tolist() == [500.0, 100.0, 500.0, 100.0]


def test_a_ticker_earlier_than_the_first_and_last_bars_gets_its_own_zone_offsets():
    # The zone table is made for the first and last bar's times, then again for all bars.
    later = records(local(2024, 6, 3, 9, 30) + 60.0 * numpy.arange(1, 61), ticker="LATE")
    early = records(numpy.arange(SPRING_FORWARD - 7200, SPRING_FORWARD + 7200, 60.0) + 60, ticker="EARLY")
    both = numpy.concatenate([later[:30], early, later[30:]])
    got = as_array(resample(both, "2h", tz=NEW_YORK))
    assert_same(got[got["ticker"] == b"EARLY"], as_array(resample(early, "2h", tz=NEW_YORK)))
    assert got["bar_span"][got["ticker"] == b"EARLY"].tolist() == [7200.0, 3600.0, 7200.0]


def test_the_zone_defaults_to_the_profiles(utc_profile):
    source = day_of_minutes(2024, 3, 10)
    utc_profile.time_zone = NEW_YORK
    assert bytes(resample(source, "4h")) == bytes(resample(source, "4h", tz=NEW_YORK))
    utc_profile.time_zone = datetime.UTC
    assert bytes(resample(source, "4h")) == bytes(resample(source, "4h", tz="UTC"))


@pytest.mark.parametrize("span", ["5min", "1h", "1d"])
@pytest.mark.parametrize("zone, when", [
    ("Asia/Tokyo", datetime.datetime(9999, 12, 29, 12)),  # the zone's clock of the last days passes year 9999
    ("Etc/GMT+5", datetime.datetime(1, 1, 3, 12)),  # and of the first days comes before year 1
])
def test_bars_at_the_ends_of_the_calendar_resample_in_any_zone(zone, when, span):
    start = when.replace(tzinfo=datetime.UTC).timestamp()
    source = records(start + 60.0 * numpy.arange(1, 6))
    assert bytes(resample(source, span, tz=zone)) == bytes(resample(source, span, tz="UTC"))


def test_the_zone_is_probed_around_the_bars_not_across_the_years_between(monkeypatch):
    from tarnwick.bars import _zones

    # Days of bars around clock changes centuries apart (the last one past the zone's explicit transitions).
    changes = [local(1950, 4, 30, 3), SPRING_FORWARD, local(2400, 11, 5, 1, fold=1)]
    parts = [records(change + 60.0 * numpy.arange(-1440, 1440), ticker=ticker)
             for change, ticker in zip(changes, ("A", "B", "C"))]
    alone = b"".join(bytes(resample(part, "2h", tz=NEW_YORK)) for part in parts)
    probes = []
    probe = _zones._probe
    monkeypatch.setattr(_zones, "_probe", lambda *arguments: probes.append(arguments) or probe(*arguments))
    assert bytes(resample(numpy.concatenate(parts), "2h", tz=NEW_YORK)) == alone
    assert len(probes) < 200  # a probe a day of 3 times 6 days, and a search to the second per change


def test_empty_source_gives_no_bars():
    assert len(resample(b"", "5min")) == 0 and bytes(resample(b"", "1d")) == b""


# ---- spans ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize("given, unit, count, text", [
    ("5min", "s", 300, "5min"), ("5m", "s", 300, "5min"), ("4h", "s", 14400, "4h"), ("30s", "s", 30, "30s"),
    ("24h", "s", 86400, "24h"), (300, "s", 300, "5min"), ("90", "s", 90, "90s"),
    (datetime.timedelta(minutes=15), "s", 900, "15min"), (datetime.timedelta(days=2), "d", 2, "2d"),
    ("1d", "d", 1, "1d"), ("1w", "w", 1, "1w"), ("1mo", "mo", 1, "1mo"), ("Q", "mo", 3, "1q"), ("2y", "mo", 24, "2y"),
])
def test_span_text(given, unit, count, text):
    span = Span.parse(given)
    assert (span.unit, span.count, str(span)) == (unit, count, text)


@pytest.mark.parametrize("given", ["7min", "25h", "0min", "5x", "", "min5", 0, -60, 1.5, "5mo",
                                   datetime.timedelta(hours=36)])
def test_spans_refused(given):
    with pytest.raises(ValueError, match="span"):
        Span.parse(given)


# ---- bad input ------------------------------------------------------------------------------------------


def minute(i):
    return local(2024, 6, 3, 10) + 60.0 * i


@pytest.mark.parametrize("source, span, kind, message", [
    (records([minute(2), minute(1)]), "5min", None, r"record 1 \(ABC\) .*time order"),
    (records([minute(1), minute(2)], [60.0, 120.0]), "5min", None, "overlap"),
    (records([minute(1), 20240604.0, minute(3)], [60.0, 1.0, 60.0]), "5min", None, "record 1 .*holds a daily bar"),
    (records([20240603.0, minute(1), 20240605.0], [1.0, 60.0, 1.0]), "1w", None, "record 1 .*cannot be mixed"),
    (records([minute(10)], 600.0), "5min", None, "longer than the new span"),
    (records([20240603.0], 1.0), "5min", "daily", "shorter than the bars'"),
    (records([20240609.0], 7.0), "1d", "daily", "longer than the new span"),
    (records([minute(1)], 120.0), "5min", None, r"across the bucket boundary at 2024-06-03 10:00:00-04:00"),
    (records([20240603.0], 2.0), "1w", "daily", "across the start of the bucket on 2024-06-03"),
    (records([minute(1), minute(2)], trade_count=2**31), "5min", None,
     r"trade count of ABC's new bar ending 2024-06-03 10:05:00-04:00 sums to 4294967296"),
    (records([numpy.nan]), "5min", None, "no valid time"),
    (records([minute(1)], 0.0), "1d", None, "no valid time"),
    (records([253402300799.0 - 3600]), "1h", None, "no valid time"),  # too close to the end of datetime's range
    # Buckets past the calendar: refused, not stamped with a date that wrapped or cannot be read.
    (records([20240603.0], 1.0), "3000000d", "daily", r"record 0 \(ABC\) falls in a bucket .* ends after 9999-12-31"),
    (records([minute(1)]), "500000w", None, "ends after 9999-12-31"),
    (records([20240603.0], 1.0), "70000y", "daily", "bucket of 840000 months is longer than the calendar"),
    (records([minute(1)]), "1000000000000000000w", None, "longer than the calendar"),  # overflowed the day arithmetic
])
def test_bad_bars_are_refused_by_record(source, span, kind, message):
    with pytest.raises(ResampleError, match=message):
        resample(source, span, tz=NEW_YORK, kind=kind)


def test_bad_arguments_are_refused():
    source = records([minute(1)])
    for arguments, message in [({"session": "22:00-02:00"}, "across midnight"), ({"session": "9-16"}, "HH:MM"),
                               ({"origin": "25:00"}, "HH:MM"), ({"span": "1d", "origin": "09:30"}, "intraday"),
                               ({"span": "1d", "kind": "daily", "session": "09:30-16:00"}, "session")]:
        with pytest.raises(ValueError, match=message):
            resample(records([20240603.0], 1.0) if "kind" in arguments else source,
                     **{"span": "5min", **arguments})
    broken = bytearray(source.tobytes())
    broken[0] = 31
    with pytest.raises(ResampleError, match="not a bar record"):
        resample(bytes(broken), "5min", kind="intraday")
    with pytest.raises(BarFileError, match="whole number"):
        resample(bytes(broken)[:-1], "5min")
    with pytest.raises(TypeError, match="buffer of bar records"):
        resample(42, "5min")


def test_zone_table_at_any_address():
    # Its doubles were read in place, which at an odd address is undefined (the sanitizer build stops).
    source = records([SPRING_FORWARD + 60.0 * i for i in range(-2, 3)])
    zone = array.array("d", [SPRING_FORWARD]), array.array("d", [-18000.0, -14400.0])
    arguments = (source, "s", 300, 0.0, -1.0, -1.0, False, False)
    covered = (SPRING_FORWARD - 86400, SPRING_FORWARD + 86400)
    aligned = _bucketing.resample(*arguments, *zone, *covered)
    shifted = _bucketing.resample(*arguments, *(memoryview(b"\0" + table.tobytes())[1:] for table in zone), *covered)
    assert len(aligned) == 2 and bytes(shifted) == bytes(aligned)

