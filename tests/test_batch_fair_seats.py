"""Seats in the order of asking, across runs: judged by the pool's own
record, the licence server's record and the solver programs' log."""
import os
import subprocess
import sys
import threading
import time

import pytest

from batch_helpers import FakeMsvcrt, HAS_PROC, command, environment, eventually
from dralvex_computer.batch import seats
from dralvex_computer.batch.seats import directory, record, tickets

pytestmark = pytest.mark.skipif(not HAS_PROC, reason="reads processes from /proc")


def owner_of(tmp_path, run, index):
    return {"run": run, "index": index, "machine": "here", "worker": "w", "scratch": str(tmp_path),
            "process": "%d 1" % os.getpid(), "group": None}


def wait_for_seat(keeper, pools, owner, stop=None):
    """What an item's wait does: look, keep its place, look again."""
    step = 0.05
    try:
        while stop is None or not stop.is_set():
            held = keeper.take(pools, "PipeStress", owner)
            if held is not None:
                return held
            time.sleep(getattr(keeper, "next_look", lambda step: step)(step))
            step = min(step * 1.5, 0.5)
    finally:
        getattr(keeper, "leave", lambda: None)()
    return None


def queued(pools, msvcrt=None):
    return len(tickets.listing(directory.pool_directory(pools, "PipeStress"), msvcrt))


@pytest.mark.parametrize("platform", ["posix", "windows"])
def test_seats_go_in_the_order_of_asking(tmp_path, platform):
    """One seat, held; five waiters of two runs ask one after another:
    the seat goes to each in turn, as they asked."""
    msvcrt = FakeMsvcrt() if platform == "windows" else None
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path / "pool"))
    directory.set_up(pools)
    first = directory.DirectoryKeeper(msvcrt).take(pools, "PipeStress", owner_of(tmp_path, "a", 0))
    granted, threads = [], []

    def waiter(index):
        held = wait_for_seat(directory.DirectoryKeeper(msvcrt), pools, owner_of(tmp_path, "ab"[index % 2], index))
        granted.append(index)
        time.sleep(0.03)
        held.give_back()
    try:
        for index in range(1, 6):
            threads.append(threading.Thread(target=waiter, args=(index,), daemon=True))
            threads[-1].start()
            assert eventually(lambda: queued(pools, msvcrt) == index, 10)   # it asked: its place is taken
            time.sleep(0.2)   # and it looked a few times: its back-off now the longest
    finally:
        first.give_back()   # the waiters go, whatever happened above
        for thread in threads:
            thread.join(30)
    assert granted == [1, 2, 3, 4, 5]
    made = record.read(directory.pool_directory(pools, "PipeStress"))
    assert [one["index"] for one in made if one["event"] == "grant"] == [0, 1, 2, 3, 4, 5]
    assert queued(pools, msvcrt) == 0 and max(mine + others for _, mine, others in record.in_use(made, "a")) == 1


WAITER = """
import sys, time
from dralvex_computer.batch import seats
from dralvex_computer.batch.seats import directory
pools = seats.SeatPools({"PipeStress": 1}, sys.argv[1])
keeper = directory.DirectoryKeeper()
owner = {"run": "dead", "index": 0, "machine": "here", "process": "1 1", "group": None, "scratch": sys.argv[1]}
while keeper.take(pools, "PipeStress", owner) is None:
    print("queued", flush=True)
    time.sleep(0.05)
"""


def test_a_waiter_killed_in_the_queue_does_not_hold_it_up(tmp_path):
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path / "pool"))
    directory.set_up(pools)
    holder = directory.DirectoryKeeper().take(pools, "PipeStress", owner_of(tmp_path, "a", 0))
    dead = subprocess.Popen([sys.executable, "-c", WAITER, pools.directory], env=environment(),
                            stdout=subprocess.PIPE, text=True)
    assert dead.stdout.readline().strip() == "queued"
    dead.kill()
    dead.wait(10)
    keeper = directory.DirectoryKeeper()
    assert keeper.take(pools, "PipeStress", owner_of(tmp_path, "b", 1)) is None
    holder.give_back()
    held = wait_for_seat(keeper, pools, owner_of(tmp_path, "b", 1))
    assert held is not None and queued(pools) == 0
    assert not [name for name in os.listdir(directory.pool_directory(pools, "PipeStress"))
                if name.startswith("ticket-")]   # the dead waiter's place is gone with it
    held.give_back()


def test_an_item_that_stops_waiting_leaves_the_queue(tmp_path):
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path / "pool"))
    directory.set_up(pools)
    holder = directory.DirectoryKeeper().take(pools, "PipeStress", owner_of(tmp_path, "a", 0))
    stop = threading.Event()
    thread = threading.Thread(target=wait_for_seat, args=(directory.DirectoryKeeper(), pools,
                                                           owner_of(tmp_path, "b", 1), stop))
    thread.start()
    assert eventually(lambda: queued(pools) == 1, 10)
    stop.set()
    thread.join(10)
    assert queued(pools) == 0
    holder.give_back()


@pytest.mark.parametrize("place, said", [
    ("empty", "no seat pool in"), ("a file", "cannot be read"), ("no scheduler", "no Dask scheduler answers")])
def test_the_seats_command_says_what_it_cannot_read_in_one_message(tmp_path, place, said):
    (tmp_path / "a file").write_text("")
    if place == "no scheduler":
        pytest.importorskip("distributed")
        arguments = ["--scheduler", "tcp://127.0.0.1:9"]
    else:
        arguments = ["--seat-directory", str(tmp_path / place)]
    shown = command("seats", *arguments)
    assert shown.returncode == (0 if place == "empty" else 2) and said in shown.stdout + shown.stderr
    assert "Traceback" not in shown.stderr and len(shown.stderr.strip().splitlines()) <= 1


def test_a_waiter_that_asks_while_the_queue_is_busy_is_in_line_from_when_it_joins(tmp_path):
    """The queue's lock is held while one waiter first asks; another joins
    first once it is free: the queue's order and its record's times of
    asking agree (a record that kept the first look would show the second
    waiter overtaking the first)."""
    from dralvex_computer.batch import filelock
    pools = seats.SeatPools({"PipeStress": 1}, str(tmp_path / "pool"))
    directory.set_up(pools)
    where = directory.pool_directory(pools, "PipeStress")
    held = directory.DirectoryKeeper().take(pools, "PipeStress", owner_of(tmp_path, "a", 0))
    late, early = directory.DirectoryKeeper(), directory.DirectoryKeeper()
    busy = os.open(os.path.join(where, tickets.LOCK_FILE), os.O_RDWR)
    filelock.lock(busy, None)
    try:
        assert late.take(pools, "PipeStress", owner_of(tmp_path, "a", 1)) is None   # no place in line yet
    finally:
        filelock.unlock(busy, None)
        os.close(busy)
    try:
        assert early.take(pools, "PipeStress", owner_of(tmp_path, "b", 2)) is None
        assert late.take(pools, "PipeStress", owner_of(tmp_path, "a", 1)) is None
        line = tickets.listing(where)
        assert [waiter["index"] for waiter in line] == [2, 1]
        assert line[0]["asked"] <= line[1]["asked"], line
    finally:
        early.leave()
        late.leave()
        held.give_back()
