"""Trade tables read in pieces: the dumps recognised without options, the
same trades from every kind of source, bad rows named, and what a piece
carries to the next."""

import datetime
import gzip

import numpy
import pyarrow
import pyarrow.csv
import pyarrow.parquet
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from resample_kit import FALL_BACK, NEW_YORK

from tarnwick.bars import TableError, aggregate, main, read
from tarnwick.bars._trade_tables import trade_pieces

T0 = 1_709_301_000  # 2024-03-01 13:50:00 UTC
PRICES = (100.5, 100.25, 101.0)
SIZES = (0.5, 2.0, 0.125)


def whole(pieces):
    """The pieces' columns joined, with the names of the last piece."""
    pieces = list(pieces)
    join = numpy.concatenate
    notionals = [piece.notionals for piece in pieces]
    return {"times": join([p.times for p in pieces]), "prices": join([p.prices for p in pieces]),
            "sizes": join([p.sizes for p in pieces]),
            "notionals": None if notionals[0] is None else join(notionals),
            "tickers": None if pieces[0].tickers is None else join([p.tickers for p in pieces]),
            "names": pieces[-1].names}


def _lines(rows):
    return "".join(",".join(map(str, row)) + "\n" for row in rows)


# An exchange's dumps and a vendor's table, written from their layouts.
DUMPS = {
    "trade dump, ms": lambda: _lines((i + 7, p, s, p * s, (T0 + i) * 1000 + 250, "True", "True")
                                     for i, (p, s) in enumerate(zip(PRICES, SIZES))),
    "trade dump, µs, no best-match flag": lambda: _lines((i + 7, p, s, p * s, (T0 + i) * 10**6 + 250_000, "false")
                                                         for i, (p, s) in enumerate(zip(PRICES, SIZES))),
    "aggregated-trade dump": lambda: _lines((i, p, s, 10 * i, 10 * i + 3, (T0 + i) * 1000 + 250, "False", "True")
                                            for i, (p, s) in enumerate(zip(PRICES, SIZES))),
    "vendor table, ns": lambda: "ts_recv,ts_event,rtype,publisher_id,instrument_id,action,side,depth,price,size," \
        "flags,ts_in_delta,sequence,symbol\n" + _lines(
            (0, (T0 + i) * 10**9 + 250_000_000, 0, 1, 2, "T", "A", 0, p, s, 0, 0, i, "ESH4")
            for i, (p, s) in enumerate(zip(PRICES, SIZES))),
    "vendor table, ISO": lambda: "ts_event,price,size,side,symbol\n" + _lines(
        (f"2024-03-01T13:50:0{i}.250000000Z", p, s, "B", "ESH4") for i, (p, s) in enumerate(zip(PRICES, SIZES))),
}


@pytest.mark.parametrize("dump", DUMPS)
def test_dumps_are_recognised_without_options(tmp_path, dump):
    path = tmp_path / "BTCUSDT-trades.csv"
    path.write_text(DUMPS[dump]())
    got = whole(trade_pieces(path))
    assert got["times"].tolist() == [T0 + 0.25, T0 + 1.25, T0 + 2.25]
    assert got["prices"].tolist() == list(PRICES) and got["sizes"].tolist() == list(SIZES)
    if dump.startswith("trade dump"):
        assert got["notionals"].tolist() == [p * s for p, s in zip(PRICES, SIZES)]
    else:
        assert got["notionals"] is None
    assert got["names"] == (("ESH4",) if dump.startswith("vendor") else ("BTCUSDT",))  # an exchange names its files


def _frame():
    import pandas

    times = pandas.to_datetime([T0, T0 + 60, T0 + 61, T0 + 200], unit="s", utc=True)
    return pandas.DataFrame({"Price": [1.0, 2.0, 3.0, 4.0], "Qty": [1.0, 1.5, 2.0, 0.5],
                             "Symbol": ["B", "A", "B", "A"]}, index=times)


def _write_csv_gz(frame, path):
    with gzip.open(path, "wt") as file:
        file.write(frame.reset_index(names="time").to_csv(index=False))
    return path


