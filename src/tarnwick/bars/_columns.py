"""Which column of a table plays which role: header names, the known layouts
of common exports (daily exports with an adjusted close, exchange kline
dumps, trading-terminal exports), headerless tables, and ``--column``."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

ROLES = ("date", "time", "open", "high", "low", "close", "volume", "notional", "vwap", "trades", "ticker")
"""The roles that ``--column ROLE=NAME_OR_POSITION`` may give."""

# The header names of each role, as people write them; they are compared in
# lower case without blanks, underscores, hyphens, dots or angle brackets
# ("<TICKVOL>", "Open_Time", "Adj. Close").  Roles of the reader beyond
# ROLES: "datetime" (date and time in one column), "end" (a bar's end time),
# "span" (seconds), "spandays", "closetime" (a kline's last millisecond),
# "tickvolume", and None for columns known to be of no use.
NAMES: dict[str | None, tuple[str, ...]] = {
    "date": ("Date", "Day", "Trade date", "Trading day"),
    "time": ("Time",),
    "datetime": ("Datetime", "Timestamp", "Open time", "Start time", "Start", "Begin", "ts_event",
                 "Local time", "GMT time", "UTC time"),
    "end": ("End", "End time", "Bar end", "End date"),
    "span": ("Span", "Bar span", "Span seconds"),
    "spandays": ("Span days",),
    "open": ("Open", "Open price", "O"),
    "high": ("High", "High price", "H"),
    "low": ("Low", "Low price", "L"),
    "close": ("Close", "Close price", "C", "Last", "Price"),
    "volume": ("Volume", "Vol", "V", "Real volume", "Base volume"),
    "tickvolume": ("Tick vol", "Tick volume", "Ticks"),
    "notional": ("Notional", "Amount", "Turnover", "Value", "Quote volume", "Quote asset volume"),
    "vwap": ("VWAP",),
    "trades": ("Trades", "Trade count", "Num trades", "Number of trades", "Count", "Trade"),
    "ticker": ("Ticker", "Symbol", "Instrument"),
    "closetime": ("Close time",),
    None: ("Start date", "Adj Close", "Adjusted close", "Spread", "Ignore", "Open interest", "Change %", "Change",
           "Taker buy base asset volume", "Taker buy quote asset volume", "Taker buy volume",
           "Taker buy quote volume"),
}
TIME_ROLES = ("end", "datetime", "date", "time")
"""The roles whose column gives a row's time, the first found winning."""
_STRIP = re.compile(r"[\s_\-.<>]")
_EPOCH = re.compile(r"\s*\d{9,19}(\.\d*)?\s*")
_TIME_OF_DAY = re.compile(r"\s*\d{1,2}:\d{2}(:\d{2}(\.\d*)?)?\s*")



def normal(name: str) -> str:
    return _STRIP.sub("", name).lower()


_NAMES = {normal(name): role for role, names in NAMES.items() for name in names}
DATE_NAMES = ", ".join(name for role in ("date", "datetime", "time", "end") for name in NAMES[role])


def _shown(names: Sequence[str]) -> str:
    return ", ".join(name if name.isprintable() else repr(name) for name in names)


def is_known_name(name: str) -> bool:
    return normal(name) in _NAMES


@dataclass
class Layout:
    """The position of each role's column, and what the layout was recognised as."""

    columns: dict[str, int]
    names: list[str]  # the header's names, or "column N"
    described: str = ""  # "an exchange kline dump", ...; empty for a plain table
    notes: list[str] = field(default_factory=list)

    def name(self, role: str) -> str:
        return self.names[self.columns[role]]

    @property
    def shown(self) -> str:
        """The column names for a one-line message."""
        return _shown(self.names)


class LayoutError(ValueError):
    """A table whose columns cannot be told; the message needs the source and line put before it."""


def _position(text: str, names: Sequence[str]) -> int:
    if text.isdigit():
        position = int(text)
        if not 1 <= position <= len(names):
            raise LayoutError(f"--column position {position} is not in 1..{len(names)} (the columns are "
                              f"{_shown(names)})")
        return position - 1
    for index, name in enumerate(names):
        if name == text or normal(name) == normal(text):
            return index
    raise LayoutError(f"--column: no column named {text!r} (the columns are {_shown(names)})")


