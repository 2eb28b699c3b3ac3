"""BarData properties: stored fields, derived values, time zones, docstrings and the uninitialised state."""

import datetime
import math
import types

import pytest

import tarnwick.base.candlestick as candlestick
from tarnwick.base.candlestick import BarData

UTC = datetime.timezone.utc
PROPERTIES = [
    "high_price", "low_price", "open_price", "close_price", "volume", "notional", "trade_count", "start_timestamp",
    "bar_span_seconds", "bar_span", "vwap", "bar_type", "bar_end_time", "bar_start_time", "market_price",
]
def bar_with(span=60.0, volume=1500.0, notional=15300.0, trade_count=12, cls=BarData):
    return cls("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume, notional, trade_count, bar_span=span)


def test_stored_fields():
    bar = bar_with(span=90.5, trade_count=4294967295)
    expected = {
        "high_price": 10.5, "low_price": 9.8, "open_price": 10.0, "close_price": 10.2, "volume": 1500.0,
        "notional": 15300.0, "trade_count": 4294967295, "start_timestamp": 909.5, "bar_span_seconds": 90.5,
        "market_price": 10.2,
    }
    assert {name: getattr(bar, name) for name in expected} == expected
    assert {name: type(getattr(bar, name)) for name in expected} == {
        name: int if name == "trade_count" else float for name in expected}


@pytest.mark.parametrize("span, label", [
    (3600.0, "Hourly"), (7200.0, "Hourly-Plus"), (3600.5, "Hourly-Plus"), (math.nextafter(3600.0, math.inf), "Hourly-Plus"),
    (math.inf, "Hourly-Plus"), (3599.0, "Minute-Plus"), (math.nextafter(3600.0, 0.0), "Minute-Plus"),
    (300.0, "Minute-Plus"), (math.nextafter(60.0, math.inf), "Minute-Plus"), (60.0, "Minute"),
    (59.999, "Sub-Minute"), (math.nextafter(60.0, 0.0), "Sub-Minute"), (0.0, "Sub-Minute"), (-0.0, "Sub-Minute"),
    (-60.0, "Sub-Minute"), (-3600.0, "Sub-Minute"), (-math.inf, "Sub-Minute"), (math.nan, "Sub-Minute"),
])
def test_bar_type_thresholds(span, label):
    assert bar_with(span=span).bar_type == label


@pytest.mark.parametrize("volume, notional, expected", [
    (10.0, 25.0, 2.5), (0.5, -1.0, -2.0), (math.inf, 1.0, 0.0), (0.0, 25.0, math.nan), (-0.0, 25.0, math.nan),
    (-10.0, 25.0, math.nan), (-math.inf, 1.0, math.nan), (math.nan, 25.0, math.nan), (10.0, math.nan, math.nan),
])
def test_vwap(volume, notional, expected):
    vwap = bar_with(volume=volume, notional=notional).vwap
    assert type(vwap) is float
    if not math.isnan(expected):
        assert vwap == expected
    else:
        assert math.isnan(vwap)
        assert volume > 0.0 or math.isnan(volume) or math.copysign(1.0, vwap) == 1.0  # the positive quiet NaN


@pytest.mark.parametrize("span", [90.5, -60.0, 0.0, 1e-6, 86400.0 * 365])
def test_bar_span_as_timedelta(span):
    value = bar_with(span=span).bar_span
    assert type(value) is datetime.timedelta and value == datetime.timedelta(seconds=span)


@pytest.mark.parametrize("span", [math.nan, math.inf, 1e20])
def test_bar_span_out_of_timedelta_range(span):
    with pytest.raises((ValueError, OverflowError)) as reference:
        datetime.timedelta(seconds=span)
    with pytest.raises(reference.type) as exc:
        bar_with(span=span).bar_span
    assert str(exc.value) == str(reference.value)


def test_start_and_end_times_in_the_profile_zone(utc_profile):
    bar = bar_with(span=60.0)
    start, end = bar.bar_start_time, bar.bar_end_time
    assert (start, end) == (datetime.datetime(1970, 1, 1, 0, 15, 40, tzinfo=UTC),
                            datetime.datetime(1970, 1, 1, 0, 16, 40, tzinfo=UTC))
    assert type(start) is datetime.datetime and start.tzinfo is UTC and end.tzinfo is UTC

    zone = datetime.timezone(datetime.timedelta(hours=5, minutes=30), "IST")
    utc_profile.time_zone = zone  # read again at every call
    start, end = bar.bar_start_time, bar.bar_end_time
    assert start.tzinfo is zone and end.tzinfo is zone
    assert (start.hour, start.minute, end.minute) == (5, 45, 46)

    utc_profile.time_zone = None  # naive local time
    assert bar.bar_end_time == datetime.datetime.fromtimestamp(1000.0)
    assert bar.bar_start_time == datetime.datetime.fromtimestamp(940.0)


def test_module_profile_name_is_looked_up_at_each_call(utc_profile, monkeypatch):
    bar = bar_with(span=60.0)
    zone = datetime.timezone(datetime.timedelta(hours=-3))
    monkeypatch.setattr(candlestick, "PROFILE", types.SimpleNamespace(time_zone=zone))
    assert bar.bar_end_time.tzinfo is zone
    assert bar.bar_start_time == datetime.datetime.fromtimestamp(940.0, tz=zone)
    monkeypatch.setattr(candlestick, "PROFILE", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        bar.bar_end_time
    monkeypatch.setattr(candlestick, "PROFILE", types.SimpleNamespace(time_zone="UTC"))
    with pytest.raises(TypeError):
        bar.bar_start_time


class Shifted(BarData):
    """A subclass whose times and close price differ from the record."""

    timestamp = property(lambda self: 2000.0)
    start_timestamp = property(lambda self: 1500.0)
    close_price = property(lambda self: -1.5)


def test_derived_members_use_attribute_lookup(utc_profile):
    bar = bar_with(cls=Shifted)
    assert bar.bar_end_time == datetime.datetime.fromtimestamp(2000.0, tz=UTC)
    assert bar.bar_start_time == datetime.datetime.fromtimestamp(1500.0, tz=UTC)
    assert bar.market_price == -1.5
    assert bar["close_price"] == 10.2  # item access reads the record itself


@pytest.mark.parametrize("name", PROPERTIES)
def test_uninitialised_bar_has_no_values(name):
    with pytest.raises(ValueError) as exc:
        getattr(BarData.__new__(BarData), name)
    assert str(exc.value) == "Data not initialized"


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(name):
    bar = bar_with()
    with pytest.raises(AttributeError):
        setattr(bar, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(bar, name)

