from collections.abc import Buffer, Sequence
from typing import final

@final
class Records:
    """Bar records made by resample: a read-only buffer of 101-byte records."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def resample(records: Buffer, unit: str, count: int, origin: float, session_from: float, session_to: float,
             daily_source: bool, check_kind: bool, transitions: Buffer, offsets: Buffer, covered_from: float,
             covered_to: float, cuts: Sequence[int] | None = None, /) -> Records | None: ...
