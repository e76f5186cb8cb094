"""Functions that worker processes of the batch tests run: importable on
their own, with nothing but the standard library."""
import os
import time


def echo(item):
    print("echo", item)
    return item


def raise_value_error(item):
    raise ValueError("bad item %r" % (item,))


def sleep(seconds):
    time.sleep(seconds)
    return seconds


def die(item):
    os._exit(3)


def collect_kind(solution, path):
    return type(solution).__name__, os.path.basename(path)


class _Unloadable:
    """Pickles in the worker; cannot be unpickled anywhere."""

    def __reduce__(self):
        return (_refuse, ())


def _refuse():
    raise RuntimeError("this value cannot be unpickled")


def unloadable(item):
    return _Unloadable()


def exit_item(status):
    raise SystemExit(status)


def interrupt(item):
    raise KeyboardInterrupt


def wander(item):
    """Leaves the working directory elsewhere, as removeProjectFolder does."""
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    return os.getcwd()


def where(item):
    return os.getcwd()


KINDS = {"echo": echo, "raise": raise_value_error, "sleep": sleep, "die": die, "exit": exit_item,
         "interrupt": interrupt, "unloadable": unloadable, "wander": wander, "where": where}


def run(item):
    """item: (kind, argument)"""
    kind, argument = item
    return KINDS[kind](argument)


def set_up_elsewhere(directory):
    import dralvex_computer as cc
    return cc.setup_dralvex_computer(directory, cc.DralvexModule.All)


def installation_directory(item):
    import dralvex_computer as cc
    return cc._exePath_


KINDS.update(elsewhere=set_up_elsewhere, installed=installation_directory)


def collect_analysis(solution, path):
    """A dict value: its keys become the report's columns."""
    analysis = solution.Results["analysis"]
    return {"max_stress": analysis["max_stress"], "model": os.path.basename(path)}


def flaky(item):
    """item: (counter file, tries that fail): fails until its try comes."""
    counter, failing = item
    with open(counter, "a") as stream:
        stream.write("x")
    with open(counter) as stream:
        tries = len(stream.read())
    if tries <= failing:
        raise OSError("no licence available (try %d)" % tries)
    return tries


KINDS.update(flaky=flaky)


def collect_typo(solution, path):
    """A collect function with a typo in a key: fails on every model."""
    return solution.Results["analysis"]["max_stres"]


def nested(installation):
    """A run inside an item of another run, on a local pool of its own."""
    from dralvex_computer import batch
    return [result.status for result in batch.map_models(echo, [1, 2], installation, workers=1, progress=False)]


def nested_on_threads(installation):
    """A run inside an item on a thread pool: refused, not a hang."""
    import concurrent.futures
    from dralvex_computer import batch
    with concurrent.futures.ThreadPoolExecutor(1) as executor:
        return batch.map_models(echo, [1], installation, executor=executor, progress=False)
KINDS.update(nested=nested, nested_on_threads=nested_on_threads)


def echo_quiet(item):
    """An item that costs nothing: what a run itself costs per item."""
    return item


def note(item):
    """Writes its index to a log that the run's items share (their own
    evidence of what ran), then returns it, or ends its worker."""
    log, index, end_worker = item
    with open(log, "a") as stream:
        stream.write("%d\n" % index)
    if end_worker:
        os._exit(3)
    return index


def build_pipe_run(point, directory):
    """A study's build: a run of two pipes with the point's design
    properties, saved in the point's directory."""
    import dralvex_computer as cc
    import dralvex_sim
    return dralvex_sim.build_model(cc, directory, "run", 2, point)


def max_stress(solution, path):
    return {"max_stress": solution.Results["analysis"]["max_stress"], "where": os.path.basename(os.getcwd())}


def build_unless_hot(point, directory):
    """A study's build that refuses points above 150 degrees."""
    if point.get("Temperature", 0) > 150:
        raise ValueError("no material for %s degrees" % point["Temperature"])
    return build_pipe_run(point, directory)


def hold_tool_seat(item):
    """Holds a seat of the run's pool "Tool" for ``seconds``, asked for once
    ``together`` items are here (each leaves its mark in ``marks``), so
    that they ask at once: (start, end)."""
    from dralvex_computer import batch
    seconds, marks, together = item
    open(os.path.join(marks, "%d" % os.getpid()), "w").close()
    deadline = time.monotonic() + 30
    while len(os.listdir(marks)) < together and time.monotonic() < deadline:
        time.sleep(0.01)
    with batch.seat("Tool"):
        started = time.time()
        time.sleep(seconds)
        return started, time.time()


def build_at_one_place(point, directory):
    """A study's build that saves every point's model at one shared path,
    outside the point's own directory."""
    return build_pipe_run(point, os.path.join(directory, os.pardir, os.pardir, "shared"))


def print_a_lot(characters):
    """Prints ``characters`` characters, then a last line."""
    print("x" * characters)
    print("the end")
    return characters


def write_to_descriptors(text):
    """Writes past sys.stdout, as a library's C code or a program it starts does."""
    os.write(1, ("out: %s\n" % text).encode())
    os.write(2, ("err: %s\n" % text).encode())
    return text


def stop_holding_tool_seat(item):
    """Holds a seat of the pool "Tool"; the item "stop" then stops its own
    worker (SIGSTOP), as a debugger or a full machine would."""
    import signal
    from dralvex_computer import batch
    with batch.seat("Tool"):
        if item == "stop":
            os.kill(os.getpid(), signal.SIGSTOP)
        return item


def hang_holding_tool_seat(item):
    """Holds a seat of the pool "Tool"; the item "hang" then never returns,
    stuck in Python code, not in a program it started."""
    from dralvex_computer import batch
    with batch.seat("Tool"):
        while item == "hang":
            sum(range(1000))
        return os.getpid()


def build_pressed_pipe(point, directory):
    """A study's build: a run of two pipes at 10 MPa with the point's wall
    and spacing, so that the stress bounds the wall from below."""
    return build_pipe_run(dict(point, Pressure=10.0), directory)


def stress_and_mass(solution, path):
    analysis = solution.Results["analysis"]
    return {"max_stress": analysis["max_stress"], "mass": analysis["mass"], "supports": analysis["supports"]}
