"""The API reference's index, written from the package's own export lists.

Every name in ``vostrel.__all__`` and in the ``__all__`` of every public submodule (a module of
the package whose name does not start with an underscore) gets an autosummary entry, so a public
name added to the package appears in the reference without editing the docs. A submodule's name
that is the same object as a top-level name is documented once, under ``vostrel``.
"""

from __future__ import annotations

import importlib
import pkgutil
from pathlib import Path
from types import ModuleType

PACKAGE = "vostrel"


def public_submodules(package: ModuleType) -> list[str]:
    """Dotted names of the public submodules of `package`, sorted, recursively."""
    names = []
    for info in pkgutil.walk_packages(package.__path__, prefix=package.__name__ + "."):
        if any(part.startswith("_") for part in info.name.split(".")):
            continue
        names.append(info.name)
    return sorted(names)


def public_api() -> dict[str, list[str]]:
    """``{module: [names it documents]}``: the top level first, then each public submodule,
    each name in the order of its ``__all__``. An object is documented once, under the first
    module that exports it (the top level first); a submodule left with no name of its own is
    left out."""
    package = importlib.import_module(PACKAGE)
    top = list(package.__all__)
    seen = {id(getattr(package, name)) for name in top}
    api = {PACKAGE: top}
    for module_name in public_submodules(package):
        module = importlib.import_module(module_name)
        names = []
        for name in getattr(module, "__all__", []):
            value = getattr(module, name)
            if id(value) in seen:
                continue
            seen.add(id(value))
            names.append(name)
        if names:
            api[module_name] = names
    return api


def _title(text: str, char: str) -> str:
    return f"{text}\n{char * len(text)}\n"


def render_index(api: dict[str, list[str]]) -> str:
    """The reST of the reference's index page."""
    parts = [
        ".. This file is written by docs/apigen.py at every build: do not edit it.\n",
        _title("API reference", "="),
        "Every public name of the package, generated from the docstrings. The top-level names "
        "are imported with ``import vostrel as vs``; the submodules hold the plotting, "
        "scale-out and diagnostic functions and the rest of the public interface.\n",
    ]
    for module_name, names in api.items():
        parts.append(_title(f"``{module_name}``", "-"))
        parts.append(f".. automodule:: {module_name}\n   :no-members:\n")
        parts.append(f".. currentmodule:: {module_name}\n")
        entries = "\n".join(f"   {name}" for name in names)
        parts.append(f".. autosummary::\n   :toctree: generated\n   :nosignatures:\n\n{entries}\n")
    return "\n".join(parts)


def write_index(path: Path) -> bool:
    """Write the index to `path` if its text changed (so Sphinx rebuilds only then)."""
    text = render_index(public_api())
    if path.exists() and path.read_text(encoding="utf-8") == text:
        return False
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return True
