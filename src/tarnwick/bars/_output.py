"""The one way the package writes: every command and library function that
writes a file goes through ``output_file``, every one that writes a
directory through ``output_directory``.  Both keep four promises:

- the inputs are never written over: a target that is an input (compared by
  device and inode, so another spelling or a hard link is caught too), or a
  directory that holds one, is refused;
- only what can safely be replaced is replaced: a regular file, or a
  directory holding nothing but what this package wrote there (listed in
  its ``MARKER`` file).  FIFOs, devices, sockets and whatever a symbolic link
  leads to that is one of them are refused, ``force`` or not;
- the output appears whole or not at all: it is written to a temporary
  beside the target and renamed into place, and the temporary is removed on
  every way out: an exception, SIGINT, SIGTERM or SIGHUP;
- every error names the path the caller gave, not the temporary one.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import signal
import stat
import threading
from collections.abc import Iterable, Iterator
from pathlib import Path
from types import FrameType
from typing import Literal

StrPath = str | os.PathLike[str]
Shape = Literal["file", "directory"]

MARKER = ".tarnwick-wrote"
"""The file in a directory that lists, one name a line, the entries this package wrote there."""


class OutputError(ValueError):
    """A target that must not be written: an input, a special file, a
    directory holding files of someone else, or an existing output without
    leave to replace it."""


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised where the program was (as SIGINT raises
    ``KeyboardInterrupt``), so that what was being written is removed."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal.Signals(signal_number).name)
        self.signal_number = signal_number


# ---- signals ---------------------------------------------------------------------------------

_STOPPING = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


class _Stops:
    """While outputs are open, SIGINT, SIGTERM and SIGHUP raise exceptions in
    the main thread (where Python runs signal handlers), except inside a
    ``deferred`` section (a rename, a clean-up), after which they do.
    Handlers a program set itself are left alone."""

    def __init__(self) -> None:
        self.depth = 0
        self.saved: dict[int, object] = {}
        self.deferring = 0
        self.pending: int | None = None

    def handle(self, number: int, frame: FrameType | None) -> None:
        if self.deferring:
            self.pending = self.pending or number
            return
        raise KeyboardInterrupt if number == signal.SIGINT else Terminated(number)

    @contextlib.contextmanager
    def raising(self) -> Iterator[None]:
        if threading.current_thread() is not threading.main_thread():
            yield  # only the main thread sets handlers, and runs them
            return
        if self.depth == 0:
            for number in _STOPPING:
                current = signal.getsignal(number)
                if current in (signal.SIG_DFL, signal.default_int_handler):
                    self.saved[number] = current
                    signal.signal(number, self.handle)
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if self.depth == 0:
                for number, handler in self.saved.items():
                    signal.signal(number, handler)  # type: ignore[arg-type]
                self.saved.clear()

    @contextlib.contextmanager
    def deferred(self) -> Iterator[None]:
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        self.deferring += 1
        try:
            yield
        finally:
            self.deferring -= 1
            if not self.deferring and self.pending is not None:
                pending, self.pending = self.pending, None
                self.handle(pending, None)  # the stop asked for meanwhile, now that the section is done


_stops = _Stops()


def stops_raise() -> contextlib.AbstractContextManager[None]:
    """A block in which SIGINT, SIGTERM and SIGHUP raise ``KeyboardInterrupt``
    or ``Terminated`` (unless the program handles them itself)."""
    return _stops.raising()


def stops_deferred() -> contextlib.AbstractContextManager[None]:
    """A block that a stop does not break into: it is acted on when the block
    ends.  For native code that calls back into Python and cannot be
    interrupted cleanly, such as a chart's rendering."""
    return _stops.deferred()


# ---- checking a target ------------------------------------------------------------------------


