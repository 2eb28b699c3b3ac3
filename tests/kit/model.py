"""A plain-Python model of the bar classes: what each call gives or raises.

The conversions of arguments, the record that a constructor call builds, the
rule for calling `__init__` again, and the value of every member read from
a record.  The property tests and the fuzzer compare the classes with it.

Numbers are converted as the classes promise: the numeric parameters and
item values through the interpreter's C float conversion, which reads a
float (of any subclass) by its value, calls `__float__` or `__index__` of
anything else through its type, reads their results by value too, and never
parses text; `bar_span` of `BarData` through `float()` itself, text
included.
"""

import datetime
import math
import struct

import tarnwick.profile
from tarnwick.base import candlestick
from tarnwick.base.candlestick import DailyBar

from . import layout

UINT32_MAX = 2**32 - 1


class Mismatch(AssertionError):
    """The classes did something the model rules out."""


# ---- conversions -------------------------------------------------------------------


def as_double(value):
    """The C float conversion of an argument (no parsing of text)."""
    if isinstance(value, float):
        return float.__float__(value)  # the value, whatever the subclass's own __float__ says
    kind = type(value)
    if hasattr(kind, "__float__"):
        result = kind.__float__(value)
        if not isinstance(result, float):
            raise TypeError("__float__ returned non-float")
        return float.__float__(result)
    if hasattr(kind, "__index__"):
        result = kind.__index__(value)
        if not isinstance(result, int):
            raise TypeError("__index__ returned non-int")
        return float(int.__index__(result))  # OverflowError beyond the float range
    raise TypeError("must be real number")


def as_integer(value):
    """An int by its value; anything else through its type's __int__, which must give an int."""
    if isinstance(value, int):
        return int.__index__(value)
    kind = type(value)
    if not hasattr(kind, "__int__"):
        raise TypeError("an integer is required")
    result = kind.__int__(value)
    if not isinstance(result, int):
        raise TypeError("__int__ returned non-int")
    return int.__index__(result)


def as_uint32(value):
    number = as_integer(value)
    if number < 0:
        raise OverflowError("can't convert negative value to uint32_t")
    if number >= 2**64:
        raise OverflowError("Python int too large to convert to C unsigned long")
    if number > UINT32_MAX:
        raise OverflowError("value too large to convert to uint32_t")
    return number


def as_int32(value):
    number = as_integer(value)
    if not -2**63 <= number < 2**63:
        raise OverflowError("Python int too large to convert to C long")
    if not -2**31 <= number < 2**31:
        raise OverflowError("value too large to convert to int")
    return number


def ticker_field(ticker):
    if ticker is None:
        return b""
    encoded = ticker.encode("utf-8")  # UnicodeEncodeError (a ValueError) for surrogates
    if len(encoded) > 32 or b"\0" in encoded:
        raise ValueError("ticker does not fit a record")
    return encoded


# ---- constructors ------------------------------------------------------------------

BAR_PARAMETERS = ("ticker", "timestamp", "high_price", "low_price", "open_price", "close_price", "volume",
                  "notional", "trade_count", "start_timestamp", "bar_span")
DAILY_PARAMETERS = ("ticker", "market_date", "high_price", "low_price", "open_price", "close_price", "volume",
                    "notional", "trade_count", "bar_span")


def bind(names, args, kwargs):
    """(bound, extras) as the interpreter binds a call with **kwargs; TypeError as it would."""
    if len(args) > len(names):
        raise TypeError("too many positional arguments")
    bound = dict(zip(names, args))
    extras = {}
    for key, value in kwargs.items():
        if key in bound:
            raise TypeError("multiple values")
        if key in names:
            bound[key] = value
        else:
            extras[key] = value
    if any(name not in bound for name in names[:6]):
        raise TypeError("missing argument")
    return bound, extras


