"""What a table file is, told from its first kilobytes: its format (CSV,
Parquet, Arrow IPC), compression, text encoding, delimiter, decimal mark,
thousands separator, the lines before its data and whether its first line
is a header."""

from __future__ import annotations

import codecs
import csv
import gzip
import io
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Literal

from ._records import RECORD_SIZE, is_header
from ._columns import is_known_name, normal

Format = Literal["csv", "parquet", "arrow"]

SAMPLE_BYTES = 64 << 10
SAMPLE_LIMIT = 16 << 20  # the head grows to this for a table with very long lines
SAMPLE_LINES = 4  # lines the head should hold whole: the header and some rows
DELIMITERS = ("\t", ";", "|", ",")  # a consistent split on an earlier one wins: "1,5;2,0" splits on ';'

_BOMS = ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))
_NUMBER = re.compile(r"\s*[-+]?(\d+([.,]\d*)?|[.,]\d+)([eE][-+]?\d+)?\s*")
_COMMA_DECIMAL = re.compile(r"\s*[-+]?\d+,\d+\s*")
# A number with thousands separators: in a comma-separated table it was quoted.
_THOUSANDS = re.compile(r"\s*[-+]?\d{1,3}(,\d{3})+(\.\d*)?\s*")
# Bytes that no text table holds: control characters other than tab, line
# feeds, form feed, escape and the end-of-file mark of old DOS files.
_BINARY = re.compile(rb"[\x00-\x08\x0e-\x19\x1c-\x1f]")


@dataclass(frozen=True)
class Sniffed:
    format: Format
    gzip: bool = False
    encoding: str = "utf-8"  # a name for Python's codecs
    bom: bool = False
    delimiter: str = ","
    decimal: str = "."
    header: bool = True
    sample: tuple[tuple[str, ...], ...] = ()  # the first rows, split (the header as the names it gives)
    blank: int = 0  # empty lines before the first row, which the reader counts as rows to skip
    skip: int = 0  # lines before the header (or the data), as given
    after: int = 0  # lines between the header and the data (the three-line header's two)
    thousands: str | None = None  # the thousands separator of numbers, if they have one
    ticker: str | None = None  # the ticker a header line names
    described: str = ""  # the layout of the header lines, when it is one of the known ones

    @property
    def before_data(self) -> int:
        """The lines the reader skips before the first row of data."""
        return self.skip + self.blank + int(self.header) + self.after

    @property
    def delimiter_name(self) -> str:
        return {"\t": "tab", ";": "semicolon", "|": "pipe", ",": "comma"}.get(self.delimiter, repr(self.delimiter))


class SniffError(ValueError):
    pass


def _head(path: Path, compressed: bool, skip: int) -> tuple[bytes, bool]:
    """The file's first bytes, and whether they are all of it: ``SAMPLE_BYTES``,
    or more (doubling up to ``SAMPLE_LIMIT``) until they hold ``SAMPLE_LINES``
    whole lines after the ``skip`` ones, so that a wide table's header comes
    with some of its rows."""
    opened = gzip.open(path, "rb") if compressed else open(path, "rb")
    with opened as file:
        try:
            head = file.read(SAMPLE_BYTES)
            size = SAMPLE_BYTES
            while len(head) == size and head.count(b"\n") < SAMPLE_LINES + skip and size < SAMPLE_LIMIT:
                head += file.read(size)
                size *= 2
            return head, len(head) < size
        except (OSError, EOFError) as error:
            raise SniffError(f"{path}: not a readable {'gzip ' if compressed else ''}file ({error})") from None


def _is_number(text: str) -> bool:
    return _NUMBER.fullmatch(text) is not None


