"""Planar region merging for instance fields"""

from typing import Any, Mapping

import numpy as np
import numpy.typing as npt

class _MendolinProgress:
    """Progress of a mendolin call: done/total of four stages, a cancel request, the stage."""

    def __init__(self) -> None: ...
    def reset(self, total: int) -> None: ...
    def request_cancel(self) -> None: ...
    def cancelled(self) -> bool: ...
    def done(self) -> int: ...
    def total(self) -> int: ...
    def stage(self) -> str: ...

Progress = _MendolinProgress

def merge_planar_regions(
    coords: npt.ArrayLike,
    labels: npt.ArrayLike,
    params: Mapping[str, Any] = {},
    progress: _MendolinProgress | None = None,
) -> tuple[np.ndarray, dict[str, int | float | bool]]:
    """Merged int32 labels (N,) and {"num_points", "num_input_regions", "num_planar_regions",
    "num_adjacency_pairs", "num_merge_candidates", "num_output_regions", "elapsed_seconds",
    "cancelled"}."""
    ...
