"""Fuzzing harness for the bar classes.

Every input is one scenario: a bar made from foreign bytes (`from_bytes`), laid
over a foreign buffer (`from_buffer`, the input choosing the exporter, its
kind, offsets, steps, shape and writability) or built by a constructor from
arguments decoded from the input (numbers of every kind, text, dates, time
deltas, hostile objects whose conversions raise, return the wrong type or
change the bar, and keyword names whose hashing runs code).  Every member of
the resulting bar is then used: properties, item reads and writes, the text
form, copying, buffer export and the byte round trip.  Two more scenarios apply
the base class's initialiser to bars of every state and call the daily members
unbound on foreign objects.

Each outcome is checked against a plain-Python model of the classes: a call
either gives the value the model computes from the record bytes or raises the
exception type the model raises.  A mismatch raises `Mismatch`; so does any
exception the classes do not document.  Under atheris either one is reported
as a crash, as is any fault the sanitizers see.

The model, the subclasses and the hostile arguments come from the test kit
(tests/kit/), which the property tests share.  `exercise(data)` needs nothing
but the package and the kit: `tools/fuzz.sh --harness bars` runs it under
atheris, tests/test_fuzz_regressions.py replays committed inputs through it.
"""

import array
import copy
import ctypes
import datetime
import decimal
import fractions
import gc
import math
import pathlib
import pickle
import struct
import sys
import types
import warnings

import tarnwick.profile
from tarnwick.base import candlestick
from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.base.market_data import MarketData

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from kit import layout, model  # noqa: E402 - the kit lives beside the tests
from kit.model import (  # noqa: E402
    MEMBERS, Mismatch, as_double, as_uint32, expect_same, init, member_value, outcome, reinit, ticker_field,
)
from kit.objects import (  # noqa: E402
    BAR_CLASSES, HOSTILE_MODES, BytesSub, FloatSub, Hostile, HostileError, HostileFloat, HostileIndex, HostileInt,
    IntSub,
    LyingFloat, LyingInt, MeddlingKey, NotABar, Probe, SpanDelta, StrSub,
)

RECORD_SIZE = layout.SIZE
UINT32_MAX = 2**32 - 1
image = layout.image


# ---- decoding the input ------------------------------------------------------------


