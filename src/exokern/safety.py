"""Which files a run may trust, and how much a run may hold in memory.

A checkpoint is loaded only when it is a regular file (not a link) owned by this user, that no
one else may write, in a folder no one else may write: then no other user can have planted it,
changed it, or planted a name the run is about to write (a link at a temporary file's name).
A folder is writable by others when its mode lets "other" write, or its group write and the
group is not this user's own (a group named after the user with no other members, as Linux
distributions give each user). Root's files pass where root runs the command.

The memory a run may take is the machine's physical memory, or less where the process is
limited (its address-space limit, its control group's memory.max); `set_memory_limit` (the
commands' `--memory-limit`) overrides it.
"""

from __future__ import annotations

import contextlib
import math
import os
import stat
import tempfile
from typing import IO, Iterator, Optional

try:
    import resource
except ImportError:  # not on Windows
    resource = None  # type: ignore[assignment]

_GB = 1024.0**3
_override: Optional[float] = None


class UntrustedFile(ValueError):
    """A file or folder a run will not load from or write to; the message says why and what
    to do, in one line."""


class TooLarge(ValueError):
    """A run that needs more memory than it may take; the message gives the estimate and the
    limit."""


def _others_may_write(st: os.stat_result) -> bool:
    if st.st_mode & stat.S_IWOTH:
        # a sticky folder (like /tmp) still lets others plant names in it
        return True
    return bool(st.st_mode & stat.S_IWGRP) and not _own_group(st.st_gid)


def _own_group(gid: int) -> bool:
    """Whether the group `gid` is this user's private group (or the user is its only member)."""
    try:
        import grp
        import pwd
        group = grp.getgrgid(gid)
        user = pwd.getpwuid(os.geteuid())
    except (ImportError, KeyError):
        return False
    members = set(group.gr_mem) - {user.pw_name}
    return gid == user.pw_gid and not members


def folder_problem(folder: str) -> Optional[str]:
    """Why other users could plant or replace files in `folder`, or None."""
    try:
        st = os.stat(folder)
    except FileNotFoundError:
        return None  # not there yet: whoever makes it makes it theirs
    except OSError as err:
        return f"cannot examine {folder}: {err.strerror}"
    if _others_may_write(st):
        return f"other users can write to {folder}"
    return None


def check_checkpoint_folder(path: str) -> None:
    """Refuse to keep a checkpoint at `path` in a folder others can write (UntrustedFile)."""
    folder = os.path.dirname(os.path.abspath(path))
    problem = folder_problem(folder)
    if problem is not None:
        raise UntrustedFile(f"will not keep a checkpoint in {folder}: {problem}, who could "
                            "plant what it loads; write to a folder only you can write")


def check_trusted(path: str) -> None:
    """Refuse (UntrustedFile) to load the checkpoint at `path` unless it is a regular file
    owned by this user that no one else can write, in a folder no one else can write."""
    check_checkpoint_folder(path)
    st = os.lstat(path)
    why = None
    if stat.S_ISLNK(st.st_mode):
        why = "it is a symbolic link"
    elif not stat.S_ISREG(st.st_mode):
        why = "it is not a regular file"
    elif st.st_uid != os.geteuid():
        why = f"it belongs to user {st.st_uid}, not to you ({os.geteuid()})"
    elif _others_may_write(st):
        why = "other users can write to it"
    if why is not None:
        raise UntrustedFile(f"will not load the checkpoint {path}: {why}, and loading a "
                            "checkpoint can run its code; remove it (or pass --restart) once "
                            "you know where it came from")


def clear_stale(path: str) -> None:
    """Remove whatever is at `path`, a name a run writes through (a link is removed, never
    followed)."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


@contextlib.contextmanager
def created(path: str) -> Iterator[IO[bytes]]:
    """A new private file at `path`, created exclusively (never through a name already there,
    a link least of all)."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
    fd = os.open(path, flags | getattr(os, "O_BINARY", 0), 0o600)
    with os.fdopen(fd, "wb") as stream:
        yield stream


@contextlib.contextmanager
def replaced(path: str) -> Iterator[IO[bytes]]:
    """A binary file to write `path` through: a temporary file of a random name, created
    exclusively in the same folder, renamed to `path` when the block ends normally, removed
    when it raises (or is interrupted)."""
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


# ---- memory ------------------------------------------------------------------------------

def set_memory_limit(gigabytes: Optional[float]) -> None:
    """The memory a run may take, in GiB, instead of the machine's (None: the machine's)."""
    global _override
    _override = None if gigabytes is None else float(gigabytes) * _GB


def memory_limit() -> float:
    """The bytes a run may take: the override, else the least of the physical memory, the
    address-space limit and the control group's limit."""
    if _override is not None:
        return _override
    found = [math.inf]
    with contextlib.suppress(AttributeError, OSError, ValueError):
        found.append(float(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")))
    if resource is not None:
        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        if soft != resource.RLIM_INFINITY and soft > 0:
            found.append(float(soft))
    with contextlib.suppress(OSError, ValueError):
        with open("/sys/fs/cgroup/memory.max") as f:
            text = f.read().strip()
        if text != "max":
            found.append(float(text))
    return min(found)


def check_memory(needed: float, what: str) -> None:
    """Refuse (TooLarge, one line: the estimate and the limit) `what` needing `needed` bytes
    when it exceeds the memory limit."""
    limit = memory_limit()
    if needed > limit:
        raise TooLarge(f"{what} needs about {size_text(needed)} of memory, more than the "
                          f"{size_text(limit)} this run may take (--memory-limit GB to change it)")


def size_text(n: float) -> str:
    """`n` bytes in the largest unit that keeps a number above 1 (binary prefixes)."""
    for unit, scale in (("PB", 1024.0**5), ("TB", 1024.0**4), ("GB", _GB),
                        ("MB", 1024.0**2)):
        if n >= scale:
            return f"{n / scale:.3g} {unit}"
    return f"{n / 1024.0:.3g} kB"