def _write_arrow(frame, path):
    import pyarrow.feather

    pyarrow.feather.write_feather(pyarrow.Table.from_pandas(frame.reset_index(names="time")), path,
                                  chunksize=3)  # record batches of three rows, sliced again into pieces
    return path


SOURCES = {
    "csv": lambda frame, tmp: (frame.reset_index(names="time").to_csv(tmp / "t.csv", index=False), tmp / "t.csv")[1],
    "gzip csv": lambda frame, tmp: _write_csv_gz(frame, tmp / "t.csv.gz"),
    "parquet": lambda frame, tmp: (frame.to_parquet(tmp / "t.parquet"), tmp / "t.parquet")[1],
    "arrow file": lambda frame, tmp: _write_arrow(frame, tmp / "t.arrow"),
    "pandas": lambda frame, tmp: frame,
    "arrow table": lambda frame, tmp: pyarrow.Table.from_pandas(frame.reset_index(names="time")),
}


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("piece_rows", [1, 3, 1000])
def test_every_source_gives_the_same_trades_in_any_pieces(tmp_path, kind, piece_rows):
    pytest.importorskip("pandas")
    source = SOURCES[kind](_frame(), tmp_path)
    pieces = list(trade_pieces(source, piece_rows=piece_rows))
    assert all(len(piece) <= piece_rows for piece in pieces)
    assert [piece.first_row for piece in pieces] == list(numpy.cumsum([0] + [len(p) for p in pieces[:-1]]))
    got = whole(pieces)
    assert got["times"].tolist() == [T0, T0 + 60, T0 + 61, T0 + 200]
    assert got["tickers"].tolist() == [0, 1, 0, 1] and got["names"] == ("B", "A")
    assert pieces[0].names == (("B",) if piece_rows == 1 else ("B", "A"))  # names seen so far
    chosen = list(trade_pieces(source, ticker="A", piece_rows=piece_rows))
    assert whole(chosen)["prices"].tolist() == [2.0, 4.0] and chosen[0].tickers is None
    assert [piece.where(i) for piece in chosen for i in range(len(piece))] == \
        ([f"{source}, line 3", f"{source}, line 5"] if "csv" in kind else
         [f"{chosen[0].source_name}, row 2", f"{chosen[0].source_name}, row 4"])


BAD = {
    "a price that is no number": ("time,price,size\n{t},1.5,2\n{t},abc,2\n", "line 3: Price is not a number: 'abc'"),
    "a time that is no time": ("time,price,size\n{t},1.5,2\nnoon,1.5,2\n", "line 3: not a date or date-time: 'noon'"),
    "an empty size": ("time,price,size\n{t},1.5,2\n{t},1.5,\n", "line 3: Size is not a number: ''"),
    "no size column": ("time,price,side\n{t},1.5,B\n", "line 1: no Size column (the columns are time, price, side)"),
    "a ticker too long": ("time,price,size,symbol\n{t},1.5,2,A\n{t},1.5,2," + "X" * 40 + "\n",
                          "line 3: a ticker is 1 to"),
    "a time the clocks skip": ("time,price,size\n2024-03-10 02:30:00,1.5,2\n",
                               "line 2: the time 2024-03-10 02:30:00 does not exist in America/New_York"),
}


@pytest.mark.parametrize("case", BAD)
def test_a_bad_row_is_named(tmp_path, case):
    text, message = BAD[case]
    path = tmp_path / "trades.csv"
    path.write_text(text.format(t=T0 * 1000))
    with pytest.raises(TableError) as caught:
        list(trade_pieces(path, tz="America/New_York", piece_rows=1))
    assert str(caught.value).startswith(f"{path}, {message}")