class Input:
    """Decisions read from the fuzz bytes; past the end every read gives zeros."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def byte(self):
        chunk = self.take(1)
        return chunk[0] if chunk else 0

    def below(self, n):
        return self.byte() % n

    def choice(self, options):
        return options[self.below(len(options))]

    def u16(self):
        return int.from_bytes(self.take(2).ljust(2, b"\0"), "little")

    def u64(self):
        return int.from_bytes(self.take(8).ljust(8, b"\0"), "little")

    def float64(self):
        return struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0]

    def blob(self, limit):
        return self.take(self.u16() % (limit + 1))

    def rest(self):
        chunk = self.data[self.pos:]
        self.pos = len(self.data)
        return chunk


SPECIAL_FLOATS = (0.0, -0.0, 1.0, 1.5, -1.0, 60.0, 3600.0, 59.999, 3600.5, 0.5, -2.0, math.inf, -math.inf,
                  math.nan, -math.nan, 1e300, -1e300, 5e-324, 2.0**53, 1704067200.0, 20240105.0, 20240105.9,
                  99991231.0, 10101.0, 1e18, -1e18, 86400.0 * 999999999, 86400.0 * 1e9)
SPECIAL_INTS = (0, 1, -1, 2, 60, 3600, UINT32_MAX, UINT32_MAX + 1, 2**31 - 1, 2**31, -2**31, -2**31 - 1,
                2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, -2**63 - 1, 10**30, -10**30, 20240105, 99991231)
NUMBER_TEXTS = ("60", " 60 ", "6_0", "1e3", "-0", "nan", "-inf", "Infinity", "abc", "", "1__0", "0x10",
                "\u0666\u0660", "60\0", "1" * 400, " ", "3600.0", "١٢")
TICKERS = (None, "", "ABC", "A" * 32, "A" * 33, "\u00e9" * 16, "\u00e9" * 17, "A\0B", "\ud800", "\U0001f4c8",
           "abc def", "\xff\xfe")


def decode_float(inp):
    if inp.byte() & 1:
        return inp.choice(SPECIAL_FLOATS)
    return inp.float64()


def decode_int(inp):
    if inp.byte() & 1:
        return inp.choice(SPECIAL_INTS)
    return inp.u64() - 2**63


def decode_date(inp):
    year = 1 + inp.u16() % 9999
    month = 1 + inp.below(12)
    day = 1 + inp.below(28)
    if inp.byte() & 1:
        zone = inp.choice((None, datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=-5))))
        return datetime.datetime(year, month, day, inp.below(24), inp.below(60), tzinfo=zone)
    return datetime.date(year, month, day)


def decode_value(inp, target=None):
    """One argument or item value of any kind the classes may be handed."""
    kind = inp.below(20)
    if kind <= 4:
        return decode_float(inp)
    if kind <= 7:
        return decode_int(inp)
    if kind == 8:
        return bool(inp.byte() & 1)
    if kind == 9:
        return None
    if kind == 10:
        text = inp.choice(NUMBER_TEXTS)
        return StrSub(text) if inp.byte() & 1 else text
    if kind == 11:
        text = inp.choice(NUMBER_TEXTS).encode("utf-8", "surrogatepass")
        return bytearray(text) if inp.byte() & 1 else text
    if kind == 12:
        try:
            return datetime.timedelta(seconds=decode_float(inp))
        except (OverflowError, ValueError):
            return datetime.timedelta(days=inp.below(5))
    if kind == 13:
        result = inp.choice((decode_float(inp), decode_int(inp), "text", None, HostileError("total_seconds"),
                             Hostile("plain", 1.0, None)))
        return SpanDelta(result, seconds=inp.below(100))
    if kind == 14:
        return decode_date(inp)
    if kind in (15, 16):
        mode = inp.choice(HOSTILE_MODES)
        maker = inp.choice((HostileFloat, HostileIndex, HostileInt))
        value = decode_int(inp) if maker is not HostileFloat else decode_float(inp)
        if inp.byte() & 1:  # a conversion that gives a subclass, whose value counts
            value = inp.choice((FloatSub, LyingFloat) if maker is HostileFloat else (IntSub, LyingInt))(value)
        return maker(mode, value, target)
    if kind == 17:
        return inp.choice((fractions.Fraction(7, 2), decimal.Decimal("2.5"), decimal.Decimal("nan"),
                           decimal.Decimal("-0"), 1 + 2j, decimal.Decimal("1e400"), decimal.Decimal("-1e30")))
    if kind == 18:
        if inp.byte() & 1:
            return inp.choice((IntSub, LyingInt))(decode_int(inp))
        return inp.choice((FloatSub, LyingFloat))(decode_float(inp))
    return inp.choice((object(), [], "", b"", (), {}, ...))


# ---- checks against the model ------------------------------------------------------


def check_members(bar, record, inp):
    model.check_members(bar, record)
    for key in (inp.choice(("timestamp", "vwap", "ticker", "", "close_price ", "bar_span")),
                inp.choice((0, None, b"close_price", StrSub("close_price"), 1.5))):
        ok, error = outcome(bar.__getitem__, key)
        wanted = KeyError if type(key) is str else TypeError
        if ok or type(error) is not wanted:
            raise Mismatch(f"bar[{key!r}] gave {error!r}")


def check_refusals(bar):
    for action, wanted in ((lambda: pickle.dumps(bar), TypeError), (lambda: copy.deepcopy(bar), TypeError),
                           (lambda: list(bar), TypeError), (lambda: 0 in bar, TypeError),
                           (lambda: bar.__delitem__("volume"), NotImplementedError),
                           (lambda: bar.__setstate__(None), TypeError)):
        ok, error = outcome(action)
        if ok or type(error) is not wanted:
            raise Mismatch(f"{action.__code__.co_firstlineno}: expected {wanted.__name__}, got {error!r}")


def check_item_write(bar, record, writable, inp):
    """One item assignment decoded from the input; returns the record afterwards."""
    key = inp.choice((*layout.ITEM_KEYS, *layout.ITEM_KEYS, "timestamp", "bar_span", 0, None))
    Probe.fired = False
    value = decode_value(inp, bar)
    ok, error = outcome(bar.__setitem__, key, value)
    after = image(bar)
    if Probe.fired:
        return after  # the value changed the bar while being converted: no model for that
    if type(key) is not str:
        expected = (False, TypeError("Argument 'key' has incorrect type"))
    elif key not in layout.ITEM_KEYS:
        ok_text, text = outcome(format, value, "")
        expected = (False, KeyError() if ok_text else text)
    else:
        convert = as_uint32 if key == "trade_count" else as_double
        expected = outcome(convert, value)
        if expected[0] and not writable:
            expected = (False, TypeError("read-only"))
    expect_same(f"bar[{key!r}] = {value!r}", (ok, None if ok else error), (expected[0], None if expected[0] else
                                                                           expected[1]))
    if not ok:
        if after != record:
            raise Mismatch(f"failed write of {key!r} changed the record")
        return after
    if key == "trade_count":
        wanted = record[:layout.OFFSETS["trade_count"]] + struct.pack("=I", expected[1])
    else:
        offset = layout.OFFSETS[key]
        wanted = record[:offset] + struct.pack("=d", expected[1]) + record[offset + 8:]
    if after != wanted:
        raise Mismatch(f"write of {key!r} = {value!r} stored {after.hex()}, expected {wanted.hex()}")
    expect_same(f"read back {key!r}", outcome(bar.__getitem__, key), expected)
    return after


def check_bar(bar, inp, writable):
    """Everything a holder of `bar` may do with it, against the model."""
    record = image(bar)
    check_members(bar, record, inp)
    for _ in range(inp.below(4)):
        record = check_item_write(bar, record, writable, inp)
    if image(bar) != record:
        raise Mismatch("record changed by reads")
    duplicate = copy.copy(bar)
    if type(duplicate) is not BarData or image(duplicate) != record or duplicate._owner != 1:
        raise Mismatch("copy differs from its source")
    duplicate["close_price"] = -1.5
    if image(bar) != record:
        raise Mismatch("writing a copy changed its source")
    rebuilt = type(bar).from_bytes(record)
    if type(rebuilt) is not type(bar) or image(rebuilt) != record:
        raise Mismatch("byte round trip differs")
    check_refusals(bar)
    ok, error = outcome(bar.__init__, "X", *([datetime.date(2024, 1, 5)] if isinstance(bar, DailyBar) else [1.0]),
                        1.0, 1.0, 1.0, 1.0, bar_span=1)
    if bar._owner == 0:
        if ok or type(error) is not MemoryError or image(bar) != record:
            raise Mismatch(f"initialising a view gave {error!r}")
    elif not ok:
        raise Mismatch(f"initialising an owning bar again failed: {error!r}")


# ---- scenarios -----------------------------------------------------------------------


class ResizingNew(BarData):
    """A class whose allocation tries to move the memory that `from_buffer` is about to use."""

    exporter = None

    def __new__(cls, *args, **kwargs):
        target = ResizingNew.exporter
        if isinstance(target, Exporter):
            target = target.inner
        if isinstance(target, (bytearray, array.array)):
            try:
                if isinstance(target, bytearray):
                    target.extend(bytes(4096))
                else:
                    target.frombytes(bytes(4096 * target.itemsize))
            except BufferError:
                pass
            else:
                Probe.fired = True
        return super().__new__(cls)


class Exporter:
    """A buffer exporter written in Python, handing out a view of another object."""

    def __init__(self, inner):
        self.inner = inner
        self.released = 0

    def __buffer__(self, flags):
        return memoryview(self.inner)

    def __release_buffer__(self, view):
        self.released += 1


def scenario_from_bytes(inp):
    cls = inp.choice((*BAR_CLASSES, NotABar))
    data = inp.blob(300)
    if inp.byte() & 1 and data:
        data = data * (1 + RECORD_SIZE // len(data))
    ok, bar = outcome(cls.from_bytes, data)
    if cls is NotABar:
        expected = TypeError
    else:
        expected = None if len(data) >= RECORD_SIZE else ValueError
    if (ok and expected is not None) or (not ok and type(bar) is not expected):
        raise Mismatch(f"from_bytes({len(data)} bytes) on {cls.__name__}: {bar!r}")
    if ok:
        if type(bar) is not cls or bar._owner != 1 or image(bar) != data[:RECORD_SIZE]:
            raise Mismatch("from_bytes made the wrong bar")
        check_bar(bar, inp, writable=True)


def scenario_from_bytes_refusal(inp):
    data = inp.blob(200)
    argument = inp.choice((bytearray(data), memoryview(data), StrSub(data.hex()), data.hex(), None, 5,
                           BytesSub(data)))
    ok, error = outcome(inp.choice(BAR_CLASSES).from_bytes, argument)
    if ok or type(error) is not TypeError:
        raise Mismatch(f"from_bytes({type(argument).__name__}) gave {error!r}")


def make_exporter(inp):
    """An object to lay a bar over, and whether its memory may be written."""
    payload = inp.blob(400)
    if inp.byte() & 1 and payload:
        payload = payload * (1 + 300 // len(payload))
    kind = inp.below(12)
    if kind == 0:
        return bytes(payload)
    if kind == 1:
        return bytearray(payload)
    if kind in (2, 3):
        base = bytearray(payload) if kind == 2 else bytes(payload)
        start = inp.below(64) - 8
        stop = inp.choice((None, len(base), len(base) - inp.below(64), inp.below(200)))
        step = inp.choice((1, 1, 1, 2, 3, -1, -2, None))
        return memoryview(base)[start:stop:step]
    if kind == 4:
        code = inp.choice(array.typecodes)
        size = array.array(code).itemsize
        usable = len(payload) - len(payload) % size
        arr = array.array(code)
        arr.frombytes(payload[:usable])
        return arr
    if kind == 5:
        cols = 1 + inp.below(16)
        rows = max(1, len(payload) // cols)
        payload = payload[:rows * cols].ljust(rows * cols, b"\0")
        base = memoryview(bytearray(payload) if inp.byte() & 1 else bytes(payload))
        return base.cast("B", (rows, cols))
    if kind == 6:
        base = memoryview(bytearray(payload) if inp.byte() & 1 else bytes(payload))
        return base.cast(inp.choice(("c", "b", "B", "?", "H", "d")) if len(base) % 8 == 0 else
                         inp.choice(("c", "b", "B")))
    if kind == 7:
        ctype = inp.choice((ctypes.c_ubyte, ctypes.c_char, ctypes.c_byte, ctypes.c_bool, ctypes.c_uint16))
        arr = (ctype * (len(payload) // ctypes.sizeof(ctype)))()
        ctypes.memmove(arr, payload, ctypes.sizeof(arr))
        return arr
    if kind == 8:
        return Exporter(make_exporter(inp))
    if kind == 9:
        return None
    if kind == 10:
        return inp.choice((5, "text" * 40, [0] * 200, object(), 1.5))
    source = memoryview(bytes(payload))
    if len(source) >= 1 and inp.byte() & 1:
        return memoryview(source.cast("B", ()) if len(source) == 1 else source)  # zero dimensions for one byte
    return BarData.from_bytes(bytes(payload).ljust(RECORD_SIZE, b"\0"))


def model_from_buffer(obj, cls):
    """The exception `from_buffer` must raise for `obj`, or None with the expected record."""
    if obj is None:
        return (TypeError if cls is NotABar else IndexError), None
    try:
        view = memoryview(obj)
    except TypeError:
        return TypeError, None
    with view:
        fmt = view.format.lstrip("@=<>!")
        if view.ndim != 1 or fmt not in ("B", "c", "?") or view.itemsize != 1:
            return ValueError, None
        if cls is NotABar:
            return TypeError, None
        if view.nbytes == 0:
            return IndexError, None
        if view.nbytes < RECORD_SIZE or view.strides[0] != 1:
            return ValueError, None
        return None, (view.tobytes()[:RECORD_SIZE], not view.readonly)


def scenario_from_buffer(inp):
    exporter = make_exporter(inp)
    cls = inp.choice((*BAR_CLASSES, NotABar, ResizingNew))
    wanted, expected = model_from_buffer(exporter, cls)
    ResizingNew.exporter = exporter
    Probe.fired = False
    try:
        ok, bar = outcome(cls.from_buffer, exporter)
    finally:
        ResizingNew.exporter = None
    if Probe.fired:
        raise Mismatch("the exporter's memory could be moved while from_buffer was using it")
    if ok != (wanted is None) or (not ok and type(bar) is not wanted):
        raise Mismatch(f"from_buffer({type(exporter).__name__}) on {cls.__name__}: got {bar!r}, "
                       f"expected {wanted}")
    if not ok:
        return
    record, writable = expected
    if type(bar) is not cls or bar._owner != 0 or image(bar) != record:
        raise Mismatch("from_buffer made the wrong bar")
    check_bar(bar, inp, writable)
    record = image(bar)
    # The memory is shared both ways, and pinned while the bar lives.
    target = exporter.inner if isinstance(exporter, Exporter) else exporter
    if writable:
        with memoryview(exporter) as raw, raw.cast("B") as raw_bytes:
            offset = inp.below(RECORD_SIZE)
            raw_bytes[offset] = (raw_bytes[offset] + 1) % 256
            if image(bar)[offset] != raw_bytes[offset]:
                raise Mismatch("a write to the exporter is not seen by the bar")
        record = image(bar)
    if isinstance(target, (bytearray, array.array)):
        grow = (lambda: target.extend(b"x")) if isinstance(target, bytearray) else (lambda: target.pop())
        ok, error = outcome(grow)
        if ok or type(error) is not BufferError:
            raise Mismatch(f"resizing the exporter under a live bar gave {error!r}")
    del exporter, target
    gc.collect()
    if image(bar) != record:
        raise Mismatch("the record changed after the exporter was dropped")
    check_members(bar, record, inp)


def decode_call(inp, daily, target):
    count = 1 + inp.below(12)
    args = []
    for position in range(count):
        if position == 0:
            args.append(inp.choice(TICKERS) if inp.byte() % 4 else decode_value(inp, target))
        elif position == 1 and daily and inp.byte() % 4:
            args.append(decode_date(inp))
        else:
            args.append(decode_value(inp, target) if inp.byte() % 3 else decode_float(inp))
    kwargs = {}
    names = (("volume", "notional", "trade_count", "bar_span", "timestamp", "start_timestamp", "extra", "ticker")
             if daily else ("volume", "notional", "trade_count", "start_timestamp", "bar_span", "extra",
                            "ticker", "timestamp"))
    for _ in range(inp.below(4)):
        kwargs[inp.choice(names)] = decode_value(inp, target)
    if inp.byte() % 8 == 0:
        key = MeddlingKey(inp.choice(("extra", "volume", "timestamp")), inp.choice(("plain", "raise", "mutate")),
                          target)
        kwargs = {**kwargs, key: decode_float(inp)}
    if len(args) > 2 and inp.byte() % 3 == 0:
        kwargs.setdefault("bar_span", inp.choice((60, 1, 3600.0, None, "60")))
    return args, kwargs


def armed_call(function, args, kwargs):
    """function(*args, **kwargs) with meddling keyword names at work, even while the call is assembled."""
    MeddlingKey.armed = True
    try:
        return True, function(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - compared with the model by the caller
        return False, error
    finally:
        MeddlingKey.armed = False


def scenario_construct(inp):
    cls = inp.choice(BAR_CLASSES)
    daily = issubclass(cls, DailyBar)
    bar = cls.__new__(cls)
    args, kwargs = decode_call(inp, daily, bar)
    Probe.fired = False
    ok, error = armed_call(bar.__init__, args, kwargs)
    fired = Probe.fired or any(type(key) is MeddlingKey for key in kwargs)
    Probe.fired = False
    model_ok, result = outcome(init, cls, args, kwargs)
    if not fired:
        if model_ok != ok or (not ok and not issubclass(type(error), type(result))
                              and type(error) is not type(result)):
            raise Mismatch(f"{cls.__name__}(*{args!r}, **{kwargs!r}): got {error!r}, expected {result!r}")
        if ok and image(bar) != result[0]:
            raise Mismatch(f"{cls.__name__}(*{args!r}, **{kwargs!r}) built {image(bar).hex()}, "
                           f"expected {result[0].hex()}")
        if ok:
            for key, value in result[1].items():
                if key == "start_timestamp":
                    continue
                if getattr(bar, str(key)) is not value:
                    raise Mismatch(f"extra keyword {key!r} not kept")
    if ok or has_record(bar):
        check_bar(bar, inp, writable=True)
    else:
        for name in MEMBERS:
            got_ok, got = outcome(member_value, bar, name)
            if name == "repr" and not daily:
                if got != "<BarData>(uninitialized)":
                    raise Mismatch(f"repr of an uninitialised bar: {got!r}")
            elif got_ok or type(got) not in (ValueError, AttributeError):
                raise Mismatch(f"{name} of an uninitialised bar gave {got!r}")


def scenario_views_and_reinit(inp):
    """A constructed bar, views over its export and over a bytearray copy, and repeated initialisation."""
    bar = BarData("ABC", 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0, trade_count=12,
                  bar_span=60)
    cls = inp.choice(BAR_CLASSES)
    over_export = cls.from_buffer(memoryview(bar))
    check_bar(over_export, inp, writable=False)
    shared = bytearray(image(bar))
    over_copy = cls.from_buffer(shared)
    daily = issubclass(cls, DailyBar)
    args, kwargs = decode_call(inp, daily, over_copy)
    Probe.fired = False
    ok, error = armed_call(over_copy.__init__, args, kwargs)
    model_ok, result = outcome(init, cls, args, kwargs, view=True)
    meddled = Probe.fired or any(type(key) is MeddlingKey for key in kwargs)
    if not meddled and (ok or model_ok or type(error) is not type(result)):
        raise Mismatch(f"initialising a view: got {error!r}, expected {result!r}")
    if bytes(shared) != image(bar) and not meddled:
        raise Mismatch("initialising a view changed the shared memory")
    check_bar(over_copy, inp, writable=True)


def scenario_reinit(inp):
    """__init__ called again on an owning bar that has extra attributes and a live export: a call
    that succeeds gives exactly the new values, seen through the export too; one that fails
    changes nothing, neither the record nor the extra attributes."""
    cls = inp.choice(BAR_CLASSES)
    daily = issubclass(cls, DailyBar)
    when = datetime.date(2024, 1, 5) if daily else 1000.0
    extras = {"venue": "XNAS", "note": 7}
    bar = cls("ABC", when, 10.5, 9.8, 10.0, 10.2, volume=1500.0, trade_count=12, bar_span=5 if daily else 60,
              **extras)
    export = memoryview(bar)
    record = image(bar)
    args, kwargs = decode_call(inp, daily, bar)
    Probe.fired = False
    ok, error = armed_call(bar.__init__, args, kwargs)
    meddled = Probe.fired or any(type(key) is MeddlingKey for key in kwargs)
    Probe.fired = False
    if not meddled:
        want_ok, want_error, want_record, want_extras = reinit(cls, record, extras, args, kwargs)
        call = f"{cls.__name__}.__init__(*{args!r}, **{kwargs!r}) again"
        if ok != want_ok or (not ok and not isinstance(error, type(want_error))
                             and type(error) is not type(want_error)):
            raise Mismatch(f"{call}: got {error!r}, expected {want_error!r}")
        if image(bar) != want_record or export.tobytes() != want_record:
            raise Mismatch(f"{call} left {image(bar).hex()}, expected {want_record.hex()}")
        for key, value in want_extras.items():
            if key != "start_timestamp" and getattr(bar, str(key), None) is not value:
                raise Mismatch(f"{call}: extra attribute {key!r} is {getattr(bar, str(key), None)!r}, "
                               f"expected {value!r}")
        for key in kwargs:
            if key not in want_extras and not hasattr(cls, key) and hasattr(bar, key):
                raise Mismatch(f"{call}: a refused call set the extra attribute {key!r}")
    export.release()
    check_bar(bar, inp, writable=True)


def make_any_bar(inp):
    """A bar of any class and state, with whether its memory may be written."""
    cls = inp.choice(BAR_CLASSES)
    record = inp.take(RECORD_SIZE).ljust(RECORD_SIZE, b"\0")
    state = inp.below(4)
    if state == 0:
        return cls.from_bytes(record), True
    if state == 1:
        return cls.from_buffer(bytearray(record)), True
    if state == 2:
        return cls.from_buffer(record), False
    return cls.__new__(cls), True


def scenario_base_initialiser(inp):
    """The base class's initialiser applied to a bar: owning bars take a new header, views refuse."""
    bar, writable = make_any_bar(inp)
    ticker = inp.choice(TICKERS)
    timestamp = decode_value(inp, bar)
    extras = {"extra": decode_float(inp)} if inp.byte() & 1 else {}
    before = image(bar) if has_record(bar) else None
    Probe.fired = False
    ok, error = outcome(MarketData.__init__, bar, ticker, timestamp, **extras)
    if Probe.fired:
        if has_record(bar):
            check_bar(bar, inp, writable)
        return
    if before is None:
        if ok or type(error) not in (ValueError, TypeError, OverflowError, HostileError):
            raise Mismatch(f"base initialiser on a bar without a record gave {error!r}")
        return
    try:
        converted = as_double(timestamp)
        encoded = ticker_field(ticker)
    except Exception as expected:  # noqa: BLE001 - compared with what the class raised
        if ok or not isinstance(error, type(expected)) and not isinstance(expected, type(error)):
            raise Mismatch(f"base initialiser: got {error!r}, expected {expected!r}")
        if image(bar) != before:
            raise Mismatch("a refused base initialiser changed the record")
        return
    if bar._owner == 0:
        if ok or type(error) is not MemoryError or image(bar) != before:
            raise Mismatch(f"base initialiser on a view gave {error!r}")
        return
    if not ok:
        raise Mismatch(f"base initialiser on an owning bar failed: {error!r}")
    wanted = bytes([40]) + encoded.ljust(32, b"\0") + struct.pack("=d", converted) + before[41:]
    if image(bar) != wanted:
        raise Mismatch(f"base initialiser wrote {image(bar).hex()}, expected {wanted.hex()}")
    check_bar(bar, inp, writable)


