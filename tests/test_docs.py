# The documentation: every public name of the package has a page in the API reference, and the
# examples in the docstrings run as doctests. The reference checks need Sphinx (the docs extra)
# and the docs/ directory of a source checkout; they skip without them.
import doctest
import importlib
import pkgutil
import sys
from pathlib import Path

import pytest

import vostrel

DOCS = Path(__file__).resolve().parents[1] / "docs"


def all_modules():
    """Every module of the package's Python layer, private ones too (not the extension)."""
    names = ["vostrel"]
    for info in pkgutil.walk_packages(vostrel.__path__, prefix="vostrel."):
        if not info.name.startswith("vostrel._libvostrel"):
            names.append(info.name)
    return sorted(names)


def public_objects():
    """(module, name, object) for every name that the package exports: ``vostrel.__all__`` and
    the ``__all__`` of every module whose dotted name has no part starting with '_'."""
    out = [("vostrel", name, getattr(vostrel, name)) for name in vostrel.__all__]
    for module_name in all_modules():
        if module_name == "vostrel" or any(p.startswith("_") for p in module_name.split(".")):
            continue
        module = importlib.import_module(module_name)
        out += [(module_name, name, getattr(module, name)) for name in module.__all__]
    return out


@pytest.fixture(scope="module")
def stubs(tmp_path_factory):
    """{documented dotted name: object} from the pages autosummary writes for the reference's
    index, as apigen writes it at every build."""
    pytest.importorskip("sphinx")
    pytest.importorskip("numpydoc")
    if not (DOCS / "apigen.py").exists():
        pytest.skip("no docs/ directory next to the tests (not a source checkout)")
    from sphinx.ext.autosummary.generate import main as autogen

    sys.path.insert(0, str(DOCS))
    try:
        apigen = importlib.import_module("apigen")
    finally:
        sys.path.remove(str(DOCS))
    out = tmp_path_factory.mktemp("reference")
    index = out / "index.rst"
    apigen.write_index(index)
    autogen(["-o", str(out / "generated"), "-t", str(DOCS / "_templates"), str(index)])
    documented = {}
    for page in (out / "generated").glob("*.rst"):
        dotted = page.stem
        module_name, _, attribute = dotted.rpartition(".")
        documented[dotted] = getattr(importlib.import_module(module_name), attribute)
    return documented


def test_the_module_walk_finds_the_public_modules():
    names = set(all_modules())
    assert {"vostrel.plotting", "vostrel.parallel", "vostrel.diagnostics", "vostrel.models"} <= names


@pytest.mark.parametrize(
    "module_name, name",
    [(module_name, name) for module_name, name, _ in public_objects()],
    ids=lambda value: value,
)
def test_every_public_name_has_a_reference_page(stubs, module_name, name):
    value = getattr(importlib.import_module(module_name), name)
    pages = [dotted for dotted, obj in stubs.items() if obj is value]
    assert pages, f"{module_name}.{name} has no page in the API reference"
    # One page per object: a name exported twice is documented once.
    assert len(pages) == 1, pages


def test_no_page_documents_a_name_that_is_not_exported(stubs):
    exported = {id(obj) for _, _, obj in public_objects()}
    stale = [dotted for dotted, obj in stubs.items() if id(obj) not in exported]
    assert not stale


@pytest.mark.parametrize("module_name", all_modules())
def test_docstring_examples_run(module_name):
    module = importlib.import_module(module_name)
    finder = doctest.DocTestFinder(exclude_empty=True)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for test in finder.find(module, module_name):
        # Only the module's own objects: names it imports are tested in their own module.
        if test.filename and Path(test.filename).resolve() != Path(module.__file__).resolve():
            continue
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.failed == 0, f"{result.failed} docstring example(s) of {module_name} failed"
