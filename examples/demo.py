"""A walk along the typical road of a bar: build, read, classify, send to
another process as bytes, and share through memory without copying."""

from __future__ import annotations

import ctypes
import datetime
import multiprocessing as mp
from multiprocessing import shared_memory
from multiprocessing.context import SpawnContext

from tarnwick.base.candlestick import BarData, DailyBar

RECORD = 101  # bytes in one bar record
FIELDS = ("ticker", "timestamp", "bar_span_seconds", "open_price", "high_price",
          "low_price", "close_price", "volume", "notional", "trade_count")


def intraday_bars() -> list[BarData]:
    start = datetime.datetime(2024, 3, 1, 9, 30, tzinfo=datetime.timezone.utc).timestamp()
    bars = [BarData("ABC", start + 60.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0,
                    notional=15300.0, trade_count=42, bar_span=60)]
    bars.append(BarData("ABC", start + 360.0, 10.6, 10.1, 10.2, 10.4, volume=900.0,
                        notional=9320.0, trade_count=17, start_timestamp=start + 60.0))
    bars.append(BarData("XYZ", start + 3600.0, 99.0, 97.5, 98.0, 98.8, volume=12000.0,
                        notional=1_183_000.0, bar_span=datetime.timedelta(hours=1)))
    return bars


def show_intraday(bars: list[BarData]) -> None:
    print("== Intraday bars")
    for bar in bars:
        print(bar)
        print(f"   vwap={bar.vwap:.4f}  type={bar.bar_type}  "
              f"{bar.bar_start_time:%H:%M:%S} -> {bar.bar_end_time:%H:%M:%S}")


def rebuild_in_child(records: list[bytes], expected: list[tuple[object, ...]]) -> None:
    """Runs in another process: rebuilds each bar from its bytes."""
    for data, fields in zip(records, expected):
        bar = BarData.from_bytes(data)
        same = tuple(getattr(bar, name) for name in FIELDS) == fields
        print(f"   child rebuilt {bar.ticker} @ {bar.timestamp:.0f}: fields match = {same}")


def raise_close_in_child(block_name: str, index: int, price: float) -> None:
    """Runs in another process: writes one field of a bar in shared memory."""
    block = shared_memory.SharedMemory(name=block_name)
    try:
        assert block.buf is not None
        view = block.buf[index * RECORD:(index + 1) * RECORD]
        bar = BarData.from_buffer(view)
        bar["close_price"] = price
        del bar  # a bar pins the memory it views; release it before closing
        view.release()
    finally:
        block.close()


def send_as_bytes(context: SpawnContext, bars: list[BarData]) -> None:
    print("== Bytes to another process")
    records = [bytes(memoryview(bar)) for bar in bars]
    expected = [tuple(getattr(bar, name) for name in FIELDS) for bar in bars]
    print(f"   sending {len(records)} records of {len(records[0])} bytes")
    child = context.Process(target=rebuild_in_child, args=(records, expected))
    child.start()
    child.join()


def share_memory(context: SpawnContext, bars: list[BarData]) -> None:
    print("== Shared memory, no copies")
    block = shared_memory.SharedMemory(create=True, size=RECORD * len(bars))
    try:
        buffer = block.buf
        assert buffer is not None
        for i, bar in enumerate(bars):
            buffer[i * RECORD:(i + 1) * RECORD] = memoryview(bar)
        views = [BarData.from_buffer(buffer[i * RECORD:(i + 1) * RECORD])
                 for i in range(len(bars))]
        print(f"   before: {views[1].ticker} close={views[1].close_price}")
        child = context.Process(target=raise_close_in_child, args=(block.name, 1, 10.75))
        child.start()
        child.join()
        print(f"   after the child wrote it: close={views[1].close_price}")
        del views
    finally:
        block.close()
        block.unlink()


def daily_bars() -> None:
    print("== Daily bars")
    monday = datetime.date(2024, 1, 1)
    week = [DailyBar("ABC", monday + datetime.timedelta(days=i), 11.0 + i, 9.0 + i,
                     10.0 + i, 10.5 + i, volume=1000.0 * (i + 1),
                     notional=(10.25 + i) * 1000.0 * (i + 1))
            for i in range(5)]
    for bar in week:
        print(f"{bar}  {bar.bar_type}  vwap={bar.vwap:.2f}")
    whole = DailyBar("ABC", week[-1].market_date, max(b.high_price for b in week),
                     min(b.low_price for b in week), week[0].open_price, week[-1].close_price,
                     volume=sum(b.volume for b in week), bar_span=5)
    print(f"{whole}  {whole.bar_type}  {whole.bar_start_time} -> {whole.bar_end_time}")
    again = DailyBar.from_bytes(bytes(memoryview(whole)))
    print(f"   rebuilt from bytes: {again.market_date} span={again.bar_span}  equal={repr(again) == repr(whole)}")


def order_records(bars: list[BarData]) -> None:
    print("== Native ordering of records by time")
    import tarnwick.base.candlestick as module

    library = ctypes.CDLL(module.__file__)
    libc = ctypes.CDLL(None)
    keep = [ctypes.create_string_buffer(bytes(memoryview(bar)), RECORD) for bar in reversed(bars)]
    pointers = (ctypes.c_void_p * len(keep))(*(ctypes.addressof(b) for b in keep))
    compare = ctypes.cast(library.compare_md, ctypes.c_void_p)
    libc.qsort.argtypes = (ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p)
    libc.qsort(pointers, len(keep), ctypes.sizeof(ctypes.c_void_p), compare)
    for address in pointers:
        assert address is not None
        record = ctypes.string_at(address, RECORD)
        print(f"   {BarData.from_bytes(record)}")


def main() -> None:
    context = mp.get_context("spawn")
    bars = intraday_bars()
    show_intraday(bars)
    send_as_bytes(context, bars)
    share_memory(context, bars)
    daily_bars()
    order_records(bars)


if __name__ == "__main__":
    main()
