"""Subclasses and hostile arguments that the tests and the fuzzer hand to the bar classes."""

import datetime

from tarnwick.base.candlestick import BarData, DailyBar


class SubBar(BarData):
    pass


class SubDaily(DailyBar):
    pass


BAR_CLASSES = (BarData, DailyBar, SubBar, SubDaily)


class NotABar(BarData):
    """A class whose allocation gives something that is not a bar."""

    def __new__(cls, *args, **kwargs):
        return 5


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class LyingFloat(float):
    """A float whose own conversion gives another number: the C conversions read a
    float's value and never call it, `float()` calls it."""

    def __float__(self):
        return -7.25

    def __int__(self):
        return 11


class LyingInt(int):
    """An int whose conversions give other numbers; its value is what counts."""

    def __float__(self):
        return -7.25

    def __int__(self):
        return 11

    def __index__(self):
        return 13


class HostileError(Exception):
    """Raised on purpose by a hostile argument; documented to pass through."""


class Probe:
    """Set when a hostile argument changed the bar it was handed to."""

    fired = False


class Hostile:
    """A number-like object whose one conversion misbehaves in the chosen way:
    "plain" gives `value`, "raise" raises HostileError, "wrong-type" gives text,
    "mutate" changes `target` (a bar) and then gives `value`."""

    def __init__(self, mode, value, target=None):
        self.mode = mode
        self.value = value
        self.target = target

    def _convert(self, wanted):
        mode = self.mode
        if mode == "raise":
            raise HostileError(wanted)
        if mode == "wrong-type":
            return "not a number"
        if mode == "mutate" and self.target is not None:
            Probe.fired = True
            bar = self.target
            try:
                bar["volume"] = 123.0
                bar["trade_count"] = 7
            except (TypeError, ValueError):
                pass
            when = datetime.date(2024, 1, 5) if isinstance(bar, DailyBar) else 1.0
            try:
                bar.__init__("MUT", when, 2.0, 3.0, 4.0, 5.0, bar_span=60)
            except (MemoryError, ValueError, TypeError):
                pass
        return self.value

    def __repr__(self):
        return f"{type(self).__name__}({self.mode!r}, {self.value!r})"


class HostileFloat(Hostile):
    def __float__(self):
        return self._convert("float")


class HostileIndex(Hostile):
    def __index__(self):
        return self._convert("index")


class HostileInt(Hostile):
    def __int__(self):
        return self._convert("int")


HOSTILE_MODES = ("plain", "raise", "wrong-type", "mutate")


class MeddlingKey(str):
    """A keyword name whose hashing and comparison run code against the bar."""

    armed = False  # meddles only while the classes are at work, not while a call is assembled

    def __new__(cls, text, mode, target):
        self = super().__new__(cls, text)
        self.mode = mode
        self.target = target
        return self

    def _meddle(self):
        if not MeddlingKey.armed:
            return
        Probe.fired = True
        if self.mode == "raise":
            raise HostileError("key")
        bar = self.target
        if bar is not None and self.mode == "mutate":
            try:
                bar["close_price"] = -3.0
            except (TypeError, ValueError):
                pass

    def __hash__(self):
        self._meddle()
        return str.__hash__(self)

    def __eq__(self, other):
        self._meddle()
        return str.__eq__(self, other)


class SpanDelta(datetime.timedelta):
    """A time delta whose total_seconds gives `result`, or raises it if it is an exception."""

    def __new__(cls, result, seconds=1):
        self = super().__new__(cls, seconds=seconds)
        self.result = result
        return self

    def total_seconds(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result
