"""Point cloud feature utilities"""

import numpy as np
import numpy.typing as npt

class _FeaturesProgress:
    """Progress of compute_pcd_features: points done of total, a cancel request."""

    def __init__(self) -> None: ...
    def reset(self, total: int) -> None: ...
    def request_cancel(self) -> None: ...
    def cancelled(self) -> bool: ...
    def done(self) -> int: ...
    def total(self) -> int: ...

Progress = _FeaturesProgress

class VoxelHash:
    """Points of a cloud grouped by the cubic cell that holds them; len() is the number of
    occupied cells. Built by compute_voxel_hash; VoxelHash() is empty."""

    def __init__(self) -> None: ...
    def __len__(self) -> int: ...

def voxel_key(x: float, y: float, z: float, inv_s: float) -> int:
    """32-bit hash key of the cell of (x, y, z) at scale inv_s (RuntimeError when a scaled
    coordinate is NaN)."""
    ...

def compute_voxel_hash(positive_coords: npt.ArrayLike, inv_s: float) -> VoxelHash:
    """Indexes the (N,3) points by cell floor(coordinate * inv_s); points with a NaN scaled
    coordinate are left out."""
    ...

def get_neighbor_inds_radius(
    radius: float,
    query: npt.ArrayLike,
    voxel_size: float,
    voxel_hash: VoxelHash,
    positive_coords: npt.ArrayLike,
) -> npt.NDArray[np.uint32]:
    """Indices of the points within radius of query (inclusive), by cell and then index."""
    ...

def compute_pcd_features(
    radius: float,
    voxel_size: float,
    positive_coords: npt.ArrayLike,
    voxel_hash: VoxelHash,
    progress: _FeaturesProgress | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Per-point scatter eigenvalues (ascending) and normals, float32 (N,3) each; NaN rows for
    non-finite points and for points skipped after a cancel request."""
    ...
