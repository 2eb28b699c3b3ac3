"""Bar files: bars kept in files and moved between processes.

A bar file holds 101-byte bar records back to back, exactly the bytes that
``memoryview(bar)`` exports, with nothing before, between or after them.

- ``write(path, bars)`` writes a file whole or not at all.
- ``read(path, kind=None)`` maps a file and gives its bars without copying.
- ``RECORD_DTYPE`` is the record as a packed numpy structured dtype, so that
  ``numpy.frombuffer(data, RECORD_DTYPE)`` gives a file's columns without
  copying (numpy is optional: ``pip install 'tarnwick[numpy]'``).
- ``load_csv`` and ``convert`` read OHLCV tables from CSV files.

``python -m tarnwick.bars`` (or ``tarnwick-bars``) is the command-line tool
over the same functions: ``convert``, ``show`` and ``demo``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._cli import convert, main, show, summarise, verify
from ._csv import CsvBars, CsvError, load_csv, parse_span
from ._file import BarFile, BarFileError, read, write
from ._layout import RECORD_FIELDS, RECORD_SIZE, looks_daily

if TYPE_CHECKING:
    import numpy

    RECORD_DTYPE: numpy.dtype[numpy.void]

__all__ = [
    "RECORD_DTYPE",
    "RECORD_SIZE",
    "BarFile",
    "BarFileError",
    "CsvBars",
    "CsvError",
    "convert",
    "load_csv",
    "looks_daily",
    "main",
    "parse_span",
    "read",
    "show",
    "summarise",
    "verify",
    "write",
]

def __getattr__(name: str) -> Any:
    if name == "RECORD_DTYPE":
        try:
            import numpy
        except ImportError as error:
            raise ModuleNotFoundError(
                "tarnwick.bars.RECORD_DTYPE needs numpy: pip install 'tarnwick[numpy]'", name="numpy"
            ) from error
        dtype = numpy.dtype(list(RECORD_FIELDS))
        assert dtype.itemsize == RECORD_SIZE
        globals()["RECORD_DTYPE"] = dtype
        return dtype
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
