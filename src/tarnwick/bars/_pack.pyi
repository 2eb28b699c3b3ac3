from collections.abc import Buffer

def pack(out: Buffer, ticker: bytes, columns: tuple[Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer],
         trade_count: Buffer, start: int, /) -> int: ...