def check_target(target: StrPath, shape: Shape, *, inputs: Iterable[StrPath] = (), force: bool = True) -> Path:
    """Raises ``OutputError`` unless ``target`` may be written as a ``shape``
    without touching ``inputs``; an existing one is replaced only with
    ``force``.  Returns the path to write: ``target`` with symbolic links
    resolved."""
    given = Path(target)
    path = Path(os.path.realpath(given))
    try:
        status = os.stat(path)
    except FileNotFoundError:
        if os.path.islink(given):
            raise OutputError(f"{given} is a symbolic link to {path}, which does not exist") from None
        if not path.parent.is_dir():
            raise OutputError(f"{given}: the folder {given.parent} does not exist") from None
        return path
    except NotADirectoryError:
        raise OutputError(f"{given}: {given.parent} is not a folder") from None
    identities = _identities(inputs)
    same = identities.get((status.st_dev, status.st_ino))
    if same is not None:
        alias = "" if os.fspath(same) == os.fspath(target) else f" {same} under another name"
        raise OutputError(f"{given} is the input{alias}: write the output elsewhere")
    where = f"{given} leads to {path}, which" if path != Path(os.path.abspath(given)) else given
    if shape == "file" and not stat.S_ISREG(status.st_mode):
        raise OutputError(f"{where} is {_describe(status.st_mode)}, not a file that can be replaced")
    if shape == "directory":
        if not stat.S_ISDIR(status.st_mode):
            raise OutputError(f"{where} is {_describe(status.st_mode)}, not a directory that can be replaced")
        held = _held_inputs(path, identities)
        if held is not None:
            raise OutputError(f"{given} holds the input {held}: write the output elsewhere")
        foreign = sorted(set(os.listdir(path)) - made_here(path) - {MARKER})
        if foreign:
            more = f" and {len(foreign) - 1} more" if len(foreign) > 1 else ""
            raise OutputError(f"{given} holds {foreign[0]}{more}, which this tool did not write: write the output "
                              "elsewhere")
    if not force:
        raise OutputError(f"{given} exists: give --force to replace it")
    return path


def _identities(inputs: Iterable[StrPath]) -> dict[tuple[int, int], StrPath]:
    identities = {}
    for source in inputs:
        try:
            status = os.stat(source)
        except OSError:
            continue  # not there: nothing to protect, and its reader says so
        identities[status.st_dev, status.st_ino] = source
    return identities


def _held_inputs(directory: Path, identities: dict[tuple[int, int], StrPath]) -> StrPath | None:
    """The first input inside ``directory`` (what replacing it would delete):
    links inside are not followed, as deleting one leaves what it leads to."""
    if not identities:
        return None
    for root, names, files in os.walk(directory):
        for name in (*names, *files):
            try:
                status = os.lstat(os.path.join(root, name))
            except OSError:
                continue
            if (status.st_dev, status.st_ino) in identities:
                return identities[status.st_dev, status.st_ino]
    return None


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISREG, "a file"), (stat.S_ISFIFO, "a named pipe (FIFO)"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _describe(mode: int) -> str:
    return next((what for test, what in _KINDS if test(mode)), "a special file")


# ---- what this package wrote in a directory ---------------------------------------------------


def made_here(directory: StrPath) -> set[str]:
    """The names of the entries this package wrote in ``directory`` (its ``MARKER`` file)."""
    try:
        return set(Path(directory, MARKER).read_text("utf-8").splitlines())
    except (OSError, UnicodeDecodeError):
        return set()


def note_made(directory: StrPath, names: Iterable[str]) -> None:
    """Adds ``names`` to the entries listed as written in ``directory``."""
    listed = made_here(directory) | set(names)
    with output_file(Path(directory, MARKER)) as temporary:
        Path(temporary).write_text("".join(f"{name}\n" for name in sorted(listed)), "utf-8")


# ---- writing ----------------------------------------------------------------------------------


@contextlib.contextmanager
def output_file(target: StrPath, *, inputs: Iterable[StrPath] = (), force: bool = True) -> Iterator[Path]:
    """Gives a temporary path beside ``target`` to write to, and puts it in
    ``target``'s place once the block has finished (with the mode an existing
    file had, or the mode ``open`` would give a new one).  Checks the target
    first (``check_target``); on any error or stop the temporary is removed
    and the target left as it was."""
    given, inputs = Path(target), tuple(inputs)
    with stops_raise(), errors_about(given):
        path = check_target(given, "file", inputs=inputs, force=force)
        temporary: Path | None = None
        try:
            # Named before it is made, so that a stop at any moment finds it to remove.
            temporary = stand_in(path, ".tmp")
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600))
            yield temporary
            with _stops.deferred():
                try:
                    mode = os.stat(path).st_mode & 0o7777  # a replaced file keeps its mode
                except FileNotFoundError:
                    mode = 0o666 & ~umask()  # a new one gets what open() would give it
                check_target(given, "file", inputs=inputs)  # it may have become something else meanwhile
                os.chmod(temporary, mode)
                os.replace(temporary, path)
        except BaseException:
            if temporary is not None:
                with _stops.deferred():
                    temporary.unlink(missing_ok=True)
            raise
    _sync_directory(path.parent)


