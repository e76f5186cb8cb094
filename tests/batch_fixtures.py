"""Fixtures of the batch tests: worker processes that find the stand-ins,
models of every kind, each engine (the local pool, a thread pool, Dask),
and an installation with one licence seat."""
import concurrent.futures
import os
import tempfile

import pytest

import dralvex_sim
from batch_helpers import DASK_ON_PYPY, IS_PYPY, installation_of, make_model, worker_paths


@pytest.fixture
def worker_environment(monkeypatch):
    """Worker processes find the stand-ins, the test helpers and the kit."""
    monkeypatch.setenv("PYTHONPATH", worker_paths())


@pytest.fixture
def models(ready, tmp_path, worker_environment):
    """Two good models, each in its own directory, one whose in-place solve
    fails on the solver thread (its FRE "file" is a directory), and a path
    that names nothing."""
    paths = [make_model(tmp_path / "models" / name, name, pipes)
             for pipes, name in enumerate(("good1", "good2", "broken"), 1)]
    os.remove(str(tmp_path / "models" / "broken" / "conception.fre"))
    (tmp_path / "models" / "broken" / "broken.fre").mkdir()
    paths.append(str(tmp_path / "models" / "missing.strale"))
    return installation_of(ready), paths


@pytest.fixture(scope="module")
def dask_cluster(tmp_path_factory):
    if IS_PYPY:
        pytest.skip(DASK_ON_PYPY)
    distributed = pytest.importorskip("distributed")
    scratch = str(tmp_path_factory.mktemp("dask-tmp"))
    paths = worker_paths()
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTHONPATH", paths)
        patch.setenv("TMPDIR", scratch)   # the workers' own temporary directory
        import dask
        own = str(tmp_path_factory.mktemp("dask"))
        with dask.config.set({"temporary-directory": own}), \
                distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                         local_directory=own) as cluster:   # the scheduler's scratch too, not /tmp's
            with distributed.Client(cluster) as client:
                yield client, scratch


@pytest.fixture(params=["local pool", "thread pool", "dask"])
def engine(request):
    """(name, executor, the temporary directory its workers use)."""
    if request.param == "local pool":
        yield request.param, None, tempfile.gettempdir()
    elif request.param == "thread pool":
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            yield request.param, executor, tempfile.gettempdir()
    else:
        client, scratch = request.getfixturevalue("dask_cluster")
        yield request.param, client, scratch


@pytest.fixture
def licensed(ready, tmp_path, worker_environment):
    """Four models and an installation whose licence server has one
    PipeStress seat."""
    site = dralvex_sim.make_installation(str(tmp_path / "licensed"), solve_seconds=0.3, licences={"PipeStress": 1})
    paths = [make_model(tmp_path / "lm" / str(index), "m%d" % index, index + 1) for index in range(4)]
    return installation_of(site), paths


