from collections.abc import Buffer

def pack(out: Buffer, ticker: bytes, columns: tuple[Buffer, ...], trade_count: Buffer, start: int, /) -> int:
    """Fills ``out`` with ``len(out) // 101`` bar records of ``ticker`` from row
    ``start`` of eight float64 columns (timestamp, bar_span, high, low, open,
    close, volume, notional) and a uint32 column of trade counts."""
