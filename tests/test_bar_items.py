"""BarData item access (the seven record keys), deletion, integer indexing and the text form."""

import ctypes
import fractions
import math
import struct

import pytest

from kit.objects import StrSub
from tarnwick.base.candlestick import BarData

PRICES = ("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2)
TOO_LARGE = "value too large to convert to uint32_t"
NEGATIVE = "can't convert negative value to uint32_t"
NOT_INT = "an integer is required"
TEXT = "<BarData>([1970-01-01 00:16:40] ABC, open=10.0, high=10.5, low=9.8, close=10.2, volume=1500.0)"

# key: (offset, struct code) in the 101-byte record
FIELDS = {
    "high_price": (49, "<d"), "low_price": (57, "<d"), "open_price": (65, "<d"), "close_price": (73, "<d"),
    "volume": (81, "<d"), "notional": (89, "<d"), "trade_count": (97, "<I"),
}

PySequence_GetItem = ctypes.pythonapi.PySequence_GetItem
PySequence_GetItem.restype = ctypes.py_object
PySequence_GetItem.argtypes = (ctypes.py_object, ctypes.c_ssize_t)


class Formatted:
    def __format__(self, format_spec):
        return f"formatted[{format_spec}]"


@pytest.fixture
def bar():
    return BarData(*PRICES, volume=1500.0, notional=15300.0, trade_count=12, bar_span=60)


def image(bar):
    return bytes(memoryview(bar))


def test_reading_every_key(bar):
    values = {key: bar[key] for key in FIELDS}
    assert values == {"high_price": 10.5, "low_price": 9.8, "open_price": 10.0, "close_price": 10.2,
                      "volume": 1500.0, "notional": 15300.0, "trade_count": 12}
    assert {key: type(value) for key, value in values.items()} == {
        key: int if key == "trade_count" else float for key in FIELDS}
    key = "".join(["close", "_", "price"])  # equal to a key but a different object
    assert bar[key] == 10.2


@pytest.mark.parametrize("key", ["timestamp", "vwap", "ticker", "bar_span", "dtype", "", "Close_Price",
                                 "close_price ", "market_price", "close_price\0"])
def test_reading_an_unknown_key(bar, key):
    with pytest.raises(KeyError) as exc:
        bar[key]
    assert exc.value.args == (f"Can not get {key} value.",)


@pytest.mark.parametrize("key, type_name", [
    (0, "int"), (None, "NoneType"), (b"close_price", "bytes"), (StrSub("close_price"), "StrSub"), (1.5, "float"),
])
def test_keys_must_be_exactly_str(bar, key, type_name):
    message = f"Argument 'key' has incorrect type (expected str, got {type_name})"
    before = image(bar)
    with pytest.raises(TypeError) as exc:
        bar[key]
    assert str(exc.value) == message
    with pytest.raises(TypeError) as exc:
        bar[key] = 1.0
    assert str(exc.value) == message
    assert image(bar) == before


@pytest.mark.parametrize("key", FIELDS)
@pytest.mark.parametrize("value, expected", [
    (11, 11), (True, 1), (3.9, 3), (0, 0), (4294967295, 4294967295),
    (type("Number", (), {"__index__": lambda self: 4, "__int__": lambda self: 4})(), 4),
])
def test_writing_touches_only_its_field(bar, key, value, expected):
    if key != "trade_count" and isinstance(value, float):
        expected = value
    before = image(bar)
    bar[key] = value
    after = image(bar)
    offset, code = FIELDS[key]
    end = offset + struct.calcsize(code)
    assert after[:offset] == before[:offset] and after[end:] == before[end:]
    assert struct.unpack_from(code, after, offset)[0] == expected
    assert bar[key] == expected and getattr(bar, key) == expected
    assert type(bar[key]) is (int if key == "trade_count" else float)


@pytest.mark.parametrize("key", [key for key in FIELDS if key != "trade_count"])
@pytest.mark.parametrize("value, error", [("11", TypeError), (None, TypeError), (b"1", TypeError), (1j, TypeError),
                                          (2**1100, OverflowError)])
def test_refused_float_writes_leave_the_record_unchanged(bar, key, value, error):
    before = image(bar)
    with pytest.raises(error):
        bar[key] = value
    assert image(bar) == before


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, NEGATIVE), (-2**70, OverflowError, NEGATIVE), (-1.5, OverflowError, NEGATIVE),
    (4294967296, OverflowError, TOO_LARGE), (2**63, OverflowError, TOO_LARGE), (2**64 - 1, OverflowError, TOO_LARGE),
    ("7", TypeError, NOT_INT), (None, TypeError, NOT_INT),
    (type("IndexOnly", (), {"__index__": lambda self: 4})(), TypeError, NOT_INT),
    (type("BadInt", (), {"__int__": lambda self: "7"})(), TypeError, None),
    # From 2**64 on the interpreter's own overflow error comes through.
    (2**64, OverflowError, None), (2**80, OverflowError, None),
])
def test_refused_trade_count_writes(bar, value, error, message):
    before = image(bar)
    with pytest.raises(error) as exc:
        bar["trade_count"] = value
    if message is not None:
        assert str(exc.value) == message
    assert str(exc.value) not in {TOO_LARGE, NEGATIVE, NOT_INT} - {message}
    assert image(bar) == before


