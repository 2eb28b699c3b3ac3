"""The exported C orderings, driven through libc's qsort the way native code uses them."""

import ctypes
import ctypes.util
import math
import os
import struct

import pytest
from hypothesis import given, strategies as st

HEADER = "<B32sd"  # dtype, ticker, timestamp: 41 bytes
BAR = HEADER + "7dI"  # 101 bytes
TICK = HEADER + "7dI" + "ddQ" * 20  # lite part plus bid and ask books: 581 bytes
TRADE = HEADER + "ddBdd17s17s17s"  # 125 bytes
ENTRY = struct.Struct("<ddQ")  # price, volume, n_orders
TS_OFFSET = 33


@pytest.fixture(scope="module")
def lib():
    # An explicit path lets other native consumers point these tests at their
    # own build of the orderings; by default the installed extension is used.
    path = os.environ.get("TARNWICK_ORDERING_LIB")
    if not path:
        import tarnwick.base.candlestick  # an import failure must fail, not skip

        path = tarnwick.base.candlestick.__file__
    lib = ctypes.CDLL(path)
    for name in ("compare_md", "compare_md_ptr", "compare_entries_bid", "compare_entries_ask"):
        fn = getattr(lib, name)
        fn.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        fn.restype = ctypes.c_int
    return lib


_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_libc.qsort.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p]
_libc.qsort.restype = None


def qsort(base, count, width, fn):
    _libc.qsort(base, count, width, ctypes.cast(fn, ctypes.c_void_p))


def address(buf):
    return ctypes.addressof((ctypes.c_char * len(buf)).from_buffer(buf))


# Record kinds: dtype, layout and the fields after the header.  The fillers
# run opposite to the timestamp, so a read at the wrong offset sorts visibly
# wrong.
KINDS = {
    "header": (10, HEADER, lambda ts: ()),
    "bar": (40, BAR, lambda ts: (-ts,) * 7 + (7,)),
    "tick": (32, TICK, lambda ts: (-ts,) * 7 + (7,) + (-ts, 1.0, 3) * 20),
    "trade": (20, TRADE, lambda ts: (-ts, -ts, 1, -ts, -ts, b"t", b"b", b"s")),
}


def record(kind, ts):
    dtype, fmt, rest = KINDS[kind]
    return struct.pack(fmt, dtype, b"XYZ", ts, *rest(ts))


def sort_records(fn, images):
    """qsort pointers to `images`, each laid at an unaligned address in one buffer."""
    buf = bytearray(2048)
    start = address(buf)
    pos, offsets = (-start) % 16 + 1, []  # odd offsets from a 16-aligned point
    for img in images:
        if (start + pos + TS_OFFSET) % 8 == 0:
            pos += 2  # keep every timestamp misaligned too
        offsets.append(pos)
        buf[pos : pos + len(img)] = img
        pos = (pos + len(img) + 1) | 1
    slots = (ctypes.c_void_p * len(images))(*(start + o for o in offsets))
    qsort(slots, len(images), ctypes.sizeof(ctypes.c_void_p), fn)
    return [struct.unpack_from("<d", buf, s - start + TS_OFFSET)[0] for s in slots]


@pytest.mark.parametrize("name", ["compare_md", "compare_md_ptr"])
def test_mixed_records_sort_by_timestamp(lib, name):
    images = [record("bar", 3.0), record("header", 1.0), record("tick", 2.0), record("trade", 0.5)]
    assert [len(i) for i in images] == [101, 41, 581, 125]
    assert sort_records(getattr(lib, name), images) == [0.5, 1.0, 2.0, 3.0]


def compare_pair(fn, ta, tb):
    a, b = (ctypes.create_string_buffer(record("header", t), 41) for t in (ta, tb))
    pa, pb = ctypes.c_void_p(ctypes.addressof(a)), ctypes.c_void_p(ctypes.addressof(b))
    return fn(ctypes.addressof(pa), ctypes.addressof(pb))


nan = math.nan


@pytest.mark.parametrize("name", ["compare_md", "compare_md_ptr"])
@pytest.mark.parametrize("ta, tb, expected", [
    (1.0, 1e300, -1), (1e300, 1.0, 1), (-1e300, 1e300, -1), (2.5, 2.5, 0), (0.0, -0.0, 0),
    (-math.inf, 0.0, -1), (math.inf, 0.0, 1),
    (nan, 1.0, 0), (1.0, nan, 0), (nan, nan, 0), (nan, math.inf, 0),
])
def test_timestamp_pairs(lib, name, ta, tb, expected):
    assert compare_pair(getattr(lib, name), ta, tb) == expected