def bar_init(args, kwargs, view=False):
    """(record, extra attributes) that a BarData constructor call builds, or the exception it raises."""
    bound, extras = bind(BAR_PARAMETERS, args, kwargs)
    floats = [as_double(bound[name]) for name in BAR_PARAMETERS[1:6]]
    floats += [as_double(bound[name]) if name in bound else 0.0 for name in ("volume", "notional")]
    trade_count = as_uint32(bound["trade_count"]) if "trade_count" in bound else 0
    start = as_double(bound["start_timestamp"]) if "start_timestamp" in bound else 0.0
    ticker = bound["ticker"]
    if ticker is not None and type(ticker) is not str:
        raise TypeError("Argument 'ticker' has incorrect type")
    if view:
        raise MemoryError("Can not initialize a view")
    encoded = ticker_field(ticker)
    timestamp = floats[0]
    span = bound.get("bar_span")
    if span is None:
        if start == 0.0:
            raise ValueError("Must assign either start_timestamp or bar_span or both.")
        span = timestamp - start
    elif isinstance(span, datetime.timedelta):
        span = as_double(span.total_seconds())
    else:
        span = float(span)
    high, low, open_, close, volume, notional = floats[1:]
    return layout.pack(encoded, timestamp, span, high, low, open_, close, volume, notional, trade_count), extras


def daily_init(args, kwargs, view=False):
    """As `bar_init`, for a DailyBar constructor call."""
    bound, extras = bind(DAILY_PARAMETERS, args, kwargs)
    floats = [as_double(bound[name]) for name in DAILY_PARAMETERS[2:6]]
    floats += [as_double(bound[name]) if name in bound else 0.0 for name in ("volume", "notional")]
    trade_count = as_uint32(bound["trade_count"]) if "trade_count" in bound else 0
    span = as_int32(bound["bar_span"]) if "bar_span" in bound else 1
    ticker = bound["ticker"]
    if ticker is not None and type(ticker) is not str:
        raise TypeError("Argument 'ticker' has incorrect type")
    market_date = bound["market_date"]
    if not isinstance(market_date, datetime.date):
        raise TypeError("Argument 'market_date' has incorrect type")
    if "timestamp" in extras:
        raise TypeError("function() got multiple values for keyword argument 'timestamp'")
    number = market_date.year * 10000 + market_date.month * 100 + market_date.day
    base_kwargs = dict(ticker=ticker, timestamp=number, high_price=floats[0], low_price=floats[1],
                       open_price=floats[2], close_price=floats[3], volume=floats[4], notional=floats[5],
                       trade_count=trade_count, bar_span=span, **extras)
    return bar_init((), base_kwargs, view)


def init(cls, args, kwargs, view=False):
    return (daily_init if issubclass(cls, DailyBar) else bar_init)(args, kwargs, view)


def reinit(cls, record, extras, args, kwargs):
    """`__init__` called again on an owning bar of `cls` that holds `record` and the extra
    attributes `extras`: (ok, error or None, record, extras) afterwards.  A call that
    succeeds gives exactly the new values, keeping earlier extra attributes that it
    does not set again; a call that fails changes nothing."""
    ok, result = outcome(init, cls, args, kwargs)
    if not ok:
        return False, result, record, extras
    new_record, new_extras = result
    return True, None, new_record, {**extras, **new_extras}


# ---- members -----------------------------------------------------------------------


MEMBERS = ("ticker", "timestamp", "high_price", "low_price", "open_price", "close_price", "volume", "notional",
           "trade_count", "start_timestamp", "bar_span_seconds", "bar_span", "vwap", "bar_type", "bar_end_time",
           "bar_start_time", "market_price", "market_time", "market_date", "repr")


def _zone(module):
    return module.PROFILE.time_zone


def _fromtimestamp(value, zone):
    return datetime.datetime.fromtimestamp(value, tz=zone)


def _market_date(r):
    year, rest = divmod(int(r["timestamp"]), 10000)
    month, day = divmod(rest, 100)
    return datetime.date(year=year, month=month, day=day)


