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
import os
import pickle
import struct
import warnings

import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

from kit import layout, model
from kit.layout import SIZE, image
from kit.objects import (
    BytesSub, HostileError, HostileFloat, HostileIndex, HostileInt, LyingFloat, LyingInt, SpanDelta, StrSub, SubBar,
    SubDaily,
)
from tarnwick.base.candlestick import BarData, DailyBar

PROPERTY = settings(max_examples=40 if os.environ.get("CI") == "true" else 300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])

CLASSES = (BarData, SubBar, DailyBar, SubDaily)
FLOAT_KEYS = layout.FLOAT_KEYS


def check_every_member(bar, record):
    """Every member of `bar` answers as the model says of its record, or raises what the model raises;
    the refusals hold; nothing of this writes."""
    model.check_members(bar, record)
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
       wrap=st.sampled_from([bytearray, memoryview, str, BytesSub]))
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
    assert record == layout.pack((ticker or "").encode(), timestamp, span, *fields, count)
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
    assert record == layout.pack((ticker or "").encode(), number, span, *prices, 0)
    assert bar.market_date == datetime.date(day.year, day.month, day.day)
    check_every_member(cls.from_bytes(record), record)


any_number = (st.integers(-2**1030, 2**1030) | st.booleans() | st.floats()
             | st.builds(LyingFloat, st.floats()) | st.builds(LyingInt, st.integers(-2**70, 2**70)))


@PROPERTY
@given(key=st.sampled_from(FLOAT_KEYS), value=any_number, view=st.booleans())
def test_item_write_of_any_number_reads_back_as_its_float(key, value, view):
    bar = BarData("ABC", 1.0, 2.0, 3.0, 4.0, 5.0, bar_span=60)
    if view:
        bar = BarData.from_buffer(bytearray(image(bar)))
    before = image(bar)
    try:
        expected = model.as_double(value)
    except OverflowError:
        with pytest.raises(OverflowError):
            bar[key] = value
        assert image(bar) == before
        return
    bar[key] = value
    assert model.same_value(bar[key], expected) and model.same_value(getattr(bar, key), expected)
    offset = layout.OFFSETS[key]
    assert image(bar) == before[:offset] + struct.pack("=d", expected) + before[offset + 8:]


@PROPERTY
@given(value=st.integers(-2**70, 2**70) | st.floats(allow_nan=False, allow_infinity=False, min_value=-1e20,
                                                     max_value=1e20) | st.booleans()
       | st.builds(LyingInt, st.integers(-2**70, 2**70)))
def test_trade_count_write_keeps_unsigned_32_bits_or_refuses(value):
    bar = BarData("ABC", 1.0, 2.0, 3.0, 4.0, 5.0, trade_count=9, bar_span=60)
    before = image(bar)
    ok, number = model.outcome(model.as_uint32, value)
    if ok:
        bar["trade_count"] = value
        assert bar["trade_count"] == number and bar.trade_count == number
    else:
        with pytest.raises(OverflowError):
            bar["trade_count"] = value
        assert image(bar) == before


# ---- constructor arguments of every kind ---------------------------------------------------------


behaviours = st.sampled_from(["plain", "raise", "wrong-type"])
hostile = (st.builds(HostileFloat, behaviours, st.floats())
           | st.builds(HostileIndex, behaviours, st.integers(-2**70, 2**70))
           | st.builds(HostileInt, behaviours, st.integers(-2**70, 2**70)))
anything = (st.floats() | st.integers(-2**70, 2**70) | st.booleans() | st.none() | hostile
            | st.builds(LyingFloat, st.floats()) | st.builds(LyingInt, st.integers(-2**70, 2**70))
            | st.sampled_from(["60", " 6_0 ", "nan", "abc", "", b"60", bytearray(b"1e3"), StrSub("60"),
                               fractions.Fraction(7, 2), decimal.Decimal("2.5"), 1j, object()])
            | st.timedeltas() | st.builds(SpanDelta, st.floats() | st.none() | st.text(max_size=2)) | st.dates())
ERRORS = (TypeError, ValueError, OverflowError, HostileError)


def outcome(call):
    """The exception type a call raises, or its result."""
    try:
        return call()
    except ERRORS as error:
        return type(error)


@PROPERTY
@given(ticker=st.none() | st.text(max_size=3) | st.sampled_from(["A" * 33, StrSub("A"), 5, b"A"]),
       numbers=st.lists(anything, min_size=7, max_size=7), count=anything, span=anything)
def test_bar_constructor_with_any_arguments(ticker, numbers, count, span):
    assume(span is not None)
    expected = outcome(lambda: model.bar_init((ticker, *numbers), {"trade_count": count, "bar_span": span})[0])
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
        return model.daily_init(("ABC", day, *prices), {"trade_count": count, "bar_span": span})[0]

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


@PROPERTY
@given(cls=st.sampled_from(CLASSES), ticker=st.none() | st.sampled_from(["XY", "A" * 33, "\ud800", StrSub("X")]),
       when=st.dates() | anything, numbers=st.lists(anything, min_size=4, max_size=4), span=anything,
       venue=st.none() | st.just("XLON"))
def test_repeated_init_gives_the_new_values_or_changes_nothing(cls, ticker, when, numbers, span, venue):
    daily = issubclass(cls, DailyBar)
    bar = cls("ABC", datetime.date(2024, 1, 5) if daily else 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0,
              trade_count=12, bar_span=60, venue="XNAS")
    export = memoryview(bar)
    args, kwargs = (ticker, when, *numbers), {"bar_span": span, **({"venue": venue} if venue else {})}
    ok, error, record, extras = model.reinit(cls, image(bar), {"venue": "XNAS"}, args, kwargs)
    got = outcome(lambda: bar.__init__(*args, **kwargs))
    if ok:
        assert got is None
    else:
        assert got is not None and (issubclass(got, type(error)) or issubclass(type(error), got))
    assert image(bar) == export.tobytes() == record
    assert bar.venue == extras["venue"]
    export.release()


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
        bar.__init__("ABC", 1000.0, 1.0, 2.0, 3.0, 4.0, bar_span=SpanDelta(meddler))
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
