"""Property tests of converting tables: random tables and options end in bars
or in one clear error (through the fuzzer's harness), and well-formed random
tables convert with their exact values."""

import datetime
import importlib.util
import pathlib

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnwick.bars import load_csv

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
spec = importlib.util.spec_from_file_location("fuzz_convert", FUZZ / "fuzz_convert.py")
harness = importlib.util.module_from_spec(spec)
spec.loader.exec_module(harness)

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@SETTINGS
@given(st.binary(max_size=400))
def test_any_table_and_options_end_in_bars_or_one_clear_error(data):
    harness.exercise(data)


prices = st.floats(0.01, 1e6, allow_nan=False, allow_infinity=False)


@SETTINGS
@given(rows=st.lists(st.tuples(prices, prices, prices, prices, st.integers(0, 10**9)), min_size=2, max_size=20),
       delimiter=st.sampled_from([",", ";", "\t", "|"]), minutes=st.integers(1, 240))
def test_random_tables_keep_their_exact_values(tmp_path, utc_profile, rows, delimiter, minutes):
    start = datetime.datetime(2024, 3, 1, tzinfo=datetime.UTC)
    lines = ["Datetime,Open,High,Low,Close,Volume".replace(",", delimiter)]
    for number, (a, b, c, d, volume) in enumerate(rows):
        low, opening, closing, high = sorted((a, b, c, d))
        moment = start + datetime.timedelta(minutes=minutes * number)
        lines.append(delimiter.join([f"{moment:%Y-%m-%d %H:%M:%S}", repr(opening), repr(high), repr(low),
                                     repr(closing), str(volume)]))
    path = tmp_path / "T.csv"
    path.write_text("\n".join(lines) + "\n")
    got = load_csv(path)
    assert got.kind == "intraday" and list(got.spans) == [minutes * 60.0] * len(rows)
    assert [(got.low[i], got.open[i], got.close[i], got.high[i], got.volume[i]) for i in range(len(rows))] == [
        (*sorted(row[:4]), float(row[4])) for row in rows]
    assert got.timestamps[0] == start.timestamp() + minutes * 60
