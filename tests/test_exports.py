# The package's lazily loaded names (`_EXPORTS`) and the imports that IDEs and type checkers
# read (the `if TYPE_CHECKING:` block) are one list written twice: they must agree, and every
# model family must be in them.
import ast
import inspect
import pathlib

import vostrel
import vostrel.models as models

INIT = pathlib.Path(vostrel.__file__)


def type_checking_imports():
    """{name: module} of the `if TYPE_CHECKING:` block of the package's __init__."""
    tree = ast.parse(INIT.read_text(encoding="utf-8"))
    found = {}
    for node in tree.body:
        if isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING":
            for statement in node.body:
                assert isinstance(statement, ast.ImportFrom) and statement.level == 1
                for alias in statement.names:
                    # `import X as X`: the form that re-exports under mypy --strict.
                    assert alias.asname == alias.name
                    found[alias.name] = statement.module
    return found


def test_lazy_exports_and_type_checking_imports_agree():
    assert type_checking_imports() == vostrel._EXPORTS
    assert vostrel.__all__ == list(vostrel._EXPORTS)


def test_every_model_family_is_exported_and_named_in_the_package_docstring():
    families = [
        name
        for name in models.__all__
        if inspect.isclass(getattr(models, name))
        and issubclass(getattr(models, name), models.Model)
        and not inspect.isabstract(getattr(models, name))
    ]
    assert len(families) >= 8
    for name in families:
        assert vostrel._EXPORTS.get(name) == "models", name
        assert f":class:`{name}`" in vostrel.__doc__, name
        assert getattr(vostrel, name) is getattr(models, name)


def test_models_exports_are_bound_once_each():
    # models.__all__ gathers the modules' own lists: each name once, each bound.
    assert len(set(models.__all__)) == len(models.__all__)
    assert all(hasattr(models, name) for name in models.__all__)
