"""Candlestick bars over packed 101-byte records: ``BarData`` (intraday:
epoch seconds and spans in seconds) and ``DailyBar`` (market dates and spans
in days)."""

import datetime
from collections.abc import Buffer
from types import CapsuleType
from typing import Any, ClassVar, Literal, NoReturn, Self, SupportsFloat, SupportsIndex, SupportsInt, final, overload

from tarnwick.base.market_data import DataType, MarketData
from tarnwick.profile import PROFILE as PROFILE

# What the float conversion takes: float, int, bool, objects with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex
# What the unsigned 32-bit conversion takes: int, or anything with __int__ (7.9 gives 7).
_Count = SupportsInt | SupportsIndex
_FloatKey = Literal["high_price", "low_price", "open_price", "close_price", "volume", "notional"]
_IntradayType = Literal["Hourly-Plus", "Hourly", "Minute-Plus", "Minute", "Sub-Minute"]

@final
class _BufferPin:
    """Keeps an exporter's memory alive and pinned while bars read it."""

class BarData(MarketData):
    """Represents a single bar of market data for a specific ticker within a given time frame.

    The bar's values live in one packed 101-byte record, exported read-only
    through the buffer protocol (``memoryview(bar)``).
    """

    _dtype: ClassVar[DataType | int]
    __market_data_vtable__: ClassVar[CapsuleType]
    def __init__(
        self,
        ticker: str | None,
        timestamp: _Float,
        high_price: _Float,
        low_price: _Float,
        open_price: _Float,
        close_price: _Float,
        volume: _Float = 0.0,
        notional: _Float = 0.0,
        trade_count: _Count = 0,
        start_timestamp: _Float = 0.0,
        bar_span: datetime.timedelta | _Float | str | bytes | bytearray | None = None,
        **kwargs: Any,
    ) -> None:
        """Initialize the bar data with values."""
    @property
    def high_price(self) -> float:
        """Get the highest price during the bar."""
    @property
    def low_price(self) -> float:
        """Get the lowest price during the bar."""
    @property
    def open_price(self) -> float:
        """Get the opening price of the bar."""
    @property
    def close_price(self) -> float:
        """Get the closing price of the bar."""
    @property
    def volume(self) -> float:
        """Get the total volume of trades during the bar."""
    @property
    def notional(self) -> float:
        """Get the total notional value of trades during the bar."""
    @property
    def trade_count(self) -> int:
        """Get the number of trades that occurred during the bar."""
    @property
    def start_timestamp(self) -> float:
        """Get the start time of the bar."""
    @property
    def bar_span_seconds(self) -> float:
        """Get the duration of the bar."""
    @property
    def bar_span(self) -> datetime.timedelta: ...
    @property
    def vwap(self) -> float:
        """Get the volume-weighted average price for the bar (NaN without volume)."""
    @property
    def bar_type(self) -> _IntradayType:
        """Determines the type of the bar based on its span."""
    @property
    def bar_end_time(self) -> datetime.datetime:
        """The end time of the bar, in the time zone of ``PROFILE``."""
    @property
    def bar_start_time(self) -> datetime.datetime:
        """The start time of the bar, in the time zone of ``PROFILE``."""
    @property
    def market_price(self) -> float: ...
    @overload
    def __getitem__(self, key: Literal["trade_count"], /) -> int: ...
    @overload
    def __getitem__(self, key: _FloatKey, /) -> float: ...
    @overload
    def __setitem__(self, key: Literal["trade_count"], value: _Count, /) -> None: ...
    @overload
    def __setitem__(self, key: _FloatKey, value: _Float, /) -> None: ...
    def __delitem__(self, key: str, /) -> NoReturn: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    @classmethod
    def from_buffer(cls, buffer: Buffer) -> Self:
        """Create a new instance from a buffer."""
    @classmethod
    def from_bytes(cls, data: bytes) -> Self:
        """Create a new instance from bytes.
        Creates a copy of the data, so the instance owns the memory."""
    def __copy__(self) -> BarData:
        """Create a copy of this instance."""
    # Private to tarnwick.bars: many view bars over one pinned exporter.
    @staticmethod
    def _pin(exporter: Buffer, /) -> _BufferPin: ...
    @classmethod
    def _from_pin(cls, pin: _BufferPin, offset: SupportsIndex, /) -> Self: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

class DailyBar(BarData):
    """A bar over one or more days that ends on a market date.

    Its record holds the date number (20240105.0) as ``timestamp`` and the
    number of days as its span.
    """

    def __init__(
        self,
        ticker: str | None,
        market_date: datetime.date,
        high_price: _Float,
        low_price: _Float,
        open_price: _Float,
        close_price: _Float,
        volume: _Float = 0.0,
        notional: _Float = 0.0,
        trade_count: _Count = 0,
        bar_span: _Count = 1,
        **kwargs: Any,
    ) -> None: ...
    @property
    def market_date(self) -> datetime.date:
        """The market date of the bar."""
    @property
    def market_time(self) -> datetime.date:  # type: ignore[override]
        """The market date of the bar (same as ``market_date``)."""
    @property
    def bar_start_time(self) -> datetime.date:  # type: ignore[override]
        """The start date of the bar period."""
    @property
    def bar_end_time(self) -> datetime.date:  # type: ignore[override]
        """The end date of the bar period."""
    @property
    def bar_span(self) -> datetime.timedelta: ...
    @property
    def bar_type(self) -> Literal["Daily", "Daily-Plus"]:  # type: ignore[override]
        """Determines the type of the bar based on its span.

        Raises ValueError when the span is below one day.
        """
