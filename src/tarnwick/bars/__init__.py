"""Bar files: bars kept in files and moved between processes.

A bar file holds a header record, which states the kind of its bars (daily
or intraday) and the format version, then 101-byte bar records back to back,
exactly the bytes that ``memoryview(bar)`` exports.

- ``write(path, source, kind=None)`` writes a file whole or not at all, from
  bars, a buffer of records, or chunks of records.
- ``read(path, kind=None)`` maps a file and gives its bars without copying;
  ``read(path).columns()`` gives its columns as a numpy array over the mapping.
- ``RECORD_DTYPE`` is the record as a packed numpy structured dtype, so that
  ``numpy.frombuffer(data, RECORD_DTYPE)`` gives columns without copying.
- ``load_tables``/``load_csv`` read OHLCV tables from CSV, Parquet and Arrow
  files; ``convert`` writes them as bar files (``ticker_file_name`` names
  the file of each ticker).
- ``to_arrow``/``from_arrow``, ``to_pandas``/``from_pandas``,
  ``to_polars``/``from_polars`` move bars into and out of tables of one
  documented ``schema`` (and read users' own frames); ``export`` writes them as
  Parquet, CSV or a Parquet dataset partitioned by ticker.
- ``show``/``summarise`` and ``verify`` inspect files.
- ``resample(source, span)`` makes bars of a longer span from a file or records.
- ``aggregate(trades, span=...)`` (or ``ticks=``, ``volume=``, ``value=``) makes
  bars from trades or ticks.
- ``Aggregator(span=...)`` makes the same bars live, trade by trade.

``python -m tarnwick.bars`` (or ``tarnwick-bars``) is the command-line tool
over the same functions: ``convert``, ``aggregate``, ``export``, ``resample``, ``show`` and ``demo``.
"""

from __future__ import annotations

import importlib

# Not typing's: importing typing takes longer than the rest of this module,
# in the moments before the tool can catch a Ctrl-C (checkers know the name).
TYPE_CHECKING = False

if TYPE_CHECKING:
    from typing import Any

    import numpy

    from ._file import BarFile, BarFileError, read, write
    from ._records import RECORD_FIELDS, RECORD_SIZE, ticker_file_name
    from ._ranges import BarWindow
    from ._resample import ResampledBars, ResampleError, resample
    from ._aggregate import AggregatedBars, AggregateError, aggregate
    from ._aggregating import Aggregator

    from ._cli import main
    from ._convert import convert
    from ._spans import parse_span
    from ._table import Reading, TableBars, TableError, load_csv, load_tables
    from ._export import (
        export,
        exported,
        from_arrow,
        from_pandas,
        read_export,
        records_to_arrow,
        schema,
        to_arrow,
        to_pandas,
    )
    from ._frames import from_polars, to_polars
    from ._operations import show, summarise, verify

    RECORD_DTYPE: numpy.dtype[numpy.void]

# Names imported when first used: the tool's process decides how numpy starts
# before anything imports it, and catches Ctrl-C from its first moment (see
# __main__), and importing the package stays cheap.
_LAZY = {
    **dict.fromkeys(("BarFile", "BarFileError", "read", "write"), "_file"),
    **dict.fromkeys(("RECORD_FIELDS", "RECORD_SIZE", "ticker_file_name"), "_records"),
    **dict.fromkeys(("ResampledBars", "ResampleError", "resample"), "_resample"),
    **dict.fromkeys(("AggregatedBars", "AggregateError", "aggregate"), "_aggregate"),
    "Aggregator": "_aggregating",
    "BarWindow": "_ranges",
    "main": "_cli",
    "convert": "_convert",
    **dict.fromkeys(("Reading", "TableBars", "TableError", "load_csv", "load_tables"), "_table"),
    "parse_span": "_spans",
    **dict.fromkeys(("export", "exported", "from_arrow", "from_pandas", "read_export", "records_to_arrow", "schema",
                     "to_arrow", "to_pandas"), "_export"),
    **dict.fromkeys(("show", "summarise", "verify"), "_operations"),
    **dict.fromkeys(("from_polars", "to_polars"), "_frames"),
}

# Names that were public once and are no longer documented: they still import
# (code written against them keeps working) but are left out of __all__ and dir().
_FORMER = {
    "CsvBars": "_table",  # TableBars
    "CsvError": "_table",  # TableError
    "format_for": "_export",  # export chooses the format by the target's name
    "write_dataset": "_export",  # export writes datasets
    "looks_daily": "_records",  # the kind rule of files without a header, in the README
}

__all__ = [
    "RECORD_DTYPE",
    "RECORD_SIZE",
    "AggregateError",
    "AggregatedBars",
    "Aggregator",
    "BarFile",
    "BarFileError",
    "BarWindow",
    "ResampleError",
    "ResampledBars",
    "TableBars",
    "TableError",
    "aggregate",
    "convert",
    "export",
    "exported",
    "from_arrow",
    "from_pandas",
    "from_polars",
    "load_csv",
    "load_tables",
    "Reading",
    "main",
    "parse_span",
    "read",
    "read_export",
    "records_to_arrow",
    "resample",
    "schema",
    "show",
    "summarise",
    "to_arrow",
    "to_pandas",
    "to_polars",
    "verify",
    "ticker_file_name",
    "write",
]

def __getattr__(name: str) -> Any:
    if name == "RECORD_DTYPE":  # numpy is imported when first needed
        from ._records import record_dtype

        globals()["RECORD_DTYPE"] = value = record_dtype()
        return value
    module = _LAZY.get(name) or _FORMER.get(name)
    if module is not None:
        value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
        if name in _LAZY:  # a former name stays out of globals(), so out of dir()
            globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
