"""The package's modules import only at their top and only downward: no cycles."""

import ast

from helpers import REPO

PACKAGE = REPO / "src" / "python" / "mivo_ble"


def _modules():
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        yield name, ast.parse(path.read_text(), str(path))


def _imported(node, module):
    if isinstance(node, ast.Import):
        return [alias.name for alias in node.names]
    base = module.rsplit(".", node.level)[0] + "." + (node.module or "") if node.level else node.module
    return [base.rstrip(".")] + [f"{base}.{alias.name}" for alias in node.names]


def test_no_module_imports_inside_a_function_or_class():
    nested = []
    for name, tree in _modules():
        for scope in ast.walk(tree):
            if isinstance(scope, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                nested += [f"{name}:{n.lineno}" for n in ast.walk(scope) if isinstance(n, (ast.Import, ast.ImportFrom))]
    assert nested == []


def test_package_imports_form_no_cycle():
    modules = dict(_modules())
    edges = {name: set() for name in modules}
    for name, tree in modules.items():
        for node in tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                edges[name] |= {target for target in _imported(node, name) if target in modules and target != name}
    # The package root only names its lazy attributes; its submodules import it implicitly.
    edges = {name: targets - {"mivo_ble"} for name, targets in edges.items()}
    assert edges["mivo_ble.lib.native"] <= {"mivo_ble.lib.libpath"}

    state = {}

    def visit(name, path):
        if state.get(name) == "done":
            return
        assert state.get(name) != "open", " -> ".join(path + [name])
        state[name] = "open"
        for target in sorted(edges[name]):
            visit(target, path + [name])
        state[name] = "done"

    for name in sorted(edges):
        visit(name, [])
