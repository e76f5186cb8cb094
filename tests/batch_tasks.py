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


def run(item):
    """item: (kind, argument)"""
    kind, argument = item
    return {"echo": echo, "raise": raise_value_error, "sleep": sleep, "die": die}[kind](argument)


def collect_kind(solution, path):
    return type(solution).__name__, os.path.basename(path)
