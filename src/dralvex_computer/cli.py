"""The command line of the package (``python -m dralvex_computer``)."""
import argparse
import csv
import json
import logging
import os
import sys

EXIT_ALL_SOLVED, EXIT_SOME_FAILED, EXIT_INTERRUPTED, EXIT_USAGE = 0, 1, 130, 2


def _parser():
    parser = argparse.ArgumentParser(prog="python -m dralvex_computer",
                                     description="Drive the Dralvex application without its user interface.")
    commands = parser.add_subparsers(dest="command", required=True)

    solve = commands.add_parser("solve", help="solve many model documents in parallel",
                                description="Solve each model in a worker process of its own. Exit status: 0 when "
                                            "every model solved, 1 when some did not, 130 when interrupted.")
    solve.add_argument("models", nargs="+", metavar="MODELS", help="model documents (.strale)")
    solve.add_argument("--installation", required=True, metavar="DIR", help="the application's installation directory")
    solve.add_argument("--solver", required=True, choices=["Aster", "PipeStress"])
    solve.add_argument("--module", default="All", choices=["All", "Ductavo", "Framavo"])
    solve.add_argument("--workers", type=int, default=None, metavar="N", help="worker processes (default: CPU count)")
    solve.add_argument("--timeout", type=float, default=None, metavar="S", help="seconds per model")
    solve.add_argument("--in-place", action="store_true", help="solve beside each model, not in a sandbox")
    solve.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler to run on (pip install dralvex_computer[dask])")
    solve.add_argument("--report", metavar="FILE", help="one row per model: CSV for a .csv name, else JSON Lines")
    _installation_options(solve)
    solve.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="show the progress bar even when standard error is no terminal")
    solve.add_argument("--no-progress", dest="progress", action="store_false")
    solve.add_argument("-v", "--verbose", action="store_true", help="log each model as it ends")

    doctor = commands.add_parser("doctor", help="report the environment, for users and bug reports")
    doctor.add_argument("--installation", metavar="DIR", help="the application's installation directory to check")
    doctor.add_argument("--module", default="All", choices=["All", "Ductavo", "Framavo"])
    _installation_options(doctor)
    return parser


def _installation_options(parser):
    parser.add_argument("--settings", metavar="PATH", help="the settings document, when not in the default place")
    parser.add_argument("--data-sources", metavar="PATH", help="the data-sources document, when not in the default place")


def _write_report(path, results):
    records = [result.record() for result in results]
    with open(path, "w", encoding="utf-8", newline="") as stream:
        if path.lower().endswith(".csv"):
            writer = csv.DictWriter(stream, fieldnames=list(records[0]) if records else ["index"])
            writer.writeheader()
            for record in records:
                writer.writerow({key: json.dumps(value) if isinstance(value, (list, dict)) else value
                                 for key, value in record.items()})
        else:
            for record in records:
                stream.write(json.dumps(record) + "\n")


def _solve(arguments):
    from . import batch
    installation = batch.Installation(arguments.installation, arguments.module, arguments.settings,
                                      arguments.data_sources, os.environ.get(batch.PREPARE_VARIABLE) or None)
    executor = None
    if arguments.scheduler:
        from distributed import Client
        executor = Client(arguments.scheduler)
    interrupted = False
    try:
        results = batch.solve_models(arguments.models, arguments.solver, installation, not arguments.in_place,
                                     executor=executor, workers=arguments.workers, timeout=arguments.timeout,
                                     progress=arguments.progress)
    except batch.BatchInterrupted as stop:
        results, interrupted = stop.results, True
    finally:
        if executor is not None:
            executor.close()
    if arguments.report:
        _write_report(arguments.report, results)
    counts = {}
    for result in results:
        counts[result.status] = counts.get(result.status, 0) + 1
    print(", ".join("%d %s" % (count, status) for status, count in sorted(counts.items())) or "no models",
          file=sys.stderr)
    for result in results:
        if not result.ok and result.status != batch.CANCELLED:
            print("%s: %s%s" % (result.item, result.status,
                                (" (%s)" % result.error_message) if result.error_message else ""), file=sys.stderr)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_ALL_SOLVED if all(result.ok for result in results) else EXIT_SOME_FAILED


def main(argv=None):
    arguments = _parser().parse_args(argv)
    if arguments.command == "doctor":
        from .doctor import run
        return run(arguments)
    logging.basicConfig(level=logging.INFO if arguments.verbose else logging.WARNING,
                        format="%(name)s: %(message)s")
    try:
        return _solve(arguments)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
