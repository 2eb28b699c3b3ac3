"""Base class and record kinds of the packed market-data records."""

import datetime
import enum
from types import CapsuleType
from typing import Any, ClassVar, overload

from typing_extensions import disjoint_base

class DataType(enum.IntEnum):
    """The record kinds: the first byte of every record."""

    DTYPE_UNKNOWN = 0
    DTYPE_MARKET_DATA = 10
    DTYPE_TRANSACTION = 20
    DTYPE_ORDER = 30
    DTYPE_TICK_LITE = 31
    DTYPE_TICK = 32
    DTYPE_BAR = 40
    DTYPE_REPORT = 50
    DTYPE_INSTRUCTION = 51

@disjoint_base
class MarketData:
    """Base class of the market-data record objects: holds the packed record,
    whether the object owns it, and extra attributes given as keywords.

    Extra attributes given as keywords to the initialiser are read back with
    ``getattr(obj, name)``; they are not declared here, so that misspelt
    attribute names stay errors for type checkers.
    """

    _dtype: ClassVar[DataType | int]
    # The native interface for subclasses written in C or C++.
    __market_data_vtable__: ClassVar[CapsuleType]
    __market_data_header_writer__: ClassVar[CapsuleType]
    @overload
    def __init__(self, ticker: str | None, timestamp: float, **kwargs: Any) -> None: ...
    @overload
    def __init__(self, *, ticker: str | None = None, timestamp: float, **kwargs: Any) -> None: ...
    @property
    def ticker(self) -> str:
        """The instrument symbol."""
    @property
    def timestamp(self) -> float:
        """The time of the record, seconds since the Unix epoch."""
    @property
    def market_time(self) -> datetime.datetime:
        """The timestamp as a datetime in the time zone of tarnwick.profile.PROFILE."""
    @property
    def _owner(self) -> int:
        """1 when the object owns its record, 0 when it views foreign memory."""
