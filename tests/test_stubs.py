# The type stubs must describe what the compiled module really exports, and must type-check.
import ast
import inspect
import pathlib
import subprocess
import sys

import pytest

import vostrel
import vostrel._libvostrel as lib

STUBS = pathlib.Path(vostrel.__file__).parent / "_libvostrel"
SUBMODULES = ["kernels", "likelihood", "simulation"]


def stub_names(submodule):
    tree = ast.parse((STUBS / f"{submodule}.pyi").read_text(encoding="utf-8"))
    return {
        node.name
        for node in tree.body
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")
    }


@pytest.mark.parametrize("submodule", SUBMODULES)
def test_stubs_declare_exactly_the_runtime_members(submodule):
    assert stub_names(submodule) == set(getattr(getattr(lib, submodule), "__all__", []))


@pytest.mark.parametrize("submodule", SUBMODULES)
def test_stub_parameters_match_the_text_signatures(submodule):
    tree = ast.parse((STUBS / f"{submodule}.pyi").read_text(encoding="utf-8"))
    module = getattr(lib, submodule)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            runtime = list(inspect.signature(getattr(module, node.name)).parameters)
            declared = [a.arg for a in node.args.args + node.args.kwonlyargs]
            assert declared == runtime, node.name


def test_stubs_type_check_with_mypy(tmp_path):
    pytest.importorskip("mypy")
    usage = tmp_path / "usage.py"
    usage.write_text(
        "import numpy as np\n"
        "import numpy.typing as npt\n"
        "from vostrel._libvostrel.likelihood import uni_exp_neg_ll, uni_exp_neg_ll_with_grad\n"
        "times = np.array([0.5, 1.0])\n"
        "value: float = uni_exp_neg_ll(times, 2.0, 0.5, 0.5, 1.0)\n"
        "pair = uni_exp_neg_ll_with_grad(times, 2.0, 0.5, 0.5, 1.0)\n"
        "grad: npt.NDArray[np.float64] = pair[1]\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(usage)],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubs_agree_with_the_runtime_module_under_stubtest():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vostrel._libvostrel"],
        capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
