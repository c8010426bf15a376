# The package and a usage file pass mypy --strict.
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_package_and_usage_pass_mypy_strict():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--config-file",
            str(ROOT / "pyproject.toml"),
            str(ROOT / "python" / "vostrel"),
            str(ROOT / "tests" / "typing_usage.py"),
        ],
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    assert result.returncode == 0, result.stdout + result.stderr
