"""The layers a bar stands on: the profile, the record kinds and the base class."""

import datetime
import enum
import gc

import pytest

from kit.layout import RECORD
import tarnwick.profile
from tarnwick.base.candlestick import BarData
from tarnwick.base.market_data import DataType, MarketData
from tarnwick.profile import PROFILE

UTC = datetime.timezone.utc


@pytest.fixture
def zone():
    """Restores the profile's time zone after the test."""
    saved = PROFILE.time_zone
    yield
    PROFILE.time_zone = saved


def make_bar(ticker="ABC", **extra):
    return BarData(ticker, 1000.0, 10.5, 9.8, 10.0, 10.2, volume=1500.0, notional=15300.0, trade_count=7,
                   bar_span=60, **extra)


# ---- profile -----------------------------------------------------------------


def test_profile_time_zone_defaults_to_utc_and_takes_tzinfo_or_none(zone):
    assert tarnwick.profile.Profile().time_zone is UTC
    for value in (datetime.timezone(datetime.timedelta(hours=-5)), None, UTC):
        PROFILE.time_zone = value
        assert PROFILE.time_zone is value


@pytest.mark.parametrize("value", ["UTC", 0, datetime.timedelta(hours=1), datetime.timezone])
def test_profile_time_zone_refuses_other_types(zone, value):
    before = PROFILE.time_zone
    with pytest.raises(TypeError):
        PROFILE.time_zone = value
    assert PROFILE.time_zone is before


# ---- record kinds ------------------------------------------------------------


def test_data_type_codes():
    assert issubclass(DataType, enum.IntEnum)
    assert {member.name: member.value for member in DataType} == {
        "DTYPE_UNKNOWN": 0, "DTYPE_MARKET_DATA": 10, "DTYPE_TRANSACTION": 20, "DTYPE_ORDER": 30,
        "DTYPE_TICK_LITE": 31, "DTYPE_TICK": 32, "DTYPE_BAR": 40, "DTYPE_REPORT": 50,
        "DTYPE_INSTRUCTION": 51,
    }
    assert DataType.DTYPE_BAR == 40 and DataType(40) is DataType.DTYPE_BAR


# ---- the base class ------------------------------------------------------------


def test_instance_layout_is_48_bytes():
    assert MarketData.__basicsize__ == 48
    assert BarData.__basicsize__ == 48  # bars add no fields


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3}), (("ABC", 1.0, None), {"ticker": 5})])
def test_allocation_takes_any_arguments_and_attaches_no_record(args, kwargs):
    obj = MarketData.__new__(MarketData, *args, **kwargs)
    assert obj._owner == 1
    for name in ("ticker", "timestamp", "market_time"):
        with pytest.raises(ValueError, match="^Data not initialized$"):
            getattr(obj, name)
    # The initialiser has no record to write into either.
    with pytest.raises(ValueError, match="^Data not initialized$"):
        MarketData.__init__(obj, ticker="ABC", timestamp=1.0)


def test_subclassable_and_collected():
    class Record(MarketData):
        pass

    obj = Record.__new__(Record)
    assert isinstance(obj, MarketData) and obj._owner == 1
    assert gc.is_tracked(obj)
    assert gc.is_tracked(MarketData.__new__(MarketData))
    # The extra attributes are traversed, so a cycle through them is reclaimed.
    freed = []

    class Sentinel:
        def __del__(self):
            freed.append(True)

    holder = [Sentinel()]
    bar = make_bar(ref=holder)
    holder.append(bar)
    del bar, holder
    gc.collect()
    assert freed == [True]


# ---- the header as the base class writes it ------------------------------------


@pytest.mark.parametrize("ticker", [
    "é" * 16,                    # 32 bytes of UTF-8 in 16 characters
    "€" * 10 + "AB",             # 32 bytes, three-byte characters
    "A" * 32,                    # every byte of the field, no terminating zero
    "株式",
    None,                        # stored as the empty text
])
def test_ticker_is_stored_as_utf8(ticker):
    bar = make_bar(ticker)
    encoded = (ticker or "").encode("utf-8")
    assert bar.ticker == (ticker or "")
    assert RECORD.unpack(bytes(memoryview(bar)))[1] == encoded + bytes(32 - len(encoded))


@pytest.mark.parametrize("ticker", ["é" * 16 + "A", "A" * 33, "€" * 11])
def test_ticker_over_32_utf8_bytes_is_refused(ticker):
    with pytest.raises(ValueError):
        make_bar(ticker)
    bar = make_bar()
    with pytest.raises(ValueError):
        MarketData.__init__(bar, ticker=ticker, timestamp=5.0)
    assert bar.ticker == "ABC" and bar.timestamp == 1000.0  # nothing written, nothing truncated


def test_extra_keywords_read_back_as_attributes():
    marker = object()
    bar = make_bar(foo=marker, venue="XNAS")
    assert bar.foo is marker and bar.venue == "XNAS"
    assert bar.ticker == "ABC"  # properties still come first
    with pytest.raises(AttributeError):
        bar.bar
    with pytest.raises(AttributeError):
        make_bar().foo


class TickLike(BarData):
    _dtype = DataType.DTYPE_TICK_LITE


@pytest.mark.parametrize("cls, kind", [(BarData, 40), (TickLike, 31)])
def test_base_init_rewrites_only_the_header(cls, kind):
    image = RECORD.pack(0, b"OLD-TICKER-THAT-FILLS-THE-FIELD!", 1000.0, 60.0, 10.5, 9.8, 10.0, 10.2,
                        1500.0, 15300.0, 4294967295)
    bar = cls.from_bytes(image)
    MarketData.__init__(bar, ticker="XYZ", timestamp=5.0)
    assert bytes(memoryview(bar)) == RECORD.pack(kind, b"XYZ" + bytes(29), 5.0, 60.0, 10.5, 9.8, 10.0, 10.2,
                                                 1500.0, 15300.0, 4294967295)
    MarketData.__init__(bar, ticker=None, timestamp=-0.0)
    assert bar.ticker == "" and str(bar.timestamp) == "-0.0"


def test_owner_flag():
    assert make_bar()._owner == 1
    assert BarData.from_bytes(bytes(101))._owner == 1
    assert BarData.from_buffer(bytearray(101))._owner == 0
    assert BarData.__new__(BarData)._owner == 1


# ---- market time -------------------------------------------------------------------


def test_market_time_follows_the_profile_zone(zone):
    PROFILE.time_zone = UTC
    bar = make_bar()
    assert bar.market_time == datetime.datetime(1970, 1, 1, 0, 16, 40, tzinfo=UTC)
    assert bar.market_time.tzinfo is UTC

    plus5 = datetime.timezone(datetime.timedelta(hours=5), "PLUS5")
    PROFILE.time_zone = plus5
    moved = bar.market_time
    assert moved.tzinfo is plus5 and moved.hour == 5 and moved.minute == 16
    assert moved == datetime.datetime.fromtimestamp(1000.0, tz=UTC)

    PROFILE.time_zone = None
    assert bar.market_time == datetime.datetime.fromtimestamp(1000.0)
    assert bar.market_time.tzinfo is None

