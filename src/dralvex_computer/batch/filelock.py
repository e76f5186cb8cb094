"""An exclusive lock on an open file, taken without waiting: POSIX
``flock``, which ends with the descriptor (and with its process, however
it ends); on Windows ``msvcrt.locking`` of one byte far past the end,
where no reader looks (as SQLite's lock bytes sit at 1 GiB). ``msvcrt``
may be a stand-in, to test the Windows branch elsewhere."""
from __future__ import annotations

import os
from typing import Any

LOCK_OFFSET = 1 << 30


def lock(descriptor: int, msvcrt: Any = None) -> None:
    """Takes the lock without waiting; OSError when another holds it."""
    if msvcrt is None and os.name != "nt":
        import fcntl
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return
    if msvcrt is None:
        import msvcrt
    os.lseek(descriptor, LOCK_OFFSET, os.SEEK_SET)
    msvcrt.locking(descriptor, msvcrt.LK_NBLCK, 1)


def unlock(descriptor: int, msvcrt: Any = None) -> None:
    if msvcrt is None and os.name != "nt":
        return   # flock ends with the descriptor
    if msvcrt is None:
        import msvcrt
    os.lseek(descriptor, LOCK_OFFSET, os.SEEK_SET)
    msvcrt.locking(descriptor, msvcrt.LK_UNLCK, 1)