FOREIGN_SELVES = (None, 5, "text", object(), types.SimpleNamespace(timestamp=20240105.0, market_date=None,
                                                                    bar_span=datetime.timedelta(days=1)))


def scenario_foreign_self(inp):
    """The daily members called unbound, on whatever object the input picks as `self`."""
    members = [member.fget if isinstance(member, property) else member
               for name, member in vars(DailyBar).items() if not name.startswith("__") or name in (
                   "__init__", "__repr__")]
    function = inp.choice(members)
    writable = True
    if inp.byte() & 1:
        target, writable = make_any_bar(inp)
    else:
        target = inp.choice((*FOREIGN_SELVES, MarketData.__new__(MarketData)))
    args = [decode_value(inp) for _ in range(inp.below(3))]
    ok, error = outcome(function, target, *args)
    if not ok and type(error) not in (TypeError, AttributeError, ValueError, OverflowError, OSError,
                                      HostileError):
        raise Mismatch(f"{function.__qualname__} on {type(target).__name__}: {error!r}")
    if isinstance(target, BarData) and has_record(target):
        check_bar(target, inp, writable)


SCENARIOS = (scenario_from_bytes, scenario_from_bytes, scenario_from_buffer, scenario_from_buffer,
             scenario_from_buffer, scenario_construct, scenario_construct, scenario_construct,
             scenario_from_bytes_refusal, scenario_views_and_reinit, scenario_base_initialiser,
             scenario_foreign_self, scenario_reinit, scenario_reinit)

ZONES = (datetime.timezone.utc, None, datetime.timezone(datetime.timedelta(hours=5, minutes=30)),
         datetime.timezone(datetime.timedelta(hours=-23, minutes=-59)))


def has_record(bar):
    try:
        memoryview(bar).release()
        return True
    except ValueError:
        return False


def exercise(data):
    """Runs the scenario that `data` describes; raises on any undocumented behaviour."""
    inp = Input(data)
    scenario = inp.choice(SCENARIOS)
    profile = tarnwick.profile.PROFILE
    saved_zone = profile.time_zone
    saved_profile = candlestick.PROFILE
    try:
        profile.time_zone = inp.choice(ZONES)
        if inp.byte() % 8 == 0:
            candlestick.PROFILE = types.SimpleNamespace(time_zone=inp.choice((*ZONES, 5, "UTC")))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            scenario(inp)
    finally:
        profile.time_zone = saved_zone
        candlestick.PROFILE = saved_profile
