"""BarData construction: argument binding, conversions and their order, the span rule, re-initialisation."""

import datetime
import functools
import math
import sys
import tracemalloc

import pytest

from kit.layout import RECORD as LAYOUT
from kit.objects import HostileFloat, HostileIndex, HostileInt, IntSub, SpanDelta, StrSub as TickerStr, SubBar
from tarnwick.base.candlestick import BarData

PRICES = ("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2)
NO_SPAN = "Must assign either start_timestamp or bar_span or both."
TOO_LARGE = "value too large to convert to uint32_t"
NEGATIVE = "can't convert negative value to uint32_t"
NOT_INT = "an integer is required"

FloatLike = functools.partial(HostileFloat, "plain", 75.0)
IndexLike = functools.partial(HostileIndex, "plain", 90)
IntLike = functools.partial(HostileInt, "plain", 11)
BadInt = functools.partial(HostileInt, "plain", 3.0)  # __int__ gives a float


def _explicit_init(*args, **kwargs):
    bar = BarData.__new__(BarData)
    bar.__init__(*args, **kwargs)
    return bar


@pytest.fixture(params=[BarData, SubBar, _explicit_init], ids=["call", "subclass", "init"])
def build(request):
    """The class call, a subclass's call and an explicit __init__ take different argument paths."""
    return request.param


def record(bar):
    return LAYOUT.unpack(bytes(memoryview(bar)))


def error_of(fn, *args):
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - the interpreter's own error is the reference
        return exc
    raise AssertionError("reference call did not fail")


def test_fields_are_written_into_the_record(build):
    bar = build("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 12, 0.0, 60)
    assert record(bar) == (40, b"ABC" + b"\0" * 29, 1000.0, 60.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 12)
    assert bar._owner == 1
    bar = build(bar_span=FloatLike(), trade_count=3, start_timestamp=1.0, notional=IndexLike(), volume=4.0,
                close_price=5.0, open_price=6, low_price=True, high_price=8.0, timestamp=9.0, ticker="KW")
    assert record(bar)[1:] == (b"KW" + b"\0" * 30, 9.0, 75.0, 8.0, 1.0, 6.0, 5.0, 4.0, 90.0, 3)
    bar = build(*PRICES, bar_span=60)
    assert (bar.volume, bar.notional, bar.trade_count) == (0.0, 0.0, 0)


@pytest.mark.parametrize("kwargs, expected", [
    ({"start_timestamp": 940.0}, 60.0), ({"start_timestamp": 1060.0}, -60.0), ({"start_timestamp": 940}, 60.0),
    ({"bar_span": 60, "start_timestamp": 0.5}, 60.0), ({"bar_span": 30.0, "start_timestamp": 940.0}, 30.0),
    ({"bar_span": datetime.timedelta(minutes=5)}, 300.0), ({"bar_span": datetime.timedelta(seconds=-90.5)}, -90.5),
    ({"bar_span": SpanDelta(42.5, seconds=86400)}, 42.5), ({"bar_span": 60}, 60.0), ({"bar_span": True}, 1.0),
    ({"bar_span": 0}, 0.0), ({"bar_span": " 60 "}, 60.0), ({"bar_span": "\t6_0\n"}, 60.0),
    ({"bar_span": "1e3"}, 1000.0), ({"bar_span": b"60"}, 60.0), ({"bar_span": bytearray(b" 6_0 ")}, 60.0),
    ({"bar_span": "-inf"}, -math.inf), ({"bar_span": IndexLike()}, 90.0), ({"start_timestamp": math.nan}, math.nan),
    ({"bar_span": "nan"}, math.nan), ({"bar_span": math.nan}, math.nan),
])
def test_span_rule(build, kwargs, expected):
    span = build(*PRICES, **kwargs).bar_span_seconds
    assert span == expected or math.isnan(span) and math.isnan(expected)


@pytest.mark.parametrize("kwargs", [{}, {"start_timestamp": 0.0}, {"start_timestamp": -0.0}, {"start_timestamp": 0},
                                    {"bar_span": None}, {"bar_span": None, "start_timestamp": False}])
def test_no_span_and_no_start(build, kwargs):
    with pytest.raises(ValueError) as exc:
        build(*PRICES, **kwargs)
    assert str(exc.value) == NO_SPAN


@pytest.mark.parametrize("span", ["sixty", "6__0", "", b"x", "60s", object(), [60], 1j])
def test_span_refused_by_float_keeps_its_error(build, span):
    reference = error_of(float, span)
    with pytest.raises(type(reference)) as exc:
        build(*PRICES, bar_span=span)
    assert str(exc.value) == str(reference)


def test_failed_span_leaves_header_written_and_bar_fields_zero():
    bar = BarData.__new__(BarData)
    with pytest.raises(ValueError, match=NO_SPAN):
        bar.__init__("XYZ", 2000.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7)
    assert record(bar)[1:] == (b"XYZ" + b"\0" * 29, 2000.0) + (0.0,) * 7 + (0,)


def test_total_seconds_failures():
    bar = BarData.__new__(BarData)
    with pytest.raises(LookupError, match="no seconds"):
        bar.__init__(*PRICES, bar_span=SpanDelta(LookupError("no seconds")))
    assert bar.close_price == 0.0
    fresh = BarData.__new__(BarData)
    with pytest.raises(TypeError):
        fresh.__init__(*PRICES, volume=3.0, trade_count=4, bar_span=SpanDelta("60"))
    assert (fresh.close_price, fresh.volume, fresh.trade_count) == (10.2, 3.0, 4)  # written before the span


@pytest.mark.parametrize("value, expected", [
    (0, 0), (True, 1), (7.9, 7), (-0.5, 0), (4294967295, 4294967295), (4294967295.0, 4294967295),
    (IntSub(9), 9), (IntLike(), 11),
])
def test_trade_count_accepted(build, value, expected):
    assert record(build(*PRICES, trade_count=value, bar_span=60))[-1] == expected


@pytest.mark.parametrize("value, error, message", [
    (4294967296, OverflowError, TOO_LARGE), (2**63 - 1, OverflowError, TOO_LARGE), (2**63, OverflowError, TOO_LARGE),
    (2**64 - 1, OverflowError, TOO_LARGE), (4294967296.5, OverflowError, TOO_LARGE),
    (-1, OverflowError, NEGATIVE), (-1.5, OverflowError, NEGATIVE), (-2**70, OverflowError, NEGATIVE),
    ("7", TypeError, NOT_INT), (None, TypeError, NOT_INT), (b"7", TypeError, NOT_INT), (IndexLike(), TypeError, NOT_INT),
    (BadInt(), TypeError, None),
    # From 2**64 on the interpreter's own overflow error comes through.
    (2**64, OverflowError, None), (2**100, OverflowError, None),
])
def test_trade_count_refused(build, value, error, message):
    with pytest.raises(error) as exc:
        build(*PRICES, trade_count=value, bar_span=60)
    if message is not None:
        assert str(exc.value) == message
    assert str(exc.value) not in {TOO_LARGE, NEGATIVE, NOT_INT} - {message}


@pytest.mark.parametrize("name", ["timestamp", "high_price", "low_price", "open_price", "close_price", "volume",
                                  "notional", "start_timestamp"])
@pytest.mark.parametrize("value", ["1.0", None, b"1", 1j])
def test_float_arguments_refused_with_the_interpreters_wording(build, name, value):
    kwargs = dict(zip(["ticker", "timestamp", "high_price", "low_price", "open_price", "close_price"], PRICES))
    kwargs[name] = value
    with pytest.raises(TypeError) as exc:
        build(**kwargs, bar_span=60)
    assert str(exc.value) == str(error_of(math.sqrt, value))


@pytest.mark.parametrize("ticker, type_name", [
    (TickerStr("ABC"), "StrSub"), (b"ABC", "bytes"), (5, "int"), (["ABC"], "list"),
])
def test_ticker_must_be_exactly_str(build, ticker, type_name):
    with pytest.raises(TypeError) as exc:
        build(ticker, *PRICES[1:], bar_span=60)
    assert str(exc.value) == f"Argument 'ticker' has incorrect type (expected str, got {type_name})"
    assert build(None, *PRICES[1:], bar_span=60).close_price == 10.2


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((b"T", "ts", 1, 1, 1, 1), {}, TypeError, "must be real number, not str"),
    ((b"T", 1, 1, 1, 1, None), {}, TypeError, "must be real number, not NoneType"),
    (("T", 1, "high", 1, 1, None), {}, TypeError, "must be real number, not str"),
    (("T", 1, 1, 1, 1, 1), {"volume": "v", "trade_count": -1}, TypeError, "must be real number, not str"),
    (("T", 1, 1, 1, 1, 1), {"notional": "n", "trade_count": -1}, TypeError, "must be real number, not str"),
    (("T", 1, 1, 1, 1, 1), {"trade_count": -1, "start_timestamp": "s"}, OverflowError, NEGATIVE),
    ((b"T", 1, 1, 1, 1, 1), {"start_timestamp": None}, TypeError, "must be real number, not NoneType"),
    ((b"T", 1, 1, 1, 1, 1), {}, TypeError, "Argument 'ticker' has incorrect type (expected str, got bytes)"),
    (("T", 1, 1, 1, 1, 1), {"trade_count": "c", "bar_span": "nonsense"}, TypeError, NOT_INT),
])
def test_first_failing_step_wins(build, args, kwargs, error, message):
    with pytest.raises(error) as exc:
        build(*args, **kwargs)
    assert str(exc.value) == message


