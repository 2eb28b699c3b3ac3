import datetime
from collections.abc import Buffer
from typing import final

import numpy
from numpy.typing import ArrayLike

from tarnwick.base.candlestick import BarData

from ._spans import Span, SpanLike

# A trade's time: epoch seconds, a zone-aware datetime or a numpy.datetime64.
_Time = float | datetime.datetime | numpy.datetime64

@final
class Records:
    """Bar records made by aggregate: a read-only buffer of 101-byte records."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class Batch:
    def __new__(cls, rule: str, threshold: float, fill: bool, unit: str, count: int, origin: float,
                session_from: float, session_to: float, /) -> Batch: ...
    def add_columns(self, times: Buffer, prices: Buffer, sizes: Buffer, notionals: Buffer | None,
                    codes: Buffer | None, names: tuple[bytes, ...], first_row: int, transitions: Buffer,
                    offsets: Buffer, covered_from: float, covered_to: float, /) -> bool: ...
    def add_records(self, records: Buffer, transitions: Buffer, offsets: Buffer, covered_from: float,
                    covered_to: float, /) -> bool: ...
    def finish(self) -> Records: ...

def record_times(records: Buffer, /) -> bytes: ...

@final
class Aggregator:
    """Bars made from trades as they arrive, by the rules of ``aggregate``."""

    def __new__(cls, *, span: SpanLike | Span | None = None, ticks: int | None = None, volume: float | None = None,
                value: float | None = None, tz: datetime.tzinfo | str | None = None,
                session: str | tuple[str | datetime.time, str | datetime.time] | None = None,
                origin: str | datetime.time | None = None, fill: bool = False, ticker: str | None = None) -> Aggregator: ...
    def update(self, time: _Time, price: float, size: float, notional: float | None = None, *,
               ticker: str | None = None) -> tuple[BarData, ...]: ...
    def update_columns(self, times: Buffer | ArrayLike, prices: Buffer | ArrayLike, sizes: Buffer | ArrayLike,
                       notional: Buffer | ArrayLike | None = None, *, ticker: str | None = None) -> tuple[BarData, ...]: ...
    def update_records(self, records: Buffer, /) -> tuple[BarData, ...]: ...
    def advance(self, now: _Time, /) -> tuple[BarData, ...]: ...
    def flush(self) -> tuple[BarData, ...]: ...
    @property
    def partial(self) -> BarData | None: ...
    @property
    def partials(self) -> tuple[BarData, ...]: ...
