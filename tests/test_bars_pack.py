"""The native packer of bar records: the bytes it writes, and what it refuses."""

import array
import math
import subprocess
import sys
import textwrap

import pytest

from tarnwick.bars._records import RECORD_SIZE, RECORD_STRUCT
from tarnwick.bars._pack import pack

COUNT = 5


def columns(count=COUNT, start=0.0):
    return tuple(array.array("d", [start + 10 * k + i for i in range(count)]) for k in range(8))


def counts(count=COUNT):
    return array.array("I", [2**32 - 1 - i for i in range(count)])


def test_records_are_the_struct_layout_from_any_start():
    floats = columns()
    floats[6][1] = math.nan  # unknown volume stays NaN
    out = bytearray(3 * RECORD_SIZE)
    assert pack(memoryview(out), b"\xc3\xa9T" + b"X" * 29, floats, counts(), 2) == 3
    for i in range(3):
        got = RECORD_STRUCT.unpack_from(out, i * RECORD_SIZE)
        assert got[:2] == (40, ("éT" + "X" * 29).encode().ljust(32, b"\0"))
        assert got[2:10] == tuple(column[2 + i] for column in floats) and got[10] == 2**32 - 3 - i
    assert pack(bytearray(), b"A", floats, counts(), COUNT) == 0


def test_columns_at_odd_addresses():
    floats, trades = columns(), counts()
    odd = tuple(memoryview(b"\0" + column.tobytes())[1:].cast("d") for column in floats)
    expected, got = bytearray(2 * RECORD_SIZE), bytearray(2 * RECORD_SIZE)
    pack(expected, b"A", floats, trades, 1)
    pack(got, b"A", odd, memoryview(b"\0" + trades.tobytes())[1:].cast("I"), 1)
    assert got == expected


@pytest.mark.parametrize("arguments, error, message", [
    ((bytes(RECORD_SIZE), b"A", columns(), counts(), 0), BufferError, "writable"),
    ((bytearray(RECORD_SIZE + 1), b"A", columns(), counts(), 0), ValueError, "whole number of 101-byte records"),
    ((bytearray(RECORD_SIZE), b"A" * 33, columns(), counts(), 0), ValueError, "at most 32 bytes"),
    ((bytearray(RECORD_SIZE), "A", columns(), counts(), 0), TypeError, "bytes"),
    ((bytearray(RECORD_SIZE), b"A", columns()[:7], counts(), 0), TypeError, "tuple of 8 float64 buffers"),
    ((bytearray(RECORD_SIZE), b"A", (array.array("f", [1.0]),) * 8, counts(), 0), TypeError, "8-byte items"),
    ((bytearray(RECORD_SIZE), b"A", columns(), array.array("Q", [1] * COUNT), 0), TypeError, "4-byte items"),
    ((bytearray(2 * RECORD_SIZE), b"A", columns(), counts(), COUNT - 1), ValueError, "5 items, 6 are needed"),
    ((bytearray(RECORD_SIZE), b"A", columns(), counts(), -1), ValueError, "negative"),
    ((bytearray(RECORD_SIZE), b"A", columns(), counts(), sys.maxsize), ValueError, "past the end"),
    ((bytearray(RECORD_SIZE), b"A", columns(), counts()), TypeError, "takes 5 arguments"),
])
def test_refusals(arguments, error, message):
    with pytest.raises(error, match=message):
        pack(*arguments)


# Loads a native module of the package by itself, without the package around it (which uses numpy).
LOAD = """
import array, importlib.machinery, importlib.util, pathlib, sys
def load(name):
    folder = pathlib.Path(importlib.util.find_spec("tarnwick").submodule_search_locations[0]) / "bars"
    loader = importlib.machinery.ExtensionFileLoader(f"tarnwick.bars.{name}", str(next(folder.glob(f"{name}.*.so"))))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module
"""


