from collections.abc import Buffer

def pack(out: Buffer, ticker: bytes, columns: tuple[Buffer, ...], trade_count: Buffer, start: int, /) -> int:
    """Fills ``out`` with ``len(out) // 101`` bar records of ``ticker`` from row
    ``start`` of eight float64 columns (timestamp, bar_span, high, low, open,
    close, volume, notional) and a uint32 column of trade counts."""

def to_utc(out: Buffer, wall: Buffer, tickers: Buffer | None, carried: Buffer,
           zone_table: tuple[float, float, Buffer, Buffer], forward: bool, /) -> int:
    """Fills ``out`` with the epoch microseconds of wall-clock microseconds in
    the zone of ``zone_table``; returns the first row the clocks skip, or -1."""

def to_wall(out: Buffer, epochs: Buffer, zone_table: tuple[float, float, Buffer, Buffer], /) -> None:
    """Fills ``out`` with the wall-clock microseconds of epoch microseconds."""

def gather(records: Buffer, fields: tuple[tuple[int, Buffer], ...], /) -> int:
    """Copies fields of ``records`` (whole 101-byte records) into columns in
    one pass: ``fields`` holds pairs ``(offset, out)``, ``out`` a writable
    buffer of one item per record, as wide as the field.  Returns the number
    of records."""
def ticker_codes(records: Buffer, out: Buffer, /) -> list[bytes]:
    """Writes into ``out`` (one int32 per record) the number of each record's
    ticker, counted in order of first appearance; returns the tickers' raw
    bytes, without trailing zero bytes, in that order."""
