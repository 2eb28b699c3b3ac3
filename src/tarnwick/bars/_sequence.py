"""The sequence of bars over one read-only buffer of records that a bar file
(``BarFile``) and a resampling's result (``ResampledBars``) both are:
indexing, negative indices, slices, iteration, the buffer export, columns
and the repr, in one place."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from functools import partial
from typing import TYPE_CHECKING, Any, Generic, TypeVar, overload

from tarnwick.base.candlestick import BarData

from ._records import RECORD_SIZE, Kind, kind_of

if TYPE_CHECKING:
    import numpy

    from ._ranges import BarWindow, Bound
    from ._zones import TimeZone

B = TypeVar("B", bound=BarData, covariant=True)


def _no_bar(offset: int) -> Any:
    raise IndexError("no records to lay a bar over")


class LaidRecords(Generic[B]):
    """What an open sequence reads: the records' view, their number, and a
    bar laid at a byte offset of them.  All bars share one pin of the view
    (about 130 bytes a live bar, where a slice and a pin of its own each
    would take about 420).  Never changed once made (but for the tickers'
    runs of records, which the first window search finds and keeps): a
    sequence that closes drops it as a whole, so a thread still holding it
    reads valid memory."""

    __slots__ = ("count", "lay", "ticker_runs", "view")

    def __init__(self, view: memoryview, bar_class: type[B]) -> None:
        self.view = view
        self.count = view.nbytes // RECORD_SIZE
        self.lay: Callable[[int], B] = partial(bar_class._from_pin, BarData._pin(view)) if self.count else _no_bar
        self.ticker_runs: list[tuple[str, range]] | None = None


class BarSequence(Sequence[B]):
    """Bars laid over a read-only buffer of packed records, in place
    (``from_buffer``-like views that cannot be assigned to): ``len``,
    indexing (negative indices too), slices (a list of bars), iteration, and
    the records themselves as a read-only buffer (``bytes(bars)``,
    ``numpy.frombuffer``, ``columns()``, ``tarnwick.bars.write``).  Use
    ``copy.copy(bar)`` for a bar that owns its record.

    A subclass that can be closed sets ``_laid`` to None: every later access
    raises the subclass's ``_closed_error``."""

    __slots__ = ("_cls", "_laid")
    _noun = "bars"

    def __init__(self, view: memoryview, bar_class: type[B]) -> None:
        self._cls = bar_class
        self._laid: LaidRecords[B] | None = LaidRecords(view, bar_class)

    def _closed_error(self) -> ValueError:
        return ValueError(f"{self._noun} closed")

    def _open(self) -> LaidRecords[B]:
        laid = self._laid  # read once: a close in another thread cannot change it under us
        if laid is None:
            raise self._closed_error()
        return laid

    @property
    def bar_class(self) -> type[B]:
        """The class of the bars given: ``DailyBar``, ``BarData`` or a subclass asked for."""
        return self._cls

    @property
    def name(self) -> str:
        """What messages call these bars: a file's path, or what made them."""
        return self._noun

    @property
    def kind(self) -> Kind:
        """``"daily"`` or ``"intraday"``."""
        return kind_of(self._cls)

    def __len__(self) -> int:
        return self._open().count

    @overload
    def __getitem__(self, index: int) -> B: ...
    @overload
    def __getitem__(self, index: slice) -> list[B]: ...
    def __getitem__(self, index: int | slice) -> B | list[B]:
        laid = self._open()
        if isinstance(index, slice):
            start, stop, step = index.indices(laid.count)
            offsets = range(start * RECORD_SIZE, stop * RECORD_SIZE, step * RECORD_SIZE)
            return list(map(laid.lay, offsets)) if offsets else []  # a million bars in a fraction of a second
        try:
            position = index.__index__()
        except AttributeError:
            raise TypeError(f"{self._noun} indices must be integers or slices, not {type(index).__name__}") from None
        if position < 0:
            position += laid.count
        if not 0 <= position < laid.count:
            raise IndexError(f"{self._noun} index out of range")
        return laid.lay(position * RECORD_SIZE)

    def __iter__(self) -> Iterator[B]:
        laid = self._open()
        for offset in range(0, laid.count * RECORD_SIZE, RECORD_SIZE):
            if self._laid is None:  # closed meanwhile: stop with the closed-file error
                raise self._closed_error()
            yield laid.lay(offset)

    def __buffer__(self, flags: int, /) -> memoryview:
        # A new read-only view of the records for each consumer: it pins the
        # memory like a bar does, until the consumer releases it below.
        return self._open().view[:]

    def __release_buffer__(self, view: memoryview, /) -> None:
        # Defining this makes Python keep the view above alive for as long as
        # the consumer (a numpy array, a memoryview) holds the buffer; without
        # it the view would go at once and a close could unmap under them.
        view.release()

    @overload
    def columns(self) -> numpy.ndarray[Any, numpy.dtype[numpy.void]]: ...
    @overload
    def columns(self, field: str, /, *fields: str) -> dict[str, numpy.ndarray[Any, Any]]: ...
    def columns(self, *fields: str) -> numpy.ndarray[Any, Any] | dict[str, numpy.ndarray[Any, Any]]:
        """Without arguments, the bars as a read-only numpy array of
        ``RECORD_DTYPE`` over the records, without copying:
        ``columns()["close_price"]`` is a column, whose items lie 101 bytes
        apart.  The array keeps the memory alive, also after a close.

        With field names, those fields as contiguous read-only arrays of the
        same types and values, copied out of the records natively in one
        pass: ``columns("close_price", "volume")["close_price"].mean()``
        reads the file once for both columns and reduces contiguous memory,
        several times faster than reducing the array's fields (each field
        costs its items' size per bar).  ``ValueError`` names a field the
        record does not have."""
        if fields:
            from ._records import gather_fields

            with memoryview(self) as records:
                return gather_fields(records, tuple(dict.fromkeys(fields)))
        import numpy

        from ._records import record_dtype

        return numpy.frombuffer(self, record_dtype())

    def between(self, start: Bound, end: Bound, *, ticker: str | None = None,
                tz: TimeZone = None) -> BarWindow[B]:
        """The bars whose whole span lies in the window from ``start`` to
        ``end`` (both included: a bar that starts at ``start`` or later and
        ends at ``end`` or earlier), as a sequence over the same records,
        without copying, found by binary search: a window of ten million
        bars costs microseconds.

        Each end is a ``datetime`` (a naive one is a wall time in ``tz``,
        a zone or its name; None: ``PROFILE``'s zone), a ``date`` (the whole
        day: from its first moment, to its last), epoch seconds, the same as
        ISO text (``"2024-03-01"``, ``"2024-03-01T09:30"``), or None for an
        open end.  Daily bars are windowed by market dates: a bar lies in
        the window when all its days do, and a date-time or epoch seconds
        stands for its date in ``tz``.

        The search needs the layout that ``convert`` and ``resample`` make
        (and ``write`` keeps): each ticker's bars in one run of records, in
        time order; records found out of order raise ``BarFileError``.  With
        several tickers, ``ticker`` chooses one (``ValueError`` if there are
        none of it); without it, the tickers' windows must be one run of
        records (they are when the window holds one ticker's bars, or the
        end of one and the start of the next), else ``ValueError`` asks for
        ``ticker``."""
        from ._ranges import between

        return between(self, start, end, ticker=ticker, tz=tz)

    def _label(self) -> str:
        return ""

    def __repr__(self) -> str:
        laid = self._laid
        state = "closed" if laid is None else f"{laid.count} {self._cls.__name__}"
        return f"<{type(self).__name__}{self._label()}: {state}>"