@pytest.mark.parametrize("args, kwargs, words", [
    (PRICES[:5], {"bar_span": 60}, ["close_price"]),
    (PRICES[:4], {"bar_span": 60}, ["open_price", "close_price"]),
    (PRICES + (1.0, 2.0, 3, 4.0, 60, "extra"), {}, ["positional"]),
    (PRICES, {"ticker": "XYZ", "bar_span": 60}, ["ticker"]),
    (PRICES, {"close_price": 1.0, "bar_span": 60}, ["close_price"]),
    (PRICES + (1.0, 2.0, 3, 4.0, 60), {"bar_span": 60}, ["bar_span"]),
])
def test_argument_binding_errors(build, args, kwargs, words):
    with pytest.raises(TypeError) as exc:
        build(*args, **kwargs)
    assert all(word in str(exc.value) for word in words), str(exc.value)


def test_unknown_keywords_reach_the_base_initialiser(build):
    bar = build(*PRICES, bar_span=60, foo=1, venue="XNAS")
    assert (bar.foo, bar.venue) == (1, "XNAS")


@pytest.mark.parametrize("args, kwargs", [
    (("XYZ", "bad", 1, 1, 1, 1), {"bar_span": 60}), (("XYZ", 1, 1, 1, 1, 1), {"trade_count": -1, "bar_span": 60}),
    ((b"XYZ", 1, 1, 1, 1, 1), {"bar_span": 60}), (("XYZ", 1, 1, 1, 1), {"bar_span": 60}),
])
def test_refused_initialisation_changes_nothing(args, kwargs):
    fresh = BarData.__new__(BarData)
    bar = BarData(*PRICES, volume=1500.0, bar_span=60)
    before = bytes(memoryview(bar))
    for target in (fresh, bar):
        with pytest.raises((TypeError, OverflowError)):
            target.__init__(*args, **kwargs)
    assert repr(fresh) == "<BarData>(uninitialized)" and fresh._owner == 1
    assert bytes(memoryview(bar)) == before


