"""Formats the project's C++ sources with clang-format, or checks that they are formatted.

Usage: python tools/format_cpp.py [--check]

The files are the C++ sources git tracks (*.cpp, *.hpp, *.h) except the generated ones listed in
.clang-format-ignore, which clang-format itself skips; the style is .clang-format at the top of
the repository. The clang-format release is the one pinned in pyproject.toml (the test
extra installs it), because another release may lay out the same code differently; the script
refuses to run with any other. --check changes nothing and exits 1, listing the files that are
not formatted, if there are any.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]
SUFFIXES = ("*.cpp", "*.hpp", "*.h")


def pinned_version():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    for requirement in project["project"]["optional-dependencies"]["test"]:
        match = re.fullmatch(r"clang-format==([\d.]+)", requirement.replace(" ", ""))
        if match:
            return match.group(1)
    sys.exit("pyproject.toml pins no clang-format release in the test extra")


def clang_format():
    # The one installed beside this interpreter first (a virtual environment's own), then PATH.
    here = pathlib.Path(sys.executable).parent / "clang-format"
    executable = str(here) if here.exists() else shutil.which("clang-format")
    if executable is None:
        sys.exit("clang-format not found: pip install the test extra (pip install '.[test]')")
    wanted = pinned_version()
    reported = subprocess.run([executable, "--version"], capture_output=True, text=True,
                              check=True).stdout
    if f"version {wanted}" not in reported:
        sys.exit(f"clang-format {wanted} is pinned, but {executable} is: {reported.strip()}")
    return executable


def sources():
    listed = subprocess.run(["git", "ls-files", "-z", "--", *SUFFIXES], cwd=ROOT,
                            capture_output=True, check=True).stdout
    return [name for name in listed.decode().split("\0") if name]


def main(argv):
    check = "--check" in argv
    executable = clang_format()
    files = sources()
    if check:
        unformatted = []
        for name in files:
            result = subprocess.run([executable, "--dry-run", "--Werror", name], cwd=ROOT,
                                    capture_output=True)
            if result.returncode != 0:
                unformatted.append(name)
        for name in unformatted:
            print(f"not formatted: {name}")
        print(f"{len(files) - len(unformatted)} of {len(files)} C++ files formatted")
        return 1 if unformatted else 0
    subprocess.run([executable, "-i", *files], cwd=ROOT, check=True)
    print(f"formatted {len(files)} C++ files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