def run(code):
    """Runs LOAD and the code in a new interpreter, which must exit cleanly; returns what it printed."""
    result = subprocess.run([sys.executable, "-c", LOAD + textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_imports_without_numpy():
    assert run("""
        sys.modules["numpy"] = None
        print(load("_pack").pack.__name__)
    """).strip() == "pack"


# Packs four minute bars and resamples them into two.
USE_BOTH = """
columns = tuple(array.array("d", [60.0 * i if k == 0 else 60.0 if k == 1 else 1.0 for i in range(1, 5)])
                for k in range(8))
out = bytearray(4 * 101)
assert load("_pack").pack(out, b"ABC", columns, array.array("I", [1] * 4), 0) == 4
bars = load("_bucketing").resample(out, "s", 120, 0.0, -1.0, -1.0, False, False, array.array("d"),
                                   array.array("d", [0.0]), -1e300, 1e300)
assert len(bars) == 2 and bytes(bars)[1:4] == b"ABC"
"""


def test_native_modules_run_in_sub_interpreters_of_either_kind():
    # Neither keeps an interpreter object outside its module's own state: each interpreter,
    # isolated or legacy, before the main one or after another, loads and uses its own.
    run(f"""
        import _interpreters
        for kind in ("isolated", "legacy", "isolated"):
            interpreter = _interpreters.create(_interpreters.new_config(kind))
            failure = _interpreters.run_string(interpreter, {LOAD + USE_BOTH!r})
            _interpreters.destroy(interpreter)
            assert failure is None, (kind, failure)
        exec({USE_BOTH!r})
    """)


def test_gather_takes_fields_of_each_width_from_any_address():
    from tarnwick.bars._pack import gather

    packed = bytearray(3 * RECORD_SIZE)
    pack(packed, b"T" * 32, columns(3), counts(3), 0)
    odd = memoryview(b"\0" + bytes(packed))[1:]
    kinds, closes, trades = bytearray(3), array.array("d", [0.0] * 3), array.array("I", [0] * 3)
    assert gather(odd, ((0, kinds), (73, closes), (97, trades))) == 3
    assert list(kinds) == [40] * 3 and closes.tolist() == list(columns(3)[5]) and trades == counts(3)
    assert gather(b"", ()) == 0


@pytest.mark.parametrize("arguments, error, message", [
    ((bytes(RECORD_SIZE + 1), ()), ValueError, "not a whole number of 101-byte records"),
    ((bytes(RECORD_SIZE), ((73, bytes(8)),)), BufferError, "writable"),
    ((bytes(RECORD_SIZE), ((97, array.array("d", [0.0])),)), ValueError, "8 bytes at offset 97 do not lie"),
    ((bytes(RECORD_SIZE), ((-1, bytearray(1)),)), ValueError, "at offset -1"),
    ((bytes(RECORD_SIZE), ((73, array.array("d", [0.0] * 2)),)), ValueError, "16 bytes, 1 records"),
    ((bytes(RECORD_SIZE), ((73,),)), TypeError, "pair"),
    ((bytes(RECORD_SIZE), [(73, bytearray(8))]), TypeError, "tuple of at most 16"),
    ((bytes(RECORD_SIZE), ((0, bytearray(1)),) * 17), TypeError, "tuple of at most 16"),
    ((bytes(RECORD_SIZE),), TypeError, "takes 2 arguments"),
])
def test_gather_refusals(arguments, error, message):
    from tarnwick.bars._pack import gather

    with pytest.raises(error, match=message):
        gather(*arguments)


@pytest.mark.parametrize("tickers", [
    [b"A", b"B", b"A", b"C", b"B"],                          # interleaved
    [b"X" * 32, b"X" * 31, b"X" * 32],                       # a full-width name; one its prefix
    [b"T%d" % (i % 40) for i in range(200)],                  # more tickers than are found by a scan
    [],
])
def test_ticker_codes_number_tickers_in_order_of_first_appearance(tickers):
    from tarnwick.bars._pack import ticker_codes

    records = bytearray()
    for ticker in tickers:
        one = bytearray(RECORD_SIZE)
        pack(one, ticker, columns(1), counts(1), 0)
        records += one
    codes = array.array("i", [0] * len(tickers))
    names = ticker_codes(memoryview(b"\0" + bytes(records))[1:], codes)
    assert names == list(dict.fromkeys(tickers))
    assert [names[code] for code in codes] == tickers


@pytest.mark.parametrize("arguments, error, message", [
    ((bytes(RECORD_SIZE + 1), array.array("i")), ValueError, "not a whole number of 101-byte records"),
    ((bytes(RECORD_SIZE), array.array("d", [0.0])), ValueError, "one int32 code for each of the 1 records"),
    ((bytes(RECORD_SIZE), array.array("f", [0.0])), ValueError, "one int32 code"),
    ((bytes(RECORD_SIZE), bytes(4)), BufferError, "writable"),
    ((bytes(RECORD_SIZE),), TypeError, "takes 2 arguments"),
])
def test_ticker_codes_refusals(arguments, error, message):
    from tarnwick.bars._pack import ticker_codes

    with pytest.raises(error, match=message):
        ticker_codes(*arguments)


def test_wall_clock_times_past_the_calendar_are_not_covered_by_any_table():
    # A table claiming to reach far past the calendar would let microseconds overflow.
    from tarnwick.bars._pack import to_utc

    wall = array.array("q", [-(2**63) + 5])
    with pytest.raises(ValueError):
        to_utc(array.array("q", [0]), wall, None, array.array("q", [0]), (-1e19, 1e19, array.array("d"),
                                                                          array.array("d", [3600.0])), True)
