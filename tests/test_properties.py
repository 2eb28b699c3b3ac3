"""Property-based tests over the public surface of the bar classes.

Whatever bytes, buffers or arguments a caller hands over, every call either
gives a sound bar or raises one of the documented exceptions, and every member
of every bar so made either answers or raises one of its own documented
exceptions.  The examples run quickly on CI (``CI=true``) and more widely at a
developer's desk.
"""

import array
import copy
import ctypes
import datetime
import decimal
import fractions
import gc
import math
import os
import pickle
import struct
import warnings

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from tarnwick.base.candlestick import BarData, DailyBar

PROPERTY = settings(max_examples=40 if os.environ.get("CI") == "true" else 300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

LAYOUT = struct.Struct("<B32s8dI")  # dtype, ticker, timestamp, bar_span, high, low, open, close, volume, notional, count
SIZE = LAYOUT.size
FLOAT_KEYS = ("high_price", "low_price", "open_price", "close_price", "volume", "notional")
OFFSETS = dict(zip(FLOAT_KEYS, range(49, 97, 8)), trade_count=97)
TIME_ERRORS = (ValueError, OverflowError, OSError)  # the interpreter's refusals of a date-time or a delta


class SubBar(BarData):
    pass


class SubDaily(DailyBar):
    pass


CLASSES = (BarData, SubBar, DailyBar, SubDaily)


def image(bar):
    with memoryview(bar) as view:
        assert (view.readonly, view.nbytes, view.format, view.ndim, view.obj) == (True, SIZE, "B", 1, bar)
        return view.tobytes()


def same(a, b):
    """Equal floats bit for bit (any NaN matches any NaN), other values by equality."""
    if isinstance(a, float) and isinstance(b, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


def answers(call, errors=()):
    try:
        return call()
    except errors:
        return None


def check_every_member(bar, record):
    """Every member of `bar` either answers as its record says or raises one of its documented exceptions."""
    _, ticker, timestamp, span, high, low, open_, close, volume, notional, count = LAYOUT.unpack(record)
    stored = dict(zip(FLOAT_KEYS, (high, low, open_, close, volume, notional)), trade_count=count)
    for key, value in stored.items():
        assert same(getattr(bar, key), value) and same(bar[key], value)
    assert same(bar.timestamp, timestamp) and same(bar.bar_span_seconds, span)
    assert same(bar.start_timestamp, timestamp - span) and same(bar.market_price, close)
    assert bar.ticker == ticker.split(b"\0")[0].decode("utf-8", "replace")
    assert same(bar.vwap, math.nan if volume <= 0.0 else notional / volume)
    if isinstance(bar, DailyBar):
        if span >= 1:
            assert bar.bar_type == ("Daily" if span == 1 else "Daily-Plus")
        else:
            with pytest.raises((ValueError, OverflowError)):
                bar.bar_type
        for name in ("market_date", "market_time", "bar_end_time", "bar_start_time", "bar_span"):
            answers(lambda: getattr(bar, name), (ValueError, OverflowError))
        text = answers(lambda: repr(bar), (ValueError, OverflowError))
        assert text is None or text.startswith("<DailyBar>([")
    else:
        assert bar.bar_type == ("Hourly-Plus" if span > 3600 else "Hourly" if span == 3600 else
                                "Minute-Plus" if span > 60 else "Minute" if span == 60 else "Sub-Minute")
        for name in ("market_time", "bar_end_time", "bar_start_time", "bar_span"):
            answers(lambda: getattr(bar, name), TIME_ERRORS)
        text = answers(lambda: repr(bar), TIME_ERRORS)
        assert text is None or text.startswith("<BarData>([")
    for key, error in (("vwap", KeyError), (0, TypeError), (None, TypeError)):
        with pytest.raises(error):
            bar[key]
    for refused in (lambda: pickle.dumps(bar), lambda: copy.deepcopy(bar), lambda: list(bar)):
        with pytest.raises(TypeError):
            refused()
    with pytest.raises(NotImplementedError):
        del bar["volume"]
    duplicate = copy.copy(bar)
    assert type(duplicate) is BarData and image(duplicate) == record
    again = type(bar).from_bytes(image(bar))
    assert type(again) is type(bar) and image(again) == record
    assert image(bar) == record  # nothing above wrote


# ---- foreign bytes and buffers -----------------------------------------------------------


@PROPERTY
@given(cls=st.sampled_from(CLASSES), data=st.binary(max_size=2 * SIZE) | st.binary(min_size=SIZE, max_size=SIZE))
def test_any_bytes_give_a_sound_bar_or_value_error(cls, data):
    if len(data) < SIZE:
        with pytest.raises(ValueError):
            cls.from_bytes(data)
        return
    bar = cls.from_bytes(data)
    assert type(bar) is cls and bar._owner == 1
    check_every_member(bar, data[:SIZE])


@PROPERTY
@given(cls=st.sampled_from(CLASSES), data=st.binary(max_size=SIZE + 5),
       wrap=st.sampled_from([bytearray, memoryview, str, type("BytesSub", (bytes,), {})]))
def test_from_bytes_takes_bytes_alone(cls, data, wrap):
    with pytest.raises(TypeError):
        cls.from_bytes(wrap(data) if wrap is not str else data.hex())


@st.composite
def exporters(draw):
    """(object, expected) with expected an exception type, or the record and whether it is writable."""
    payload = draw(st.binary(max_size=3 * SIZE) | st.binary(min_size=SIZE, max_size=SIZE + 3))
    kind = draw(st.sampled_from(["bytes", "bytearray", "slice", "array", "2d", "cast", "ctypes", "none",
                                 "no-buffer", "bar"]))
    if kind == "bytes":
        obj = payload
    elif kind == "bytearray":
        obj = bytearray(payload)
    elif kind == "slice":
        base = draw(st.sampled_from([bytes, bytearray]))(payload)
        obj = memoryview(base)[draw(st.integers(-5, 20)):draw(st.none() | st.integers(-20, len(payload))):
                               draw(st.sampled_from([None, 1, 2, 3, -1]))]
    elif kind == "array":
        code = draw(st.sampled_from(array.typecodes))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the "u" code
            obj = array.array(code)
        obj.frombytes(payload[:len(payload) - len(payload) % obj.itemsize])
    elif kind == "2d":
        cols = draw(st.integers(1, 8))
        rows = max(1, len(payload) // cols)
        obj = memoryview(bytearray(payload[:rows * cols].ljust(rows * cols, b"\0"))).cast("B", (rows, cols))
    elif kind == "cast":
        obj = memoryview(draw(st.sampled_from([bytes, bytearray]))(payload)).cast(draw(st.sampled_from("cbB?")))
    elif kind == "ctypes":
        item = draw(st.sampled_from([ctypes.c_ubyte, ctypes.c_char, ctypes.c_byte, ctypes.c_bool]))
        obj = (item * len(payload)).from_buffer_copy(payload)
    elif kind == "none":
        return None, IndexError
    elif kind == "no-buffer":
        return draw(st.sampled_from([5, "text", [1, 2], object()])), TypeError
    else:
        obj = BarData.from_bytes(payload.ljust(SIZE, b"\0"))
    with memoryview(obj) as view:
        if view.ndim != 1 or view.format.lstrip("@=<>!") not in ("B", "c", "?") or view.itemsize != 1:
            return obj, ValueError
        if view.nbytes == 0:
            return obj, IndexError
        if view.nbytes < SIZE or view.strides[0] != 1:
            return obj, ValueError  # never read past the buffer, nor across its gaps
        return obj, (view.tobytes()[:SIZE], not view.readonly)


@PROPERTY
@given(cls=st.sampled_from(CLASSES), made=exporters(), writes=st.lists(
    st.tuples(st.sampled_from([*FLOAT_KEYS, "trade_count"]), st.integers(0, 2**32 - 1)), max_size=3))
def test_any_buffer_gives_a_pinned_view_or_a_documented_error(cls, made, writes):
    exporter, expected = made
    if isinstance(expected, type):
        with pytest.raises(expected):
            cls.from_buffer(exporter)
        return
    record, writable = expected
    bar = cls.from_buffer(exporter)
    assert type(bar) is cls and bar._owner == 0 and image(bar) == record
    check_every_member(bar, record)
    with pytest.raises(MemoryError):
        bar.__init__("X", datetime.date(2024, 1, 5) if isinstance(bar, DailyBar) else 1.0, 1.0, 1.0, 1.0, 1.0,
                     bar_span=1)
    for key, value in writes:
        if writable:
            bar[key] = value
            assert bar[key] == value
            with memoryview(exporter) as raw:  # written through to the exporter's memory
                assert raw.tobytes()[:SIZE] == image(bar)
        else:
            with pytest.raises(TypeError):
                bar[key] = value
            assert image(bar) == record
    record = image(bar)
    if isinstance(exporter, (bytearray, array.array)):
        with pytest.raises(BufferError):
            exporter.pop()  # the memory is pinned while the bar lives
    elif isinstance(exporter, memoryview):
        with pytest.raises(BufferError):
            exporter.release()
    del exporter, made
    gc.collect()
    check_every_member(bar, record)


# ---- round trips ----------------------------------------------------------------------------

tickers = st.none() | st.text(st.characters(exclude_characters="\0", exclude_categories=("Cs",)), max_size=8)


@PROPERTY
@given(cls=st.sampled_from([BarData, SubBar]), ticker=tickers, numbers=st.lists(st.floats(), min_size=8, max_size=8),
       count=st.integers(0, 2**32 - 1))
def test_constructed_bar_survives_the_byte_round_trip(cls, ticker, numbers, count):
    timestamp, span, *fields = numbers
    bar = cls(ticker, timestamp, *fields, trade_count=count, bar_span=span)
    record = image(bar)
    assert record == LAYOUT.pack(40, (ticker or "").encode(), timestamp, span, *fields, count)
    check_every_member(cls.from_bytes(record), record)
    check_every_member(bar, record)


@PROPERTY
@given(cls=st.sampled_from([DailyBar, SubDaily]), ticker=tickers,
       day=st.dates() | st.datetimes(timezones=st.none() | st.just(datetime.timezone.utc)),
       prices=st.lists(st.floats(), min_size=6, max_size=6), span=st.integers(-2**31, 2**31 - 1))
def test_constructed_daily_bar_survives_the_byte_round_trip(cls, ticker, day, prices, span):
    bar = cls(ticker, day, *prices, bar_span=span)
    record = image(bar)
    number = day.year * 10000 + day.month * 100 + day.day
    assert record == LAYOUT.pack(40, (ticker or "").encode(), number, span, *prices, 0)
    assert bar.market_date == datetime.date(day.year, day.month, day.day)
    check_every_member(cls.from_bytes(record), record)


@PROPERTY
@given(key=st.sampled_from(FLOAT_KEYS), value=st.integers(-2**1030, 2**1030) | st.booleans() | st.floats(),
       view=st.booleans())
def test_item_write_of_any_number_reads_back_as_its_float(key, value, view):
    bar = BarData("ABC", 1.0, 2.0, 3.0, 4.0, 5.0, bar_span=60)
    if view:
        bar = BarData.from_buffer(bytearray(image(bar)))
    before = image(bar)
    try:
        expected = float(value)
    except OverflowError:
        with pytest.raises(OverflowError):
            bar[key] = value
        assert image(bar) == before
        return
    bar[key] = value
    assert same(bar[key], expected) and same(getattr(bar, key), expected)
    offset = OFFSETS[key]
    assert image(bar) == before[:offset] + struct.pack("<d", expected) + before[offset + 8:]


@PROPERTY
@given(value=st.integers(-2**70, 2**70) | st.floats(allow_nan=False, allow_infinity=False, min_value=-1e20,
                                                     max_value=1e20) | st.booleans())
def test_trade_count_write_keeps_unsigned_32_bits_or_refuses(value):
    bar = BarData("ABC", 1.0, 2.0, 3.0, 4.0, 5.0, trade_count=9, bar_span=60)
    before = image(bar)
    number = int(value)
    if 0 <= number < 2**32:
        bar["trade_count"] = value
        assert bar["trade_count"] == number and bar.trade_count == number
    else:
        with pytest.raises(OverflowError):
            bar["trade_count"] = value
        assert image(bar) == before


# ---- constructor arguments of every kind ---------------------------------------------------------


class HostileError(Exception):
    pass


class Hostile:
    """Converts by the one protocol it defines, in the way it was told to."""

    def __init__(self, behaviour, value):
        self.behaviour, self.value = behaviour, value

    def _convert(self):
        if self.behaviour == "raise":
            raise HostileError
        return "not a number" if self.behaviour == "wrong type" else self.value

    def __repr__(self):
        return f"{type(self).__name__}({self.behaviour!r}, {self.value!r})"


class FloatLike(Hostile):
    def __float__(self):
        return self._convert()


class IndexLike(Hostile):
    def __index__(self):
        return self._convert()


class IntLike(Hostile):
    def __int__(self):
        return self._convert()


class StrSub(str):
    pass


class Span(datetime.timedelta):
    def total_seconds(self):
        return self.answer


def span_delta(answer):
    delta = Span(seconds=1)
    delta.answer = answer
    return delta


behaviours = st.sampled_from(["ok", "raise", "wrong type"])
hostile = (st.builds(FloatLike, behaviours, st.floats())
           | st.builds(IndexLike, behaviours, st.integers(-2**70, 2**70))
           | st.builds(IntLike, behaviours, st.integers(-2**70, 2**70)))
anything = (st.floats() | st.integers(-2**70, 2**70) | st.booleans() | st.none() | hostile
            | st.sampled_from(["60", " 6_0 ", "nan", "abc", "", b"60", bytearray(b"1e3"), StrSub("60"),
                               fractions.Fraction(7, 2), decimal.Decimal("2.5"), 1j, object()])
            | st.timedeltas() | st.builds(span_delta, st.floats() | st.none() | st.text(max_size=2)) | st.dates())


def as_double(value):
    """What the float conversion of a numeric argument gives (text is not parsed)."""
    if isinstance(value, (str, bytes, bytearray)) or not hasattr(type(value), "__float__") and not hasattr(
            type(value), "__index__"):
        raise TypeError
    if hasattr(type(value), "__float__"):
        result = value.__float__()
        if not isinstance(result, float):
            raise TypeError
        return result
    result = value.__index__()
    if not isinstance(result, int):
        raise TypeError
    return float(result)


def as_count(value, low, high):
    if not isinstance(value, int):
        if not hasattr(type(value), "__int__"):
            raise TypeError
        value = value.__int__()
        if not isinstance(value, int):
            raise TypeError
    if not low <= value <= high:
        raise OverflowError
    return int(value)


def expected_bar_record(ticker, timestamp, prices, count, span):
    floats = [as_double(v) for v in (timestamp, *prices)]
    count = as_count(count, 0, 2**32 - 1)
    if ticker is not None and type(ticker) is not str:
        raise TypeError
    encoded = (ticker or "").encode()
    if len(encoded) > 32 or b"\0" in encoded:
        raise ValueError
    if isinstance(span, datetime.timedelta):
        span = as_double(span.total_seconds())
    else:
        span = float(span)
    return LAYOUT.pack(40, encoded, floats[0], span, *floats[1:], count)


def outcome(call):
    try:
        return call()
    except (TypeError, ValueError, OverflowError, HostileError) as error:
        return type(error)


@PROPERTY
@given(ticker=st.none() | st.text(max_size=3) | st.sampled_from(["A" * 33, StrSub("A"), 5, b"A"]),
       numbers=st.lists(anything, min_size=7, max_size=7), count=anything, span=anything)
def test_bar_constructor_with_any_arguments(ticker, numbers, count, span):
    assume(span is not None)
    expected = outcome(lambda: expected_bar_record(ticker, numbers[0], numbers[1:], count, span))
    bar = BarData.__new__(BarData)
    got = outcome(lambda: bar.__init__(ticker, *numbers, trade_count=count, bar_span=span))
    if isinstance(expected, bytes):
        assert got is None and image(bar) == expected
    else:
        assert got is not None and issubclass(got, expected)
    try:
        record = image(bar)
    except ValueError:  # refused before the record was made
        assert repr(bar) == "<BarData>(uninitialized)"
        for name in ("close_price", "bar_span", "bar_type", "bar_end_time", "market_price"):
            with pytest.raises(ValueError, match="Data not initialized"):
                getattr(bar, name)
        return
    check_every_member(bar, record)


@PROPERTY
@given(day=anything | st.dates(), prices=st.lists(anything, min_size=4, max_size=4), count=anything, span=anything)
def test_daily_constructor_with_any_arguments(day, prices, count, span):
    def expected():
        floats = [as_double(v) for v in prices]
        converted = (as_count(count, 0, 2**32 - 1), as_count(span, -2**31, 2**31 - 1))
        if not isinstance(day, datetime.date):
            raise TypeError
        number = day.year * 10000 + day.month * 100 + day.day
        return LAYOUT.pack(40, b"ABC", number, converted[1], *floats, 0, 0, converted[0])

    wanted = outcome(expected)
    bar = DailyBar.__new__(DailyBar)
    got = outcome(lambda: bar.__init__("ABC", day, *prices, trade_count=count, bar_span=span))
    if isinstance(wanted, bytes):
        assert got is None and image(bar) == wanted
        check_every_member(bar, wanted)
    else:
        assert got is not None and issubclass(got, wanted)
        with pytest.raises(ValueError, match="Data not initialized"):
            bar.bar_type  # every check comes before the record is made


# ---- conversions that change the bar they are converted for -------------------------------------


class Meddler:
    """A number whose conversion uses the bar it is being converted for."""

    def __init__(self, action, bar_box, value=2.5):
        self.action, self.bar_box, self.value = action, bar_box, value

    def __float__(self):
        bar = self.bar_box[0]
        if self.action == "reinit":
            bar.__init__("M", 5.0, 1.0, 1.0, 1.0, 1.0, bar_span=1)
        elif self.action == "write":
            bar["volume"] = 77.0
        elif self.action == "export":
            self.bar_box.append(memoryview(bar))
        elif self.action == "view":
            self.bar_box.append(BarData.from_buffer(memoryview(bar)))
        elif self.action == "copy":
            self.bar_box.append(copy.copy(bar))
        return self.value


@pytest.mark.parametrize("action", ["reinit", "write", "export", "view", "copy"])
@pytest.mark.parametrize("slot", ["price", "bar_span", "item", "span_total_seconds"])
def test_conversion_that_uses_the_bar_leaves_it_sound(action, slot):
    bar = BarData("ABC", 1000.0, 1.0, 2.0, 3.0, 4.0, bar_span=60)
    box = [bar]
    meddler = Meddler(action, box)
    if slot == "price":
        bar.__init__("ABC", 1000.0, meddler, 2.0, 3.0, 4.0, bar_span=60)
    elif slot == "bar_span":
        bar.__init__("ABC", 1000.0, 1.0, 2.0, 3.0, 4.0, bar_span=meddler)
    elif slot == "span_total_seconds":
        bar.__init__("ABC", 1000.0, 1.0, 2.0, 3.0, 4.0, bar_span=span_delta(meddler))
    else:
        bar["close_price"] = meddler
    record = image(bar)
    check_every_member(bar, record)
    for other in box[1:]:
        if isinstance(other, memoryview):
            assert other.tobytes() == record  # an export shows the live record
        else:
            check_every_member(other, image(other))
    del box, meddler
    gc.collect()
    check_every_member(bar, record)
