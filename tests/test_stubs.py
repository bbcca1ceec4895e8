"""The installed type stubs are what nanobind's stubgen makes of the installed modules, as the
build generates them; LiveFeed's constructor, which a stub pattern writes out, takes the
parameters and defaults the module gives it; and a type checker accepts the stubs and types
the public API as callers expect (tests/typed_caller.py)."""

import ast
import pathlib
import subprocess
import sys

import pytest

import vantle
from vantle import live_feed

MODULES = ["logger", "loop_host", "feed_contract", "builders", "live_feed", "utils.timing", "utils.gstreamer"]
PACKAGE = pathlib.Path(vantle.__file__).parent
PATTERNS = pathlib.Path(__file__).resolve().parents[1] / "python" / "stub_patterns"


def installed_stub(module_name):
    return (PACKAGE / (module_name.replace(".", "/") + ".pyi")).read_text()


def test_installed_stubs_are_generated_from_the_modules(tmp_path):
    # A fresh interpreter: tests change module constants, which stubs show as values.
    command = [sys.executable, "-m", "nanobind.stubgen", "-q", "-P", "-O", str(tmp_path)]
    for pattern_file in sorted(PATTERNS.glob("*.txt")):
        command += ["-p", str(pattern_file)]
    for module_name in MODULES:
        command += ["-m", f"vantle.{module_name}"]
    subprocess.run(command, check=True, cwd=tmp_path)
    stale = [name for name in MODULES
             if installed_stub(name) != (tmp_path / (name.split(".")[-1] + ".pyi")).read_text()]
    assert not stale, f"installed stubs differ from the modules: {stale} (rebuild to regenerate them)"


def parameters(arguments):
    """[(name, kind, default)] of an ast.arguments."""
    positional = [(a.arg, "positional") for a in arguments.args]
    keyword = [(a.arg, "keyword-only") for a in arguments.kwonlyargs]
    positional_defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    values = [ast.literal_eval(d) if d is not None else "required"
              for d in positional_defaults + arguments.kw_defaults]
    return [(name, kind, value) for (name, kind), value in zip(positional + keyword, values)]


def test_live_feed_constructor_stub_matches_the_module():
    stub = ast.parse(installed_stub("live_feed"))
    feed_class = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "LiveFeed")
    init = next(n for n in feed_class.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    assert ast.unparse(init.args.args[1].annotation) == "str", "the stub pattern for LiveFeed.__init__ was not applied"
    (text, _doc, defaults), = live_feed.LiveFeed.__init__.__nb_signature__
    # nanobind writes each default as a placeholder (\0, \1, ...) into `defaults`.
    for index, value in reversed(list(enumerate(defaults))):
        text = text.replace(f"\\{index}", repr(value))
    runtime = ast.parse(text + ": ...").body[0]
    assert parameters(init.args) == parameters(runtime.args)


def test_type_checker_accepts_the_stubs_and_types_the_api(tmp_path):
    api = pytest.importorskip("mypy.api")
    # PyGObject ships no type information: its types read as Any.
    options = ["--cache-dir", str(tmp_path), "--ignore-missing-imports"]
    for target in (["-p", "vantle"], [str(pathlib.Path(__file__).with_name("typed_caller.py"))]):
        report, errors, status = api.run(options + target)
        assert status == 0, report + errors
