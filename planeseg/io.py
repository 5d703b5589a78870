"""Point cloud readers and writers. Coordinates come back as float64 so that georeferenced
clouds keep their precision until the caller re-centres them (see :func:`recentre`)."""

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
    try:
        table = np.loadtxt(path, delimiter=delimiter, ndmin=2)
    except ValueError:  # a header line such as "x,y,z"
        table = np.loadtxt(path, delimiter=delimiter, ndmin=2, skiprows=1)
    if table.size and table.shape[1] < 3:
        raise PointFileError(f"{path}: need at least three columns x y z, found {table.shape[1]}")
    return table[:, :3].astype(np.float64), (table[:, 3:6].astype(np.float64) if table.shape[1] >= 6 else None)


def _read_numpy(path):
    data = np.load(path, allow_pickle=False)
    if isinstance(data, np.ndarray):
        table = np.asarray(data, np.float64)
        if table.ndim != 2 or table.shape[1] < 3:
            raise ValueError(f"{path}: expected an (N,3) or (N,6) array, got shape {table.shape}")
        return table[:, :3], (table[:, 3:6] if table.shape[1] >= 6 else None)
    with data:
        if "coords" not in data:
            raise ValueError(f"{path}: an .npz needs a 'coords' array (and optionally 'normals')")
        coords = np.asarray(data["coords"], np.float64)
        return coords, (np.asarray(data["normals"], np.float64) if "normals" in data else None)


READERS = {".pcd": _read_pcd, ".las": _read_las, ".laz": _read_las, ".ply": _read_ply,
           ".xyz": _read_text, ".txt": _read_text, ".csv": _read_text, ".npy": _read_numpy, ".npz": _read_numpy}


class PointFileError(ValueError):
    """A point or label file that cannot be used; the message names the file and the fault."""


def read_points(path):
    """Reads a point file; returns (coords (N,3) float64, normals (N,3) float64 or None).

    PLY (plyfile), LAS and LAZ (laspy with lazrs), PCD ascii/binary/binary_compressed
    (pypcd4), XYZ/TXT/CSV (x y z [nx ny nz] per line), NPY ((N,3) or (N,6)) and NPZ ("coords",
    optional "normals"). Raises FileNotFoundError, or PointFileError for an unknown extension,
    an unreadable file or one without points."""
    path = Path(path)
    reader = READERS.get(path.suffix.lower())
    if reader is None:
        raise PointFileError(f"{path}: unknown point file extension {path.suffix!r} "
                             f"(use one of {', '.join(sorted(READERS))})")
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    try:
        coords, normals = reader(path)
    except (FileNotFoundError, PointFileError):
        raise
    except Exception as e:  # each reader library has its own exception types
        raise PointFileError(f"{path}: cannot read it as {path.suffix.lower()[1:].upper()}: {e}") from e
    coords = np.ascontiguousarray(coords, np.float64).reshape(-1, 3)
    if len(coords) == 0:
        raise PointFileError(f"{path}: the file holds no points")
    if normals is not None:
        normals = np.ascontiguousarray(normals, np.float64).reshape(-1, 3)
    return coords, normals


def read_labels(path, count):
    """Reads an int label array from .npy (or a text file of one label per line) and checks
    that it has one label per point."""
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    try:
        labels = np.load(path, allow_pickle=False) if path.suffix.lower() == ".npy" else np.loadtxt(path, ndmin=1)
    except Exception as e:
        raise PointFileError(f"{path}: cannot read labels: {e}") from e
    labels = np.asarray(labels)
    if labels.ndim == 2 and labels.shape[1] == 1:
        labels = labels[:, 0]
    if labels.ndim != 1 or len(labels) != count:
        raise PointFileError(f"{path}: {labels.shape[0] if labels.ndim else 0} labels for {count} points "
                             "(need one per point)")
    return labels


def label_colours(labels):
    """One colour per label (uint8 RGB), spread around the hue circle by the golden ratio so
    that neighbouring ids differ; unlabelled points (negative) are grey."""
    labels = np.asarray(labels)
    hue = (np.maximum(labels, 0) * 0.6180339887) % 1.0
    sat = 0.8 + 0.2 * ((np.maximum(labels, 0) // 7) % 2)
    h6 = hue * 6
    c = sat * 0.9
    x = c * (1 - np.abs(h6 % 2 - 1))
    zero = np.zeros_like(c)
    sector = h6.astype(int) % 6
    rgb = np.select([sector[:, None] == k for k in range(6)],
                    [np.stack(v, axis=1) for v in ((c, x, zero), (x, c, zero), (zero, c, x), (zero, x, c),
                                                   (x, zero, c), (c, zero, x))])
    rgb = rgb + (0.9 - c)[:, None]
    out = np.round(rgb * 255).astype(np.uint8)
    out[labels < 0] = 160
    return out


def write_labels(path, labels):
    """Saves the labels as an int32 .npy file."""
    np.save(path, np.asarray(labels, np.int32))


def write_labelled_ply(path, coords, labels):
    """Binary PLY with x, y, z (float64, so georeferenced coordinates survive), the int32
    label and a colour per label."""
    from plyfile import PlyData, PlyElement

    coords = np.asarray(coords, np.float64)
    rgb = label_colours(labels)
    vertex = np.empty(len(coords), dtype=[("x", "f8"), ("y", "f8"), ("z", "f8"), ("label", "i4"),
                                          ("red", "u1"), ("green", "u1"), ("blue", "u1")])
    vertex["x"], vertex["y"], vertex["z"] = coords.T
    vertex["label"] = labels
    vertex["red"], vertex["green"], vertex["blue"] = rgb.T
    PlyData([PlyElement.describe(vertex, "vertex")]).write(str(path))


def recentre(coords):
    """Subtracts the mean of the finite points in float64; returns (local float32 coords, origin).

    float32 has a step of half a metre at 5e6, so UTM-sized coordinates must be made local
    before the modules cast them."""
    coords = np.asarray(coords, np.float64)
    finite = np.isfinite(coords).all(axis=1)
    origin = coords[finite].mean(axis=0) if finite.any() else np.zeros(3)
    return (coords - origin).astype(np.float32), origin
