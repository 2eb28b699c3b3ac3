"""The bar record: 101 packed bytes in the machine's byte order.

Written from the documented layout, not taken from the package, so that a
wrong offset in either shows up as a difference (tests/test_records.py
compares the two).
"""

import struct

# kind code, ticker, timestamp, bar_span, high, low, open, close, volume, notional, trade_count
RECORD = struct.Struct("=B32s8dI")
RAW = struct.Struct("=B32s8QI")  # the same, with the floats as their raw bits
SIZE = 101
BAR_KIND = 40
FIELDS = ("dtype", "ticker", "timestamp", "bar_span", "high_price", "low_price", "open_price", "close_price",
          "volume", "notional", "trade_count")
OFFSETS = {"dtype": 0, "ticker": 1, "timestamp": 33, "bar_span": 41, "high_price": 49, "low_price": 57,
           "open_price": 65, "close_price": 73, "volume": 81, "notional": 89, "trade_count": 97}
FLOAT_KEYS = ("high_price", "low_price", "open_price", "close_price", "volume", "notional")
ITEM_KEYS = (*FLOAT_KEYS, "trade_count")  # what bar[key] reads and writes


def pack(ticker=b"", timestamp=0.0, bar_span=0.0, high=0.0, low=0.0, open_=0.0, close=0.0, volume=0.0,
         notional=0.0, trade_count=0, dtype=BAR_KIND):
    """A record from its fields; the ticker as bytes, zero-padded to 32."""
    return RECORD.pack(dtype, ticker, timestamp, bar_span, high, low, open_, close, volume, notional, trade_count)


def unpack(record):
    """The fields of a record, by name."""
    return dict(zip(FIELDS, RECORD.unpack(record)))


def image(bar):
    """The record a bar exports, after checking that the export is the documented one."""
    with memoryview(bar) as view:
        shape = (view.readonly, view.nbytes, view.format, view.ndim, view.obj is bar)
        if shape != (True, SIZE, "B", 1, True):
            raise AssertionError(f"export (readonly, nbytes, format, ndim, obj is bar): {shape}")
        return view.tobytes()
