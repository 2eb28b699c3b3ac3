"""Leak checks: every public operation, done many times over, succeeding or failing, leaves the
memory in use flat and the reference counts of everything it was handed where they started."""

import array
import copy
import datetime as dt
import gc
import pickle
import sys
import tracemalloc
import types

import pytest

from kit.objects import HostileError, HostileFloat, HostileInt, SubBar
from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.bars._pack import gather, ticker_codes
from tarnwick.base.market_data import MarketData

WARM_UP = 1000
ROUNDS = 2000
# A leak of one object per call would grow by ROUNDS blocks and tens of kB.
MAX_GROWN_BLOCKS = ROUNDS // 10
MAX_GROWN_BYTES = ROUNDS * 16


def handed_objects():
    """Fresh arguments, exporters and bars, referenced from nowhere else."""
    ns = types.SimpleNamespace(
        ticker="".join(["AB", "C"]), timestamp=float("1000.5"), high=float("10.5"), low=float("9.5"),
        open=float("10.25"), close=float("10.125"), volume=float("1500.5"), notional=float("15300.5"),
        count=int("78901"), span=float("60.5"), start=float("940.0"),
        delta=dt.timedelta(seconds=90), date=dt.date(2024, 1, 5), days=int("3"), extra=object(),
        key="".join(["close_", "price"]), count_key="".join(["trade_", "count"]), bad_key="".join(["no", "pe"]),
        value=float("42.25"), hostile_float=HostileFloat("raise", 0.0), hostile_int=HostileInt("raise", 0),
    )
    ns.prices = (ns.high, ns.low, ns.open, ns.close)
    ns.bar = BarData(ns.ticker, ns.timestamp, *ns.prices, volume=ns.volume, bar_span=ns.span, venue=ns.extra)
    ns.daily = DailyBar(ns.ticker, ns.date, *ns.prices, bar_span=ns.days, venue=ns.extra)
    ns.image = bytes(memoryview(ns.bar))
    ns.buffer = bytearray(ns.image)
    ns.readonly = memoryview(bytearray(ns.image)).toreadonly()
    ns.writable_view = BarData.from_buffer(bytearray(ns.image))
    ns.readonly_view = BarData.from_buffer(ns.readonly)
    ns.blank = BarData.__new__(BarData)
    ns.short = bytearray(ns.image[:100])
    ns.strided = memoryview(bytearray(ns.image * 2))[::2]
    ns.square = memoryview(bytearray(202)).cast("B", shape=[2, 101])
    ns.doubles = array.array("d", bytes(808))
    ns.bytes_array = array.array("B", ns.image)
    ns.column = array.array("d", [0.0])  # a field's column for one record
    ns.codes = array.array("i", [0, 0])  # ticker codes of two records
    return ns


