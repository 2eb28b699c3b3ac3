"""Resampling on every core: the records cut into ranges that threads resample
apart give the one pass's bytes, and its error messages, wherever the cuts fall."""

import array
import math
from unittest import mock

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from resample_kit import FALL_BACK, NEW_YORK, SPRING_FORWARD, VALUES, records

from tarnwick.bars import _bucketing
from tarnwick.bars._resample import resample


def outcome(source, span, cuts, **options):
    """resample's new bars, or its error's text, with the native pass cut at ``cuts`` (None: as it chooses)."""
    native = _bucketing.resample
    with mock.patch.object(_bucketing, "resample", lambda *args: native(*args, cuts)):
        try:
            return bytes(resample(source, span, tz=NEW_YORK, **options))
        except ValueError as error:  # ResampleError, or BarFileError for a bad first or last record
            return str(error)


@st.composite
def interleaved(draw):
    """Minute bars of up to three tickers around a daylight-saving change,
    interleaved in time order or one ticker after the other, with prices
    whose sums depend on the order of adding; some records made bad."""
    change = draw(st.sampled_from([SPRING_FORWARD, FALL_BACK]))
    rng = numpy.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    parts = []
    for ticker in ("ABC", "XY", "Q")[: draw(st.integers(1, 3))]:
        gaps = draw(st.lists(st.one_of(st.just(1), st.integers(1, 90), st.integers(1, 2 * 1440)), min_size=1,
                             max_size=200))
        ends = change - 60 * draw(st.integers(1, 3 * 1440)) + 60.0 * numpy.cumsum(gaps)
        values = {name: rng.normal(100.0, 5.0, len(ends)) for name in VALUES}
        parts.append(records(ends, ticker=ticker, values=values, trade_count=rng.integers(0, 1000, len(ends))))
    source = numpy.concatenate(parts)
    if draw(st.booleans()):
        source = source[numpy.argsort(source["timestamp"], kind="stable")]
    for index in draw(st.lists(st.integers(0, len(source) - 1), max_size=2)):
        fault = draw(st.sampled_from(["kind", "order", "trades"]))
        if fault == "kind":
            source["dtype"][index] = 31
        elif fault == "order":
            source["timestamp"][index] -= 3 * 86400
        else:
            source["trade_count"][index] = 2**32 - 1  # two in a bucket, maybe on either side of a cut, overflow
    return source


@pytest.mark.parametrize("span, session", [("5min", None), ("1h", None), ("1h", "09:30-16:00"), ("1d", None),
                                           ("1w", None)])
@settings(max_examples=60, deadline=None)
@given(source=interleaved(), data=st.data())
def test_cut_anywhere_the_threads_give_the_one_pass_result(span, session, source, data):
    cuts = sorted(data.draw(st.sets(st.integers(1, len(source) - 1), max_size=4))) if len(source) > 1 else []
    assert outcome(source, span, cuts, session=session) == outcome(source, span, (), session=session)


@pytest.mark.parametrize("cuts", [[1], [3, 4], [2, 5, 6]])
def test_daily_bars_cut_anywhere(cuts):
    dates = [20240603.0, 20240604.0, 20240605.0, 20240606.0, 20240610.0, 20240612.0, 20240701.0, 20240702.0]
    source = numpy.concatenate([records(dates, 1.0, ticker="A", values={"volume": [0.1] * 8}),
                                records(dates, 1.0, ticker="B")])
    source = source[numpy.argsort(source["timestamp"], kind="stable")]
    for span in ("1w", "1mo"):
        assert outcome(source, span, cuts, kind="daily") == outcome(source, span, (), kind="daily")


@pytest.mark.large
def test_many_records_take_every_core_and_give_the_one_pass_result():
    ends = SPRING_FORWARD - 86400 * 30 + 60.0 * numpy.arange(300_000)
    values = {name: numpy.random.default_rng(7).normal(100.0, 5.0, len(ends)) for name in VALUES}
    source = numpy.concatenate([records(ends, ticker=ticker, values=values) for ticker in ("ABC", "DEF")])
    source = source[numpy.argsort(source["timestamp"], kind="stable")]
    for span in ("5min", "1d"):
        assert outcome(source, span, None) == outcome(source, span, ())


@pytest.mark.parametrize("cuts, error", [([0], ValueError), ([2, 1], ValueError), ([3], ValueError),
                                         (["1"], TypeError), (1, TypeError)])
def test_cuts_are_record_indices_inside_the_records(cuts, error):
    arguments = (records([SPRING_FORWARD + 60.0 * i for i in range(3)]), "s", 300, 0.0, -1.0, -1.0, False, False,
                 array.array("d"), array.array("d", [0.0]), -math.inf, math.inf)
    with pytest.raises(error):
        _bucketing.resample(*arguments, cuts)
    assert len(_bucketing.resample(*arguments, [1, 2])) == len(_bucketing.resample(*arguments, None))
