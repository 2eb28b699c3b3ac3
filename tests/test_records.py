"""The bar record's byte image: every field at its offset, every bit kept."""

import datetime
import math
import struct

import numpy
import pytest

from kit import layout
from kit.layout import RAW, RECORD
from tarnwick.bars import BarFileError, ResampleError, read, resample
from tarnwick.bars import _records as product_layout
from tarnwick.bars._records import date_numbers, dates_from_numbers, market_date
from tarnwick.base.candlestick import BarData

FLOAT_FIELDS = [
    # property, offset
    ("timestamp", 33),
    ("bar_span_seconds", 41),
    ("high_price", 49),
    ("low_price", 57),
    ("open_price", 65),
    ("close_price", 73),
    ("volume", 81),
    ("notional", 89),
]


def bits(value):
    return struct.pack("=d", value)


def test_the_kit_layout_is_the_package_layout():
    # The tests' own record layout against the package's description of it, once.
    assert [name for name, _ in product_layout.RECORD_FIELDS] == list(layout.FIELDS)
    assert product_layout.OFFSETS == layout.OFFSETS
    assert product_layout.RECORD_SIZE == layout.SIZE == RECORD.size == product_layout.RECORD_STRUCT.size
    assert product_layout.BAR_KIND_CODE == layout.BAR_KIND
    sample = layout.pack(b"ABC", 1.5, 60.0, 4.0, 3.0, 3.5, 3.75, 10.0, 37.5, 7)
    assert product_layout.RECORD_STRUCT.unpack(sample) == RECORD.unpack(sample)
    # ... and against the bytes a bar exports.
    bar = BarData("ABC", 1.5, 4.0, 3.0, 3.5, 3.75, volume=10.0, notional=37.5, trade_count=7, bar_span=60.0)
    assert layout.image(bar) == sample


def test_constructed_bar_image():
    bar = BarData("ABC", 1700000000.5, 10.5, 9.75, 10.0, 10.25, volume=1500.0, notional=15300.0,
                  trade_count=42, bar_span=60.0)
    image = bytes(memoryview(bar))
    assert len(image) == 101
    assert RECORD.unpack(image) == (
        40, b"ABC" + bytes(29), 1700000000.5, 60.0, 10.5, 9.75, 10.0, 10.25, 1500.0, 15300.0, 42)


@pytest.mark.parametrize("name, offset", FLOAT_FIELDS)
def test_float_field_offset(name, offset):
    # One field set in an otherwise zero record: it must be read from exactly
    # its own eight bytes and from no others.
    image = bytearray(101)
    image[offset:offset + 8] = bits(-1234.5625)
    bar = BarData.from_bytes(bytes(image))
    for other, _ in FLOAT_FIELDS:
        assert getattr(bar, other) == (-1234.5625 if other == name else 0.0), other
    assert bar.trade_count == 0


def test_ticker_and_trade_count_offsets():
    image = bytearray(101)
    image[0] = 40
    image[1:33] = b"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"  # all 32 bytes, no terminating zero
    image[97:101] = struct.pack("=I", 0xA1B2C3D4)
    bar = BarData.from_bytes(bytes(image))
    assert bar.ticker == "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"
    assert bar.trade_count == 0xA1B2C3D4
    assert all(getattr(bar, name) == 0.0 for name, _ in FLOAT_FIELDS)


SPECIAL_BITS = [
    0x7FF8000000000001,  # quiet NaN with a payload
    0xFFF8000000000000,  # negative NaN
    0x7FF0000000000000,  # +inf
    0xFFF0000000000000,  # -inf
    0x8000000000000000,  # -0.0
    0x0000000000000001,  # smallest subnormal
    0x7FEFFFFFFFFFFFFF,  # largest finite
    0xC000000000000000,  # -2.0
]


@pytest.mark.parametrize("lead", [0, 1, 3], ids=["aligned", "offset1", "offset3"])
def test_image_round_trips_bit_for_bit(lead):
    image = RAW.pack(40, b"XY\0bytes after the text are kept", *SPECIAL_BITS, 4294967295)

    def check(bar):
        assert bytes(memoryview(bar)) == image
        assert bar.ticker == "XY"
        assert bar.trade_count == 4294967295
        for (name, _), raw in zip(FLOAT_FIELDS, SPECIAL_BITS):
            assert bits(getattr(bar, name)) == struct.pack("=Q", raw), name

    owned = BarData.from_bytes(image)
    check(owned)
    assert bytes(memoryview(BarData.from_bytes(bytes(memoryview(owned))))) == image

    # A view over foreign memory at an odd address: the fields sit unaligned.
    buffer = bytearray(lead) + bytearray(image) + bytearray(7)
    view = BarData.from_buffer(memoryview(buffer)[lead:])
    check(view)
    assert math.isnan(view.timestamp) and view.low_price == -math.inf


# ---- the records core: one date codec, one kind rule ---------------------------------------


@pytest.mark.parametrize("day", [datetime.date(1, 1, 1), datetime.date(1900, 2, 28), datetime.date(2000, 2, 29),
                                 datetime.date(2024, 12, 31), datetime.date(9999, 12, 31)])
def test_date_numbers_one_at_a_time_and_in_arrays_agree(day):
    number = product_layout.date_number(day)
    assert number == day.year * 10000 + day.month * 100 + day.day and market_date(number) == day
    dates = numpy.array([day], "M8[D]")
    assert date_numbers(dates).tolist() == [number] and (dates_from_numbers(numpy.array([number])) == dates).all()


@pytest.mark.parametrize("number", [20230229.0, 20241301.0, 20240100.0, 20240105.5, 100.0, 1e300, math.inf, math.nan])
def test_what_is_no_date_number_is_refused_alike(number):
    with pytest.raises(ValueError, match="not a date number"):
        market_date(number)
    with pytest.raises(BarFileError, match="record 1 of daily bars holds no market date"):
        dates_from_numbers(numpy.array([20240105.0, number]))


DAY, NEXT_DAY = (20240105.0, 1.0), (20240112.0, 1.0)
MINUTE, NEXT_MINUTE = (1_709_287_260.0, 60.0), (1_709_287_320.0, 60.0)


@pytest.mark.parametrize("first, last, kind", [
    (DAY, NEXT_DAY, "daily"), (MINUTE, NEXT_MINUTE, "intraday"), (DAY, MINUTE, None), (MINUTE, DAY, None),
])
def test_one_kind_rule_for_files_without_a_header_whoever_reads_them(tmp_path, first, last, kind):
    path = tmp_path / "plain.bars"
    path.write_bytes(layout.pack(b"ABC", *first) + layout.pack(b"ABC", *last))
    if kind is None:  # the ends disagree: every reader asks, none guesses
        for reader in (read, lambda source: resample(source, "1h", tz="UTC")):
            with pytest.raises(BarFileError, match="without a header, its first record looks .* say which they are"):
                reader(path)
        assert read(path, "intraday").kind == "intraday"
    elif kind == "daily":
        assert read(path).kind == "daily"
        with pytest.raises(ResampleError, match="daily bars cannot be resampled into an intraday span"):
            resample(path, "1h", tz="UTC")
    else:
        assert read(path).kind == "intraday" and len(resample(path, "1h", tz="UTC")) == 1
