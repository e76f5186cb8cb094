"""Many threads calling the module at once get the results one thread gets."""
import os
import threading

from conftest import core

THREADS, CALLS = 8, 300


def test_threads_calling_at_once(ready, tmp_path):
    (tmp_path / "a.thf").write_text("")
    settings = {"Families": [{"Name": "ASTER", "SubFamilies": [
        {"Name": "PATH", "Settings": [{"Name": "WINDOWS SOLVER PATH", "Value": "aster"}]}]}]}
    sources = {"CurrentDatasDirectory": "d", "CurrentProjectsDirectory": "p"}
    expected = (("aster", None), ("d", "p"), str(tmp_path / "a.thf"), "")

    def calls():
        return (core.FindSolverPaths(settings), core.FindDataProjectPaths(sources),
                core.find_first_file(str(tmp_path), ".thf"), core.getStrale(str(tmp_path)))

    failures, results = [], []
    start = threading.Barrier(THREADS)

    def worker():
        start.wait()
        try:
            for _ in range(CALLS):
                results.append(calls())
                try:
                    core.load_dll()
                except TypeError:
                    pass
                model = core.createPipingStrale()
                assert [layer.Name for layer in model.Layers] == ["0"]
        except BaseException as error:   # reported below, with the thread's error
            failures.append(error)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert results == [expected] * (THREADS * CALLS)
    assert sorted(os.listdir(str(tmp_path))) == ["a.thf", "dralvex"]
