"""The shipped type stubs describe what each native module really exports."""

import ast
import importlib
import pathlib

import pytest

import vantle

MODULES = ["logger", "loop_host", "feed_contract", "builders", "live_feed", "utils.timing", "utils.gstreamer"]
PACKAGE_DIR = pathlib.Path(vantle.__file__).parent


def stub_names(module_name):
    tree = ast.parse((PACKAGE_DIR / (module_name.replace(".", "/") + ".pyi")).read_text())
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = set()
        elif isinstance(node, ast.Assign):
            names.update({t.id: set() for t in node.targets})
    return names


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_module(module_name):
    module = importlib.import_module(f"vantle.{module_name}")
    stubbed = stub_names(module_name)
    exported = {name for name in vars(module) if not name.startswith("__")}
    assert set(stubbed) - {"_CallbackFields"} <= exported
    public = {name for name in exported if not name.startswith("_")}
    assert public <= set(stubbed)
    for name, members in stubbed.items():
        if name in exported and isinstance(getattr(module, name), type):
            missing = {m for m in members if not m.startswith("__") and not hasattr(getattr(module, name), m)}
            assert not missing, f"{name} lacks {missing}"