def test_reinitialisation_yields_exactly_the_new_values():
    bar = BarData("LONGTICKER", 1000.0, 10.5, 9.8, 10.0, 10.2, 1500.0, 15300.0, 12, bar_span=60)
    bar.__init__("XY", 2000.0, 1.0, 2.0, 3.0, 4.0, start_timestamp=1990.0)
    assert record(bar) == (40, b"XY" + b"\0" * 30, 2000.0, 10.0, 1.0, 2.0, 3.0, 4.0, 0.0, 0.0, 0)
    assert bar._owner == 1


def test_reinitialisation_does_not_grow_memory():
    bar = BarData(*PRICES, bar_span=60)
    for _ in range(200):
        bar.__init__(*PRICES, bar_span=60)
    tracemalloc.start()
    try:
        blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
        for i in range(20000):
            bar.__init__("ABC", float(i), 10.5, 9.8, 10.0, 10.2, bar_span=60)
        grown_bytes = tracemalloc.get_traced_memory()[0] - traced
        grown_blocks = sys.getallocatedblocks() - blocks
    finally:
        tracemalloc.stop()
    assert grown_bytes < 100_000 and grown_blocks < 1000  # one record per call would be over 2 MB
    assert bar.timestamp == 19999.0


def test_init_on_a_view_is_refused_and_leaves_the_memory_alone():
    image = bytearray(bytes(memoryview(BarData(*PRICES, bar_span=60))))
    before = bytes(image)
    for cls in (BarData, SubBar):
        view = cls.from_buffer(image)
        with pytest.raises(MemoryError) as exc:
            view.__init__("XYZ", 2.0, 1.0, 1.0, 1.0, 1.0, bar_span=1)
        assert str(exc.value) == f"Can not initialize a view of {cls.__name__}."
        assert bytes(image) == before and view._owner == 0
    # Conversions and the ticker check come first; the span rule is never reached.
    with pytest.raises(TypeError, match="Argument 'ticker'"):
        view.__init__(TickerStr("X"), 1.0, 1.0, 1.0, 1.0, 1.0, bar_span=1)
    with pytest.raises(TypeError, match="must be real number"):
        view.__init__("X", 1.0, 1.0, 1.0, 1.0, "bad", bar_span=1)
    with pytest.raises(MemoryError):
        view.__init__("X", 1.0, 1.0, 1.0, 1.0, 1.0)


def test_allocation_alone_leaves_the_bar_uninitialised():
    bar = BarData.__new__(BarData)
    assert bar._owner == 1 and repr(bar) == "<BarData>(uninitialized)"
    assert isinstance(BarData.__new__(SubBar, "ignored", key=1), SubBar)


def test_repeated_keyword_names_bind_like_the_first_time():
    # Both calls pass the same constant tuple of keyword names; the second
    # also gives `volume` by position, which must still be refused.
    def build(second):
        if second:
            return BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, 7.0, volume=1.0, bar_span=60)
        return BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1.0, bar_span=60)

    for _ in range(3):
        assert build(False).volume == 1.0
        with pytest.raises(TypeError, match="multiple values for argument 'volume'"):
            build(True)
    assert build(False).bar_span_seconds == 60.0