def sniff(path: Path, *, delimiter: str | None = None, header: bool | None = None, encoding: str | None = None,
          decimal: str | None = None, thousands: str | None = None, skip: int = 0) -> Sniffed:
    """Sniffs ``path`` after its first ``skip`` lines; the arguments that are
    not None override what is found."""
    if skip < 0:
        raise SniffError(f"the lines to skip are 0 or more, not {skip}")
    with open(path, "rb") as file:
        first_record = file.read(RECORD_SIZE)
    if is_header(first_record):
        raise SniffError(f"{path} is a bar file, not a table (show, export and resample read bar files)")
    magic = first_record[:8]
    if magic.startswith(b"PAR1"):
        return Sniffed("parquet")
    if magic.startswith(b"ARROW1") or magic.startswith(b"\xff\xff\xff\xff"):
        return Sniffed("arrow")
    compressed = magic.startswith(b"\x1f\x8b")
    head, whole = _head(path, compressed, skip)
    bom = False
    for mark, name in _BOMS:
        if head.startswith(mark):
            bom = True
            encoding = encoding or name
            break
    if encoding is None and _BINARY.search(head):  # (UTF-16 text has a byte-order mark, or is named)
        raise SniffError(f"{path} is not a table: it holds binary data, not text (convert reads CSV, Parquet "
                         "and Arrow files)")
    encoding = encoding or "utf-8"
    try:
        codecs.lookup(encoding)
    except LookupError:
        raise SniffError(f"unknown encoding {encoding!r}") from None
    # The sample may end inside a character or a line: the last line is dropped.
    text = head.decode(encoding, errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    if skip:
        skipped = text.splitlines(keepends=True)
        if len(skipped) <= skip and whole:
            raise SniffError(f"{path}: --skip-rows {skip} skips all the {len(skipped)} lines of the file")
        text = "".join(skipped[skip:])
    lines = [line for line in text.splitlines() if line.strip()]
    if not whole and len(lines) > 1:
        lines.pop()
    lines = lines[:50]
    if delimiter is None:
        delimiter = _delimiter(lines, decimal)
    rows = tuple(tuple(row) for row in csv.reader(io.StringIO("\n".join(lines)), delimiter=delimiter))
    after, ticker, described = 0, None, ""
    if header is None and _three_header_lines(rows):
        # Names, then each column's ticker, then the name of the date column
        # alone: one header of the date's name and the others'.
        tickers = sorted({name.strip() for name in rows[1][1:] if name.strip()})
        if len(tickers) > 1:
            raise SniffError(f"{path}, line {skip + 2}: the header lines name {len(tickers)} tickers "
                             f"({', '.join(tickers[:5])}{', ...' if len(tickers) > 5 else ''}) side by side; "
                             "convert reads a table of one ticker's columns, or one with a ticker column")
        ticker = tickers[0] if tickers else None
        rows = ((rows[2][0], *rows[0][1:]), *rows[3:])
        header, after, described = True, 2, "a table with three header lines (names, tickers, the date's name)"
    if header is None:
        header = _has_header(rows)
    data = rows[1:] if header else rows
    if decimal is None:
        decimal = "," if thousands == "." or (delimiter != "," and _comma_decimals(data)) else "."
    if thousands is not None and thousands == decimal:
        raise SniffError(f"the thousands separator and the decimal mark are both {decimal!r}: give --decimal")
    if thousands is None and delimiter == "," and decimal == "." and _written_with_thousands(rows[:1] if header
                                                                                            else (), data):
        thousands = ","
    blank = text[:len(text) - len(text.lstrip("\r\n"))].count("\n")
    return Sniffed("csv", compressed, encoding, bom, delimiter, decimal, header, rows, blank, skip, after,
                   thousands, ticker, described)


def _three_header_lines(rows: tuple[tuple[str, ...], ...]) -> bool:
    """``Price,Close,High,...`` / ``Ticker,ABC,ABC,...`` / ``Date,,,...``."""
    return len(rows) > 3 and normal(rows[0][0]) == "price" and normal(rows[1][0]) == "ticker" and \
        is_known_name(rows[2][0]) and not any(field.strip() for field in rows[2][1:])


def _written_with_thousands(header: tuple[tuple[str, ...], ...], data: tuple[tuple[str, ...], ...]) -> bool:
    """Numbers as people write them: a header (none, or one row) with a change
    in percent beside the prices, or numbers with thousands separators among
    the first rows."""
    return any(normal(name) == "change%" for row in header for name in row) or \
        any(_THOUSANDS.fullmatch(field) for row in data[:50] for field in row[1:])


def _delimiter(lines: list[str], decimal: str | None) -> str:
    """The first delimiter that splits every sampled line into the same number
    (at least five: date and four prices) of fields; else the one that splits
    the first line most."""
    candidates = [d for d in DELIMITERS if not (d == "," and decimal == ",")]
    for candidate in candidates:
        counts = {len(row) for row in csv.reader(lines, delimiter=candidate)}
        if len(counts) == 1 and counts.pop() >= 5:
            return candidate
    first = lines[0] if lines else ""
    return max(candidates, key=lambda d: (first.count(d), d == ","))


def _has_header(rows: tuple[tuple[str, ...], ...]) -> bool:
    """A first row is a header when it names a known column, leaves its first
    field empty (an unnamed index), or holds fewer numbers than the next row."""
    if not rows:
        return True
    first = rows[0]
    if any(is_known_name(name) for name in first) or (first and not first[0].strip() and len(first) > 1):
        return True
    if len(rows) == 1:
        return not any(_is_number(field) for field in first[1:])
    numbers = sum(map(_is_number, first))
    return numbers < sum(map(_is_number, rows[1]))


def _comma_decimals(rows: tuple[tuple[str, ...], ...]) -> bool:
    fields = [field for row in rows[:20] for field in row[1:]]
    return any(_COMMA_DECIMAL.fullmatch(field) for field in fields) and not any("." in field and _is_number(field)
                                                                                for field in fields)