def test_the_repeated_hour_goes_on_across_a_piece_boundary(tmp_path):
    # Wall-clock times through the hour the clocks repeat: each piece of one
    # row must know the time before it to tell the second 01:30 from the first.
    walls = ["00:59:00", "01:30:00", "01:59:00", "01:10:00", "01:30:00", "02:10:00"]
    path = tmp_path / "trades.csv"
    path.write_text("time,price,size\n" + "".join(f"2024-11-03 {wall},1,1\n" for wall in walls))
    got = whole(trade_pieces(path, tz=NEW_YORK, piece_rows=1))["times"]
    expected = [datetime.datetime.fromisoformat(f"2024-11-03 {wall}").replace(tzinfo=NEW_YORK, fold=int(i >= 3))
                .timestamp() for i, wall in enumerate(walls)]
    assert got.tolist() == expected and expected[3] > FALL_BACK


@pytest.mark.parametrize("chosen", [None, "A"])
def test_each_ticker_carries_its_own_last_time_across_pieces(tmp_path, chosen):
    # B's first-pass 01:40 between A's rows must not make A's 01:30 the second one.
    rows = [("A", "00:59:00"), ("B", "01:40:00"), ("A", "01:30:00"), ("A", "01:59:00"), ("A", "01:10:00"),
            ("A", "02:10:00")]
    path = tmp_path / "trades.csv"
    path.write_text("time,ticker,price,size\n" + "".join(f"2024-11-03 {wall},{name},1,1\n" for name, wall in rows))
    pieces = list(trade_pieces(path, tz=NEW_YORK, piece_rows=1, ticker=chosen))
    got = [time for piece in pieces for time, code in zip(piece.times, piece.tickers if piece.tickers is not None
                                                          else [0] * len(piece)) if piece.names[code] == "A"]
    walls = [wall for name, wall in rows if name == "A"]
    expected = [datetime.datetime.fromisoformat(f"2024-11-03 {wall}").replace(tzinfo=NEW_YORK, fold=int(i >= 3))
                .timestamp() for i, wall in enumerate(walls)]
    assert got == expected


def test_a_cell_the_reader_cannot_type_makes_the_rest_read_as_text(tmp_path):
    # The sampled rows are epoch counts; a later ISO time and a number with a
    # plus sign are still read, in the piece where they stand.
    rows = [f"{(T0 + i) * 1000},1.5,2\n" for i in range(5000)] + ["2024-03-01T14:00:00Z,+1.5,2\n"]
    path = tmp_path / "trades.csv"
    path.write_text("time,price,size\n" + "".join(rows))
    got = whole(trade_pieces(path, piece_rows=1000))
    assert len(got["times"]) == 5001 and got["times"][-1] == T0 + 600 and got["prices"][-1] == 1.5


def test_a_parquet_column_of_the_wrong_type_is_named(tmp_path):
    path = tmp_path / "t.parquet"
    pyarrow.parquet.write_table(pyarrow.table({"time": [T0], "price": [True], "size": [1.0]}), path)
    with pytest.raises(TableError, match=r"t\.parquet: column 'price' holds bool, not numbers"):
        list(trade_pieces(path))


# ---- the command ------------------------------------------------------------------------------

TRADES = "time,price,size,symbol\n" + "".join(
    f"{(T0 + 20 * i) * 1000},{100 + i},{1 + i % 3},{'AB'[i % 2]}\n" for i in range(12))


@pytest.mark.parametrize("rule", [{"span": "1min"}, {"ticks": 2}, {"volume": 2.5}, {"value": 333.0}])
def test_bars_carry_across_pieces(tmp_path, rule):
    # A piece of one row: every bar, and every split trade, crosses a piece boundary.
    source = tmp_path / "trades.csv"
    source.write_text(TRADES)
    whole_table = aggregate(source, tz="America/New_York", **rule)
    assert bytes(aggregate(source, tz="America/New_York", piece_rows=1, **rule)) == bytes(whole_table)
    assert len(whole_table) > 2


