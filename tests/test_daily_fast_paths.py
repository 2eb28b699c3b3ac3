"""DailyBar's direct paths (the class call, the super-calls, market_date) give
way to whatever changes the classes involved, even after their first use."""

import contextlib
import datetime as dt

import pytest

from tarnwick.base.candlestick import BarData, DailyBar

DAY = dt.date(2024, 1, 5)
MISSING = object()


def make(cls=DailyBar, **fields):
    return cls("ABC", DAY, 2.0, 1.0, 1.5, 1.8, **fields)


@contextlib.contextmanager
def assigned(cls, name, value):
    """cls.<name> = value for the block; the class's own entry restored afterwards."""
    own = vars(cls).get(name, MISSING)
    setattr(cls, name, value)
    try:
        yield
    finally:
        if own is MISSING:
            delattr(cls, name)
        else:
            setattr(cls, name, own)


def test_init_and_new_assigned_on_the_class_are_called():
    calls = []
    original = vars(DailyBar)["__init__"]

    def init(self, *args, **kwargs):
        calls.append("init")
        original(self, *args, **kwargs)

    def new(cls, *args, **kwargs):
        calls.append(("new", args[1], kwargs))
        return BarData.__new__(cls)

    make()
    with assigned(DailyBar, "__init__", init):
        assert make(bar_span=3).bar_span_seconds == 3.0
    with assigned(DailyBar, "note", 1):  # any change of the class: looked at again
        assert make().market_date == DAY
    with assigned(DailyBar, "__new__", staticmethod(new)):
        make(volume=5.0)
    assert calls == ["init", ("new", DAY, {"volume": 5.0})]
    assert make().market_date == DAY and calls[-1][0] == "new"


class Middle(BarData):
    __slots__ = ()  # lets it go between DailyBar and BarData later
    timestamps = []

    def __init__(self, *args, **kwargs):
        self.timestamps.append(kwargs["timestamp"])
        super().__init__(*args, **kwargs)


def test_a_class_put_between_daily_bar_and_bar_data_later_is_reached():
    before = make(bar_span=2)
    DailyBar.__bases__ = (Middle,)
    try:
        bar = make()
        with assigned(Middle, "bar_span_seconds", property(lambda self: 7.0)):
            assert (bar.bar_type, bar.bar_span) == ("Daily-Plus", dt.timedelta(days=7))
            assert "span=7.0d" in repr(bar)
    finally:
        DailyBar.__bases__ = (BarData,)
    assert Middle.timestamps == [20240105]
    assert (before.bar_type, make().bar_type, before.bar_span) == ("Daily-Plus", "Daily", dt.timedelta(days=2))
    assert Middle.timestamps == [20240105]


def test_a_subclass_base_changed_after_first_use_is_honoured():
    class Base(BarData):
        pass

    class Leaf(DailyBar, Base):
        pass

    bar = make(Leaf)
    assert bar.bar_type == "Daily"
    seen = []
    Base.bar_span_seconds = property(lambda self: 3.0)
    Base.__init__ = lambda self, *args, **kwargs: seen.append(kwargs["bar_span"])
    assert (bar.bar_type, bar.bar_span) == ("Daily-Plus", dt.timedelta(days=3))
    make(Leaf, bar_span=4)
    assert seen == [4]


class OwnTimestamp(DailyBar):
    @property
    def timestamp(self):
        return 20000229.5


class Intercepting(DailyBar):
    def __getattribute__(self, name):
        return 20000229 if name == "timestamp" else super().__getattribute__(name)


@pytest.mark.parametrize("where", ["subclass property", "subclass __getattribute__", "assigned on DailyBar"])
def test_market_date_reads_timestamp_wherever_it_is_defined(where):
    if where == "assigned on DailyBar":
        plain = make()
        with assigned(DailyBar, "timestamp", property(lambda self: 20000229.0)):
            assert plain.market_date == dt.date(2000, 2, 29)
        assert plain.market_date == DAY
    else:
        bar = make(OwnTimestamp if where == "subclass property" else Intercepting)
        assert bar.market_date == bar.bar_end_time == dt.date(2000, 2, 29)
        assert make().market_date == DAY


def test_market_date_of_an_object_of_another_layout_that_borrowed_the_field():
    class Stranger:
        timestamp = vars(BarData.__mro__[1])["timestamp"]  # MarketData's own field

    with pytest.raises(TypeError, match="doesn't apply to a 'Stranger' object"):
        vars(DailyBar)["market_date"].fget(Stranger())
