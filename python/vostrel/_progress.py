"""Progress bars for long work, through tqdm (the ``progress`` extra), imported only when a bar
is asked for."""

from __future__ import annotations

from typing import Any

from ._checks import optional_import


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass

    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def progress_bar(enabled: bool, total: int, description: str) -> Any:
    """A tqdm bar counting `total` steps with an ETA, or a do-nothing stand-in."""
    if not enabled:
        return _NoBar()
    tqdm = optional_import("tqdm.auto", "progress", "progress=True needs tqdm").tqdm
    return tqdm(total=total, desc=description, unit="step", dynamic_ncols=True)
