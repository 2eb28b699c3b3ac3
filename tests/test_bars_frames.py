"""Users' own DataFrames and tables into bars, and bars out to polars."""

import datetime
import math
import sys
from zoneinfo import ZoneInfo

import numpy
import pyarrow as pa
import pytest
from resample_kit import records

from tarnwick.bars import TableError, from_arrow, from_pandas, from_polars, to_arrow, to_pandas, to_polars, write

pandas = pytest.importorskip("pandas")

NEW_YORK = ZoneInfo("America/New_York")
STARTS = pandas.date_range("2024-03-01 09:30", periods=4, freq="5min")  # New York's clocks
ENDS = [datetime.datetime(2024, 3, 1, 9, 35, tzinfo=NEW_YORK).timestamp() + 300 * i for i in range(4)]
DAYS = pandas.date_range("2024-03-04", periods=4, freq="D")
PRICES = {"Open": [10.0, 10.4, 10.2, 10.3], "High": [10.5, 10.6, 10.4, 10.6], "Low": [9.9, 10.1, 10.0, 10.2],
          "Close": [10.4, 10.2, 10.3, 10.5], "Volume": [100.0, 0.0, 250.0, 75.0]}


def frame(index=STARTS, prices=PRICES, **columns):
    return pandas.DataFrame({**prices, **columns}, index=index)


def polars_frame(times, **columns):
    polars = pytest.importorskip("polars")
    return polars.DataFrame({"Datetime": list(times), **PRICES, **columns})


def expected(ends=ENDS, span=300.0, *, rows=4, volume=PRICES["Volume"], ticker="ABC"):
    values = {"open_price": PRICES["Open"][:rows], "high_price": PRICES["High"][:rows],
              "low_price": PRICES["Low"][:rows], "close_price": PRICES["Close"][:rows], "volume": volume[:rows],
              "notional": math.nan}  # no notional column: unknown, and no trade count: 0
    return records(ends[:rows], span, ticker, values=values, trade_count=0)


def wide():
    # A downloader's frame of several tickers: columns by ticker and price, a ticker's rows empty where
    # only others traded.
    return pandas.concat({"ABC": frame(), "XYZ": frame().iloc[:3]}, axis="columns", sort=False)


BOTH = numpy.concatenate([expected(), expected(rows=3, ticker="XYZ")])


NAMED = {"ticker": "ABC"}
IN_NEW_YORK = {"ticker": "ABC", "tz": NEW_YORK}

# (frame maker, options, expected records, kind)
SHAPES = {
    "naive index": (lambda: frame(), IN_NEW_YORK, expected(), "intraday"),
    "aware index": (lambda: frame(STARTS.tz_localize(NEW_YORK)), NAMED, expected(), "intraday"),
    "lower-case names": (lambda: frame().rename(columns=str.lower), IN_NEW_YORK, expected(), "intraday"),
    "upper-case, named index": (lambda: frame().rename(columns=str.upper).rename_axis("DATE"), IN_NEW_YORK,
                                expected(), "intraday"),
    "ticker column": (lambda: frame(Symbol=["ABC"] * 4), {"tz": "America/New_York"}, expected(), "intraday"),
    "missing volume": (lambda: frame().drop(columns="Volume"), IN_NEW_YORK, expected(volume=[math.nan] * 4),
                       "intraday"),
    "stamp end": (lambda: frame(STARTS + pandas.Timedelta("5min")), {**IN_NEW_YORK, "stamp": "end"}, expected(),
                  "intraday"),
    "span given": (lambda: frame().iloc[:1], {**IN_NEW_YORK, "span": "5min"}, expected(rows=1), "intraday"),
    "span given over the inferred": (lambda: frame(), {**IN_NEW_YORK, "span": 60}, expected(
        [end - 240 for end in ENDS], 60.0), "intraday"),
    "daily, naive": (lambda: frame(DAYS), NAMED, expected([20240304.0 + i for i in range(4)], 1.0), "daily"),
    # Midnight in New York is 05:00 in the profile's UTC: the index's own zone gives the market dates.
    "daily, aware": (lambda: frame(DAYS.tz_localize(NEW_YORK)), NAMED,
                     expected([20240304.0 + i for i in range(4)], 1.0), "daily"),
    "columns by ticker and price": (lambda: wide(), {"tz": NEW_YORK}, BOTH, "intraday"),
    "columns by price and ticker": (lambda: wide().swaplevel(axis="columns"), {"tz": NEW_YORK}, BOTH, "intraday"),
    "daily, fixed offset": (lambda: frame(DAYS.tz_localize(datetime.timezone(datetime.timedelta(hours=-5)))), NAMED,
                            expected([20240304.0 + i for i in range(4)], 1.0), "daily"),
    "Arrow table": (lambda: pa.table({"timestamp": STARTS.tz_localize(NEW_YORK), **PRICES}), NAMED, expected(),
                    "intraday"),
    "polars DataFrame": (lambda: polars_frame(STARTS.tz_localize(NEW_YORK), Ticker=["ABC"] * 4),
                         {}, expected(), "intraday"),
}


