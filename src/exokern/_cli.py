"""What every exokern command shares: the one-line error style, the exit statuses, files written
whole or not at all, and the progress display.

- A bad option is reported in one line on standard error, "PROG: error: MESSAGE (see --help)",
  with exit status 2; a failure of the run in one line, "PROG: error: MESSAGE", with status 1.
- Ctrl-C ends the command with "PROG: interrupted" and status 130 (128 + SIGINT); a standard
  output closed by its reader (`... | head`) with "PROG: standard output closed" and status 141
  (128 + SIGPIPE), as a shell pipeline reports it. Neither prints a traceback.
- A file appears whole or not at all: it is written under a temporary name in its own folder and
  renamed into place once complete, so a full disk or an interruption leaves any earlier file
  as it was and no partial one.
- Progress is drawn on standard error by tqdm, only on a terminal and only once a step has taken
  a moment, so that short runs and logs stay clean.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import os
import sys
import tempfile
from typing import IO, Any, Callable, Iterator, NoReturn, Optional, Sequence

EXIT_USAGE = 2
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130
EXIT_PIPE = 141


class CommandError(Exception):
    """A failure of the run (not of its options), reported in one line with status 1."""


class Parser(argparse.ArgumentParser):
    """Reports a bad option in one line on standard error and exits with status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def prog_name(module: str) -> str:
    """The name a command goes by in its messages: the console script's name, or
    "python -m MODULE" when it runs as a module."""
    prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if prog in ("", "-c", "__main__.py") or prog.endswith(".py"):
        return f"python -m {module}"
    return prog


def run(prog: str, main: Callable[[], int]) -> int:
    """Run a command's body, turning an interruption, a closed standard output or a
    CommandError into one line on standard error and the conventional exit status."""
    try:
        status = main()
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        _say(f"{prog}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader is gone: later writes (Python's own flush at exit among them) go nowhere.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        _say(f"{prog}: standard output closed")
        return EXIT_PIPE
    except CommandError as err:
        _say(f"{prog}: error: {err}")
        return EXIT_FAILURE


def _say(line: str) -> None:
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(line + "\n")
        sys.stderr.flush()


@contextlib.contextmanager
def replaced(path: str) -> Iterator[IO[bytes]]:
    """A binary file to write `path` through: a temporary file in the same folder, renamed to
    `path` when the block ends normally, removed when it raises (or is interrupted)."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.",
                                suffix=".part")
    try:
        # mkstemp makes the file private; give it the mode a plain open() would.
        os.chmod(temp, _file_mode(path))
        with os.fdopen(fd, "wb") as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def _file_mode(path: str) -> int:
    """The permission bits of the file at `path` if there is one, else those a new file gets
    under the process's umask."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def write_files(writers: Sequence[tuple[str, Callable[[IO[bytes]], None]]]) -> list[str]:
    """Write each (path, write) pair whole or not at all (see `replaced`); returns the paths.
    An OSError becomes a CommandError naming the file."""
    written = []
    for path, write in writers:
        try:
            with replaced(path) as stream:
                write(stream)
        except OSError as err:
            reason = err.strerror or str(err)
            raise CommandError(f"cannot write {path}: {reason}") from None
        written.append(path)
    return written


def progress(total: Optional[int], desc: str, **options: Any) -> Any:
    """A progress bar on standard error (tqdm), drawn only on a terminal and only once the work
    has run for a second."""
    tqdm = importlib.import_module("tqdm").tqdm
    settings: dict[str, Any] = dict(total=total, desc=desc, file=sys.stderr, delay=1.0,
                                    disable=None, leave=False, dynamic_ncols=True)
    settings.update(options)
    return tqdm(**settings)


def finite_float(text: str) -> float:
    """argparse type: a finite number."""
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    """argparse type: a positive finite number of `kind` (int or float)."""
    def convert(text: str) -> Any:
        value = kind(text)
        if not (value > 0 and math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be positive, got {text}")
        return value
    convert.__name__ = kind.__name__
    return convert


def vertical_options(group: Any) -> None:
    """The options of a forward model's vertical grid: --layers, --ptop, --pbottom."""
    group.add_argument("--layers", type=positive(int), default=100, metavar="N",
                       help="number of layers (default: %(default)s)")
    group.add_argument("--ptop", type=positive(float), default=1e-8, metavar="BAR",
                       help="top pressure in bar (default: %(default)g)")
    group.add_argument("--pbottom", type=positive(float), default=1e2, metavar="BAR",
                       help="bottom pressure in bar (default: %(default)g)")


def spectral_options(group: Any, resolution: float, angles: int) -> None:
    """The options of a forward model's wavenumber grid and angles, with their defaults."""
    group.add_argument("--wn-min", type=positive(float), default=10000.0, metavar="WN",
                       help="lowest wavenumber in cm^-1 (default: %(default)g, 1 micron)")
    group.add_argument("--wn-max", type=positive(float), default=20000.0, metavar="WN",
                       help="highest wavenumber in cm^-1 (default: %(default)g, 0.5 micron)")
    group.add_argument("--resolution", type=positive(float), default=resolution, metavar="R",
                       help="resolving power wn/dwn of the grid (default: %(default)g)")
    group.add_argument("--angles", type=positive(int), default=angles, metavar="M",
                       help="number of Gauss-Legendre emission angles (default: %(default)s)")


def nonnegative(text: str) -> float:
    """argparse type: a finite number that is not negative."""
    value = finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text}")
    return value

