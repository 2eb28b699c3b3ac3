"""The classes as they are written down: module namespaces, class and member names,
docstrings, annotations and defaults.  Behaviour is tested elsewhere; these
pin texts that callers and tools read."""

import datetime as dt

import pytest

from tarnwick.base import candlestick
from tarnwick.base.candlestick import BarData, DailyBar


def daily():
    return DailyBar("ABC", dt.date(2024, 1, 5), 2.0, 1.0, 1.5, 1.8, volume=1000.0)


# ---- BarData -----------------------------------------------------------------------

DOCSTRINGS = {
    "high_price": "Get the highest price during the bar.",
    "low_price": "Get the lowest price during the bar.",
    "open_price": "Get the opening price of the bar.",
    "close_price": "Get the closing price of the bar.",
    "volume": "Get the total volume of trades during the bar.",
    "notional": "Get the total notional value of trades during the bar.",
    "trade_count": "Get the number of trades that occurred during the bar.",
    "start_timestamp": "Get the start time of the bar.",
    "bar_span_seconds": "Get the duration of the bar.",
    "vwap": "Get the volume-weighted average price for the bar.",
}


def test_bar_class_and_init_docstrings():
    assert (BarData.__module__, BarData.__qualname__) == ("tarnwick.base.candlestick", "BarData")
    assert BarData.__doc__ == "Represents a single bar of market data for a specific ticker within a given time frame."
    assert BarData.__init__.__doc__ == "Initialize the bar data with values."


def test_property_docstrings():
    assert {name: getattr(BarData, name).__doc__ for name in DOCSTRINGS} == DOCSTRINGS
    labels = BarData.bar_type.__doc__
    assert labels.splitlines()[0] == "Determines the type of the bar based on its span."
    assert "Returns" in labels
    assert all(f"'{label}'" in labels for label in ("Hourly-Plus", "Hourly", "Minute-Plus", "Minute", "Sub-Minute"))
    end = BarData.bar_end_time.__doc__
    assert end.splitlines()[0] == "The end time of the bar."
    assert "Returns" in end and "datetime" in end and "date" in end.replace("datetime", "")
    start = BarData.bar_start_time.__doc__
    assert start.splitlines()[0] == "The start time of the bar." and "Returns" in start and "datetime" in start
    assert BarData.bar_span.__doc__ is None and BarData.market_price.__doc__ is None


def test_byte_form_and_text_docstrings():
    assert BarData.from_buffer.__doc__ == "Create a new instance from a buffer."
    assert BarData.from_bytes.__doc__.splitlines()[:2] == [
        "Create a new instance from bytes.", "Creates a copy of the data, so the instance owns the memory."]
    assert BarData.__copy__.__doc__ == "Create a copy of this instance."
    assert BarData.__repr__.__doc__ == "String representation of the bar data."


# ---- DailyBar ----------------------------------------------------------------------


def test_class_is_made_like_a_class_statement():
    assert DailyBar.__bases__ == (BarData,)
    assert type(DailyBar) is type
    assert (DailyBar.__module__, DailyBar.__qualname__, DailyBar.__name__) == (
        "tarnwick.base.candlestick", "DailyBar", "DailyBar")
    assert DailyBar.__doc__ is None
    assert "__orig_bases__" not in vars(DailyBar)
    own = [name for name in vars(DailyBar) if not name.startswith("__") or name in ("__init__", "__repr__")]
    assert own == ["__init__", "__repr__", "market_date", "market_time", "bar_start_time",
                   "bar_end_time", "bar_span", "bar_type"]
    bar = daily()
    bar.note = "instances carry a dictionary"
    assert vars(bar) == {"note": "instances carry a dictionary"}
    DailyBar.extra_attribute = 1  # unlike BarData, the class accepts new attributes
    del DailyBar.extra_attribute


ANNOTATIONS = {"__repr__": "str", "market_date": "date", "market_time": "date",
               "bar_start_time": "date", "bar_end_time": "date", "bar_span": "timedelta",
               "bar_type": "Literal['Daily', 'Daily-Plus']"}


@pytest.mark.parametrize("name", ["__init__", *ANNOTATIONS])
def test_members_are_native_functions_like_python_ones(name):
    member = vars(DailyBar)[name]
    function = member.fget if isinstance(member, property) else member
    if isinstance(member, property):
        assert member.fset is None and member.fdel is None
    assert function.__module__ == "tarnwick.base.candlestick"
    assert function.__qualname__ == f"DailyBar.{name}"
    expected = {"return": ANNOTATIONS[name]} if name in ANNOTATIONS else {}
    assert function.__annotations__ == expected
    bound = function.__get__(daily(), DailyBar)
    assert bound.__self__ is not None  # binds as a method


def test_init_defaults_and_docstrings():
    assert DailyBar.__init__.__defaults__ == (0.0, 0.0, 0, 1)
    assert DailyBar.market_date.__doc__ == (
        "\n        The market date of the bar.\n\n        Returns:\n"
        "            date: The market date of the bar.\n        ")
    assert DailyBar.bar_type.__doc__ == (
        "\n        Determines the type of the bar based on its span.\n\n        Returns:\n"
        "            Literal['Daily', 'Daily-Plus']: The type of the bar.\n\n        Raises:\n"
        "            ValueError: If `bar_span` is not valid for a daily bar.\n        ")
    assert DailyBar.bar_start_time.__doc__.splitlines()[1] == "        The start date of the bar period."
    assert DailyBar.bar_span.__doc__ is None and DailyBar.__repr__.__doc__ is None


def test_module_binds_daily_bar_last():
    names = [name for name in vars(candlestick) if not name.startswith("__")]
    assert names == ["BarData", "Literal", "PROFILE", "DailyBar"]