def sort_levels(fn, levels, offset=3):
    """qsort packed (price, volume, n_orders) levels starting at an odd offset."""
    buf = bytearray(offset + ENTRY.size * len(levels))
    for i, level in enumerate(levels):
        ENTRY.pack_into(buf, offset + i * ENTRY.size, *level)
    qsort(address(buf) + offset, len(levels), ENTRY.size, fn)
    return [ENTRY.unpack_from(buf, offset + i * ENTRY.size) for i in range(len(levels))]


def split(levels):
    full = [lv for lv in levels if lv[2]]
    assert levels[: len(full)] == full, "empty level ahead of a level with orders"
    return full, sorted(levels[len(full):])


LEVELS = [(10.0, 1.0, 5), (0.0, 9.0, 0), (10.5, 2.0, 2), (9.0, 3.0, 0)]
WITH_ZERO_PRICE = [(10.0, 1.0, 1), (7.0, 4.0, 0), (0.0, 5.0, 3), (11.0, 2.0, 2)]


@pytest.mark.parametrize("side, levels, full", [
    ("bid", LEVELS, [(10.5, 2.0, 2), (10.0, 1.0, 5)]),
    ("ask", LEVELS, [(10.0, 1.0, 5), (10.5, 2.0, 2)]),
    ("bid", WITH_ZERO_PRICE, [(11.0, 2.0, 2), (10.0, 1.0, 1), (0.0, 5.0, 3)]),
    ("ask", WITH_ZERO_PRICE, [(0.0, 5.0, 3), (10.0, 1.0, 1), (11.0, 2.0, 2)]),
])
def test_levels_sort(lib, side, levels, full):
    got_full, got_empty = split(sort_levels(getattr(lib, f"compare_entries_{side}"), levels))
    assert got_full == full
    assert got_empty == sorted(lv for lv in levels if not lv[2])


@pytest.mark.parametrize("side", ["bid", "ask"])
def test_full_ten_level_book(lib, side):
    book = [(101.0, 5.0, 1), (0.0, 0.0, 0), (99.5, 1.0, 4), (103.25, 2.0, 2), (55.0, 8.0, 0),
            (100.0, 7.0, 9), (98.0, 3.0, 1), (0.0, 0.0, 0), (102.0, 6.0, 2**32), (97.0, 1.0, 3)]
    assert ENTRY.size * len(book) == 240
    full, empty = split(sort_levels(getattr(lib, f"compare_entries_{side}"), book))
    prices = [lv[0] for lv in full]
    assert prices == sorted(prices, reverse=side == "bid") and len(full) == 7
    assert len(empty) == 3


@pytest.mark.parametrize("side, a, b, expected", [
    (side, *case) for side in ("bid", "ask") for case in [
        ((5.0, 1.0, 0), (9.0, 2.0, 0), 0),     # empties tie whatever their price
        ((5.0, 1.0, 0), (1.0, 2.0, 1), 1),     # empty after any level with orders
        ((1.0, 2.0, 1), (5.0, 1.0, 0), -1),
        ((0.0, 0.0, 1), (0.0, 0.0, 0), -1),    # orders at price 0.0 are a real level
        ((3.0, 1.0, 2**32), (3.0, 1.0, 0), -1),  # all 64 bits of n_orders count
        ((3.0, 1.0, 1), (3.0, 9e9, 4), 0),     # volume never matters
    ]] + [
        ("bid", (10.0, 1e9, 1), (11.0, 0.0, 1), 1), ("bid", (11.0, 0.0, 1), (10.0, 1e9, 1), -1),
        ("ask", (10.0, 1e9, 1), (11.0, 0.0, 1), -1), ("ask", (11.0, 0.0, 1), (10.0, 1e9, 1), 1),
        ("bid", (1.0, 1.0, 1), (1e300, 1.0, 1), 1), ("ask", (1.0, 1.0, 1), (1e300, 1.0, 1), -1),
    ])
def test_level_pairs(lib, side, a, b, expected):
    ba, bb = ctypes.create_string_buffer(ENTRY.pack(*a)), ctypes.create_string_buffer(ENTRY.pack(*b))
    assert getattr(lib, f"compare_entries_{side}")(ctypes.addressof(ba), ctypes.addressof(bb)) == expected


prices = st.floats(allow_nan=False)
orders = st.one_of(st.just(0), st.integers(0, 2**64 - 1))


@pytest.mark.parametrize("side", ["bid", "ask"])
@given(levels=st.lists(st.tuples(prices, st.just(1.0), orders), max_size=30))
def test_levels_property(lib, side, levels):
    full, _ = split(sort_levels(getattr(lib, f"compare_entries_{side}"), levels))
    got = [lv[0] for lv in full]
    assert got == sorted(got, reverse=side == "bid")


@given(st.lists(st.floats(allow_nan=False), min_size=1, max_size=12))
def test_timestamps_property(lib, stamps):
    got = sort_records(lib.compare_md, [record("header", t) for t in stamps])
    assert got == sorted(got) and sorted(got) == sorted(stamps)