def raises(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


def set_item(bar, key, value):
    bar[key] = value


def del_item(bar, key):
    del bar[key]


def view_and_release(bar):
    with memoryview(bar) as view:
        view[0]


BAR_PROPERTIES = ["ticker", "timestamp", "market_time", "_owner", "high_price", "low_price", "open_price",
                  "close_price", "volume", "notional", "trade_count", "start_timestamp", "bar_span_seconds",
                  "bar_span", "vwap", "bar_type", "bar_end_time", "bar_start_time", "market_price", "venue"]
DAILY_PROPERTIES = ["market_date", "market_time", "bar_start_time", "bar_end_time", "bar_span", "bar_type", "venue"]

OPERATIONS = {
    # construction and initialisation
    "BarData": lambda o: BarData(o.ticker, o.timestamp, *o.prices, volume=o.volume, notional=o.notional,
                                 trade_count=o.count, bar_span=o.span),
    "BarData-start-timestamp": lambda o: BarData(o.ticker, o.timestamp, *o.prices, start_timestamp=o.start),
    "BarData-timedelta-extras": lambda o: BarData(o.ticker, o.timestamp, *o.prices, bar_span=o.delta, venue=o.extra),
    "SubBar": lambda o: SubBar(o.ticker, o.timestamp, *o.prices, bar_span=o.span, venue=o.extra),
    "DailyBar": lambda o: DailyBar(o.ticker, o.date, *o.prices, volume=o.volume, trade_count=o.count,
                                   bar_span=o.days),
    "DailyBar-extras": lambda o: DailyBar(o.ticker, o.date, *o.prices, venue=o.extra),
    "re-init": lambda o: o.bar.__init__(o.ticker, o.timestamp, *o.prices, bar_span=o.span, venue=o.extra),
    "re-init-daily": lambda o: o.daily.__init__(o.ticker, o.date, *o.prices, bar_span=o.days, venue=o.extra),
    "base-init": lambda o: MarketData.__init__(o.bar, ticker=o.ticker, timestamp=o.timestamp, venue=o.extra),
    # reading
    **{f"property-{name}": lambda o, name=name: getattr(o.bar, name) for name in BAR_PROPERTIES},
    **{f"daily-property-{name}": lambda o, name=name: getattr(o.daily, name) for name in DAILY_PROPERTIES},
    "view-properties": lambda o: (o.writable_view.ticker, o.readonly_view.close_price, o.readonly_view.bar_span),
    "get-items": lambda o: (o.bar[o.key], o.bar[o.count_key], o.readonly_view[o.key], o.daily[o.key]),
    "repr": lambda o: (repr(o.bar), repr(o.daily), repr(o.readonly_view), repr(o.blank)),
    # writing
    "set-items": lambda o: (set_item(o.bar, o.key, o.value), set_item(o.bar, o.count_key, o.count),
                            set_item(o.writable_view, o.key, o.value)),
    # byte forms
    "from_bytes": lambda o: (BarData.from_bytes(o.image), DailyBar.from_bytes(data=o.image)),
    "from_buffer-bytearray": lambda o: BarData.from_buffer(o.buffer).close_price,
    "from_buffer-readonly": lambda o: (BarData.from_buffer(o.readonly), DailyBar.from_buffer(buffer=o.image)),
    "from_buffer-array": lambda o: SubBar.from_buffer(o.bytes_array),
    "shared-pin": lambda o: (DailyBar._from_pin(BarData._pin(o.buffer), 0), raises(IndexError, BarData._from_pin,
                                                                                    BarData._pin(o.image), 1)),
    "copy": lambda o: (copy.copy(o.bar), copy.copy(o.readonly_view), copy.copy(o.daily)),
    "memoryview": lambda o: (view_and_release(o.bar), view_and_release(o.readonly_view),
                             bytes(memoryview(o.daily))),
    # failed calls: bad arguments
    "missing-arguments": lambda o: raises(TypeError, BarData, o.ticker, o.timestamp),
    "too-many-arguments": lambda o: raises(TypeError, BarData, o.ticker, o.timestamp, *o.prices, *o.prices,
                                           o.span, o.span, o.span),
    "bad-ticker": lambda o: raises(TypeError, BarData, o.count, o.timestamp, *o.prices, bar_span=o.span),
    "bad-price": lambda o: raises(TypeError, BarData, o.ticker, o.ticker, *o.prices, bar_span=o.span),
    "hostile-price": lambda o: raises(HostileError, BarData, o.ticker, o.hostile_float, *o.prices, bar_span=o.span),
    "hostile-count": lambda o: raises(HostileError, set_item, o.bar, o.count_key, o.hostile_int),
    "negative-count": lambda o: raises(OverflowError, BarData, o.ticker, o.timestamp, *o.prices,
                                       trade_count=-o.count, bar_span=o.span),
    "huge-count": lambda o: raises(OverflowError, set_item, o.bar, o.count_key, 2**70 + o.count),
    "bad-span": lambda o: raises(ValueError, BarData, o.ticker, o.timestamp, *o.prices, bar_span=o.ticker),
    "no-span": lambda o: raises(ValueError, BarData, o.ticker, o.timestamp, *o.prices, venue=o.extra),
    "long-ticker": lambda o: raises(ValueError, BarData, o.ticker * 20, o.timestamp, *o.prices, bar_span=o.span),
    "bad-date": lambda o: raises(TypeError, DailyBar, o.ticker, o.timestamp, *o.prices),
    "daily-timestamp-keyword": lambda o: raises(TypeError, DailyBar, o.ticker, o.date, *o.prices,
                                                timestamp=o.timestamp),
    "from_bytes-bad-arguments": lambda o: (raises(TypeError, BarData.from_bytes, o.buffer),
                                           raises(TypeError, BarData.from_bytes, o.image, o.image),
                                           raises(TypeError, BarData.from_bytes, buffer=o.image),
                                           raises(ValueError, BarData.from_bytes, o.image[:50])),
    # failed calls: bad keys
    "bad-keys": lambda o: (raises(KeyError, o.bar.__getitem__, o.bad_key), raises(TypeError, o.bar.__getitem__, 1),
                           raises(KeyError, set_item, o.bar, o.bad_key, o.value),
                           raises(TypeError, set_item, o.bar, o.count, o.value),
                           raises(KeyError, set_item, o.daily, o.bad_key, o.extra)),
    "delete-item": lambda o: raises(NotImplementedError, del_item, o.bar, o.key),
    "missing-attribute": lambda o: (raises(AttributeError, getattr, o.bar, o.bad_key),
                                    raises(AttributeError, getattr, o.daily, o.bad_key)),
    # failed calls: refused buffers
    "refused-buffers": lambda o: (raises(ValueError, BarData.from_buffer, o.short),
                                  raises(ValueError, BarData.from_buffer, o.strided),
                                  raises(ValueError, BarData.from_buffer, o.square),
                                  raises(ValueError, DailyBar.from_buffer, o.doubles),
                                  raises(TypeError, BarData.from_buffer, o.ticker),
                                  raises(IndexError, BarData.from_buffer, None),
                                  raises(IndexError, BarData.from_buffer, o.buffer[:0])),
    # failed calls: refused writes and other refusals
    "refused-writes": lambda o: (raises(TypeError, set_item, o.readonly_view, o.key, o.value),
                                 raises(TypeError, set_item, o.readonly_view, o.count_key, o.count),
                                 raises(TypeError, set_item, o.bar, o.key, o.ticker)),
    "init-a-view": lambda o: (raises(MemoryError, o.writable_view.__init__, o.ticker, o.timestamp, *o.prices,
                                     bar_span=o.span),
                              raises(MemoryError, MarketData.__init__, o.readonly_view, ticker=o.ticker,
                                     timestamp=o.timestamp, venue=o.extra)),
    "uninitialised": lambda o: (raises(ValueError, memoryview, o.blank), raises(ValueError, copy.copy, o.blank),
                                raises(ValueError, getattr, o.blank, "close_price"),
                                raises(ValueError, o.blank.__getitem__, o.key)),
    "gather": lambda o: gather(o.image, ((73, o.column), (81, o.column))),
    "gather-refusals": lambda o: (raises(ValueError, gather, o.short, ()),
                                  raises(BufferError, gather, o.image, ((73, o.image),)),
                                  raises(ValueError, gather, o.image, ((73, o.column), (97, o.column))),
                                  raises(TypeError, gather, o.image, ((o.key, o.column),))),
    "ticker_codes": lambda o: (ticker_codes(o.image * 2, o.codes),
                               raises(ValueError, ticker_codes, o.image, o.codes)),
    "pickling": lambda o: (raises(TypeError, pickle.dumps, o.bar), raises(TypeError, copy.deepcopy, o.daily)),
}


@pytest.fixture(scope="module")
def handed():
    return handed_objects()


def reference_counts(objects):
    return {name: sys.getrefcount(value) for name, value in vars(objects).items()}


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_repeated_leaves_memory_and_references_as_they_were(name, handed):
    operation = OPERATIONS[name]
    started = not tracemalloc.is_tracing()
    tracemalloc.start()
    try:
        # The warm-up runs traced, so that the caches and free lists it fills are in the baseline.
        for _ in range(WARM_UP):
            operation(handed)
        gc.collect()
        counts = reference_counts(handed)
        classes = sys.getrefcount(SubBar), sys.getrefcount(DailyBar)
        blocks = sys.getallocatedblocks()
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            operation(handed)
        gc.collect()
        grown_bytes = tracemalloc.get_traced_memory()[0] - traced
        grown_blocks = sys.getallocatedblocks() - blocks
    finally:
        if started:
            tracemalloc.stop()
    assert reference_counts(handed) == counts
    assert (sys.getrefcount(SubBar), sys.getrefcount(DailyBar)) == classes  # every instance made is gone
    assert grown_blocks < MAX_GROWN_BLOCKS and grown_bytes < MAX_GROWN_BYTES, (grown_blocks, grown_bytes)
