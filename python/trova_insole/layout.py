"""Where the 48 pressure cells sit: the SDK's cell layout, for scripts.

    for cell in layout("right"):
        print(cell.index, cell.x_mm, cell.y_mm, cell.region)

The layout is the one `insole view` draws and `insole export` places the
centre of pressure on; it comes from the SDK's `insole layout`, so a layout
file is read and checked by the same code everywhere.
"""

from __future__ import annotations

import json
import os
import subprocess
from dataclasses import dataclass
from functools import lru_cache
from typing import Optional, Union

from .export import _tool

REGIONS = ("heel", "midfoot", "forefoot", "toes")


@dataclass(frozen=True)
class Cell:
    """One cell on one foot: centre and size in mm, and its region."""

    index: int
    x_mm: float  # toward the big toe on the left foot; the right foot mirrored
    y_mm: float  # heel to toe
    w_mm: float
    h_mm: float
    region: str  # one of REGIONS


def layout(foot: str = "left", path: Optional[Union[str, os.PathLike]] = None) -> list[Cell]:
    """The 48 cells, in index order, as they lie on foot ("left" or "right").

    path: a layout file (see `insole layout --help`) instead of the built-in
    one, a default arrangement and not the geometry of a real insole.
    Raises ValueError for a foot other than left or right, or a file that is
    not a layout (with the tool's one-line reason).
    """
    if foot not in ("left", "right"):
        raise ValueError("foot must be 'left' or 'right'")
    if path is None:
        return list(_built_in(foot))
    return list(_read(foot, os.fspath(path)))


@lru_cache(maxsize=2)
def _built_in(foot: str) -> tuple[Cell, ...]:
    """The built-in layout does not change while a program runs; a file may."""
    return _read(foot, None)


def _read(foot: str, path: Optional[str]) -> tuple[Cell, ...]:
    command = [_tool(), "layout", "--foot", foot] + (["--layout", path] if path is not None else [])
    done = subprocess.run(command, capture_output=True, check=False)
    if done.returncode != 0:
        lines = done.stderr.decode(errors="replace").strip().splitlines()
        reason = lines[-1] if lines else f"insole layout failed ({done.returncode})"
        raise ValueError(reason.removeprefix("insole: "))
    document = json.loads(done.stdout)
    return tuple(Cell(c["index"], c["x_mm"], c["y_mm"], c["w_mm"], c["h_mm"], c["region"]) for c in document["cells"])


__all__ = ["Cell", "REGIONS", "layout"]
