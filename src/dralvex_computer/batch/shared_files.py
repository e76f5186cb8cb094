"""Files in shared directories (the temporary directory, a seat pool) are
other users' ground: anyone may have put a link, a FIFO or a directory
where a record is looked for. Such a file is opened without following a
link and without blocking, used only when it is a regular file, and read
only up to a bound."""
from __future__ import annotations

import errno
import os
import stat
import uuid
from typing import Optional

RECORD_LIMIT = 64 * 1024   # a record is a few lines: more is not one


class NotRegular(OSError):
    """The path is a link, a FIFO, a directory or a device, not a file."""


def open_regular(path: str, flags: int, mode: int = 0o666) -> int:
    """A descriptor of the regular file at ``path`` (made with ``mode``
    when ``flags`` has O_CREAT), never through a link; NotRegular or the
    OSError of the open otherwise."""
    flags |= getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    try:
        descriptor = os.open(path, flags, mode)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.EISDIR, getattr(errno, "EMLINK", -1)):
            raise NotRegular(error.errno, "not a regular file (a link or a directory)", path) from None
        raise
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise NotRegular(errno.EINVAL, "not a regular file", path)
        if hasattr(os, "set_blocking"):
            os.set_blocking(descriptor, True)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def read_regular(path: str, limit: int = RECORD_LIMIT) -> Optional[bytes]:
    """The first ``limit`` bytes of the regular file at ``path``; None when
    there is none (missing, unreadable, a link, a FIFO...)."""
    try:
        descriptor = open_regular(path, os.O_RDONLY)
    except OSError:
        return None
    try:
        return os.read(descriptor, limit)
    except OSError:
        return None
    finally:
        os.close(descriptor)


def write_whole(path: str, data: bytes) -> None:
    """``path`` replaced whole by ``data`` (open to every user, as the
    shared places are): a link there is replaced, never followed."""
    temporary = "%s.%s.tmp" % (path, uuid.uuid4().hex)
    try:
        with open(temporary, "xb") as stream:
            stream.write(data)
        try:
            os.chmod(temporary, 0o666)
        except OSError:
            pass
        os.replace(temporary, path)
    finally:
        if os.path.lexists(temporary):   # what this call made, and only that
            os.remove(temporary)
