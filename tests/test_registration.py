# The module tree: names, order, docstrings, sys.modules entries and caching across re-imports.
import importlib
import sys

import pytest

import vostrel._libvostrel as lib


# Module docstrings are compared with the published texts in test_docstrings.py.
def test_top_level_lists_the_four_submodules_in_order():
    assert lib.__all__ == ["kernels", "likelihood", "simulation", "diagnostics"]


@pytest.mark.parametrize("name", ["kernels", "likelihood", "simulation", "diagnostics"])
def test_submodule_is_registered_under_its_dotted_name(name):
    submodule = getattr(lib, name)
    assert sys.modules[f"vostrel._libvostrel.{name}"] is submodule
    assert submodule.__name__ == name
    assert importlib.import_module(f"vostrel._libvostrel.{name}") is submodule


def test_diagnostics_is_empty_and_has_no_all():
    assert not hasattr(lib.diagnostics, "__all__")
    assert {n for n in dir(lib.diagnostics) if not n.startswith("__")} == set()


def test_from_import_of_a_function_works():
    from vostrel._libvostrel.likelihood import uni_exp_neg_ll

    assert uni_exp_neg_ll is lib.likelihood.uni_exp_neg_ll


def test_likelihood_starts_with_the_exponential_pair():
    assert lib.likelihood.__all__[:2] == ["uni_exp_neg_ll_with_grad", "uni_exp_neg_ll"]


def test_functions_are_bound_to_their_module():
    f = lib.likelihood.uni_exp_neg_ll
    assert f.__module__ == "likelihood"
    assert f.__self__ is lib.likelihood


def test_reimport_returns_the_same_module_objects_without_rewriting_sys_modules():
    kernels_entry = sys.modules["vostrel._libvostrel.kernels"]
    sentinel = object()
    sys.modules["vostrel._libvostrel.simulation"] = sentinel
    saved = sys.modules.pop("vostrel._libvostrel")
    try:
        again = importlib.import_module("vostrel._libvostrel")
        assert again is saved
        assert again.kernels is kernels_entry
        # The initialisation step did not run again, so the entry stays as we left it.
        assert sys.modules["vostrel._libvostrel.simulation"] is sentinel
    finally:
        sys.modules["vostrel._libvostrel"] = saved
        sys.modules["vostrel._libvostrel.simulation"] = saved.simulation


@pytest.mark.parametrize("entry", ["_libvostrel", "kernels", "likelihood", "simulation", "diagnostics"])
def test_entry_functions_return_the_cached_module(entry):
    import ctypes

    function = getattr(ctypes.PyDLL(lib.__file__), f"PyInit_{entry}")
    function.restype = ctypes.py_object
    expected = lib if entry == "_libvostrel" else getattr(lib, entry)
    assert function() is expected


def test_a_second_interpreter_gets_import_error():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter runner in this build")
    import os
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        report = os.path.join(folder, "report.txt")
        code = (
            "try:\n"
            "    import vostrel._libvostrel\n"
            "    outcome = 'imported'\n"
            "except ImportError as error:\n"
            "    outcome = 'ImportError: ' + str(error)\n"
            f"open({report!r}, 'w').write(outcome)\n"
        )
        testcapi.run_in_subinterp(code)
        with open(report) as handle:
            outcome = handle.read()
    assert outcome.startswith("ImportError:") and "subinterpreters" in outcome