def parse_column_option(text: str, roles: Sequence[str] = ROLES) -> tuple[str, str]:
    """``ROLE=NAME_OR_POSITION`` as (role, name or position), the role one of ``roles``."""
    role, equals, column = text.partition("=")
    role = role.strip().lower()
    if not equals or role not in roles or not column.strip():
        raise ValueError(f"--column takes ROLE=NAME_OR_POSITION with a role of {', '.join(roles)}, not {text!r}")
    return role, column.strip()


def from_header(header: Sequence[str], overrides: Mapping[str, str],
                known: Mapping[str, str | None] = _NAMES) -> Layout:
    """The roles of a header's columns, as ``known`` (normal name -> role) names them."""
    found: dict[str, int] = {}
    for index, name in enumerate(header):
        role = known.get(normal(name))
        if role is None:
            continue
        if role in found:
            raise LayoutError(f"two {role} columns ({header[found[role]]!r} and {name!r})")
        found[role] = index
    names = list(header)
    layout = Layout(found, names)
    _override(layout, overrides)
    if "tickvolume" in found and "volume" in found:
        layout.described = "a trading-terminal export"
    if "closetime" in found and "datetime" in found and "notional" in found:
        layout.described = "an exchange kline dump"
    if not (set(TIME_ROLES) & layout.columns.keys()) and header and not header[0].strip():
        layout.columns["date"] = 0  # an unnamed first column holds the index: dates
    return layout


def headerless(sample: Sequence[Sequence[str]], overrides: Mapping[str, str]) -> Layout:
    """The columns of a table without a header, by its shape: an exchange kline
    dump (epoch milliseconds first, twelve columns or so), else date[, time],
    open, high, low, close[, volume], with tick and real volume when two
    follow a trading terminal's date and time.  A shape that fits more than
    one layout (epoch times, then two or more columns after the close: volume
    and trade count, or notional, or ...) is refused unless ``overrides``
    (``--column``) say what the columns after the close are."""
    width = len(sample[0]) if sample else 0
    first = sample[0] if sample else ()
    names = [f"column {i + 1}" for i in range(width)]
    roles: list[str | None]
    described = ""
    if width >= 9 and _EPOCH.fullmatch(first[0]) and _EPOCH.fullmatch(first[6]):
        roles = ["datetime", "open", "high", "low", "close", "volume", "closetime", "notional", "trades"]
        described = "an exchange kline dump"
    else:
        with_time = width >= 6 and _TIME_OF_DAY.fullmatch(first[1]) is not None
        roles = ["date", "time"] if with_time else ["date"]
        roles += ["open", "high", "low", "close"]
        rest = width - len(roles)
        if rest >= 2 and _EPOCH.fullmatch(first[0]):  # no terminal's date: the columns after the close are unknown
            if not overrides:
                raise LayoutError(f"a table without a header whose {width} columns fit more than one layout (epoch "
                                  f"times, open, high, low, close, then {rest} more: volume and trade count? "
                                  "notional?); say which column is which with --column, e.g. --column volume=6 "
                                  "--column trades=7")
        elif rest >= 2:
            roles += ["tickvolume", "volume"]
            described = "a trading-terminal export"
        elif rest == 1:
            roles.append("volume")
    layout = Layout({role: i for i, role in enumerate(roles[:width]) if role is not None}, names, described)
    _override(layout, overrides)
    return layout


def _override(layout: Layout, overrides: Mapping[str, str]) -> None:
    for role, column in overrides.items():
        position = _position(column, layout.names)
        for other, index in list(layout.columns.items()):
            if index == position:
                del layout.columns[other]
        if role == "date":
            layout.columns.pop("datetime", None)
        layout.columns[role] = position


def check_complete(layout: Layout) -> None:
    missing = [role.capitalize() for role in ("open", "high", "low", "close") if role not in layout.columns]
    if missing:
        raise LayoutError(f"no {', '.join(missing)} column (the columns are {layout.shown})")
    if not (set(TIME_ROLES) & layout.columns.keys()):
        raise LayoutError(f"no date column: name it one of {DATE_NAMES} (in any case), leave the first column "
                          f"unnamed, or give --column date=NAME (the columns are {layout.shown})")


# ---- trade tables -----------------------------------------------------------------

