"""The made-up realistic minute data (tarnwick.bars._synthetic): its clock has
both daylight-saving changes, and converting its tables gives its records."""

import numpy
import pytest

from tarnwick.bars import convert, read
from tarnwick.bars._synthetic import minute_bars, minute_data, ticker_names, write_minute_csv, write_minute_parquet


def _wall(data):
    return data.wall.astype(str)


@pytest.mark.parametrize("rows, tickers", [(240, 1), (30_000, 3), (400_000, 1), (2_000_000, 20)])
def test_the_clock_skips_the_spring_hour_and_repeats_the_autumn_one(rows, tickers):
    data = minute_data(rows, tickers=tickers)
    wall = _wall(data)
    assert len(wall) == rows
    assert not any(stamp.startswith("2024-03-10T02:") for stamp in wall)
    assert "2024-03-10T01:59:00" in wall and "2024-03-10T03:00:00" in wall
    autumn = data.starts[wall == "2024-11-03T01:30:00"]
    assert len(numpy.unique(autumn)) == 2 and numpy.ptp(autumn) == 3600  # the same wall time, an hour apart
    minutes = numpy.unique(data.starts)
    assert (numpy.diff(data.starts) >= 0).all() and (minutes % 60 == 0).all()
    assert list(data.ticker[:tickers]) == list(range(tickers))  # interleaved: each minute lists every ticker


def test_larger_tables_have_a_few_outages_and_cent_prices():
    data = minute_data(400_000, seed=3)
    outages = numpy.flatnonzero(numpy.diff(data.starts) > 60)
    assert 3 <= len(outages) <= 6 and numpy.diff(data.starts).max() < 100 * 60
    for prices in (data.open, data.high, data.low, data.close):
        assert numpy.array_equal(prices, numpy.round(prices, 2)) and prices.min() >= 0.01
    assert (data.low <= numpy.minimum(data.open, data.close)).all()
    assert (data.high >= numpy.maximum(data.open, data.close)).all()
    assert (data.open[1:] == data.close[:-1]).all()


def test_the_same_seed_gives_the_same_bars_and_another_does_not():
    assert minute_bars(5_000, tickers=2, seed=4).tobytes() == minute_bars(5_000, tickers=2, seed=4).tobytes()
    assert minute_bars(5_000, tickers=2, seed=4).tobytes() != minute_bars(5_000, tickers=2, seed=5).tobytes()


@pytest.mark.parametrize("writer, rows, tickers", [
    (write_minute_csv, 12_000, 1), (write_minute_csv, 12_000, 3), (write_minute_parquet, 12_000, 1),
    (write_minute_parquet, 12_000, 3),
    pytest.param(write_minute_csv, 2_000_000, 20, marks=pytest.mark.large),  # real size, 20 tickers interleaved
])
def test_converting_the_table_gives_the_records(tmp_path, writer, rows, tickers):
    source = writer(tmp_path / ("minutes.csv" if writer is write_minute_csv else "minutes.parquet"), rows,
                    tickers=tickers)
    target = tmp_path / "out"
    convert(source, target, tz="America/New_York", ticker="ALFA" if tickers == 1 else None)
    expected = minute_bars(rows, tickers=tickers)
    for name in ticker_names(tickers):
        path = target if tickers == 1 else target / f"{name}.bars"
        with read(path) as bars:
            assert bars.columns().tobytes() == expected[expected["ticker"] == name.encode()].tobytes()


def test_the_csv_reads_as_a_users_export(tmp_path):
    lines = write_minute_csv(tmp_path / "m.csv", 8, tickers=2).read_text().splitlines()
    assert lines[0] == "Datetime,Ticker,Open,High,Low,Close,Volume"
    assert [line[:24] for line in lines[1::2]] == ["2024-03-10 01:59:00,ALFA", "2024-03-10 03:00:00,ALFA",
                                                    "2024-11-03 01:59:00,ALFA", "2024-11-03 01:00:00,ALFA"]