@pytest.mark.parametrize("make, options, want, kind", SHAPES.values(), ids=SHAPES.keys())
def test_users_frames_are_read_as_convert_reads_tables(utc_profile, make, options, want, kind):
    given = make()
    read = from_pandas if isinstance(given, pandas.DataFrame) else from_arrow
    got, got_kind = read(given, **options)
    assert got_kind == kind
    assert got.tobytes() == want.tobytes()  # every field, NaN's too


def intraday_bars(tmp_path):
    # Two tickers, sub-second times: the exported frame must give back every byte.
    data = records([1_709_287_200.123456789 + 60 * i for i in range(6)], 60.0, "ABC")
    data["ticker"][3:] = b"XYZ"
    data["notional"][1] = math.nan
    write(tmp_path / "in.bars", data, kind="intraday")
    return tmp_path / "in.bars"


def polars_out(path):
    pytest.importorskip("polars")
    return to_polars(path, tz=NEW_YORK)


@pytest.mark.parametrize("out, back", [
    (lambda path: to_pandas(path, tz=NEW_YORK), from_pandas),
    (lambda path: to_arrow(path, tz=NEW_YORK), from_arrow),
    (lambda path: to_arrow(path).replace_schema_metadata(None), from_arrow),
    (polars_out, from_polars),
    (polars_out, from_arrow),
], ids=["pandas", "arrow", "arrow without metadata", "polars", "polars as Arrow"])
def test_exported_frames_give_back_the_same_bytes(tmp_path, out, back):
    path = intraday_bars(tmp_path)
    got, kind = back(out(path))
    assert kind == "intraday" and got.tobytes() == path.read_bytes()[101:]


def test_polars_is_imported_only_for_polars(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "polars", None)
    assert from_pandas(frame(), **IN_NEW_YORK)[0].tobytes() == expected().tobytes()
    with pytest.raises(ModuleNotFoundError, match=r"pip install 'tarnwick\[polars\]'"):
        to_polars(intraday_bars(tmp_path))


@pytest.mark.parametrize("given, options, error, message", [
    (frame(), {"tz": NEW_YORK}, TableError, r"^DataFrame: no ticker column .*give ticker="),
    (frame(prices={**PRICES, "High": [10.5, 10.0, 10.4, 10.6]}), IN_NEW_YORK, TableError,
     r"^DataFrame, row 2: prices out of order"),
    (frame().drop(columns="Close"), IN_NEW_YORK, TableError, r"^DataFrame: no Close column"),
    (frame(STARTS[[0, 1, 1, 2]]), IN_NEW_YORK, TableError, r"^DataFrame, row 3: time .* repeats"),
    (frame(), {"ticker": "A" * 33}, TableError, "give the ticker explicitly"),
    (frame(), {**IN_NEW_YORK, "stamp": "middle"}, TableError, "stamp is 'start' or 'end', not 'middle'"),
    ([1, 2], {}, TypeError, "not list"),
])
def test_frames_that_hold_no_bars_are_refused_in_one_line(given, options, error, message):
    read = from_pandas if isinstance(given, pandas.DataFrame) else from_arrow
    with pytest.raises(error, match=message) as caught:
        read(given, **options)
    assert "\n" not in str(caught.value)


def test_exported_columns_with_options_are_read_as_a_users(tmp_path):
    # Options ask for something the export does not say: the table reader reads it, choosing one ticker.
    got, kind = from_arrow(to_arrow(intraday_bars(tmp_path)), ticker="XYZ")
    assert kind == "intraday" and set(got["ticker"]) == {b"XYZ"} and len(got) == 3
    numpy.testing.assert_array_equal(got["bar_span"], 60.0)
