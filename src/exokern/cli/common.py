"""What every exokern command shares: the one-line error style, the exit statuses, files written
whole or not at all, and the progress display.

- A bad option is reported in one line on standard error, "PROG: error: MESSAGE (see --help)",
  with exit status 2; a failure of the run (a `exokern.errors.RunError`: an engine, a store, a
  missing package) in one line, "PROG: error: MESSAGE", with status 1.
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
import os
import sys
import tempfile
from typing import IO, Any, Callable, NoReturn, Optional, Sequence

import numpy as np

from exokern.errors import RunError
from exokern.safety import replaced

EXIT_USAGE = 2
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130
EXIT_PIPE = 141


class CommandError(RunError):
    """A failure of the run (not of its options), reported in one line with status 1."""


class Refused(RunError):
    """What the run found and will not take (a file it does not trust, a size it cannot
    hold), reported in one line with status 2 before anything is written."""


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
    """Run a command's body, turning an interruption, a closed standard output or a RunError
    into one line on standard error and the conventional exit status."""
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
    except Refused as err:
        _say(f"{prog}: error: {err}")
        return EXIT_USAGE
    except RunError as err:
        _say(f"{prog}: error: {err}")
        return EXIT_FAILURE


def _say(line: str) -> None:
    with contextlib.suppress(OSError, ValueError):
        sys.stderr.write(line + "\n")
        sys.stderr.flush()


def make_folder(path: str, option: str = "--output") -> None:
    """Create the output folder `path` (and its parents) if it is missing."""
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as err:
        raise CommandError(f"cannot create {option} {path}: {err.strerror}") from None
    # a folder that takes no files (read-only, full) says so now, not after the run
    try:
        with tempfile.TemporaryFile(dir=path):
            pass
    except OSError as err:
        raise Refused(f"cannot write to {option} {path}: {err.strerror}") from None


def npz(arrays: dict[str, Any]) -> Callable[[IO[bytes]], None]:
    """A writer of `arrays` as a compressed numpy archive."""
    return lambda stream: np.savez_compressed(stream, **arrays)


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
