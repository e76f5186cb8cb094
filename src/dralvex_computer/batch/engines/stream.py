"""Each item's result, sent by its worker the moment the item ends, on a
connection of that worker's own: what lets the local pool hand tiny items
over in chunks and still have every result in the run as its item ends.

    the run's process                          a worker (one connection each)
    ResultStream: a listener (a socket in the  connect(address, key), in the
    run's scratch directory, a named pipe on     pool's initializer: sends its pid
    Windows), one thread reading them all        and its name (host:pid)
    its queue gets each ItemResult, then    <---  protocol.to_wire(result) per item,
    Closed(pid) once the worker has gone        as it ends (the connection closes
                                                 with the worker, however it ends)

A connection of its own per worker: no lock shared between workers that
one of them could die holding. A result travels as ``marshal`` data when it
can (it is plain data; PyPy's pickle is Python code, its marshal is not),
else pickled.
"""
from __future__ import annotations

import marshal
import os
import pickle
import secrets
import sys
import threading
import time
from multiprocessing import connection
from typing import Any, Dict, List, Optional, Tuple

from ..items import ItemResult
from ..protocol import from_wire, to_wire
from ..worker import worker_name


class Closed:
    """A worker's connection ended: everything it sent came before."""

    def __init__(self, pid: int) -> None:
        self.pid = pid


class ResultStream:
    """The run's end: what the workers send goes to ``queue`` (``put``).
    One thread accepts the workers' connections; one reads them all, so
    that the run wakes once for what arrived together."""

    def __init__(self, queue: Any, directory: str, run_id: str) -> None:
        self.queue = queue
        self.key = secrets.token_bytes(32)
        self.listener = connection.Listener(_address(directory, run_id), authkey=self.key)
        self.address = self.listener.address
        self.connections: Dict[Any, Tuple[int, str]] = {}   # connection -> its worker's (pid, name)
        self.closed = False
        self._lock = threading.Lock()
        threading.Thread(target=self._accept, name="dralvex-results-accept", daemon=True).start()
        self.reader = threading.Thread(target=self._read, name="dralvex-results", daemon=True)
        self.reader.start()

    def _accept(self) -> None:
        while True:
            try:
                connected = self.listener.accept()
                pid, name = connected.recv()
            except Exception:   # closed, a connection that failed its key or said nothing
                if self.closed:
                    return
                continue
            with self._lock:
                if self.closed:
                    connected.close()
                    return
                self.connections[connected] = (pid, name)

    def _read(self) -> None:
        """The one thread that reads and closes the connections (two
        closing one descriptor could close another file's)."""
        while not self.closed:
            with self._lock:
                connections = list(self.connections)
            if not connections:
                time.sleep(_LOOK_SECONDS)
                continue
            for connected in connection.wait(connections, timeout=_LOOK_SECONDS):
                self._read_one(connected)
        with self._lock:
            connections, self.connections = list(self.connections), {}
        for connected in connections:
            connected.close()

    def _read_one(self, connected: Any) -> None:
        pid, name = self.connections[connected]
        try:
            while True:   # everything it has sent by now
                self.queue.put(from_wire(_decoded(connected.recv_bytes()), name))
                if not connected.poll(0):
                    return
        except (OSError, EOFError, ValueError):
            pass
        except Exception as error:   # a result that cannot be read here
            print("dralvex_computer: a worker's result stream broke: %r" % (error,), file=sys.stderr)
        with self._lock:
            self.connections.pop(connected, None)
        connected.close()
        self.queue.put(Closed(pid))

    def close(self) -> None:
        with self._lock:
            if self.closed:
                return
            self.closed = True
        try:   # wakes the accepting thread (closing the listener alone may not); no key: nothing to wait for
            connection.Client(self.address).close()
        except OSError:
            pass
        self.listener.close()
        self.reader.join(5)


_LOOK_SECONDS = 0.05   # how soon a new connection is read from


def _address(directory: str, run_id: str) -> Optional[str]:
    if sys.platform == "win32":
        return r"\\.\pipe\dralvex-results-%s" % run_id
    path = os.path.join(directory, "results")
    if len(path.encode()) < 100:
        return path
    # longer than a socket's path can be (a run inside an item, whose
    # temporary directory is deep): Linux's abstract names, else the default
    return "\0dralvex-results-%s" % run_id if sys.platform.startswith("linux") else None


# ------------------------------------------------------------ worker side

_connection: List[Any] = []


def connect(address: Any, key: bytes) -> None:
    """In a worker, once: its own connection to the run."""
    _connection[:] = [connection.Client(address, authkey=key)]
    _connection[0].send((os.getpid(), worker_name()))


def send(result: ItemResult) -> None:
    _connection[0].send_bytes(_encoded(to_wire(result)))


def _encoded(wire: Any) -> bytes:
    try:
        return b"m" + marshal.dumps(wire)
    except ValueError:   # something in it marshal does not know
        return b"p" + pickle.dumps(wire, protocol=pickle.HIGHEST_PROTOCOL)


def _decoded(data: bytes) -> Any:
    return marshal.loads(data[1:]) if data[:1] == b"m" else pickle.loads(data[1:])