def member(cls, record, name):
    """The value of member `name` ("repr" for the text form) of a bar of class `cls`
    over `record`, or the exception it raises."""
    r = layout.unpack(record)
    if name == "ticker":
        return r["ticker"].split(b"\0", 1)[0].decode("utf-8", "replace")
    if name in ("timestamp", *layout.FLOAT_KEYS, "trade_count"):
        return r[name]
    if name == "market_price":
        return r["close_price"]
    if name == "start_timestamp":
        return r["timestamp"] - r["bar_span"]
    if name == "bar_span_seconds":
        return r["bar_span"]
    if name == "vwap":
        return math.nan if r["volume"] <= 0.0 else r["notional"] / r["volume"]
    span = r["bar_span"]
    if issubclass(cls, DailyBar):
        if name in ("market_date", "market_time", "bar_end_time"):
            return _market_date(r)
        if name == "bar_span":
            return datetime.timedelta(days=span)
        if name == "bar_start_time":
            return _market_date(r) - datetime.timedelta(days=span)
        if name == "bar_type":
            if span == 1:
                return "Daily"
            if span > 1:
                return "Daily-Plus"
            text = str(datetime.timedelta(seconds=span))
            raise ValueError(f"Invalid bar_span for {cls.__name__}! Expect an int greater or equal to 1, "
                             f"got {text}.")
        if name == "repr":
            date_text, ticker, o, h, lo, c, v = (format(value, "") for value in (
                _market_date(r), member(cls, record, "ticker"), r["open_price"], r["high_price"], r["low_price"],
                r["close_price"], r["volume"]))
            span_text = "" if span == 1 else f"span={format(span, '')}d, "
            return f"<DailyBar>([{date_text}] {ticker}, {span_text}open={o}, high={h}, low={lo}, close={c}, volume={v})"
    if name == "market_time":
        return _fromtimestamp(r["timestamp"], _zone(tarnwick.profile))
    if name == "bar_span":
        return datetime.timedelta(seconds=span)
    if name == "bar_type":
        return ("Hourly-Plus" if span > 3600.0 else "Hourly" if span == 3600.0 else
                "Minute-Plus" if span > 60.0 else "Minute" if span == 60.0 else "Sub-Minute")
    if name == "bar_end_time":
        return _fromtimestamp(r["timestamp"], _zone(candlestick))
    if name == "bar_start_time":
        return _fromtimestamp(r["timestamp"] - span, _zone(candlestick))
    if name == "market_date":
        raise AttributeError(name)
    if name == "repr":
        when = format(_fromtimestamp(r["timestamp"], _zone(tarnwick.profile)), "%Y-%m-%d %H:%M:%S")
        o, h, lo, c, v = (format(r[key], "") for key in ("open_price", "high_price", "low_price", "close_price",
                                                          "volume"))
        return (f"<BarData>([{when}] {member(cls, record, 'ticker')}, open={o}, high={h}, low={lo}, close={c}, "
                f"volume={v})")
    raise KeyError(name)


def member_value(bar, name):
    return repr(bar) if name == "repr" else getattr(bar, name)


# ---- comparing outcomes ------------------------------------------------------------


def outcome(function, *args, **kwargs):
    """(True, result) or (False, the exception raised)."""
    try:
        return True, function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - every exception is compared with the model's
        return False, error


def same_value(a, b):
    """Equal values of the same type; floats bit for bit, any NaN matching any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack("=d", a) == struct.pack("=d", b)
    if isinstance(a, datetime.datetime):
        return repr(a) == repr(b)
    return a == b


def expect_same(what, actual, expected):
    """Two outcomes agree: equal values, or exceptions of the same type."""
    ok_a, value_a = actual
    ok_e, value_e = expected
    if ok_a and ok_e:
        if not same_value(value_a, value_e):
            raise Mismatch(f"{what}: got {value_a!r}, expected {value_e!r}")
        return
    if ok_a != ok_e or type(value_a) is not type(value_e):
        raise Mismatch(f"{what}: got {'value' if ok_a else 'exception'} {value_a!r}, "
                       f"expected {'value' if ok_e else 'exception'} {value_e!r}")


def check_members(bar, record):
    """Every member and every item of `bar` against the model of a bar of its class over `record`."""
    cls = type(bar)
    for name in MEMBERS:
        expect_same(f"{cls.__name__}.{name}", outcome(member_value, bar, name), outcome(member, cls, record, name))
    for key in layout.ITEM_KEYS:
        expect_same(f"{cls.__name__}[{key!r}]", outcome(bar.__getitem__, key), outcome(member, cls, record, key))
