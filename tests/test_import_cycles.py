# The package's modules import each other without cycles (at module level or inside functions),
# and none of them opens sockets or handles keys of its own: scale-out goes through Dask.
import ast
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parents[1] / "python" / "vostrel"


def module_name(path):
    parts = ("vostrel", *path.relative_to(PACKAGE).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


MODULES = {module_name(path): path for path in PACKAGE.rglob("*.py")}


def _runs(tree, at_import):
    """The statements of a module that can run: all but the ``if TYPE_CHECKING:`` blocks (read
    by type checkers only); with `at_import`, only those that run when it is imported, not
    those inside functions."""
    pending = list(tree.body)
    while pending:
        node = pending.pop()
        if at_import and isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            continue
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            pending.extend(node.orelse)
            continue
        yield node
        pending.extend(ast.iter_child_nodes(node))


def imports(name, at_import=False):
    """The vostrel modules and the top-level outside modules that module `name` imports (only
    at import time with `at_import`; otherwise inside functions too)."""
    path = MODULES[name]
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    tree = ast.parse(path.read_text())
    for node in _runs(tree, at_import):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                target = f"{base}.{node.module}" if node.module else base
            else:
                target = node.module
            # `from . import x` imports the submodule x when there is one; the packages above a
            # module are always imported before it, so they are no edge of a cycle.
            if not name.startswith(target + "."):
                found.add(target)
            found.update(f"{target}.{alias.name}" for alias in node.names)
    return found


def cycles(ignore=frozenset(), at_import=False):
    """The strongly connected groups of more than one vostrel module (Tarjan), leaving out the
    imports (importer, imported) listed in `ignore`."""
    graph = {
        name: sorted(
            m
            for m in imports(name, at_import)
            if m in MODULES and m != name and (name, m) not in ignore
        )
        for name in MODULES
    }
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for other in graph[node]:
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            group = set()
            while not group or node not in group:
                group.add(stack.pop())
            on_stack.difference_update(group)
            if len(group) > 1:
                groups.append(group)

    for node in graph:
        if node not in index:
            visit(node)
    return groups


def test_the_package_has_no_import_cycle_at_import_time():
    assert cycles(at_import=True) == []


def test_diagnostics_and_plotting_do_not_import_each_other():
    assert "vostrel.plotting" not in imports("vostrel.diagnostics")


# The only imports that point up the layers: conveniences of a result or a model that call the
# module built on it, imported inside the method (FitResult.goodness_of_fit, FitResult.conf_int
# and .with_profile with profile intervals, Model.forecast). Everything else is layered: leaving
# these out, the package's import graph has no cycle, even counting imports inside functions.
CONVENIENCES = {
    ("vostrel._results", "vostrel.diagnostics"),
    ("vostrel._results", "vostrel.inference"),
    ("vostrel.models._base", "vostrel.forecast"),
}


def test_the_package_has_no_import_cycle_but_its_conveniences():
    assert cycles(ignore=CONVENIENCES) == []


@pytest.mark.parametrize("edge", sorted(CONVENIENCES))
def test_the_conveniences_import_lazily(edge):
    importer, imported = edge
    assert imported in imports(importer) and imported not in imports(importer, at_import=True)


def test_the_scale_out_modules_do_not_import_each_other_back():
    assert "vostrel.parallel" not in imports("vostrel.fitting")
    assert not {"vostrel.parallel", "vostrel.fitting"} & imports("vostrel._joint")


@pytest.mark.parametrize("forbidden", ["socket", "secrets", "hmac", "ssl", "threading"])
def test_no_module_of_the_package_opens_connections_or_handles_keys(forbidden):
    users = [name for name in MODULES if any(m.split(".")[0] == forbidden for m in imports(name))]
    assert users == [] or (forbidden == "threading" and set(users) <= {"vostrel._threads"})
