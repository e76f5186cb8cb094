"""The locks of a process pool's channel to its workers. Pebble's are
semaphores, which a worker killed while holding one never gives back: every
other worker then waited for ever, and no time-out was counted again. Here
they are file locks (POSIX), which the system lets go with their holder."""
from __future__ import annotations

import itertools
import multiprocessing
import os
import threading
import time
from typing import Any, List, Optional

_LOCK_NAMES = itertools.count()


class FileLock:
    """A lock of the pool's processes, recursive within a thread (as Pebble
    takes it), that the system lets go when its holder dies. Each process
    opens the file itself; its threads take it in turn."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.descriptor: Optional[int] = None
        self.depth = 0
        self.in_process = threading.RLock()   # between this process's threads

    def __getstate__(self) -> str:
        return self.path

    def __setstate__(self, path: str) -> None:
        self.__init__(path)   # type: ignore[misc]

    def acquire(self, block: bool = True, timeout: Optional[float] = None) -> bool:
        import fcntl
        deadline = time.monotonic() + (timeout or 0)
        if not self.in_process.acquire(block, -1 if timeout is None or not block else timeout):
            return False
        if self.depth:
            self.depth += 1
            return True
        if self.descriptor is None:
            self.descriptor = os.open(self.path, os.O_RDWR | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
        waits, pause = block and timeout is None, 0.0005
        while True:
            try:
                fcntl.flock(self.descriptor, fcntl.LOCK_EX | (0 if waits else fcntl.LOCK_NB))
                self.depth = 1
                return True
            except BlockingIOError:
                if not block or time.monotonic() >= deadline:
                    self.in_process.release()
                    return False
                time.sleep(pause)
                pause = min(2 * pause, 0.005)

    def release(self) -> None:
        import fcntl
        if self.depth <= 0 or self.descriptor is None:
            raise ValueError("a lock released more often than taken")
        self.depth -= 1
        if self.depth == 0:
            fcntl.flock(self.descriptor, fcntl.LOCK_UN)
        self.in_process.release()

    def __enter__(self) -> bool:
        return self.acquire()

    def __exit__(self, *exception: Any) -> None:
        self.release()


class SpawnContext(multiprocessing.context.SpawnContext):
    """The spawn start method (as on Windows), whose locks are the pool's
    channel locks: file locks in ``lock_directory`` (POSIX), or semaphores
    kept until the pool lets them go. Pebble drops its channel's semaphores,
    which removes them (POSIX), before it ends its workers: a worker still
    starting then could not open them and printed a traceback."""

    def __init__(self, lock_directory: Optional[str]) -> None:
        super().__init__()
        self.lock_directory = lock_directory if os.name == "posix" else None
        self.semaphores: List[Any] = []

    def RLock(self) -> Any:   # noqa: N802 (multiprocessing's name)
        if self.lock_directory is None:
            lock = super().RLock()
            self.semaphores.append(lock)
            return lock
        path = os.path.join(self.lock_directory, "channel-lock-%d" % next(_LOCK_NAMES))
        os.close(os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600))
        return FileLock(path)
