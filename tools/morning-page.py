"""Makes the README's picture of the morning page: a simulated night of 16
models (one PipeStress seat for two workers, denied seats tried again, two
models that give no solution), compared with a night before where one of
them still solved, its page drawn by headless Chromium.

    .venv-cpython/bin/python tools/morning-page.py [docs/morning-summary.png]
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "sim")
sys.path[:0] = [SIM, os.path.join(ROOT, "tests")]
from dralvex_computer import facts  # noqa: E402
os.environ[facts.PREPARE_VARIABLE] = facts.SIMULATED_PREPARE
os.environ["PYTHONPATH"] = os.pathsep.join([SIM, os.path.join(ROOT, "tests")])

import dralvex_sim  # noqa: E402
import dralvex_computer as cc  # noqa: E402
from dralvex_computer import batch  # noqa: E402
from dralvex_computer.batch.results import compare, journal as journals, summary  # noqa: E402


def main():
    picture = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs", "morning-summary.png"))
    work = tempfile.mkdtemp(prefix="dralvex-page-")
    try:
        site = dralvex_sim.make_installation(os.path.join(work, "site"), solve_seconds=0.3,
                                             licences={"PipeStress": 1})
        site.point(cc.dralvex_core)
        cc.setup_dralvex_computer(site.install_dir, cc.DralvexModule.All)
        models = [dralvex_sim.build_model(cc, os.path.join(work, "plant", "line-%02d" % index), "line-%02d" % index,
                                          index % 5 + 1) for index in range(16)]
        installation = batch.Installation(site.install_dir, "All", site.settings_path, site.data_sources_path,
                                          facts.SIMULATED_PREPARE)
        import batch_tasks
        options = dict(workers=2, retries=20, retry_delay=0.2, collect=batch_tasks.collect_analysis,
                       retry_on=lambda result: "no licence" in (result.output or "") + (result.error_message or ""),
                       keep_results=os.path.join(work, "kept"))
        before = os.path.join(work, "monday.journal")
        batch.solve_models(models, "PipeStress", installation, journal=before, **options)
        for broken in (4, 11):
            with open(os.path.join(work, "plant", "line-%02d" % broken, "conception.fre"), "w") as stream:
                stream.write("garbage")
        night = os.path.join(work, "tuesday.journal")
        batch.solve_models(models, "PipeStress", installation, journal=night, **options)
        page = os.path.join(work, "tuesday.html")
        changes = compare.compare(compare.load(before), compare.load(night))
        context = {"command": "python -m dralvex_computer solve --solver PipeStress --workers 2 --retries 20 "
                              "--retry-on 'no licence' --compare monday.journal --journal tuesday.journal ...",
                   "solver": "PipeStress", "installation": site.install_dir, "dralvex_computer": cc.__version__}
        summary.write(journals.records(night), page, title="Plant sweep, Tuesday night", comparison=changes,
                      context=context)
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        "--user-data-dir=%s" % os.path.join(work, "profile"), "--window-size=1200,2600",
                        "--screenshot=%s" % picture, "file://" + page], check=True, capture_output=True, timeout=120)
        print(picture)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
