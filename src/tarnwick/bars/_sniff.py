"""What a table file is, told from its first kilobytes: its format (CSV,
Parquet, Arrow IPC), compression, text encoding, delimiter, decimal mark and
whether its first line is a header."""

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
from ._columns import is_known_name

Format = Literal["csv", "parquet", "arrow"]

SAMPLE_BYTES = 64 << 10
SAMPLE_LIMIT = 16 << 20  # the head grows to this for a table with very long lines
SAMPLE_LINES = 4  # lines the head should hold whole: the header and some rows
DELIMITERS = ("\t", ";", "|", ",")  # a consistent split on an earlier one wins: "1,5;2,0" splits on ';'

_BOMS = ((codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16"), (codecs.BOM_UTF16_BE, "utf-16"))
_NUMBER = re.compile(r"\s*[-+]?(\d+([.,]\d*)?|[.,]\d+)([eE][-+]?\d+)?\s*")
_COMMA_DECIMAL = re.compile(r"\s*[-+]?\d+,\d+\s*")


@dataclass(frozen=True)
class Sniffed:
    format: Format
    gzip: bool = False
    encoding: str = "utf-8"  # a name for Python's codecs
    bom: bool = False
    delimiter: str = ","
    decimal: str = "."
    header: bool = True
    sample: tuple[tuple[str, ...], ...] = ()  # the first rows, split
    blank: int = 0  # empty lines before the first row, which the reader counts as rows to skip

    @property
    def delimiter_name(self) -> str:
        return {"\t": "tab", ";": "semicolon", "|": "pipe", ",": "comma"}.get(self.delimiter, repr(self.delimiter))


class SniffError(ValueError):
    pass


def _head(path: Path, compressed: bool) -> tuple[bytes, bool]:
    """The file's first bytes, and whether they are all of it: ``SAMPLE_BYTES``,
    or more (doubling up to ``SAMPLE_LIMIT``) until they hold ``SAMPLE_LINES``
    whole lines, so that a wide table's header comes with some of its rows."""
    opened = gzip.open(path, "rb") if compressed else open(path, "rb")
    with opened as file:
        try:
            head = file.read(SAMPLE_BYTES)
            size = SAMPLE_BYTES
            while len(head) == size and head.count(b"\n") < SAMPLE_LINES and size < SAMPLE_LIMIT:
                head += file.read(size)
                size *= 2
            return head, len(head) < size
        except (OSError, EOFError) as error:
            raise SniffError(f"{path}: not a readable {'gzip ' if compressed else ''}file ({error})") from None


def _is_number(text: str) -> bool:
    return _NUMBER.fullmatch(text) is not None


def sniff(path: Path, *, delimiter: str | None = None, header: bool | None = None, encoding: str | None = None,
          decimal: str | None = None) -> Sniffed:
    """Sniffs ``path``; the arguments that are not None override what is found."""
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
    head, whole = _head(path, compressed)
    bom = False
    for mark, name in _BOMS:
        if head.startswith(mark):
            bom = True
            encoding = encoding or name
            break
    if encoding is None and b"\0" in head:  # (UTF-16 text has a byte-order mark, or is named)
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
    lines = [line for line in text.splitlines() if line.strip()]
    if not whole and len(lines) > 1:
        lines.pop()
    lines = lines[:50]
    if delimiter is None:
        delimiter = _delimiter(lines, decimal)
    rows = tuple(tuple(row) for row in csv.reader(io.StringIO("\n".join(lines)), delimiter=delimiter))
    if header is None:
        header = _has_header(rows)
    if decimal is None:
        data = rows[1:] if header else rows
        decimal = "," if delimiter != "," and _comma_decimals(data) else "."
    blank = text[:len(text) - len(text.lstrip("\r\n"))].count("\n")
    return Sniffed("csv", compressed, encoding, bom, delimiter, decimal, header, rows, blank)


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
