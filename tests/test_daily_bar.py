"""Daily bars: the class itself, construction, dates, span, classification, text."""

import copy
import datetime as dt
import pytest

from kit.layout import RECORD
from kit.objects import StrSub as Text
from tarnwick.base.candlestick import BarData, DailyBar

DAY = dt.date(2024, 1, 5)


def daily(span=None, **fields):
    kwargs = {"volume": 1000.0, **fields}
    if span is not None:
        kwargs["bar_span"] = span
    return DailyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8, **kwargs)


def from_record(timestamp=20240105.0, span=1.0):
    image = RECORD.pack(40, b"ABC", timestamp, span, 2.0, 1.0, 1.5, 1.8, 1000.0, 0.0, 0)
    return DailyBar.from_bytes(image)


# ---- the class -------------------------------------------------------------


@pytest.mark.parametrize("name", ["market_date", "bar_type", "bar_span"])
def test_properties_are_read_only(name):
    bar = daily()
    with pytest.raises(AttributeError):
        setattr(bar, name, 1)
    with pytest.raises(AttributeError):
        delattr(bar, name)


# ---- construction ------------------------------------------------------------


def test_one_day_bar_record():
    bar = DailyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8)
    fields = RECORD.unpack(bytes(memoryview(bar)))
    assert fields[0] == 40 and fields[1].rstrip(b"\0") == b"ABC"
    assert fields[2:] == (20240105.0, 1.0, 2.0, 1.0, 1.5, 1.8, 0.0, 0.0, 0)
    assert (bar.timestamp, bar.bar_span_seconds, bar.start_timestamp) == (20240105.0, 1.0, 20240104.0)


def test_datetime_with_time_and_zone_gives_the_identical_record():
    moment = dt.datetime(2024, 1, 5, 23, 59, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
    plain = DailyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8)
    timed = DailyBar("ABC", moment, 2.0, 1.0, 1.5, 1.8)
    assert bytes(memoryview(plain)) == bytes(memoryview(timed))


@pytest.mark.parametrize("day, number", [(dt.date(1, 1, 1), 10101.0), (dt.date(9999, 12, 31), 99991231.0)])
def test_date_number_edges(day, number):
    bar = DailyBar("ABC", day, 1.0, 1.0, 1.0, 1.0)
    assert bar.timestamp == number
    assert bar.market_date == day


@pytest.mark.parametrize("given, stored", [(1, 1.0), (5, 5.0), (0, 0.0), (-3, -3.0), (2.9, 2.0), (True, 1.0),
                                           (2**31 - 1, 2147483647.0), (-(2**31), -2147483648.0)])
def test_bar_span_is_a_32_bit_integer(given, stored):
    assert daily(span=given).bar_span_seconds == stored


