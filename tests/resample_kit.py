"""Shared scaffolding of the resampling tests: bar records as numpy arrays,
and the pandas oracle that resamples them by the documented rules."""

import datetime
from zoneinfo import ZoneInfo

import numpy

from tarnwick.bars._records import record_dtype

NEW_YORK = ZoneInfo("America/New_York")
SPRING_FORWARD = datetime.datetime(2024, 3, 10, 7, tzinfo=datetime.UTC).timestamp()  # 02:00 EST -> 03:00 EDT
FALL_BACK = datetime.datetime(2024, 11, 3, 6, tzinfo=datetime.UTC).timestamp()  # 02:00 EDT -> 01:00 EST
VALUES = ("open_price", "high_price", "low_price", "close_price", "volume", "notional")


def records(ends, spans=60.0, ticker="ABC", *, values=None, trade_count=1):
    """Bar records ending at ``ends``, with the given spans; prices and sums
    from ``values`` (a dict of columns), else a plain rising series."""
    ends = numpy.asarray(ends, dtype=float)
    out = numpy.zeros(len(ends), record_dtype())
    out["dtype"] = 40
    out["ticker"] = ticker.encode()
    out["timestamp"] = ends
    out["bar_span"] = spans
    rising = numpy.arange(len(ends), dtype=float)
    defaults = {"open_price": 10 + rising, "high_price": 11 + rising, "low_price": 9 + rising,
                "close_price": 10.5 + rising, "volume": 100.0, "notional": 1000.0}
    for name in VALUES:
        out[name] = (values or {}).get(name, defaults[name])
    out["trade_count"] = trade_count
    return out


def local(year, month, day, hour=0, minute=0, zone=NEW_YORK, fold=0):
    return datetime.datetime(year, month, day, hour, minute, tzinfo=zone, fold=fold).timestamp()


def as_array(bars):
    return numpy.frombuffer(bars, record_dtype())


def _aggregate(grouped, frame_columns):
    """First open, max high, min low, last close, sums; any NaN makes the result NaN."""
    import pandas

    out = pandas.DataFrame({
        "open_price": grouped["open_price"].first(skipna=False),
        "high_price": grouped["high_price"].max(),
        "low_price": grouped["low_price"].min(),
        "close_price": grouped["close_price"].last(skipna=False),
        "volume": grouped["volume"].sum(),
        "notional": grouped["notional"].sum(),
        "trade_count": grouped["trade_count"].sum(),
        "size": grouped.size(),
    })
    for name in ("high_price", "low_price", "volume", "notional"):
        out.loc[grouped[name + "_nan"].max().astype(bool), name] = numpy.nan
    return out[out["size"] > 0]


def oracle(source, span, zone=NEW_YORK):
    """The expected result of ``resample(source, span, tz=zone)`` by pandas:
    ``resample(closed="right", label="right")`` for intraday spans (which
    divide an hour here), and groups by the local date of each bar's start for
    days ("D"), ISO weeks ("W-SUN") and months ("M").  Returns an array of
    records, tickers in order of first appearance."""
    import pandas

    frame = pandas.DataFrame({name: source[name] for name in (*VALUES, "trade_count", "timestamp", "bar_span")})
    frame["ticker"] = source["ticker"]
    for name in ("high_price", "low_price", "volume", "notional"):
        frame[name + "_nan"] = frame[name].isna()
    parts = []
    for ticker in pandas.unique(frame["ticker"]):
        part = frame[frame["ticker"] == ticker]
        if span in ("D", "W-SUN", "M"):
            starts = pandas.to_datetime(part["timestamp"] - part["bar_span"], unit="s", utc=True)
            periods = starts.dt.tz_convert(zone).dt.tz_localize(None).dt.to_period(span)
            result = _aggregate(part.groupby(periods.to_numpy()), part.columns)
            index = pandas.PeriodIndex(result.index)
            last = index.end_time
            stamps = (last.year * 10000 + last.month * 100 + last.day).to_numpy(float)
            lengths = (index.end_time - index.start_time).days.to_numpy(float) + 1
        else:
            ends = pandas.to_datetime(part["timestamp"], unit="s", utc=True).dt.tz_convert(zone)
            result = _aggregate(part.set_index(pandas.DatetimeIndex(ends)).resample(span, closed="right",
                                                                                   label="right"), part.columns)
            stamps = result.index.map(lambda moment: moment.timestamp()).to_numpy(float)
            lengths = pandas.Timedelta(span).total_seconds()
        out = numpy.zeros(len(result), record_dtype())
        out["dtype"] = 40
        out["ticker"] = ticker
        out["timestamp"] = stamps
        out["bar_span"] = lengths
        for name in (*VALUES, "trade_count"):
            out[name] = result[name].to_numpy()
        parts.append(out)
    return numpy.concatenate(parts) if parts else numpy.zeros(0, record_dtype())


def assert_same(got, expected):
    """Equal records, field by field (NaN equal to NaN)."""
    assert len(got) == len(expected), (len(got), len(expected))
    for name in got.dtype.names:
        numpy.testing.assert_array_equal(got[name], expected[name], err_msg=name)
