"""The bar classes users would pick instead of ours, written the way their
users write them: the same fields, the derived values as properties, item
access through getattr/setattr, and each library's own byte form.

Peers take the constructor's arguments except ``start_timestamp`` (a stored
field of that name would shadow the derived property); their positional form
therefore has ten arguments, ours eleven.
"""

from __future__ import annotations

import ctypes
import datetime
import math
import struct
from dataclasses import dataclass

UTC = datetime.timezone.utc
RECORD = struct.Struct("<B32sddddddddI")  # the packed 101-byte bar record
assert RECORD.size == 101


def _bar_type(span: float) -> str:
    if span > 3600.0:
        return "Hourly-Plus"
    if span == 3600.0:
        return "Hourly"
    if span > 60.0:
        return "Minute-Plus"
    if span == 60.0:
        return "Minute"
    return "Sub-Minute"


class _Derived:
    """Derived members shared by the Python-level peers."""

    __slots__ = ()

    @property
    def vwap(self) -> float:
        return self.notional / self.volume if self.volume > 0 else math.nan

    @property
    def bar_type(self) -> str:
        return _bar_type(self.bar_span)

    @property
    def start_timestamp(self) -> float:
        return self.timestamp - self.bar_span

    @property
    def bar_end_time(self) -> datetime.datetime:
        return datetime.datetime.fromtimestamp(self.timestamp, tz=UTC)

    def __getitem__(self, key: str):
        return getattr(self, key)

    def __setitem__(self, key: str, value) -> None:
        setattr(self, key, value)


@dataclass(slots=True)
class DataclassBar(_Derived):
    ticker: str
    timestamp: float
    high_price: float
    low_price: float
    open_price: float
    close_price: float
    volume: float = 0.0
    notional: float = 0.0
    trade_count: int = 0
    bar_span: float = 0.0

    def to_bytes(self) -> bytes:
        return RECORD.pack(40, self.ticker.encode(), self.timestamp, self.bar_span, self.high_price,
                           self.low_price, self.open_price, self.close_price, self.volume, self.notional,
                           self.trade_count)

    @classmethod
    def from_bytes(cls, data: bytes) -> "DataclassBar":
        (_, ticker, timestamp, span, high, low, open_, close, volume, notional,
         count) = RECORD.unpack_from(data)
        return cls(ticker.rstrip(b"\0").decode(), timestamp, high, low, open_, close, volume, notional,
                   count, span)


def make_msgspec_bar():
    """The msgspec peer, or None when msgspec is not installed."""
    try:
        import msgspec
    except ImportError:
        return None

    class MsgspecBar(msgspec.Struct, gc=False):
        ticker: str
        timestamp: float
        high_price: float
        low_price: float
        open_price: float
        close_price: float
        volume: float = 0.0
        notional: float = 0.0
        trade_count: int = 0
        bar_span: float = 0.0

        vwap = _Derived.vwap
        bar_type = _Derived.bar_type
        start_timestamp = _Derived.start_timestamp
        bar_end_time = _Derived.bar_end_time
        __getitem__ = _Derived.__getitem__
        __setitem__ = _Derived.__setitem__

    encoder = msgspec.msgpack.Encoder()
    decoder = msgspec.msgpack.Decoder(MsgspecBar)
    return MsgspecBar, encoder, decoder


class CtypesBar(ctypes.Structure):
    """The same packed layout as a ctypes structure (ticker as bytes)."""

    _pack_ = 1
    _fields_ = [
        ("dtype", ctypes.c_uint8),
        ("ticker", ctypes.c_char * 32),
        ("timestamp", ctypes.c_double),
        ("bar_span", ctypes.c_double),
        ("high_price", ctypes.c_double),
        ("low_price", ctypes.c_double),
        ("open_price", ctypes.c_double),
        ("close_price", ctypes.c_double),
        ("volume", ctypes.c_double),
        ("notional", ctypes.c_double),
        ("trade_count", ctypes.c_uint32),
    ]

    vwap = _Derived.vwap
    bar_type = _Derived.bar_type
    start_timestamp = _Derived.start_timestamp
    bar_end_time = _Derived.bar_end_time
    __getitem__ = _Derived.__getitem__
    __setitem__ = _Derived.__setitem__


assert ctypes.sizeof(CtypesBar) == 101


def make_nautilus_bar():
    """The trading engine's native bar with pre-made BarType, Price and
    Quantity objects, or None when the engine is not installed."""
    try:
        from nautilus_trader.model.data import Bar, BarType
        from nautilus_trader.model.objects import Price, Quantity
    except ImportError:
        return None
    bar_type = BarType.from_str("ABC.XNAS-1-MINUTE-LAST-EXTERNAL")
    return Bar, bar_type, Price, Quantity