@pytest.mark.parametrize("key, value, text", [
    ("foo", 1.5, "1.5"), ("foo", "x", "x"), ("foo", 10, "10"), ("timestamp", 2.0, "2.0"), ("vwap", "11", "11"),
    ("foo", None, "None"), ("foo", fractions.Fraction(1, 3), "1/3"), ("foo", Formatted(), "formatted[]"),
    ("foo", math.nan, "nan"), ("", -0.0, "-0.0"),
])
def test_writing_an_unknown_key(bar, key, value, text):
    before = image(bar)
    with pytest.raises(KeyError) as exc:
        bar[key] = value
    assert exc.value.args == (f"Can not set {key} to the value {text}.",)
    assert image(bar) == before


def test_unknown_key_value_that_cannot_be_formatted(bar):
    unformattable = type("Unformattable", (), {"__format__": lambda self, format_spec: 1 / 0})()
    with pytest.raises(ZeroDivisionError):
        bar["foo"] = unformattable


@pytest.mark.parametrize("key", ["close_price", "foo", 0, None])
def test_deletion_is_not_supported(bar, key):
    before = image(bar)
    with pytest.raises(NotImplementedError) as exc:
        del bar[key]
    assert str(exc.value) == "Subscript deletion not supported by tarnwick.base.candlestick.BarData"
    assert image(bar) == before


def test_uninitialised_bar_items():
    bar = BarData.__new__(BarData)
    for key in FIELDS:
        with pytest.raises(ValueError, match="^Data not initialized$"):
            bar[key]
        with pytest.raises(ValueError, match="^Data not initialized$"):
            bar[key] = "not converted"  # the record check comes before the conversion
    with pytest.raises(KeyError) as exc:
        bar["foo"]
    assert exc.value.args == ("Can not get foo value.",)
    with pytest.raises(KeyError) as exc:
        bar["foo"] = 1.5
    assert exc.value.args == ("Can not set foo to the value 1.5.",)


@pytest.mark.parametrize("index", [0, 1, -1, 7])
def test_integer_index_through_the_sequence_protocol(bar, index):
    with pytest.raises(TypeError) as exc:
        PySequence_GetItem(bar, index)
    assert str(exc.value) == "Argument 'key' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError):
        len(bar)


def test_text_form(bar, utc_profile):
    assert repr(bar) == TEXT and str(bar) == TEXT and bar.__repr__() == TEXT
    assert repr(BarData.__new__(BarData)) == "<BarData>(uninitialized)"
    bar = BarData("XY", 86400.0 * 365 + 59.5, 4.0, 1.0, 2.0, 3.0, math.nan, bar_span=1)
    bar["close_price"] = -math.inf
    bar["open_price"] = 1e300
    assert repr(bar) == "<BarData>([1971-01-01 00:00:59] XY, open=1e+300, high=4.0, low=1.0, close=-inf, volume=nan)"


class Relabelled(BarData):
    close_price = property(lambda self: "CLOSE")
    volume = property(lambda self: Formatted())
    ticker = property(lambda self: 42)


class Failing(BarData):
    low_price = property(lambda self: 1 / 0)


def test_text_form_uses_attribute_lookup(utc_profile):
    bar = Relabelled(*PRICES, bar_span=60)
    assert repr(bar) == ("<BarData>([1970-01-01 00:16:40] 42, open=10.0, high=10.5, low=9.8, close=CLOSE, "
                         "volume=formatted[])")
    assert repr(Relabelled.__new__(Relabelled)) == "<BarData>(uninitialized)"
    with pytest.raises(ZeroDivisionError):
        repr(Failing(*PRICES, bar_span=60))
