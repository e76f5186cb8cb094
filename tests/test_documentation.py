"""The Python snippets of the README and of docs/ run against the simulated
platform, and type-check with the shipped stubs: documentation and types
cannot drift apart. A snippet after the comment "continues the snippet
above" runs as the end of the one before it; the user's test runs in
test_kit.py and is only type-checked here."""
import glob
import os
import platform
import re
import shutil
import subprocess
import sys

import pytest

import dralvex_sim
from conftest import ROOT, SIM, core
from dralvex_computer import facts

SNIPPET = re.compile(r"(?:<!-- (?P<note>[^>]*) -->\n)?```python\n(?P<code>.*?)```", re.S)
CONTINUES, USER_TEST = "continues the snippet above", "user test"


def snippets():
    """(name, code, runs) of every Python snippet, in the order written."""
    found = []
    for path in [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md"))):
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
        for match in SNIPPET.finditer(text):
            line = text.count("\n", 0, match.start("code")) + 1
            name = "%s:%d" % (os.path.relpath(path, ROOT), line)
            if match.group("note") == CONTINUES:
                previous_name, previous, runs = found.pop()
                found.append((previous_name, previous + match.group("code"), runs))
            else:
                found.append((name, match.group("code"), match.group("note") != USER_TEST))
    return found


SNIPPETS = snippets()


def on_this_machine(code, site, models):
    """The snippet with the Windows paths it names put where this machine
    has them (raw string literals, with the rest of the path after them)."""
    places = {
        r"C:\Program Files\Dralvex\Ductavo 20XX.Y": site.install_dir,
        r"D:\Dralvex\Settings\Ductavo.settings": site.settings_path,
        r"D:\Dralvex\Settings\DataSources.settings": site.data_sources_path,
        r"D:\Models": models,
    }

    def placed(match):
        text = match.group(1)
        for windows, here in places.items():
            if text == windows or text.startswith(windows + "\\"):
                return "r%r" % (here + text[len(windows):].replace("\\", os.sep))
        raise AssertionError("a path the test does not know: %s" % text)
    return re.sub(r'r"([A-Z]:\\[^"]*)"', placed, code)


def test_the_documentation_has_snippets():
    assert [runs for _, _, runs in SNIPPETS].count(True) >= 2, SNIPPETS


@pytest.mark.parametrize("name,code", [(name, code) for name, code, runs in SNIPPETS if runs],
                         ids=[name for name, _, runs in SNIPPETS if runs])
def test_snippet_runs(ready, tmp_path, name, code):
    models = str(tmp_path / "models")
    for index in range(2):
        dralvex_sim.build_model(core, os.path.join(models, "model%d" % index), "model%d" % index, index + 1)
    # On POSIX the Windows default of a settings document is a file name in
    # the working directory: the snippets' processes find the documents "in
    # the default place" there.
    for default, path in ((facts.DEFAULT_SETTINGS, ready.settings_path),
                          (facts.DEFAULT_DATA_SOURCES, ready.data_sources_path)):
        shutil.copyfile(path, str(tmp_path / default))
    script = tmp_path / "snippet.py"
    script.write_text(on_this_machine(code, ready, models), encoding="utf-8")
    environment = dict(os.environ, PYTHONPATH=SIM)
    environment[facts.PREPARE_VARIABLE] = facts.SIMULATED_PREPARE
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=environment,
                            cwd=str(tmp_path), timeout=300)
    assert result.returncode == 0, "%s\n%s%s" % (name, result.stdout[-2000:], result.stderr[-3000:])
    assert result.stdout.strip(), name


@pytest.mark.skipif(platform.python_implementation() != "CPython", reason="mypy runs on CPython")
@pytest.mark.skipif(bool(os.environ.get("DRALVEX_SANITIZERS")), reason="not under the sanitizers")
def test_snippets_type_check(tmp_path):
    pytest.importorskip("mypy")
    paths = []
    for index, (_, code, _) in enumerate(SNIPPETS):
        paths.append(str(tmp_path / ("snippet%d.py" % index)))
        with open(paths[-1], "w", encoding="utf-8") as stream:
            stream.write(code)
    environment = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"), MYPYPATH=SIM)
    result = subprocess.run([sys.executable, "-m", "mypy", "--follow-imports=silent", "--no-error-summary",
                             "--show-error-codes", *paths],
                            capture_output=True, text=True, env=environment, cwd=str(tmp_path), timeout=600)
    names = {"snippet%d.py" % index: name.rsplit(":", 1) for index, (name, _, _) in enumerate(SNIPPETS)}

    def where(match):   # the line in the document
        document, first = names[match.group(1)]
        return "%s:%d" % (document, int(first) + int(match.group(2)) - 1)
    report = re.sub(r"\S*(snippet\d+\.py):(\d+)", where, result.stdout)
    assert result.returncode == 0, report + result.stderr


@pytest.mark.parametrize("name", ["map_models", "solve_models", "run_study"])
def test_the_run_functions_take_the_run_options_as_they_are(name):
    """Each keyword of a run function that is a run option has the
    option's default; map_models takes every option a script may give."""
    import dataclasses
    import inspect
    from dralvex_computer import batch
    fields = {field.name: field.default for field in dataclasses.fields(batch.RunOptions) if field.init}
    parameters = inspect.signature(getattr(batch, name)).parameters
    options = {key: parameter.default for key, parameter in parameters.items() if key in fields}
    assert options == {key: fields[key] for key in options}
    if name == "map_models":
        keywords = [key for key, parameter in parameters.items() if parameter.kind is parameter.KEYWORD_ONLY]
        assert keywords == [key for key in fields if key != "context"]   # the command's own record of itself
        undocumented = [key for key in keywords if "``%s``: " % key not in batch.map_models.__doc__]
        assert not undocumented, "each option says what it does on its RunOptions field"
    else:
        assert any(parameter.kind is parameter.VAR_KEYWORD for parameter in parameters.values())