TRADE_ROLES = ("date", "time", "price", "size", "notional", "ticker", "side", "tradeid")
"""The roles of a trade table that ``--column`` may give (side and trade id
are recognised, so that they are not taken for anything else, and not read)."""

TRADE_NAMES: dict[str | None, tuple[str, ...]] = {
    "date": ("Date", "Trade date"),
    "time": ("Time",),
    # (pandas writes an unnamed index of times, a frame's usual time column, as __index_level_0__)
    "datetime": ("Datetime", "Timestamp", "ts_event", "Transact time", "Trade time", "Date time", "ts",
                 "__index_level_0__"),
    "price": ("Price", "Trade price", "Px", "Last", "Last price"),
    "size": ("Size", "Qty", "Quantity", "Volume", "Vol", "Trade size", "Last size", "Base qty"),
    "notional": ("Notional", "Quote qty", "Quote quantity", "Value", "Turnover", "Quote volume"),
    "ticker": ("Ticker", "Symbol", "Instrument", "Pair"),
    "side": ("Side", "Is buyer maker", "Aggressor", "Taker side"),
    "tradeid": ("Trade id", "Id", "Agg id", "Agg trade id", "Aggregate trade id"),
    None: ("ts_recv", "rtype", "publisher_id", "instrument_id", "action", "depth", "flags", "ts_in_delta",
           "sequence", "Is best match", "First id", "Last id", "First trade id", "Last trade id"),
}
_TRADE_NAMES = {normal(name): role for role, names in TRADE_NAMES.items() for name in names}
_BOOLEAN = re.compile(r"\s*(true|false)\s*", re.IGNORECASE)
_INTEGER = re.compile(r"\s*\d+\s*")

# The headerless dumps of an exchange, by width: where the time is, the roles in order.
_TRADE_DUMPS = (
    ("an exchange's trade dump", ("tradeid", "price", "size", "notional", "time", "side", None)),
    ("an exchange's aggregated-trade dump", ("tradeid", "price", "size", None, None, "time", "side", None)),
)


def trade_header(header: Sequence[str], overrides: Mapping[str, str]) -> Layout:
    """The roles of a trade table's columns by their header names."""
    layout = from_header(header, overrides, _TRADE_NAMES)
    if "ts_event" in map(normal, header) and "price" in layout.columns:
        layout.described = "a market-data vendor's trade table"
    return layout


def trade_headerless(sample: Sequence[Sequence[str]], overrides: Mapping[str, str]) -> Layout:
    """The columns of a trade table without a header: an exchange's trade dump
    (id, price, qty, quote_qty, time, is_buyer_maker[, is_best_match]) or
    aggregated-trade dump (agg_id, price, qty, first_id, last_id, time,
    is_buyer_maker[, is_best_match]), told apart by where the epoch time and
    the flags are; else time, price, size[, ticker] unless ``overrides`` say."""
    first = sample[0] if sample else ()
    names = [f"column {i + 1}" for i in range(len(first))]
    for described, roles in _TRADE_DUMPS:
        width = len(roles)
        time = roles.index("time")
        if len(first) in (width - 1, width) and _INTEGER.fullmatch(first[0]) and _EPOCH.fullmatch(first[time]) \
                and all(_BOOLEAN.fullmatch(field) for field in first[time + 1:]):
            layout = Layout({role: i for i, role in enumerate(roles[:len(first)]) if role is not None}, names,
                            described)
            break
    else:
        layout = Layout({role: i for i, role in enumerate(("time", "price", "size", "ticker")[:len(first)])}, names)
    _override(layout, overrides)
    return layout


def check_trade_columns(layout: Layout) -> None:
    missing = [role.capitalize() for role in ("price", "size") if role not in layout.columns]
    if missing:
        bars = {"open", "high", "low", "close"} <= set(map(normal, layout.names))
        hint = "; a table of bars, not of trades? convert reads those" if bars else ""
        raise LayoutError(f"no {' or '.join(missing)} column (the columns are {layout.shown}){hint}")
    if not (set(TIME_ROLES) & layout.columns.keys()):
        names = ", ".join(name for name in TRADE_NAMES["datetime"] + TRADE_NAMES["time"] if not name.startswith("__"))
        raise LayoutError(f"no time column: name it one of {names} (in any case), or give --column time=NAME "
                          f"(the columns are {layout.shown})")
