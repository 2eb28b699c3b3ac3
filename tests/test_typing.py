"""What type checkers see of the package.  CI runs ``mypy --strict`` on this
file: every ``assert_type`` must hold, and every ``type: ignore`` below must
silence a real error (strict mode reports ignores that silence nothing).  Run
by pytest, the same code checks that the declared names and keywords exist."""

from __future__ import annotations

import copy
import datetime
from collections.abc import Buffer
from pathlib import Path
from typing import TYPE_CHECKING, Literal, assert_type

from tarnwick.bars import RECORD_SIZE, BarFile, read, write
from tarnwick.base.candlestick import BarData, DailyBar
from tarnwick.base.market_data import DataType
from tarnwick.profile import PROFILE, Profile

IntradayType = Literal["Hourly-Plus", "Hourly", "Minute-Plus", "Minute", "Sub-Minute"]


def test_bar_members() -> None:
    bar = BarData(ticker="ABC", timestamp=1000, high_price=10.5, low_price=9.8, open_price=10, close_price=10.2,
                  volume=1500, notional=15300.0, trade_count=42, start_timestamp=940.0, bar_span=None)
    assert_type(bar.ticker, str)
    assert_type(bar.timestamp, float)
    assert_type(bar.close_price, float)
    assert_type(bar.trade_count, int)
    assert_type(bar.bar_span, datetime.timedelta)
    assert_type(bar.bar_type, IntradayType)
    assert_type(bar.bar_end_time, datetime.datetime)
    assert_type(bar.market_time, datetime.datetime)
    assert_type(bar["trade_count"], int)
    assert_type(bar["close_price"], float)
    bar["volume"] = 1200
    bar["trade_count"] = 7
    assert_type(copy.copy(bar), BarData)
    assert_type(BarData._dtype, DataType | int)
    assert bar.bar_type == "Minute" and bar["trade_count"] == 7


def test_class_methods_return_the_class_they_are_called_on() -> None:
    daily = DailyBar(ticker="ABC", market_date=datetime.date(2024, 1, 5), high_price=2.0, low_price=1.0,
                     open_price=1.5, close_price=1.8, volume=10.0, notional=18.0, trade_count=3, bar_span=5)
    record: Buffer = daily
    again = DailyBar.from_bytes(data=bytes(memoryview(record)))
    view = DailyBar.from_buffer(buffer=bytearray(memoryview(daily)))
    assert_type(again, DailyBar)
    assert_type(view, DailyBar)
    assert_type(again.market_date, datetime.date)
    assert_type(again.bar_type, Literal["Daily", "Daily-Plus"])
    assert_type(again.__copy__(), BarData)
    assert (again.bar_type, view.market_date) == ("Daily-Plus", datetime.date(2024, 1, 5))


def test_bar_files(tmp_path: Path) -> None:
    path = tmp_path / "x.bars"
    bars = [BarData("ABC", 1000.0 + 60 * i, 2.0, 1.0, 1.5, 1.8, bar_span=60) for i in range(3)]
    assert_type(write(path, bars), int)
    days = tmp_path / "days.bars"
    write(days, b"".join(bytes(DailyBar("ABC", datetime.date(2024, 1, 2), 2.0, 1.0, 1.5, 1.8)) for _ in range(2)),
          kind="daily")
    with read(path) as any_kind, read(days, "daily") as daily, read(path, "intraday") as intraday:
        assert_type(any_kind, BarFile[BarData])
        assert_type(daily, BarFile[DailyBar])
        assert_type(intraday[0], BarData)
        assert_type(intraday[1:], list[BarData])
        assert_type(len(intraday), int)
        assert len(memoryview(intraday)) == 3 * RECORD_SIZE
        assert intraday.columns()["close_price"].tolist() == [1.8] * 3
        del daily
    with read(days, DailyBar) as chosen:
        assert_type(chosen, BarFile[DailyBar])


def test_profile() -> None:
    assert_type(PROFILE, Profile)
    assert_type(PROFILE.time_zone, datetime.tzinfo | None)


if TYPE_CHECKING:
    # Mistakes that the declarations catch.
    def mistakes(bar: BarData, daily: DailyBar, path: Path) -> None:
        bar["vwap"]  # type: ignore[call-overload]
        bar["close_price"] = "10.2"  # type: ignore[call-overload]
        bar.close_price = 10.2  # type: ignore[misc]
        bar.vwapp  # type: ignore[attr-defined]
        BarData("ABC", 1000.0, 1.0, 1.0, 1.0)  # type: ignore[call-arg]
        BarData(b"ABC", 1000.0, 1.0, 1.0, 1.0, 1.0, bar_span=60)  # type: ignore[arg-type]
        DailyBar("ABC", 20240105, 1.0, 1.0, 1.0, 1.0)  # type: ignore[arg-type]
        BarData.from_bytes(bytearray(101))  # type: ignore[arg-type]
        BarData.from_buffer("not a buffer")  # type: ignore[arg-type]
        daily.bar_type == "Minute"  # type: ignore[comparison-overlap]
        read(path, "weekly")  # type: ignore[call-overload]
        write(path, [1.0])  # type: ignore[list-item]
        PROFILE.time_zone = "UTC"  # type: ignore[assignment]
