"""Planar region growing module"""

from typing import Any, Mapping

import numpy as np
import numpy.typing as npt

class _TesselProgress:
    """Progress of a tessel call: done/total counters, a cancel request and per-chunk statuses."""

    def __init__(self) -> None: ...
    def reset(self, total: int) -> None: ...
    def request_cancel(self) -> None: ...
    def cancelled(self) -> bool: ...
    def done(self) -> int: ...
    def total(self) -> int: ...
    def chunk_statuses(self) -> list[dict[str, int | float]]: ...

Progress = _TesselProgress

def segment_planar_regions(
    coords: npt.ArrayLike,
    normals: npt.ArrayLike | None = None,
    normal_mode: str = "compute",
    params: Mapping[str, Any] = {},
    chunking: Mapping[str, Any] = {},
    merge: Mapping[str, Any] = {},
    progress: _TesselProgress | None = None,
) -> tuple[np.ndarray, dict[str, int | float | bool]]:
    """Labels every point with its planar region (int32, -1 for none) in parallel chunks.

    Returns the labels and {"num_points", "num_chunks", "num_regions_pre_merge",
    "num_regions_post_merge", "num_unassigned", "elapsed_seconds", "cancelled"}.
    Extra ``params`` keys: "seed" (reproducible labels), "neighbor_radius" (a plain distance
    bounding every neighbour query instead of sqrt(epsilon)), "num_threads" (0: all),
    "local_reassign_enabled", "global_reassign_enabled" (or "refine_unassigned").
    Rows with NaN or inf keep -1 and count in "num_unassigned".
    """
    ...

def estimate_parameters(
    coords: npt.ArrayLike, sample_size: int = 50000, seed: int = 0
) -> tuple[float, int, float, dict[str, int | float]]:
    """Proposed (epsilon, tau, alpha_deg) from a seeded sample, and
    {"sample_size_used", "tau0", "base_spacing", "estimate_seconds", "seed"}."""
    ...

class SeededGrower:
    """Grows single planar regions from seeds chosen by the caller.

    ``params["epsilon"]`` (default 0.03) is a squared neighbour radius and also the basis of
    the plane tolerance ``epsilon * epsilon_multiplier``.
    """

    def __init__(
        self,
        coords: npt.ArrayLike,
        normals: npt.ArrayLike | None = None,
        normal_mode: str = "compute",
        params: Mapping[str, Any] = {},
    ) -> None: ...
    @property
    def params(self) -> dict[str, float | int | bool]:
        """The growth parameters in effect after defaults and clamps (alpha_deg in degrees)."""
        ...
    def __len__(self) -> int: ...
    def grow(self, seed_index: int) -> tuple[np.ndarray, dict[str, int | bool]]:
        """Member indices (int32, ascending) and {"seed_index", "num_points", "accepted"}."""
        ...
