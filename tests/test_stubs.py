"""The shipped type stubs describe what each native module really exports: its names, and the
parameters (names, kinds, defaults) of every function and method whose signature is introspectable."""

import ast
import importlib
import inspect
import pathlib

import pytest

import vantle

MODULES = ["logger", "loop_host", "feed_contract", "builders", "live_feed", "utils.timing", "utils.gstreamer"]
PACKAGE_DIR = pathlib.Path(vantle.__file__).parent


def stub_tree(module_name):
    return ast.parse((PACKAGE_DIR / (module_name.replace(".", "/") + ".pyi")).read_text())


def stub_names(module_name):
    names = {}
    for node in stub_tree(module_name).body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {n.name for n in node.body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names[node.name] = set()
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = set()
        elif isinstance(node, ast.Assign):
            names.update({t.id: set() for t in node.targets})
    return names


@pytest.mark.parametrize("module_name", MODULES)
def test_stub_matches_module(module_name):
    module = importlib.import_module(f"vantle.{module_name}")
    stubbed = stub_names(module_name)
    # Settings kept as native values are properties of the module's own type.
    exported = {name for name in [*vars(module), *vars(type(module))] if not name.startswith("__")}
    assert set(stubbed) - {"_CallbackFields"} <= exported
    public = {name for name in exported if not name.startswith("_")}
    assert public <= set(stubbed)
    for name, members in stubbed.items():
        if name in exported and isinstance(getattr(module, name), type):
            missing = {m for m in members if not m.startswith("__") and not hasattr(getattr(module, name), m)}
            assert not missing, f"{name} lacks {missing}"


# --------------------------------------------------------------------------- signatures

NO_DEFAULT = object()


def parameters(args):
    """[(name, kind, default)] of an ast.arguments; defaults as ast nodes."""
    result = []
    positional = args.posonlyargs + args.args
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        kind = "positional-only" if index < len(args.posonlyargs) else "positional"
        result.append((arg.arg, kind, default))
    if args.vararg:
        result.append((args.vararg.arg, "*args", NO_DEFAULT))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        result.append((arg.arg, "keyword-only", NO_DEFAULT if default is None else default))
    if args.kwarg:
        result.append((args.kwarg.arg, "**kwargs", NO_DEFAULT))
    return result


def native_parameters(function):
    """Parameters of a nanobind function from its __nb_signature__, defaults as values; None when
    it is overloaded or not a nanobind function."""
    signatures = getattr(function, "__nb_signature__", None)
    if signatures is None or len(signatures) != 1:
        return None
    text, _doc, defaults = signatures[0]
    # "def name(a: int = \0) -> T": defaults are placeholders into the tuple of values.
    placeholders = {}
    for index in range(len(defaults or ())):
        placeholders[f"\\{index}"] = f"__default_{index}__"
    for placeholder, name in sorted(placeholders.items(), key=lambda item: -len(item[0])):
        text = text.replace(placeholder, name)
    tree = ast.parse(text.replace("def (", "def _(", 1) + ": pass")
    found = []
    for name, kind, default in parameters(tree.body[0].args):
        if default is not NO_DEFAULT:
            default = defaults[int(default.id.strip("_").split("_")[1])]
        found.append((name, kind, default))
    return found


def python_parameters(function):
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return None
    kinds = {
        inspect.Parameter.POSITIONAL_ONLY: "positional-only",
        inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional",
        inspect.Parameter.VAR_POSITIONAL: "*args",
        inspect.Parameter.KEYWORD_ONLY: "keyword-only",
        inspect.Parameter.VAR_KEYWORD: "**kwargs",
    }
    return [(p.name, kinds[p.kind], NO_DEFAULT if p.default is inspect.Parameter.empty else p.default)
            for p in signature.parameters.values()]


def stub_value(node):
    if node is NO_DEFAULT:
        return NO_DEFAULT
    try:
        return ast.literal_eval(node)
    except ValueError:
        return ast.unparse(node)


def same_default(stubbed, real):
    if stubbed is NO_DEFAULT or real is NO_DEFAULT:
        return stubbed is real
    if stubbed is Ellipsis:
        return True
    if isinstance(stubbed, str) and not isinstance(real, str):
        return stubbed.split(".")[-1] in repr(real) or stubbed == repr(real)
    return stubbed == real


def stubbed_functions(module_name):
    """(owner path, name, ast function) for every stubbed function and method without overloads."""
    def plain(nodes):
        functions = [n for n in nodes if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
        overloaded = {n.name for n in functions if any(ast.unparse(d).endswith("overload") for d in n.decorator_list)}
        for node in functions:
            decorators = {ast.unparse(d) for d in node.decorator_list}
            if node.name in overloaded or decorators & {"property"} or any(d.endswith(".setter") for d in decorators):
                continue
            yield node

    tree = stub_tree(module_name)
    for node in plain(tree.body):
        yield (), node.name, node
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        for node in plain(cls.body):
            yield (cls.name,), node.name, node


def signature_cases():
    for module_name in MODULES:
        for owner, name, node in stubbed_functions(module_name):
            yield pytest.param(module_name, owner, name, node, id=".".join((module_name, *owner, name)))


@pytest.mark.parametrize("module_name, owner, name, node", list(signature_cases()))
def test_stub_signatures_match(module_name, owner, name, node):
    target = importlib.import_module(f"vantle.{module_name}")
    for part in owner:
        target = getattr(target, part)
    function = inspect.getattr_static(target, name, None)
    if function is None:
        pytest.skip(f"{name} is only stubbed (checked by test_stub_matches_module)")
    if isinstance(function, (staticmethod, classmethod)):
        function = function.__func__
    real = native_parameters(function)
    if real is None:
        real = python_parameters(function)
    if real is None:
        pytest.skip(f"{name} has no introspectable signature")
    stubbed = [(n, kind, stub_value(default)) for n, kind, default in parameters(node.args)]
    if isinstance(inspect.getattr_static(target, name, None), classmethod) and real and stubbed:
        stubbed = stubbed[1:]  # cls
    # Callers cannot name positional-only or variadic parameters: only their kind counts.
    def shape(params):
        return [(n if kind in ("positional", "keyword-only") else None, kind) for n, kind, _ in params]

    assert shape(stubbed) == shape(real)
    for (n, _kind, stubbed_default), (_n, _k, real_default) in zip(stubbed, real):
        assert same_default(stubbed_default, real_default), f"{n}: stub {stubbed_default!r}, real {real_default!r}"
