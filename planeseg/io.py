"""Point cloud readers. Coordinates come back as float64 so that georeferenced clouds keep
their precision until the caller re-centres them (see :func:`recentre`)."""

from __future__ import annotations

from pathlib import Path

import numpy as np


def _normals_from(columns):
    names = ("normal_x", "normal_y", "normal_z")
    if all(n in columns for n in names):
        return np.stack([np.asarray(columns[n], np.float64) for n in names], axis=1)
    return None


def _read_pcd(path):
    from pypcd4 import PointCloud

    pc = PointCloud.from_path(str(path))
    coords = pc.numpy(("x", "y", "z")).astype(np.float64)
    normals = None
    if all(n in pc.fields for n in ("normal_x", "normal_y", "normal_z")):
        normals = pc.numpy(("normal_x", "normal_y", "normal_z")).astype(np.float64)
    return coords, normals


def _read_las(path):
    import laspy

    las = laspy.read(str(path))
    coords = np.stack([np.asarray(las.x), np.asarray(las.y), np.asarray(las.z)], axis=1)
    dims = set(las.point_format.dimension_names)
    normals = _normals_from({n: las[n] for n in ("normal_x", "normal_y", "normal_z") if n in dims})
    return coords, normals


def _read_ply(path):
    from plyfile import PlyData

    vertex = PlyData.read(str(path))["vertex"]
    names = vertex.data.dtype.names
    coords = np.stack([np.asarray(vertex[a], np.float64) for a in "xyz"], axis=1)
    if all(n in names for n in ("nx", "ny", "nz")):
        return coords, np.stack([np.asarray(vertex[a], np.float64) for a in ("nx", "ny", "nz")], axis=1)
    return coords, _normals_from({n: vertex[n] for n in names})


def _read_text(path):
    delimiter = "," if Path(path).suffix.lower() == ".csv" else None
    table = np.loadtxt(path, delimiter=delimiter, ndmin=2)
    return table[:, :3].astype(np.float64), (table[:, 3:6].astype(np.float64) if table.shape[1] >= 6 else None)


def _read_numpy(path):
    data = np.load(path)
    if isinstance(data, np.ndarray):
        return data[:, :3].astype(np.float64), None
    coords = np.asarray(data["coords"], np.float64)
    return coords, (np.asarray(data["normals"], np.float64) if "normals" in data else None)


READERS = {".pcd": _read_pcd, ".las": _read_las, ".laz": _read_las, ".ply": _read_ply,
           ".xyz": _read_text, ".txt": _read_text, ".csv": _read_text, ".npy": _read_numpy, ".npz": _read_numpy}


def read_points(path):
    """Reads a point file; returns (coords (N,3) float64, normals (N,3) float64 or None)."""
    path = Path(path)
    reader = READERS.get(path.suffix.lower())
    if reader is None:
        raise ValueError(f"unknown point file extension {path.suffix!r}: use one of {', '.join(sorted(READERS))}")
    return reader(path)


def recentre(coords):
    """Subtracts the mean of the finite points in float64; returns (local float32 coords, origin).

    float32 has a step of half a metre at 5e6, so UTM-sized coordinates must be made local
    before the modules cast them."""
    coords = np.asarray(coords, np.float64)
    finite = np.isfinite(coords).all(axis=1)
    origin = coords[finite].mean(axis=0) if finite.any() else np.zeros(3)
    return (coords - origin).astype(np.float32), origin