def test_aggregate_one_ticker_into_a_file(tmp_path, capsys):
    source, target = tmp_path / "trades.csv", tmp_path / "a.bars"
    source.write_text(TRADES)
    assert main(["aggregate", str(source), str(target), "--ticks", "2", "--ticker", "B"]) == 0
    assert capsys.readouterr().out == f"{target}: 3 intraday bars of B, 2 trades each, from {source}\n"
    with read(target) as bars:
        assert [(bar.open_price, bar.close_price, bar.trade_count) for bar in bars] == \
            [(101, 103, 2), (105, 107, 2), (109, 111, 2)]
    assert main(["aggregate", str(source), str(target), "--ticks", "2", "--ticker", "B"]) == 1
    assert "exists: give --force" in capsys.readouterr().err


def test_aggregate_several_tickers_into_a_directory(tmp_path, capsys):
    source, target = tmp_path / "trades.csv", tmp_path / "bars"
    source.write_text(TRADES)
    assert main(["aggregate", str(source), str(target), "--span", "1min", "--tz", "America/New_York"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines == [f"{target / name}.bars: 4 intraday bars of {name}, 1min, from {source}" for name in "AB"]
    expected = bytes(aggregate(source, span="1min", tz="America/New_York", ticker="B"))
    assert (target / "B.bars").read_bytes()[-len(expected):] == expected


def test_table_options_are_refused_for_arrays():
    with pytest.raises(TypeError, match="delimiter= reads a trade table"):
        aggregate((numpy.full(2, T0 * 1.0), numpy.ones(2), numpy.ones(2)), ticks=1, delimiter=";")


@pytest.mark.parametrize("arguments, message", [
    (("--span", "1min", "--ticks", "5"), "not allowed with argument"),
    (("--volume", "0"), "a positive amount, not 0"),
    (("--ticks", "5", "--column", "open=2"), "--column takes ROLE=NAME_OR_POSITION with a role of date, time, price"),
])
def test_aggregate_usage_errors(tmp_path, capsys, arguments, message):
    with pytest.raises(SystemExit):
        main(["aggregate", str(tmp_path / "t.csv"), str(tmp_path / "out"), *arguments])
    assert message in capsys.readouterr().err


def test_a_bad_trade_found_by_the_pass_is_named_by_its_line(tmp_path, capsys):
    source = tmp_path / "trades.csv"
    source.write_text(TRADES.replace(",105,", ",-105,"))
    assert main(["aggregate", str(source), str(tmp_path / "out.bars"), "--ticks", "2", "--ticker", "B"]) == 1
    assert capsys.readouterr().err.startswith(f"tarnwick-bars: error: {source}, line 7 (B) has a price of -105")
    assert not (tmp_path / "out.bars").exists()


@pytest.mark.large
@pytest.mark.parametrize("rule", [{"span": "1min"}, {"volume": 5000.0}])
def test_a_table_of_several_real_pieces_makes_the_bars_of_its_arrays(tmp_path, rule):
    from tarnwick.bars._synthetic import synthetic_trades

    times, prices, sizes = synthetic_trades(2_500_000)  # three pieces, and CSV blocks that end mid-piece
    micros = numpy.round(times * 1e6).astype(numpy.int64)
    path = tmp_path / "trades.csv"
    pyarrow.csv.write_csv(pyarrow.table({"time": micros, "price": prices, "size": sizes}), path)
    from_file = aggregate(path, tz="America/New_York", ticker="T", **rule)
    from_arrays = aggregate((micros / 1e6, prices, sizes), tz="America/New_York", ticker="T", **rule)
    assert bytes(from_file) == bytes(from_arrays)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(head=st.sampled_from([b"", b"time,price,size\n", b"ts_event,price,size,symbol\n", b"7,1.5,2,3,"]),
       body=st.binary(max_size=300), piece_rows=st.integers(1, 4))
def test_any_bytes_as_trades_end_in_bars_or_one_clear_error(tmp_path, head, body, piece_rows):
    path = tmp_path / "t.csv"
    path.write_bytes(head + body)
    try:
        aggregate(path, ticks=2, tz="America/New_York", piece_rows=piece_rows)
    except ValueError as error:  # TableError or AggregateError, naming the file
        assert str(error).startswith(str(path)) and "\n" not in str(error), str(error)