@contextlib.contextmanager
def output_directory(target: StrPath, *, inputs: Iterable[StrPath] = (), force: bool = True) -> Iterator[Path]:
    """Gives a new temporary directory beside ``target`` to fill, and puts it
    in ``target``'s place whole once the block has finished, listing what it
    holds in its ``MARKER`` file (so that a later output may replace it).
    Checks the target first (``check_target``: an existing directory is
    replaced only if it holds nothing but what this package wrote, and no
    input); on any error or stop the old directory is left as it was."""
    given, inputs = Path(target), tuple(inputs)
    with stops_raise(), errors_about(given):
        path = check_target(given, "directory", inputs=inputs, force=force)
        scratch: Path | None = None
        old: Path | None = None
        try:
            scratch = stand_in(path, ".tmp")  # named before it is made, as in ``output_file``
            os.mkdir(scratch)
            yield scratch
            note_made(scratch, os.listdir(scratch))
            with _stops.deferred():
                check_target(given, "directory", inputs=inputs)
                if os.path.lexists(path):
                    # Moved aside first: a directory cannot replace one that holds files.
                    old = stand_in(path, ".old")
                    os.mkdir(old)
                    os.replace(path, old / path.name)
                os.replace(scratch, path)
                scratch = None
                if old is not None:
                    shutil.rmtree(old, ignore_errors=True)
        except BaseException:
            with _stops.deferred():
                if old is not None and not os.path.lexists(path):
                    os.replace(old / path.name, path)  # put back what was there
                for leftover in (scratch, old):
                    if leftover is not None:
                        shutil.rmtree(leftover, ignore_errors=True)
            raise
    _sync_directory(path.parent)


def hidden_prefix(target: Path) -> str:
    """The start of the name of every temporary file or directory written in
    ``target``'s place: hidden, and telling whose it is."""
    return f".{target.name}."


def stand_in(target: Path, suffix: str) -> Path:
    """A new name beside ``target`` for a temporary file or directory in its
    place (not made: a random name that nothing else will take)."""
    return target.parent / f"{hidden_prefix(target)}{os.urandom(8).hex()}{suffix}"


@contextlib.contextmanager
def errors_about(target: Path) -> Iterator[None]:
    """Makes an ``OSError`` raised while writing ``target`` name ``target``,
    the path the caller gave: one about a temporary stand-in of it (also
    beside the file a link leads to), and one that names no file at all,
    such as a full disk (``ENOSPC``) or a file past the size limit
    (``EFBIG``)."""
    try:
        yield
    except OSError as error:
        hidden = [str(place.parent / hidden_prefix(place)) for place in (target, Path(os.path.realpath(target)))]
        named = error.filename if isinstance(error.filename, str) else None
        if named is None and error.errno is not None and error.strerror:
            raise OSError(error.errno, error.strerror, str(target)) from None
        if named is not None and named.startswith(tuple(hidden)):
            raise OSError(error.errno, error.strerror, str(target)) from None
        for place in hidden:
            if place in str(error):  # pyarrow's errors name it in their text only
                raise OSError(re.sub(re.escape(place) + r"[^'\"\s]*", str(target), str(error))) from None
        if named is None:
            raise OSError(f"{target}: {error}") from None
        raise


def describe_error(error: OSError) -> str:
    """One line about an ``OSError``: the file it is about, then what went
    wrong (``out.csv: No space left on device``), without the raw errno."""
    if error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def umask() -> int:
    """The process's file-mode creation mask, read without changing it where the system allows."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _sync_directory(directory: Path) -> None:
    try:
        descriptor = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
