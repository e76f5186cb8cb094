"""A Dask run across two "machines" on this one: a scheduler on 127.0.0.1
and a worker in its own mount namespace with a private /tmp, sharing with
this process only the model files and the installation. Statuses, a
time-out, a lost worker, and each worker's scratch removed at the end; a
worker without a nanny is never ended by a time-out."""
import os
import subprocess
import sys
import tempfile

import pytest

import batch_tasks
from conftest import SIM

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from dralvex_computer import batch, facts
from batch_helpers import (DASK, IS_PYPY, can_mount_private_tmpfs, dask_scheduler, installation_of, make_model,
                           run_directories, statuses)


pytestmark = [
    pytest.mark.skipif(sys.implementation.name == "pypy", reason="Dask distributed does not import on PyPy"),
    pytest.mark.skipif(IS_PYPY or not can_mount_private_tmpfs(),
                       reason="needs unshare -m and mount (root) for a private /tmp"),
]


def _worker_tmp_is_private():
    return tempfile.gettempdir(), sorted(os.listdir(tempfile.gettempdir()))


def _run_directories_here():
    return run_directories(tempfile.gettempdir())


def private_tmp():
    """Shell commands that give the worker's "machine" a /tmp of its own
    while what it needs stays visible: the interpreter, the virtual
    environment, the checkout and the test's files, when they live under
    /tmp (an ordinary place for a checkout or an environment), are bound
    aside (under a tmpfs on /mnt, of this mount namespace only) and back."""
    import shlex
    needed = sorted({os.path.realpath(path) for path in (sys.prefix, sys.base_prefix, os.path.dirname(sys.executable),
                                                          ROOT, SIM)})
    under_tmp = [path for path in needed if path == "/tmp" or path.startswith("/tmp/")]
    under_tmp = [path for path in under_tmp if not any(path != other and path.startswith(other + "/")
                                                       for other in under_tmp)]
    steps = ["mount -t tmpfs tmpfs /mnt"] if under_tmp else []
    for number, path in enumerate(under_tmp):
        steps += ["mkdir /mnt/keep%d" % number, "mount --bind %s /mnt/keep%d" % (shlex.quote(path), number)]
    steps.append("mount -t tmpfs tmpfs /tmp")
    for number, path in enumerate(under_tmp):
        steps += ["mkdir -p %s" % shlex.quote(path), "mount --bind /mnt/keep%d %s" % (number, shlex.quote(path))]
    return " && ".join(steps)


@pytest.fixture(params=["nanny", "no nanny"])
def second_machine(request, tmp_path):
    """(client, whether the worker has a nanny)."""
    pytest.importorskip("distributed")
    scheduler_file = str(tmp_path / "scheduler.json")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([SIM, os.path.dirname(batch_tasks.__file__)]))
    environment.pop("TMPDIR", None)   # the worker's machine has its own /tmp
    environment.pop(facts.PREPARE_VARIABLE, None)
    with dask_scheduler(scheduler_file, environment) as started:
        worker = "%s && exec %s worker --scheduler-file %s --nthreads 1 --no-dashboard %s" % (
            private_tmp(), DASK, scheduler_file, "--nanny" if request.param == "nanny" else "--no-nanny")
        started.append(subprocess.Popen(["unshare", "-m", "sh", "-c", worker], env=environment,
                                        start_new_session=True, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL))
        import distributed
        with distributed.Client(scheduler_file=scheduler_file) as client:
            client.wait_for_workers(1, timeout=120)
            yield client, request.param == "nanny"


def test_a_run_on_a_worker_that_shares_no_temporary_directory(second_machine, ready, tmp_path,
                                                              private_temporary_directory):
    client, nanny = second_machine
    (where, names), = client.run(_worker_tmp_is_private).values()
    assert where == "/tmp" and private_temporary_directory != "/tmp"
    models = [make_model(tmp_path / "models" / name, name, pipes) for pipes, name in enumerate(("a", "b"), 1)]
    installation = installation_of(ready)
    results = batch.solve_models(models + [str(tmp_path / "missing.strale")], "PipeStress", installation,
                                 executor=client)
    assert statuses(results) == ["solved", "solved", "invalid input"], [r.error_message for r in results]
    # Without a nanny nothing would start a worker again: no item may end it.
    items = [("echo", 1), ("sleep", 5), ("echo", 3)] + ([("die", 0), ("echo", 5)] if nanny else [])
    results = batch.map_models(batch_tasks.run, items, installation, executor=client, timeout=2)
    expected = ["done", "timed out", "done"] + (["worker lost", "done"] if nanny else [])
    assert statuses(results) == expected, [r.error_message for r in results]
    assert all(result.worker for result in results)
    assert list(client.run(_run_directories_here).values()) == [[]]
    assert run_directories(private_temporary_directory) == []