@pytest.mark.parametrize("given, error, message", [
    (dt.timedelta(days=2), TypeError, "an integer is required"),
    ("2", TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (-(2**31) - 1, OverflowError, "value too large to convert to int"),
])
def test_bar_span_refusals(given, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        daily(span=given)


def test_bar_span_beyond_64_bits_gives_the_interpreters_overflow():
    with pytest.raises(OverflowError) as raised:
        daily(span=2**70)
    assert "value too large to convert to int" not in str(raised.value)


@pytest.mark.parametrize("given, error, message", [
    (-1, OverflowError, "can't convert negative value to uint32_t"),
    (2**32, OverflowError, "value too large to convert to uint32_t"),
    ("7", TypeError, "an integer is required"),
])
def test_trade_count_refusals(given, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        daily(trade_count=given)


def test_trade_count_limits_and_truncation():
    assert daily(trade_count=2**32 - 1).trade_count == 2**32 - 1
    assert daily(trade_count=7.9).trade_count == 7


@pytest.mark.parametrize("ticker, market_date, message", [
    (Text("ABC"), DAY, "Argument 'ticker' has incorrect type (expected str, got StrSub)"),
    (b"ABC", DAY, "Argument 'ticker' has incorrect type (expected str, got bytes)"),
    ("ABC", 20240105, "Argument 'market_date' has incorrect type (expected datetime.date, got int)"),
    ("ABC", "2024-01-05", "Argument 'market_date' has incorrect type (expected datetime.date, got str)"),
    ("ABC", None, "Argument 'market_date' has incorrect type (expected datetime.date, got NoneType)"),
])
def test_argument_type_messages(ticker, market_date, message):
    with pytest.raises(TypeError) as raised:
        DailyBar(ticker, market_date, 2.0, 1.0, 1.5, 1.8)
    assert str(raised.value) == message


def test_ticker_none_is_handed_on():
    assert DailyBar(None, DAY, 2.0, 1.0, 1.5, 1.8).ticker == ""


def test_conversions_come_before_the_type_checks():
    with pytest.raises(TypeError, match="must be real number"):
        DailyBar(Text("bad"), None, "bad price", 1.0, 1.5, 1.8)
    with pytest.raises(OverflowError):
        DailyBar(Text("bad"), None, 2.0, 1.0, 1.5, 1.8, trade_count=-1)


@pytest.mark.parametrize("value", [1.0, "anything", None])
def test_timestamp_keyword_collides_before_the_base_constructor(value):
    with pytest.raises(TypeError) as raised:
        daily(timestamp=value)
    assert str(raised.value) == "function() got multiple values for keyword argument 'timestamp'"


def test_extra_keywords_reach_the_base_and_start_timestamp_changes_nothing():
    bar = daily(span=3, venue="XNAS", start_timestamp=123.0)
    assert bar.venue == "XNAS"
    assert bar.bar_span_seconds == 3.0


def test_failed_reinit_leaves_the_record():
    bar = daily(span=5)
    before = bytes(memoryview(bar))
    with pytest.raises(TypeError):
        bar.__init__("ABC", "not a date", 1.0, 1.0, 1.0, 1.0)
    assert bytes(memoryview(bar)) == before
    bar.__init__("XYZ", dt.date(2023, 2, 3), 1.0, 1.0, 1.0, 1.0)
    assert (bar.ticker, bar.market_date, bar.bar_span_seconds, bar.volume) == ("XYZ", dt.date(2023, 2, 3), 1.0, 0.0)


def test_init_on_a_view_fails_in_the_base_constructor():
    memory = bytearray(bytes(memoryview(daily())))
    view = DailyBar.from_buffer(memory)
    with pytest.raises(MemoryError) as raised:
        view.__init__("XYZ", dt.date(2020, 1, 1), 9.0, 9.0, 9.0, 9.0)
    assert str(raised.value) == "Can not initialize a view of DailyBar."
    assert bytes(memory) == bytes(memoryview(daily()))


def test_binding_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'close_price'"):
        DailyBar("ABC", DAY, 2.0, 1.0, 1.5)
    with pytest.raises(TypeError, match="positional arguments"):
        DailyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8, 1.0, 1.0, 1, 1, 99)
    with pytest.raises(TypeError, match="multiple values for argument 'ticker'"):
        DailyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8, ticker="X")


# ---- dates, span, classification, text -------------------------------------


def test_one_day_bar_members():
    bar = daily()
    assert bar.market_date == bar.market_time == bar.bar_end_time == DAY
    assert bar.bar_start_time == dt.date(2024, 1, 4)
    assert bar.bar_span == dt.timedelta(days=1)
    assert bar.bar_type == "Daily"
    assert repr(bar) == "<DailyBar>([2024-01-05] ABC, open=1.5, high=2.0, low=1.0, close=1.8, volume=1000.0)"


def test_five_day_bar_members():
    bar = daily(span=5)
    assert bar.bar_start_time == dt.date(2023, 12, 31)
    assert bar.bar_span == dt.timedelta(days=5)
    assert bar.bar_type == "Daily-Plus"
    assert repr(bar) == ("<DailyBar>([2024-01-05] ABC, span=5.0d, open=1.5, high=2.0, low=1.0, "
                         "close=1.8, volume=1000.0)")


@pytest.mark.parametrize("span, start, text", [
    (0, DAY, "0:00:00"),
    (-2, dt.date(2024, 1, 7), "-1 day, 23:59:58"),
])
def test_spans_below_one_day_are_refused_by_bar_type_only(span, start, text):
    bar = daily(span=span)
    assert bar.bar_start_time == start
    assert f"span={float(span)}d" in repr(bar)
    with pytest.raises(ValueError) as raised:
        bar.bar_type
    assert str(raised.value) == (
        f"Invalid bar_span for DailyBar! Expect an int greater or equal to 1, got {text}.")


def test_fractional_span_from_bytes():
    bar = from_record(span=1.5)
    assert bar.bar_type == "Daily-Plus"
    assert bar.bar_span == dt.timedelta(days=1, hours=12)
    assert bar.bar_start_time == dt.date(2024, 1, 4)
    assert "span=1.5d" in repr(bar)
    with pytest.raises(ValueError, match=r"got 0:00:00\.500000\.$"):
        from_record(span=0.5).bar_type


@pytest.mark.parametrize("timestamp, expected", [(20240105.9, dt.date(2024, 1, 5)), (10101.0, dt.date(1, 1, 1))])
def test_market_date_truncates_the_date_number(timestamp, expected):
    assert from_record(timestamp=timestamp).market_date == expected


@pytest.mark.parametrize("timestamp, error", [
    (20241301.0, ValueError),         # month 13
    (1704067200.0, ValueError),       # epoch seconds: year 170406
    (float("nan"), ValueError),
    (float("inf"), OverflowError),
    (1e30, (ValueError, OverflowError)),
])
def test_invalid_date_numbers(timestamp, error):
    bar = from_record(timestamp=timestamp)
    for name in ("market_date", "market_time", "bar_start_time", "bar_end_time"):
        with pytest.raises(error):
            getattr(bar, name)
    with pytest.raises(error):
        repr(bar)
    assert bar.bar_type == "Daily" and bar.bar_span == dt.timedelta(days=1)


@pytest.mark.parametrize("span", [float("nan"), float("-inf")])
def test_span_that_is_no_timedelta_gives_the_interpreters_error(span):
    bar = from_record(span=span)
    with pytest.raises((ValueError, OverflowError)) as raised:
        bar.bar_type
    assert "Invalid bar_span" not in str(raised.value)


def test_uninitialised_daily_bar():
    bar = DailyBar.__new__(DailyBar)
    for name in ("bar_span", "bar_type", "market_date"):
        with pytest.raises(ValueError, match="^Data not initialized$"):
            getattr(bar, name)
    with pytest.raises(ValueError, match="^Data not initialized$"):
        repr(bar)


def test_byte_forms_and_copy():
    bar = daily(span=5)
    again = DailyBar.from_bytes(bytes(memoryview(bar)))
    assert type(again) is DailyBar and repr(again) == repr(bar)
    assert type(DailyBar.from_buffer(bytearray(memoryview(bar)))) is DailyBar
    duplicate = copy.copy(bar)
    assert type(duplicate) is BarData
    assert bytes(memoryview(duplicate)) == bytes(memoryview(bar))


# ---- subclasses --------------------------------------------------------------


class MyBar(DailyBar):
    pass


class Shifted(DailyBar):
    @property
    def market_date(self):
        return dt.date(2000, 2, 29)


class Timed(DailyBar):
    @property
    def market_date(self):
        return dt.datetime(2000, 2, 29, 12, 0)


class Wrong(DailyBar):
    @property
    def market_date(self):
        return "2000-02-29"


def test_subclass_reports_its_own_name():
    bar = MyBar("ABC", DAY, 2.0, 1.0, 1.5, 1.8, bar_span=0)
    with pytest.raises(ValueError, match="^Invalid bar_span for MyBar! "):
        bar.bar_type
    view = MyBar.from_buffer(bytearray(memoryview(bar)))
    with pytest.raises(MemoryError, match=r"^Can not initialize a view of MyBar\.$"):
        view.__init__("ABC", DAY, 2.0, 1.0, 1.5, 1.8)


def test_subclass_overriding_market_date_is_honoured():
    bar = Shifted("ABC", DAY, 2.0, 1.0, 1.5, 1.8, bar_span=2)
    assert bar.market_time == bar.bar_end_time == dt.date(2000, 2, 29)
    assert bar.bar_start_time == dt.date(2000, 2, 27)
    assert repr(bar).startswith("<DailyBar>([2000-02-29] ABC, span=2.0d")
    assert Timed("ABC", DAY, 2.0, 1.0, 1.5, 1.8).bar_end_time == dt.datetime(2000, 2, 29, 12, 0)


def test_date_results_of_other_types_are_refused():
    bar = Wrong("ABC", DAY, 2.0, 1.0, 1.5, 1.8)
    for name in ("market_time", "bar_end_time"):
        with pytest.raises(TypeError, match="^Cannot convert str to datetime.date$"):
            getattr(bar, name)


def test_super_calls_follow_the_method_resolution_order():
    calls = []

    class Middle(BarData):
        def __init__(self, *args, **kwargs):
            calls.append(kwargs["timestamp"])
            super().__init__(*args, **kwargs)

        @property
        def bar_span_seconds(self):
            return 7.0

    class Leaf(DailyBar, Middle):
        pass

    # DailyBar's members continue after DailyBar in Leaf's MRO: at Middle.
    bar = Leaf("ABC", DAY, 2.0, 1.0, 1.5, 1.8)
    assert calls == [20240105]
    assert bar.bar_type == "Daily-Plus"
    assert bar.bar_span == dt.timedelta(days=7)
